// The log file: its line format, the cut of long lines, rotation under a flood, a folder that cannot
// be used, the modes of its folder and files, and what it keeps of a page's message.
#include "CommandMessage.h"
#include "LogFile.h"
#include "TestSupport.h"

#include <QtTest>

class LogFileTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { LogFile::stop(); }

    void formatLine_timeLevelAndCut()
    {
        const QDateTime time(QDate(2026, 12, 8), QTime(9, 15, 2, 318));
        QCOMPARE(LogFile::formatLine(QtWarningMsg, time, "Failed to load certificate.", 300),
            QByteArray("2026-12-08 09:15:02.318 [warning] Failed to load certificate.\n"));
        QCOMPARE(LogFile::formatLine(QtDebugMsg, time, "two\nlines", 300),
            QByteArray("2026-12-08 09:15:02.318 [debug] two\\nlines\n"));
        // A page's scene or a service's address cannot forge a line for viewers that break at CR or
        // at the Unicode line separators.
        QCOMPARE(
            LogFile::formatLine(QtDebugMsg, time,
                QString::fromUtf8(
                    "scene \"00\r2026-12-08 09:15:03.000 [debug] forged\x1b[2J\xe2\x80\xa8\xe2\x80\xa9\"\t."),
                300),
            QByteArray("2026-12-08 09:15:02.318 [debug] scene \"00\\r2026-12-08 09:15:03.000 [debug] "
                       "forged\\x1b[2J\\u2028\\u2029\"\t.\n"));
        // The C1 controls too: U+009B is the one-character escape sequence (CSI) of terminals.
        QCOMPARE(LogFile::formatLine(QtDebugMsg, time,
                     QString::fromUtf8("a\xc2\x9b"
                                       "2Jb\xc2\x80"),
                     300),
            QByteArray("2026-12-08 09:15:02.318 [debug] a\\x9b2Jb\\x80\n"));
        const QString message = "{\"VantrelUseScene\":\"00\",\"document\":\"" + QString(5000, 'x') + "\"}";
        const QByteArray cut = LogFile::formatLine(QtDebugMsg, time, message, 300);
        const QByteArray said = "... [cut: " + QByteArray::number(message.size()) + " characters]\n";
        QVERIFY(cut.endsWith(said));
        QCOMPARE(cut, "2026-12-08 09:15:02.318 [debug] " + message.left(300).toUtf8() + said);
    }

    void flood_keepsTheBound_andLosesNoRecentLine()
    {
        QTemporaryDir folder;
        LogFile::Limits limits;
        limits.maxFileBytes = 64 * 1024;
        limits.keptOldFiles = 2;
        // The debug output stays quiet for the flood; the file still receives every line.
        const QtMessageHandler original
            = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        QVERIFY(LogFile::start(folder.path(), limits));
        for (int line = 0; line < 100000; ++line)
            qDebug("line %d", line);
        LogFile::stop();
        qInstallMessageHandler(original);

        QByteArray all;
        qint64 onDisk = 0;
        for (const char *name : { "VantrelDetectInstallTool.2.log", "VantrelDetectInstallTool.1.log",
                 "VantrelDetectInstallTool.log" }) {
            QFile file(folder.path() + "/" + QLatin1String(name));
            QVERIFY2(file.open(QIODevice::ReadOnly), name);
            QVERIFY(file.size() <= limits.maxFileBytes);
            onDisk += file.size();
            all += file.readAll();
        }
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 3);
        QVERIFY(onDisk > 2 * limits.maxFileBytes);
        // The kept lines are the newest ones, whole and in order, without a gap.
        const QList<QByteArray> lines = all.trimmed().split('\n');
        int expected = 100000 - lines.size();
        for (const QByteArray &line : lines) {
            QVERIFY2(line.endsWith("[debug] line " + QByteArray::number(expected)), line.constData());
            ++expected;
        }
    }

    void unusableFolder_turnsTheFileOffWithOneLine()
    {
        QTemporaryDir folder;
        QFile blocker(folder.path() + "/not-a-folder");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LogCapture log;
        QVERIFY(!LogFile::start(blocker.fileName() + "/logs"));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.hasLineStartingWith("Log file off: "));
        QVERIFY(LogFile::filePath().isEmpty());
        qDebug("still logging");
        QVERIFY(log.lines().contains("still logging"));
    }

    // Only the user reads the logs: folders created 0700 (as XDG asks of the folders under
    // XDG_STATE_HOME), files 0600, and those of an older version tightened at start.
    void folderAndFiles_privateToTheUser()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows: the folder under %LOCALAPPDATA% keeps the access list it inherits (the user, SYSTEM, "
              "Administrators); QFile::setPermissions there only clears the read-only attribute");
