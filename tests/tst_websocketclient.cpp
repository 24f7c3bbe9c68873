// The client to the tools against real sample-tool processes and an in-test WebSocket server.
#include "TestSupport.h"
#include "ToolDelivery.h"
#include "WebSocketClient.h"

#include <QCryptographicHash>

#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

class WebSocketClientTest : public QObject
{
    Q_OBJECT

private slots:
    void pendingMessageFirst_thenLaterMessages()
    {
        const QString record = environment.root() + "/first.txt";
        QProcess tool;
        tool.start(SAMPLE_SIGNATURE_CLIENT, { "--port", "47101", "--record", record });
        QVERIFY(tool.waitForStarted(5000));
        WebSocketClient client;
        const QString start = "{\"VantrelUseScene\":\"00\",\"unknown\":{\"a\":[1,\"line\\nfeed\"]}}";
        client.connectTo("ws://localhost:47101", start);
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), 10000);
        client.sendTextMsg("second frame");
        QByteArray expected = start.toUtf8() + "\n" + "second frame\n";
        QTRY_COMPARE_WITH_TIMEOUT(readFile(record), expected, 5000);
        stop(tool);
    }

    void frameHoldingALineFeed_isRecordedAsItIs()
    {
        const QString record = environment.root() + "/linefeed.txt";
        QProcess tool;
        tool.start(SAMPLE_SIGNATURE_CLIENT, { "--port", "47102", "--record", record });
        QVERIFY(tool.waitForStarted(5000));
        WebSocketClient client;
        client.connectTo("ws://localhost:47102", "a\nb");
        QTRY_COMPARE_WITH_TIMEOUT(readFile(record), QByteArray("a\nb\n"), 10000);
        stop(tool);
    }

    void toolListeningLate_stillReceivesTheMessage()
    {
        const QString record = environment.root() + "/late.txt";
        QProcess tool;
        tool.start(
            SAMPLE_SIGNATURE_CLIENT, { "--port", "47103", "--record", record, "--listen-delay", "1500" });
        QVERIFY(tool.waitForStarted(5000));
        WebSocketClient client;
        client.connectTo("ws://localhost:47103", "late hello");
        QTRY_COMPARE_WITH_TIMEOUT(readFile(record), QByteArray("late hello\n"), 10000);
        stop(tool);
    }

    void listenDelayFromEnvironment_isHonoured()
    {
        const QString record = environment.root() + "/env.txt";
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VANTREL_SAMPLE_RECORD", record);
        env.insert("VANTREL_SAMPLE_LISTEN_DELAY_MS", "800");
        tool.setProcessEnvironment(env);
        tool.start(SAMPLE_SIGNATURE_CLIENT, { "--port", "47104" });
        QVERIFY(tool.waitForStarted(5000));
        QTest::qWait(300);
        QTcpSocket early;
        early.connectToHost(QHostAddress::LocalHost, 47104);
        QVERIFY(!early.waitForConnected(200));
        WebSocketClient client;
        client.connectTo("ws://localhost:47104", "from env");
        QTRY_COMPARE_WITH_TIMEOUT(readFile(record), QByteArray("from env\n"), 10000);
        stop(tool);
    }

    void textFromTheTool_isReEmittedOncePerMessage_acrossReconnections()
    {
        QWebSocketServer tool("tool", QWebSocketServer::NonSecureMode);
        QVERIFY(tool.listen(QHostAddress::LocalHost));
        QList<QWebSocket *> accepted;
        connect(&tool, &QWebSocketServer::newConnection,
            [&]() { accepted.append(tool.nextPendingConnection()); });
        WebSocketClient client;
        QSignalSpy received(&client, &WebSocketClient::signalRecvTextMsg);
        const QString url = QString("ws://127.0.0.1:%1").arg(tool.serverPort());

        for (int round = 1; round <= 2; ++round) {
            client.connectTo(url, "hello");
            QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), round, 5000);
            QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), 5000);
            accepted.last()->sendTextMessage(QString("reply %1").arg(round));
            QTRY_COMPARE_WITH_TIMEOUT(received.size(), round, 5000);
            QCOMPARE(received.last().first().toString(), QString("reply %1").arg(round));
            accepted.last()->close();
            QTRY_VERIFY_WITH_TIMEOUT(!client.isConnected(), 5000);
        }
        QTest::qWait(100);
        QCOMPARE(received.size(), 2);
        qDeleteAll(accepted);
    }

    void toolClosed_laterMessageIsLoggedAsNotRunning()
    {
        QProcess tool;
        tool.start(SAMPLE_SIGNATURE_CLIENT, { "--port", "47105" });
        QVERIFY(tool.waitForStarted(5000));
        WebSocketClient client;
        client.connectTo("ws://localhost:47105", "start");
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), 10000);
        stop(tool);
        QTRY_VERIFY_WITH_TIMEOUT(!client.isConnected(), 5000);
        LogCapture log;
        client.sendTextMsg("closeTool");
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().startsWith("VantrelDetectInstallTool/WebSocketClient "));
        QVERIFY(
            log.lines().first().endsWith(" Failed to WebSocketClient::sendTextMsg , it's not running..."));
    }

    void givesUpAfterTheLimit_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::newRow("nobody listening") << false;
        QTest::newRow("a listener that never answers the handshake") << true;
    }

    void givesUpAfterTheLimit()
    {
        QFETCH(bool, listening);
        QTcpServer silent;
        QVERIFY(!listening || silent.listen(QHostAddress::LocalHost, 47106));
        LogCapture log;
        WebSocketClient client;
        QSignalSpy abandoned(&client, &WebSocketClient::abandoned);
        QElapsedTimer elapsed;
        elapsed.start();
        client.connectTo("ws://127.0.0.1:47106", "lost");
        QTRY_VERIFY_WITH_TIMEOUT(
            log.hasLineStartingWith("Gave up connecting to \"ws://127.0.0.1:47106\" after 15000 ms ("),
            ConnectRetryLimitMs + 5000);
        QVERIFY(elapsed.elapsed() >= ConnectRetryLimitMs - 500);
        QVERIFY(!client.isConnected());
        QVERIFY(!client.isConnecting());
        QCOMPARE(abandoned.size(), 1);
        // The first failed try's lines (its error, its end), none for the other retries.
        QVERIFY(log.lines().filter("VantrelDetectInstallTool/WebSocketClient").size() <= 2);
    }

    // A tool that takes the connection and then reads nothing: what is handed to its connection stays
    // within the unwritten bound, and the other commands wait in the road's queue.
    void toolThatStopsReading_restWaitsInTheQueue()
    {
        QTcpServer tool;
        QVERIFY(tool.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> connections;
        connect(&tool, &QTcpServer::newConnection, [&tool, &connections]() {
            QTcpSocket *socket = tool.nextPendingConnection();
            connections << socket;
            socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
            connect(socket, &QTcpSocket::readyRead, socket, [socket]() {
                if (socket->readBufferSize() != 0 || !socket->peek(4096).contains("\r\n\r\n"))
                    return;
                const QByteArray request = socket->readAll();
                const QByteArray key = request.mid(request.indexOf("Sec-WebSocket-Key: ") + 19, 24);
                socket->write(
                    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: "
                    + QCryptographicHash::hash(
                        key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
                          .toBase64()
                    + "\r\n\r\n");
                socket->setReadBufferSize(1); // from here on, nothing more is read
            });
        });
        ToolDelivery delivery("tool", "no-such-program", QString("ws://127.0.0.1:%1").arg(tool.serverPort()));
        const QString command
            = "{\"VantrelUseScene\":\"00\",\"document\":\"" + QString(256 * 1024, 'x') + "\"}";
        QSignalSpy receipts(&delivery, &ToolDelivery::settled);
        for (int i = 0; i < 60; ++i)
            QVERIFY(delivery.acceptStart(command, QString(), i + 1) != ToolDelivery::StartOutcome::Refused);
        delivery.releaseWaiting();
        QTRY_VERIFY_WITH_TIMEOUT(
            delivery.client()->unwrittenBytes() >= MaxUnwrittenBytes - command.size(), 10000);
        QTest::qWait(200);
        QVERIFY(delivery.client()->unwrittenBytes() <= MaxUnwrittenBytes + command.size());
        QVERIFY2(delivery.waitingCount() > 0, "every command was handed to the connection");
        QCOMPARE(receipts.size(), 0); // nothing counts as delivered while unwritten
        // The tool drops the connection: what it did not take is said unreachable, the rest goes over a new
        // one.
        const int waitingBefore = delivery.waitingCount();
        connections.first()->abort();
        QTRY_COMPARE_WITH_TIMEOUT(connections.size(), 2, 5000);
        QVERIFY(receipts.size() > 0 && receipts.size() == 60 - waitingBefore);
        for (const QList<QVariant> &receipt : receipts)
            QCOMPARE(receipt.at(1).value<CommandOutcome>(), CommandOutcome::ToolUnreachable);
    }

    // Another user holds the tool's port (the tool could not listen): the message never reaches them.
    void anotherUsersListener_getsNothing()
    {
        if (otherUserLauncher().isEmpty())
            QSKIP("the tests cannot act as another user here");
        TestEnvironment environment;
        giveToOtherUser(environment.root());
        const QString record = environment.root() + "/frames.txt";
        QProcess other;
        startAsOtherUser(other, SAMPLE_SIGNATURE_CLIENT, { "--port", "47107", "--record", record });
        QVERIFY(other.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(isListening(47107), 5000);
        LogCapture log;
        WebSocketClient client;
        QSignalSpy abandoned(&client, &WebSocketClient::abandoned);
        client.connectTo("ws://127.0.0.1:47107", "SECRET-TOKEN");
        QTRY_COMPARE_WITH_TIMEOUT(abandoned.size(), 1, 2000);
        QCOMPARE(abandoned.first().first().toString(),
            QString("the tool's port is held by another user (uid 65534)"));
        QVERIFY(log.hasLineStartingWith(
            "Not handing over to ws://127.0.0.1:47107: its listener belongs to another user"));
        // A page's receipt says so without naming the user.
        ToolDelivery delivery("tool", "no-such-program", "ws://127.0.0.1:47107");
        QSignalSpy receipts(&delivery, &ToolDelivery::settled);
        delivery.acceptStart("SECRET-TOKEN", QString(), 1);
        delivery.releaseWaiting();
        QTRY_COMPARE_WITH_TIMEOUT(receipts.size(), 1, 2000);
        QVERIFY(!receipts.first().at(2).toString().contains("65534"));
        QTest::qWait(500);
        QVERIFY(readFile(record).isEmpty());
        other.kill();
        other.waitForFinished(5000);
    }

private:
    static bool isListening(quint16 port)
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(200);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static void stop(QProcess &tool)
    {
        tool.kill();
        tool.waitForFinished(5000);
    }

    TestEnvironment environment;
};

QTEST_GUILESS_MAIN(WebSocketClientTest)
#include "tst_websocketclient.moc"
