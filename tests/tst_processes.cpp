// Process checks against real child processes named like the tools, and the event-processing wait.
#include "Constants.h"
#include "TasklistOutput.h"
#include "TestSupport.h"
#include "UtilManager.h"

#include <QtTest>
#ifndef Q_OS_WIN
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

class ProcessesTest : public QObject
{
    Q_OBJECT

private slots:
    void isToolRunning_findsRunningSampleTool()
    {
        QVERIFY(!UtilManager::isToolRunning(EncryptedClientName));
        QProcess tool;
        tool.start(SAMPLE_ENCRYPTED_CLIENT, { "--port", "0" });
        QVERIFY(tool.waitForStarted(5000));
        QVERIFY(UtilManager::isToolRunning(EncryptedClientName));
        QVERIFY(UtilManager::isProcessAlive(tool.processId()));
        tool.kill();
        QVERIFY(tool.waitForFinished(5000));
        QVERIFY(!UtilManager::isToolRunning(EncryptedClientName));
    }

    // Another user's process of the tool's name is not this user's tool.
    void isToolRunning_anotherUsersToolDoesNotCount()
    {
        if (otherUserLauncher().isEmpty())
            QSKIP("the tests cannot act as another user here");
        QProcess tool;
        startAsOtherUser(tool, SAMPLE_SIGNATURE_CLIENT, { "--port", "0" });
        QVERIFY(tool.waitForStarted(5000));
        const auto commandLine = [&tool]() {
            QFile file(QString("/proc/%1/cmdline").arg(tool.processId()));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        // Once setpriv has become the tool (before, the tool's name is only among its arguments).
        QTRY_VERIFY(commandLine().split('\0').first().endsWith("VantrelSignatureClient"));
        QVERIFY(!UtilManager::isToolRunning(SignatureClientName));
        tool.kill();
        tool.waitForFinished(5000);
    }

    void isToolRunning_isCaseSensitive()
    {
        QProcess tool;
        tool.start(SAMPLE_SIGNATURE_CLIENT, { "--port", "0" });
        QVERIFY(tool.waitForStarted(5000));
        QVERIFY(UtilManager::isToolRunning(SignatureClientName));
        QVERIFY(!UtilManager::isToolRunning(SignatureClientName.toLower()));
        tool.kill();
        tool.waitForFinished(5000);
    }

    void isToolRunning_argumentsOfOtherProgramsDoNotCount()
    {
#ifdef Q_OS_WIN
        QSKIP("tasklist lists image names only: there are no arguments to confuse it");
#else
        QProcess shell;
        shell.start("/bin/sh", { "-c", "sleep 5; : VantrelEncryptedClient" });
        QVERIFY(shell.waitForStarted(5000));
        QVERIFY(!UtilManager::isToolRunning(EncryptedClientName));
        shell.kill();
        shell.waitForFinished(5000);
#endif
    }

    void isProcessAlive_zombieIsNotAlive()
    {
#ifdef Q_OS_WIN
        QSKIP("Zombies are a POSIX state: a Windows process reports its exit code as soon as it ends");
#else
        const pid_t child = fork();
        if (child == 0) {
            execl(SAMPLE_SIGNATURE_CLIENT, SAMPLE_SIGNATURE_CLIENT, "--port", "0",
                static_cast<char *>(nullptr));
            _exit(127);
        }
        QVERIFY(child > 0);
        QTRY_VERIFY_WITH_TIMEOUT(UtilManager::isToolRunning(SignatureClientName), 5000);
        QVERIFY(UtilManager::isProcessAlive(child));
        kill(child, SIGKILL);
        // Not reaped yet: the child is a zombie until waitpid.
        QTRY_VERIFY_WITH_TIMEOUT(!UtilManager::isProcessAlive(child), 5000);
        QVERIFY(!UtilManager::isToolRunning(SignatureClientName));
        // An ended copy does not hide a live one listed after it.
        QProcess live;
        live.start(SAMPLE_SIGNATURE_CLIENT, { "--port", "0" });
        QVERIFY(live.waitForStarted(5000));
        QVERIFY(UtilManager::isToolRunning(SignatureClientName));
        live.kill();
        live.waitForFinished(5000);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(!UtilManager::isProcessAlive(child));
#endif
    }

    // Listings in the layout of Windows' own tasklist, with the image names cut to 25 characters; the
    // Chinese one in GBK, as tasklist writes it on a Chinese system.
    void tasklistListsProgram_capturedListings_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("English Windows") << "tasklist-en.txt";
        QTest::newRow("Chinese Windows, GBK") << "tasklist-zh-gbk.txt";
    }

