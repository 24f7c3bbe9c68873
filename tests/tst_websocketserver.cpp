// The command server on its real ports: ws and wss listeners, command parsing and its log lines,
// the close path to a real sample tool, connection bookkeeping, a busy port and loopback binding.
#include "CommandRouting.h"
#include "Constants.h"
#include "Platform.h"
#include "Resources.h"
#include "TestSupport.h"
#include "ToolDelivery.h"
#include "UtilManager.h"
#include "WebSocketClient.h"
#include "WebSocketServer.h"

#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

namespace {

QSslConfiguration trustingDevelopmentRoot()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(
        QSslCertificate::fromPath(TEST_SOURCE_DIR "/../resources/dev-root-ca.pem"));
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

bool openClient(QWebSocket &client, const QString &url)
{
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(url));
    return connected.wait(5000) || connected.count() > 0;
}

// The server as the program wires it, but without windows: a launch is asked of nobody.
struct RoutedServer : WebSocketServer
{
    RoutedServer()
    {
        routeCommands(this, [](ToolDelivery *) {});
    }
};

} // namespace

class WebSocketServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initProgramResources(); }

    void init()
    {
        environment.clearEntries();
        UtilManager::instance()->useScene = "01";
        UtilManager::instance()->operationCommand = "startTool";
        UtilManager::instance()->lastMessage.clear();
        // Start commands of earlier cases wait for a launch or an installation; they would go first.
        for (const QString scene : { "00", "01" })
            UtilManager::instance()->toolDelivery(scene)->dropWaitingLaunch("a new test case");
    }

    void listeners_allAcceptAndHandleTheSameCommand_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("acceptLog");
        QTest::newRow("Server ws 12345") << "ws://127.0.0.1:12345"
                                         << "New connection established";
        QTest::newRow("WS Server ws 51868") << "ws://127.0.0.1:51868"
                                            << "New WS connection established";
        QTest::newRow("WSS Server wss 51869") << "wss://127.0.0.1:51869"
                                              << "New WSS connection established";
        // Browsers try [::1] first for "localhost".
        QTest::newRow("Server ws [::1]:12345") << "ws://[::1]:12345"
                                               << "New connection established";
        QTest::newRow("WS Server ws [::1]:51868") << "ws://[::1]:51868"
                                                  << "New WS connection established";
        QTest::newRow("WSS Server wss [::1]:51869") << "wss://[::1]:51869"
                                                    << "New WSS connection established";
    }

    void listeners_allAcceptAndHandleTheSameCommand()
    {
        QFETCH(QString, url);
        QFETCH(QString, acceptLog);
        LogCapture log;
        RoutedServer server;
        QWebSocket client;
        QList<QSslError> sslErrors;
        connect(&client, &QWebSocket::sslErrors,
            [&sslErrors](const QList<QSslError> &errors) { sslErrors = errors; });
        client.setSslConfiguration(trustingDevelopmentRoot());
        QVERIFY2(openClient(client, url), qPrintable(client.errorString()));
        QVERIFY2(sslErrors.isEmpty(), qPrintable(sslErrors.value(0).errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(log.count(acceptLog), 1, 5000);

        const QString command = R"({"VantrelUseScene":"00","operationCommand":"closeTool","extra":[1,2]})";
        client.sendTextMessage(command);
        QTRY_COMPARE_WITH_TIMEOUT(UtilManager::instance()->lastMessage, command, 5000);
        QCOMPARE(UtilManager::instance()->useScene, QString("00"));
        QCOMPARE(UtilManager::instance()->operationCommand, QString("closeTool"));
        QCOMPARE(server.connectionCount(), 1);

        client.close();
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 0, 5000);
    }

    void wss_presentsTheWholeChain()
    {
        RoutedServer server;
        QWebSocket client;
        client.setSslConfiguration(trustingDevelopmentRoot());
        QVERIFY(openClient(client, "wss://localhost:51869"));
        const QList<QSslCertificate> chain = client.sslConfiguration().peerCertificateChain();
        QVERIFY(chain.size() >= 2);
        QCOMPARE(chain.at(0).subjectInfo(QSslCertificate::CommonName).value(0), QString("localhost"));
        QCOMPARE(chain.at(1).subjectInfo(QSslCertificate::CommonName).value(0),
            QString("Vantrel Development Intermediate CA"));
    }

    void processMessage_malformed_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("expectedLog");
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("operation");
        const QStringList bothLines = { "Failed to parse JSON.", "VantrelUseScene not found in JSON." };
        QTest::newRow("not JSON") << "hello" << bothLines << "01"
                                  << "startTool";
        QTest::newRow("array") << R"(["00"])" << bothLines << "01"
                               << "startTool";
        QTest::newRow("numeric scene") << R"({"VantrelUseScene":1})" << QStringList() << "01"
                                       << "startTool";
        QTest::newRow("missing scene") << R"({"operationCommand":"closeTool"})"
                                       << QStringList { "VantrelUseScene not found in JSON." } << "01"
                                       << "startTool";
        QTest::newRow("no operation stores empty")
            << R"({"VantrelUseScene":"07","operationCommand":3})" << QStringList() << "07"
            << "";
        QTest::newRow("closetool lower case is a start")
            << R"({"VantrelUseScene":"00","operationCommand":"closetool"})" << QStringList() << "00"
            << "closetool";
    }

    void processMessage_malformed()
    {
        QFETCH(QString, message);
        QFETCH(QStringList, expectedLog);
        QFETCH(QString, scene);
        QFETCH(QString, operation);
        RoutedServer server;
        LogCapture log;
        server.processMessage(message);
        QCOMPARE(log.lines(), expectedLog);
        QCOMPARE(UtilManager::instance()->lastMessage, message);
        QCOMPARE(UtilManager::instance()->useScene, scene);
        QCOMPARE(UtilManager::instance()->operationCommand, operation);
    }

    void closeTool_forwardsTheSameTextToTheRunningTool()
    {
        const QString record = environment.root() + "/frames.txt";
        QProcess tool;
        tool.start(SAMPLE_ENCRYPTED_CLIENT, { "--record", record });
        QVERIFY(tool.waitForStarted(5000));

        RoutedServer server;
        const QString start = R"({"VantrelUseScene":"01","operationCommand":"startTool","k":"v"})";
        UtilManager::instance()->webSocketClient()->connectTo(EncryptedClientUrl, start);
        QTRY_VERIFY_WITH_TIMEOUT(UtilManager::instance()->webSocketClient()->isConnected(), 10000);

        const QString close
            = "{ \"VantrelUseScene\" : \"01\", \"operationCommand\":\"closeTool\", \"n\":\"\\u4e2d\" }";
        server.processMessage(close);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ start, close }), 5000);

        tool.kill();
        tool.waitForFinished(5000);
        QTRY_VERIFY_WITH_TIMEOUT(!UtilManager::instance()->webSocketClient()->isConnected(), 5000);
    }

    void closeTool_withoutRunningToolDoesNothing()
    {
        RoutedServer server;
        LogCapture log;
        server.processMessage(R"({"VantrelUseScene":"00","operationCommand":"closeTool"})");
        QTest::qWait(100);
        QVERIFY(UtilManager::isToolRunning(SignatureClientName) == false);
        for (const QString &line : log.lines())
            QVERIFY2(!line.contains("sendTextMsg") && !line.contains("closeTool"), qPrintable(line));
        QCOMPARE(UtilManager::instance()->operationCommand, QString("closeTool"));
    }

    void disconnectingClient_removedOnceAndDeletedLater()
    {
        LogCapture log;
        RoutedServer server;
        QWebSocket client;
        QVERIFY(openClient(client, "ws://127.0.0.1:51868"));
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, 5000);
        const QList<QWebSocket *> serverSockets = server.findChildren<QWebSocket *>();
        QList<QPointer<QWebSocket>> watched;
        for (QWebSocket *socket : serverSockets)
            watched.append(socket);
        client.close();
        QTRY_COMPARE_WITH_TIMEOUT(log.count("WS connection closed"), 1, 5000);
        QCOMPARE(server.connectionCount(), 0);
        QTest::qWait(50);
        for (const QPointer<QWebSocket> &socket : watched)
            QVERIFY(socket.isNull());
        QCOMPARE(log.count("WS connection closed"), 1);
    }

    // A port taken by another program: the other listeners serve, the failure is logged once, and the
    // port is served as soon as it is free again.
    void portInUse_otherListenersWork_thePortIsServedOnceFree_data()
    {
        QTest::addColumn<quint16>("port");
        QTest::addColumn<QString>("listeningLog");
        QTest::addColumn<QString>("address");
        QTest::newRow("ws 12345") << ServerPort << "WebSocket (ws) server listening on port 12345"
                                  << "127.0.0.1";
        QTest::newRow("ws 51868") << WsServerPort << "WebSocket (ws) server listening on port 51868"
                                  << "127.0.0.1";
        QTest::newRow("wss 51869") << WssServerPort << "WebSocket Secure (wss) server listening on port 51869"
                                   << "127.0.0.1";
        QTest::newRow("ws [::1]:51868")
            << WsServerPort << "WebSocket (ws) server listening on port 51868 at [::1]"
            << "::1";
        QTest::newRow("wss [::1]:51869")
            << WssServerPort << "WebSocket Secure (wss) server listening on port 51869 at [::1]"
            << "::1";
    }

    void portInUse_otherListenersWork_thePortIsServedOnceFree()
    {
        QFETCH(quint16, port);
        QFETCH(QString, listeningLog);
        QFETCH(QString, address);
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress(address), port));
        const QString where = address == "::1" ? QString("[::1]:%1").arg(port) : QString::number(port);
        LogCapture log;
        RoutedServer server;
        QVERIFY(!log.lines().contains(listeningLog));
        for (quint16 other : { ServerPort, WsServerPort, WssServerPort }) {
            if (other == port)
                continue;
            QWebSocket client;
            client.setSslConfiguration(trustingDevelopmentRoot());
            QVERIFY(openClient(client,
                QString(other == WssServerPort ? "wss://127.0.0.1:%1" : "ws://127.0.0.1:%1").arg(other)));
        }
        QTest::qWait(ListenRetryMs + 500);
        QCOMPARE(log.lines().filter(QString("Could not listen on port %1: ").arg(where)).size(), 1);
        squatter.close();
        QTRY_VERIFY_WITH_TIMEOUT(log.lines().contains(listeningLog), ListenRetryMs * 3);
        QWebSocket client;
        client.setSslConfiguration(trustingDevelopmentRoot());
        QVERIFY(openClient(client,
            QString(port == WssServerPort ? "wss://%1:%2" : "ws://%1:%2")
                .arg(address == "::1" ? "[::1]" : address)
                .arg(port)));
    }

    // A client of another user of the machine: refused before anything it sends is read.
    void otherUsersClient_isRefused_nothingRead_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("ws 127.0.0.1:51868") << "ws://127.0.0.1:51868";
        QTest::newRow("ws [::1]:12345") << "ws://[::1]:12345";
        QTest::newRow("wss 127.0.0.1:51869") << "wss://127.0.0.1:51869";
    }

    void otherUsersClient_isRefused_nothingRead()
    {
        QFETCH(QString, url);
        if (otherUserLauncher().isEmpty())
            QSKIP("the tests cannot act as another user here");
        RoutedServer server;
        LogCapture log;
        QProcess page;
        startAsOtherUser(page, WS_SEND,
            { url, R"({"VantrelUseScene":"00","token":"SECRET"})", "--ca",
                TEST_SOURCE_DIR "/../resources/dev-root-ca.pem" });
        QTRY_COMPARE_WITH_TIMEOUT(page.state(), QProcess::NotRunning, 15000);
        QVERIFY(
            log.lines().contains(QString("Refused a connection of another user: uid %1").arg(OtherUserId)));
        QVERIFY(UtilManager::instance()->lastMessage.isEmpty());
        QCOMPARE(server.connectionCount(), 0);
    }

    // The system answers a lookup of a gone connection with a listener on the client's address and port
    // (another user can bind one beside their client and close the client at the right moment): the
    // listener's owner is not the client's.
    void goneConnection_isNotTakenForAListenerOnItsPort()
    {
        QTcpServer besideTheClient;
        QVERIFY(besideTheClient.listen(QHostAddress::LocalHost, 47108));
        const Platform::SocketOwner owner = Platform::peerSocketOwner(
            QHostAddress::LocalHost, WsServerPort, QHostAddress::LocalHost, 47108);
        QCOMPARE(int(owner.kind), int(Platform::SocketOwner::Kind::Unknown));
    }

    // Another user's program (or anything of theirs) holds a command port: said once, tried again.
    void portHeldByAnotherUser_isSaidOnce()
    {
        if (otherUserLauncher().isEmpty())
            QSKIP("the tests cannot act as another user here");
        QProcess other;
        startAsOtherUser(other, SAMPLE_SIGNATURE_CLIENT, { "--port", "51868" });
        QVERIFY(other.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QTcpServer().listen(QHostAddress::LocalHost, WsServerPort) == false, 5000);
        LogCapture log;
        RoutedServer server;
        QSignalSpy told(&server, &WebSocketServer::portHeldByOtherUser);
        QTRY_COMPARE_WITH_TIMEOUT(told.size(), 1, 2000);
        QCOMPARE(told.first().at(1).toString(), QString("uid %1").arg(OtherUserId));
        QVERIFY(log.hasLineStartingWith("Port 51868 is held by another user (uid 65534)"));
        QTest::qWait(ListenRetryMs + 500);
        QCOMPARE(told.size(), 1);
        other.kill();
        other.waitForFinished(5000);
    }

    // 127.0.0.2 reaches this machine through the loopback interface too, but it is not the address
    // the listeners are bound to: a listener on every address would answer it.
    void listeners_notReachableFromOtherAddresses()
    {
        RoutedServer server;
        for (quint16 port : { ServerPort, WsServerPort, WssServerPort }) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress("127.0.0.2"), port);
            QVERIFY2(!probe.waitForConnected(2000), qPrintable(QString::number(port)));
            QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);
        }
    }

private:
    TestEnvironment environment;
};

QTEST_MAIN(WebSocketServerTest)
#include "tst_websocketserver.moc"
