// End to end: the real program process, driven as a browser page drives it over its three ports,
// starting real sample-tool processes that record what they receive.
#include "Constants.h"
#include "LoopbackHttpServer.h"
#include "Platform.h"
#include "Resources.h"
#include "TestSupport.h"
#include "UtilManager.h"

#include <QUrlQuery>
#include <QWebSocket>
#include <QtTest>

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(probe.listen());
        QVERIFY(versions.listen());
        versions.handler = [](const LoopbackHttpRequest &, QTcpSocket *socket) {
            LoopbackHttpServer::respond(socket, 200, "{\"code\":200,\"data\":{\"versionNumber\":1}}");
        };
    }

    void init()
    {
        environment.reset(new TestEnvironment);
        record = environment->root() + "/frames.txt";
        registerTool(*environment, SignatureClientTitle, SAMPLE_SIGNATURE_CLIENT);
        registerTool(*environment, EncryptedClientTitle, SAMPLE_ENCRYPTED_CLIENT);
        probe.requests.clear();
        extraEnvironment.clear();
    }

    void cleanup()
    {
        // Whatever the road left open, the program quits cleanly (and leak-free under the sanitizers).
        QString failure;
        if (program.state() != QProcess::NotRunning)
            failure = stopProgramCleanly(program);
        killProgramsNamed(SignatureClientName);
        killProgramsNamed(EncryptedClientName);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void startScene00_onEachPort_reachesTheSignatureClient_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("ws 12345") << "ws://127.0.0.1:12345";
        QTest::newRow("ws 51868") << "ws://127.0.0.1:51868";
        QTest::newRow("wss 51869") << "wss://localhost:51869";
    }

    void startScene00_onEachPort_reachesTheSignatureClient()
    {
        QFETCH(QString, url);
        startProgram();
        const QString message
            = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\",\"page\":\"门户\",\"n\":[1,2]}";
        send(url, message);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ message }), 15000);
        QVERIFY(UtilManager::isToolRunning(SignatureClientName));
        QVERIFY(!UtilManager::isToolRunning(EncryptedClientName));
    }

    // What the support desk reads: the road of a start command and the quit, with times and levels;
    // the page's long message cut in the file.
    void logFile_holdsTheRoad_withLongMessagesCut()
    {
        startProgram();
        const QString message
            = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\",\"document\":\""
            + QString(2000, 'd') + "\"}";
        send("ws://127.0.0.1:51868", message);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ message }), 15000);
        const QString failure = stopProgramCleanly(program);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));

        QFile file(Platform::logFolder() + "/VantrelDetectInstallTool.log");
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        const QString text = QString::fromUtf8(file.readAll());
        const QString stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[debug\\] ";
        for (const QString &line : { QString("WebSocket \\(ws\\) server listening on port 51868"),
                 QString("New WS connection established"), QString("-------------已安装 .*"),
                 QString("(Termination requested, quitting|Asked to quit by another start of the program)") })
            QVERIFY2(
                QRegularExpression("(^|\n)" + stamp + line + "\n").match(text).hasMatch(), qPrintable(line));
        QVERIFY(text.contains(QRegularExpression("\\.\\.\\. \\[cut: \\d+ characters\\]\n")));
        QVERIFY(!text.contains(QString(400, 'd')));
    }

    void otherScenes_reachTheEncryptionClient_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::newRow("01") << "01";
        QTest::newRow("any other") << "x9";
    }

    void otherScenes_reachTheEncryptionClient()
    {
        QFETCH(QString, scene);
        startProgram();
        const QString message = QString("{\"VantrelUseScene\":\"%1\"}").arg(scene);
        send("ws://127.0.0.1:51868", message);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ message }), 15000);
        QVERIFY(UtilManager::isToolRunning(EncryptedClientName));
    }

    void lateListeningTool_stillReceives_andCloseToolFollows()
    {
        extraEnvironment.insert("VANTREL_SAMPLE_LISTEN_DELAY_MS", "2500");
        startProgram();
        QWebSocket page;
        QVERIFY(open(page, "ws://127.0.0.1:12345"));
        const QString start = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\"}";
        page.sendTextMessage(start);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ start }), 15000);
        const QString close = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"closeTool\"}";
        page.sendTextMessage(close);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ start, close }), 10000);
    }

    void missingTool_leadsToTheCheckWindow()
    {
        environment->clearEntries();
        startProgram();
        const int before = versionQueries(EncryptedClientName);
        send("ws://127.0.0.1:51868", "{\"VantrelUseScene\":\"01\"}");
        // The check window queries the version of the missing tool when its check starts.
        QTRY_COMPARE_WITH_TIMEOUT(versionQueries(EncryptedClientName), before + 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(program.log().contains("-------------未安装"), 5000);
        QVERIFY(!UtilManager::isToolRunning(EncryptedClientName));
    }

    void tooLittleDisk_alertsAndStartsNothing()
    {
        extraEnvironment.insert("VANTREL_DISK_FREE_BYTES", "1024");
        startProgram();
        send("ws://127.0.0.1:51868", "{\"VantrelUseScene\":\"00\"}");
        QTRY_VERIFY_WITH_TIMEOUT(program.log().contains("Alert: 异常提示 工作目录所在磁盘("), 10000);
        QVERIFY(probe.requests.isEmpty()); // the disk check comes first
        QTest::qWait(300);
        QVERIFY(!UtilManager::isToolRunning(SignatureClientName));
    }

    void unreachableNetwork_alertsAndStartsNothing()
    {
        extraEnvironment.insert("VANTREL_PROBE_URL", "http://127.0.0.1:1/");
        startProgram();
        send("ws://127.0.0.1:51868", "{\"VantrelUseScene\":\"00\"}");
        QTRY_VERIFY_WITH_TIMEOUT(
            program.log().contains("Alert: 异常提示 网络异常，未能连接到服务器！"), 10000);
        QVERIFY(!UtilManager::isToolRunning(SignatureClientName));
    }

    void directoryAsProgram_alertsTheLaunchFailure()
    {
        environment->clearEntries();
        environment->writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "InstallLocation", environment->root() } });
        startProgram();
        send("ws://127.0.0.1:51868", "{\"VantrelUseScene\":\"00\"}");
        QTRY_VERIFY_WITH_TIMEOUT(
            program.log().contains(
                QString("Alert: 启动提示 软件启动失败！请重新安装%1").arg(SignatureClientTitle)),
            10000);
    }

    void twoStartsWithinASecond_eachRunsItsSequence()
    {
        startProgram();
        QWebSocket page;
        QVERIFY(open(page, "ws://127.0.0.1:51868"));
        page.sendTextMessage("{\"VantrelUseScene\":\"00\"}");
        QTest::qWait(400);
        page.sendTextMessage("{\"VantrelUseScene\":\"00\"}");
        QTRY_COMPARE_WITH_TIMEOUT(probe.requests.size(), 2, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(program.log().count("-------------已安装") == 2, 10000);
    }

private:
    void startProgram()
    {
        versions.requests.clear();
        QMap<QString, QString> settings = { { "VANTREL_PROBE_URL", probe.baseUrl() + "/" },
            { "VANTREL_VERSION_SERVICE_URL", versions.baseUrl() },
            { "VANTREL_DISK_FREE_BYTES", "99999999999" }, { "VANTREL_SAMPLE_RECORD", record } };
        settings.insert(extraEnvironment);
        QVERIFY2(program.startWith(PROGRAM_PATH, settings), qPrintable(program.log()));
        // The home window's three queries at start-up.
        QTRY_COMPARE_WITH_TIMEOUT(versions.requests.size(), 3, 10000);
    }

    int versionQueries(const QString &code) const
    {
        int count = 0;
        for (const LoopbackHttpRequest &request : versions.requests)
            count
                += QUrlQuery(QUrl(QString::fromUtf8(request.target))).queryItemValue("componentCode") == code;
        return count;
    }

    static bool open(QWebSocket &page, const QString &url)
    {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(
            QSslCertificate::fromPath(TEST_SOURCE_DIR "/../resources/dev-root-ca.pem"));
        page.setSslConfiguration(configuration);
        QSignalSpy connected(&page, &QWebSocket::connected);
        page.open(QUrl(url));
        return connected.wait(5000) || connected.count() > 0;
    }

    static void send(const QString &url, const QString &message)
    {
        QWebSocket page;
        QVERIFY2(open(page, url), qPrintable(page.errorString()));
        page.sendTextMessage(message);
        page.flush();
        QTest::qWait(100);
        page.close();
    }

    QScopedPointer<TestEnvironment> environment;
    LoopbackHttpServer probe;
    LoopbackHttpServer versions;
    ProgramProcess program;
    QString record;
    QMap<QString, QString> extraEnvironment;
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