    void tasklistListsProgram_capturedListings()
    {
        QFETCH(QString, file);
        QFile sample(QString(TEST_SOURCE_DIR "/data/") + file);
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const QByteArray listing = sample.readAll();
        QVERIFY(tasklistListsProgram(listing, SignatureClientName));
        QVERIFY(tasklistListsProgram(listing, DetectInstallToolName));
        QVERIFY(!tasklistListsProgram(listing, EncryptedClientName));
        QVERIFY(!tasklistListsProgram(listing, SignatureClientName.toLower()));
        QVERIFY(!tasklistListsProgram(QByteArray(), SignatureClientName));
    }

    // Only rows of the asked session count, the columns found by the rule: a terminal server's
    // listing with a tool in the services' session, a disconnected session without a session name, and
    // a longer image name that contains a tool's name.
    void tasklistListsProgram_inSession_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<quint32>("session");
        QTest::addColumn<QStringList>("listed");
        const QStringList both { SignatureClientName, DetectInstallToolName };
        QTest::newRow("English, session 1") << "tasklist-en.txt" << 1u << both;
        QTest::newRow("English, session 2") << "tasklist-en.txt" << 2u << QStringList();
        QTest::newRow("Chinese, GBK, session 1") << "tasklist-zh-gbk.txt" << 1u << both;
        QTest::newRow("server, session 0")
            << "tasklist-sessions.txt" << 0u << QStringList { SignatureClientName };
        QTest::newRow("server, session 1")
            << "tasklist-sessions.txt" << 1u << QStringList { DetectInstallToolName };
        QTest::newRow("server, session 2") << "tasklist-sessions.txt" << 2u << both;
        QTest::newRow("server, session 3")
            << "tasklist-sessions.txt" << 3u << QStringList { EncryptedClientName };
    }

    void tasklistListsProgram_inSession()
    {
        QFETCH(QString, file);
        QFETCH(quint32, session);
        QFETCH(QStringList, listed);
        QFile sample(QString(TEST_SOURCE_DIR "/data/") + file);
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const QByteArray listing = sample.readAll();
        for (const QString &name : { SignatureClientName, DetectInstallToolName, EncryptedClientName }) {
            QCOMPARE(tasklistListsProgram(listing, name, session), listed.contains(name));
            QVERIFY(!tasklistListsProgram(listing, name.toLower(), session));
        }
        QVERIFY(!tasklistListsProgram(listing.left(listing.indexOf("=")), SignatureClientName, session));
    }

    void isProcessAlive_invalidIds()
    {
        QVERIFY(!UtilManager::isProcessAlive(0));
        QVERIFY(!UtilManager::isProcessAlive(-1));
        QVERIFY(UtilManager::isProcessAlive(QCoreApplication::applicationPid()));
    }

    void waitWithEvents_processesEventsAndWaitsTheTime()
    {
        int fired = 0;
        QTimer::singleShot(50, [&fired]() { ++fired; });
        QTimer::singleShot(150, [&fired]() { ++fired; });
        QElapsedTimer elapsed;
        elapsed.start();
        UtilManager::waitWithEvents(300);
        QVERIFY(elapsed.elapsed() >= 300);
        QVERIFY(elapsed.elapsed() < 2000);
        QCOMPARE(fired, 2);
    }
};

QTEST_GUILESS_MAIN(ProcessesTest)
#include "tst_processes.moc"