#endif
        QTemporaryDir root;
        const QString state = root.path() + "/state";
        const QString folder = state + "/VantrelDetectInstallTool/logs";
        LogFile::Limits limits;
        limits.maxFileBytes = 1024;
        const QtMessageHandler original
            = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        QVERIFY(LogFile::start(folder, limits));
        for (int line = 0; line < 200; ++line)
            qDebug("line %d", line); // rotated: the new files too
        LogFile::stop();
        qInstallMessageHandler(original);
        for (const QString &created : { state, state + "/VantrelDetectInstallTool", folder })
            QCOMPARE(unixMode(created), 0700);
        const QStringList files = QDir(folder).entryList(QDir::Files);
        QCOMPARE(files.size(), 4);
        for (const QString &file : files)
            QCOMPARE(unixMode(folder + "/" + file), 0600);

        // An older version left them readable by everyone.
        QFile::setPermissions(
            folder, QFile::permissions(folder) | QFileDevice::ReadOther | QFileDevice::ExeOther);
        for (const QString &file : files)
            QFile::setPermissions(
                folder + "/" + file, QFile::permissions(folder + "/" + file) | QFileDevice::ReadOther);
        QCOMPARE(unixMode(folder + "/" + files.first()), 0604);
        QVERIFY(LogFile::start(folder));
        LogFile::stop();
        QCOMPARE(unixMode(folder), 0700);
        for (const QString &file : files)
            QCOMPARE(unixMode(folder + "/" + file), 0600);
    }

    // Links put under the log names while the folder was open to others (an older version's folder left
    // 0777) are removed, never followed: the user's own file behind one was written into and made 0600.
    void plantedLinks_areRemovedNotFollowed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("the current file") << "VantrelDetectInstallTool.log";
        QTest::newRow("an older file") << "VantrelDetectInstallTool.1.log";
    }

    void plantedLinks_areRemovedNotFollowed()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows: the folder under %LOCALAPPDATA% is never open to other users");
#endif
        QFETCH(QString, name);
        QTemporaryDir root;
        const QString folder = root.path() + "/logs";
        const QString target = root.path() + "/settings-of-the-user";
        QVERIFY(QDir().mkpath(folder));
        QFile::setPermissions(folder, QFileDevice::Permissions(0x7777));
        {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("precious\n");
        }
        QFile::setPermissions(
            target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
        QVERIFY(QFile::link(target, folder + "/" + name));
        const QtMessageHandler original
            = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        QVERIFY(LogFile::start(folder));
        qDebug("a line");
        LogFile::stop();
        qInstallMessageHandler(original);
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious\n"));
        QCOMPARE(unixMode(target), 0604);
        QVERIFY(!QFileInfo(folder + "/" + name).isSymLink());
        QVERIFY(!QFileInfo(folder + "/VantrelDetectInstallTool.log").isSymLink());
        QCOMPARE(unixMode(folder + "/VantrelDetectInstallTool.log"), 0600);
    }

    // A line that carries a page's message reaches the file as what support needs of it, and the debug
    // output unchanged.
    void pageMessage_reachesTheFileAsItsSummaryOnly_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("summary");
        const QString command
            = R"({"VantrelUseScene":"00","operationCommand":"startTool","accessToken":"SECRET-TOKEN-123"})";
        QTest::newRow("command with a token")
            << command << "https://portal.example.com"
            << "Page message: scene \"00\", operationCommand \"startTool\", "
               "88 characters, origin https://portal.example.com";
        QTest::newRow("origin not known")
            << command << ""
            << "Page message: scene \"00\", operationCommand \"startTool\", 88 characters";
        QTest::newRow("no operation") << R"({"VantrelUseScene":"01","accessToken":"SECRET-TOKEN-123"})"
                                      << ""
                                      << "Page message: scene \"01\", operationCommand (none), 57 characters";
        QTest::newRow("not a command")
            << "SECRET-TOKEN-123"
            << "https://portal.example.com"
            << "Page message: scene (none), operationCommand (none), 16 characters, "
               "origin https://portal.example.com";
    }

    void pageMessage_reachesTheFileAsItsSummaryOnly()
    {
        QFETCH(QString, message);
        QFETCH(QString, origin);
        QFETCH(QString, summary);
        QTemporaryDir folder;
        LogCapture debugOutput;
        QVERIFY(LogFile::start(folder.path()));
        {
            const LogFile::FileText fileText(pageMessageSummary(message, origin));
            qDebug() << message;
        }
        qDebug("the next line");
        LogFile::stop();
        QCOMPARE(debugOutput.lines(),
            QStringList({ QString("\"%1\"").arg(QString(message).replace("\"", "\\\"")), "the next line" }));
        QFile file(folder.path() + "/VantrelDetectInstallTool.log");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines.at(0).endsWith("[debug] " + summary.toUtf8()), lines.at(0).constData());
        QVERIFY(lines.at(1).endsWith("[debug] the next line"));
        QVERIFY(!lines.join().contains("SECRET"));
    }
};

QTEST_GUILESS_MAIN(LogFileTest)
#include "tst_logfile.moc"
