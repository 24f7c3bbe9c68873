// The launch window and the start road inside the program: a start command, the home window hidden
// after one second, the disk and network checks with their alerts, the start of a real sample tool
// and the hand-over of the message, the hand-over to the check window, and the quit after an alert.
#include "CheckWidget.h"
#include "CommandRouting.h"
#include "Constants.h"
#include "HomeWidget.h"
#include "LoadingWidget.h"
#include "LoopbackHttpServer.h"
#include "Platform.h"
#include "Resources.h"
#include "TestSupport.h"
#include "UtilManager.h"
#include "WebSocketServer.h"

#include <QLabel>
#include <QProgressBar>
#include <QtTest>

class LaunchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initProgramResources();
        QVERIFY(probe.listen());
        qputenv("VANTREL_VERSION_SERVICE_URL", "http://127.0.0.1:1");
        server.reset(new WebSocketServer);
        routeCommands(server.data());
    }

    void init()
    {
        environment.clearEntries();
        qputenv("VANTREL_PROBE_URL", probe.baseUrl().toUtf8() + "/");
        qputenv("VANTREL_DISK_FREE_BYTES", "99999999999");
        record = environment.root() + "/frames.txt";
        QFile::remove(record);
        qputenv("VANTREL_SAMPLE_RECORD", record.toUtf8());
        probe.requests.clear();
    }

    void cleanup()
    {
        // A launch that is still ending (its window hides a second after the hand-over) ends first.
        QTRY_VERIFY_WITH_TIMEOUT(!UtilManager::instance()->loadingWidget()->isLaunching(), 5000);
        killProgramsNamed(SignatureClientName);
        killProgramsNamed(EncryptedClientName);
        UtilManager::instance()->loadingWidget()->hide();
        UtilManager::instance()->checkWidget()->hide();
    }

    void startCommand_homeHiddenAfterOneSecond_toolStarted_messageHandedOver()
    {
        registerTool(environment, SignatureClientTitle, SAMPLE_SIGNATURE_CLIENT);
        HomeWidget *home = UtilManager::instance()->homeWidget();
        home->show();
        const QString message
            = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\",\"extra\":{\"k\":[1]}}";
        QElapsedTimer elapsed;
        elapsed.start();
        server->processMessage(message);
        LoadingWidget *launch = UtilManager::instance()->loadingWidget();
        QVERIFY(launch->isVisible());
        QCOMPARE(launch->findChild<QLabel *>("label_title")->text(), QString("正在启动Tessary…"));
        QTest::qWait(800);
        QVERIFY(home->isVisible());
        QVERIFY(probe.requests.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!home->isVisible(), 2000);
        QVERIFY(elapsed.elapsed() >= 1000);
        QTRY_COMPARE_WITH_TIMEOUT(launch->findChild<QProgressBar *>("progressBar")->value(), 100, 5000);
        QCOMPARE(launch->findChild<QLabel *>("label_progress")->text(), QString("100%"));
        QCOMPARE(probe.requests.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ message }), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!launch->isVisible(), 3000);
        QVERIFY(UtilManager::isToolRunning(SignatureClientName));
    }

    void otherScene_startsTheEncryptionClient()
    {
        registerTool(environment, SignatureClientTitle, SAMPLE_SIGNATURE_CLIENT);
        registerTool(environment, EncryptedClientTitle, SAMPLE_ENCRYPTED_CLIENT);
        const QString message = "{\"VantrelUseScene\":\"7\"}";
        server->processMessage(message);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ message }), 10000);
        QVERIFY(UtilManager::isToolRunning(EncryptedClientName));
        QVERIFY(!UtilManager::isToolRunning(SignatureClientName));
    }

    void missingTool_goesToTheCheckWindowAfterOneMoreSecond()
    {
        server->processMessage("{\"VantrelUseScene\":\"01\"}");
        LoadingWidget *launch = UtilManager::instance()->loadingWidget();
        CheckWidget *check = UtilManager::instance()->checkWidget();
        QTRY_COMPARE_WITH_TIMEOUT(launch->findChild<QProgressBar *>("progressBar")->value(), 100, 5000);
        QVERIFY(!check->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(check->isVisible(), 3000);
        QVERIFY(!launch->isVisible());
    }

    void directoryAsProgram_showsTheLaunchAlert_andHides()
    {
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "InstallLocation", environment.root() } });
        QString text;
        QString title;
        answerNextModal("toolButton_action", [&](QWidget *alert) {
            text = alert->findChild<QLabel *>("label_text")->text();
            title = alert->findChild<QLabel *>("label_title")->text();
        });
        server->processMessage("{\"VantrelUseScene\":\"00\"}");
        LoadingWidget *launch = UtilManager::instance()->loadingWidget();
        QTRY_COMPARE_WITH_TIMEOUT(
            text, QString("软件启动失败！请重新安装%1").arg(SignatureClientTitle), 5000);
        QCOMPARE(title, QString("启动提示"));
        QTRY_VERIFY(!launch->isVisible());
    }

    void endedProcess_barClimbsTo99_andTheTimerStopsWhenHidden()
    {
        registerTool(environment, SignatureClientTitle, "/bin/true");
        LoadingWidget *launch = UtilManager::instance()->loadingWidget();
        server->processMessage("{\"VantrelUseScene\":\"00\"}");
        QTRY_COMPARE_WITH_TIMEOUT(launch->progressValue(), 99, 5000);
        QVERIFY(launch->isWaitingForProcess());
        QCOMPARE(launch->findChild<QLabel *>("label_progress")->text(), QString("99%"));
        launch->hide();
        QVERIFY(!launch->isWaitingForProcess());

        // The next launch starts from 0 and again advances one step per tick.
        registerTool(environment, SignatureClientTitle, SAMPLE_SIGNATURE_CLIENT);
        server->processMessage("{\"VantrelUseScene\":\"00\"}");
        QCOMPARE(launch->progressValue(), 0);
        QCOMPARE(launch->findChild<QProgressBar *>("progressBar")->value(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(launch->findChild<QProgressBar *>("progressBar")->value(), 100, 5000);
    }

    // A launch whose process ended before it ran drops its commands (logged); a start for the other tool
    // that came meanwhile waits its turn, then is launched and delivered.
    void endedProcess_dropsItsCommands_andTheWaitingLaunchFollows()
    {
        registerTool(environment, SignatureClientTitle, "/bin/true");
        registerTool(environment, EncryptedClientTitle, SAMPLE_ENCRYPTED_CLIENT);
        LogCapture log;
        const QString later = "{\"VantrelUseScene\":\"01\",\"operationCommand\":\"startTool\"}";
        server->processMessage("{\"VantrelUseScene\":\"00\"}");
        QTest::qWait(300);
        server->processMessage(later);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ later }), 10000);
        const QRegularExpression dropped(
            QString("^1 commands for %1 not delivered: its process ended before it ran$")
                .arg(SignatureClientTitle));
        QCOMPARE(log.lines().filter(dropped).size(), 1);
        QCOMPARE(probe.requests.size(), 2);
    }

    // A tool that allows one copy ends a second start at once and goes on in its first copy: the
    // commands go to that copy rather than being dropped.
    void endedProcess_withTheToolRunning_handsOverToIt()
    {
        QProcess running;
        running.start(SAMPLE_SIGNATURE_CLIENT, QStringList());
        QVERIFY(running.waitForStarted(5000));
        const auto stopRunning = qScopeGuard([&running]() {
            running.kill();
            running.waitForFinished(5000);
        });
        registerTool(environment, SignatureClientTitle, "/bin/true");
        const QString message = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\"}";
        server->processMessage(message);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ message }), 10000);
    }

    void twoStartsWithinASecond_makeOneLaunch()
    {
        LogCapture log;
        server->processMessage("{\"VantrelUseScene\":\"01\"}");
        QTest::qWait(300);
        server->processMessage("{\"VantrelUseScene\":\"01\"}");
        QTRY_VERIFY_WITH_TIMEOUT(UtilManager::instance()->checkWidget()->isVisible(), 5000);
        QTest::qWait(1500);
        QCOMPARE(log.count("-------------未安装"), 1);
    }

    // The disk alert ends the signature client's launch while the encryption client's waits: the
    // program goes on, and the waiting launch starts its tool with its command.
    void diskAlert_theWaitingLaunchFollows()
    {
        qputenv("VANTREL_DISK_FREE_BYTES", "1024");
        registerTool(environment, EncryptedClientTitle, SAMPLE_ENCRYPTED_CLIENT);
        UtilManager::instance()->homeWidget()->hide(); // the launch window is the only one
        const QString later = "{\"VantrelUseScene\":\"01\",\"operationCommand\":\"startTool\"}";
        answerNextModal("toolButton_action", [&](QWidget *) {
            server->processMessage(later);
            qputenv("VANTREL_DISK_FREE_BYTES", "99999999999"); // the disk has room again
        });
        server->processMessage("{\"VantrelUseScene\":\"00\"}");
        QTimer delivered;
        connect(&delivered, &QTimer::timeout, [&]() {
            if (!readRecordedFrames(record).isEmpty())
                QCoreApplication::exit(0);
        });
        delivered.start(50);
        QTimer::singleShot(15000, []() { QCoreApplication::exit(1); }); // bound
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(readRecordedFrames(record), QStringList({ later }));
    }

    // Last: the program ends when the alert closes the launch window and no other window is visible.
    void networkAlert_closesTheLaunchWindow_andTheProgramEnds()
    {
        qputenv("VANTREL_PROBE_URL", "http://127.0.0.1:1/");
        UtilManager::instance()->homeWidget()->show();
        QString text;
        answerNextModal("toolButton_action",
            [&](QWidget *alert) { text = alert->findChild<QLabel *>("label_text")->text(); });
        server->processMessage("{\"VantrelUseScene\":\"00\"}");
        QTimer::singleShot(8000, []() { QCoreApplication::exit(1); }); // bound
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(text, QString("网络异常，未能连接到服务器！"));
    }

private:
    TestEnvironment environment;
    LoopbackHttpServer probe;
    QScopedPointer<WebSocketServer> server;
    QString record;
};

QTEST_MAIN(LaunchTest)
#include "tst_launch.moc"
