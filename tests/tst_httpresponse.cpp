// Reply dispatch against a real HTTP server on loopback: typed callbacks, slot and signal keys,
// invalid keys, retries, repetitions, time-outs, blocking mode and authentication.
#include "HttpClient.h"
#include "HttpResponse.h"
#include "LoopbackHttpServer.h"
#include "TestSupport.h"

#include <QtTest>

using namespace Qt;

class Receiver : public QObject
{
    Q_OBJECT

public:
    int pings = 0;
    QList<QNetworkReply::NetworkError> errors;

public slots:
    void ping() { ++pings; }
    void onError(QNetworkReply::NetworkError error) { errors.append(error); }
};

class HttpResponseTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        server.reset(new LoopbackHttpServer);
        QVERIFY(server->listen());
    }

    void typedCallbacks_bytesAndJsonObjectOnNonJsonBody()
    {
        server->handler = [](const LoopbackHttpRequest &, QTcpSocket *socket) {
            LoopbackHttpServer::respond(socket, 200, "not json");
        };
        QByteArray bytes;
        QJsonObject object { { "stale", 1 } };
        QStringList order;
        HttpRequest request = client.get(url("/"));
        request.handleFinished([&](QByteArray body) { bytes = body, order << "bytes"; })
            .handle(Finished, QVariant::fromValue(std::function<void(QJsonObject)>([&](QJsonObject o) {
                object = o;
                order << "json";
            })))
            .handleError([&](QByteArray) { order << "error"; })
            .handle(Repeated, QVariant::fromValue(std::function<void()>([&]() { order << "repeated"; })));
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(order, QStringList({ "bytes", "json", "repeated" }), 5000);
        QCOMPARE(bytes, QByteArray("not json"));
        QVERIFY(object.isEmpty());
    }

    void jsonBody_reachesStringMapAndObjectCallbacks()
    {
        server->handler = [](const LoopbackHttpRequest &, QTcpSocket *socket) {
            LoopbackHttpServer::respond(socket, 200, R"({"code":200,"name":"中文"})");
        };
        QString text;
        QVariantMap map;
        HttpRequest request = client.get(url("/"));
        request
            .handle(Finished, QVariant::fromValue(std::function<void(QString)>([&](QString s) { text = s; })))
            .handle(Finished,
                QVariant::fromValue(std::function<void(QVariantMap)>([&](QVariantMap m) { map = m; })));
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(map.value("name").toString(), QString("中文"), 5000);
        QCOMPARE(text, QString(R"({"code":200,"name":"中文"})"));
    }

    void parameterlessSlot_boundToAllSixFinishedSignals_keepsReply()
    {
        Receiver receiver;
        HttpRequest request = client.get(url("/"));
        request.handle(Finished, "1ping()", &receiver);
        auto *response = qobject_cast<HttpResponse *>(request.exec());
        QPointer<QNetworkReply> reply = qobject_cast<QNetworkReply *>(response->parent());
        QTRY_COMPARE_WITH_TIMEOUT(receiver.pings, 6, 5000);
        QTest::qWait(100);
        QVERIFY(!reply.isNull()); // handed over to the receiver of finished(QNetworkReply*)
        delete reply.data();
    }

    void signalKey_andHeadHandlers()
    {
        server->handler = [](const LoopbackHttpRequest &, QTcpSocket *socket) {
            LoopbackHttpServer::respond(socket, 200, "body", { { "X-Custom", "yes" } });
        };
        HttpResponse relay(HttpRequest(), nullptr);
        QSignalSpy relayed(&relay, SIGNAL(repeated()));
        QMap<QString, QString> headers;
        HttpRequest request = client.get(url("/"));
        request.handle(Repeated, "2repeated()", &relay)
            .handle(Head,
                QVariant::fromValue(std::function<void(QMap<QString, QString>)>(
                    [&](QMap<QString, QString> map) { headers = map; })));
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(relayed.size(), 1, 5000);
        QCOMPARE(headers.value("X-Custom"), QString("yes"));
    }

    void invalidKeysAndKinds_warn()
    {
        HttpRequest request = client.get(url("/"));
        request.handle(Finished, QVariant::fromValue(std::function<void(QUrl)>([](QUrl) {})));
        Receiver receiver;
        request.handle(21, "1ping()", &receiver);
        QTest::ignoreMessage(QtWarningMsg, "0 method[std::function<void (QUrl)>] is invalid");
        QTest::ignoreMessage(QtWarningMsg, "21 unsupported");
        QTest::ignoreMessage(QtWarningMsg, "21 method[ping()] is invalid");
        QVERIFY(request.exec());
        QTest::qWait(200);
    }

    void callbackKeys_areTheLibrarysSpellingWhateverQtNamesTheType()
    {
        using HttpCallbackTypes::keyOf;
        QCOMPARE(keyOf(QVariant::fromValue(std::function<void()>())), QString("std::function<void (void)>"));
        QCOMPARE(keyOf(QVariant::fromValue(std::function<void(qint64, qint64)>())),
            QString("std::function<void (qint64, qint64)>"));
        QCOMPARE(keyOf(QVariant::fromValue(std::function<void(QMap<QString, QString>)>())),
            QString("std::function<void (QMap<QString, QString>)>"));
        QCOMPARE(keyOf(QVariant::fromValue(QUrl())), QString("QUrl"));
    }

    void retries_threeSendsForRetryCountTwo_errorOnce()
    {
        server->handler = [](const LoopbackHttpRequest &, QTcpSocket *socket) {
            LoopbackHttpServer::respond(socket, 500, "broken");
        };
        QStringList order;
        HttpRequest request = client.get(url("/fail"));
        request.setRetryCount(2)
            .handleError([&](QByteArray) { order << "error"; })
            .handle(Retried, QVariant::fromValue(std::function<void()>([&]() { order << "retried"; })))
            .handle(Repeated, QVariant::fromValue(std::function<void()>([&]() { order << "repeated"; })));
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(order, QStringList({ "retried", "error", "repeated" }), 5000);
        QCOMPARE(server->requests.size(), 3);
    }

    void unreachableHost_retriedThenReported()
    {
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            closedPort = probe.serverPort();
        }
        int errors = 0;
        int retried = 0;
        Receiver receiver;
        HttpRequest request = client.get(QString("http://127.0.0.1:%1/").arg(closedPort));
        request.setRetryCount(2).handleError([&](QByteArray) { ++errors; });
        request.handle(Retried, QVariant::fromValue(std::function<void()>([&]() { ++retried; })));
        request.handle(Error, "1onError(QNetworkReply::NetworkError)", &receiver);
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(errors, 1, 5000);
        QCOMPARE(retried, 1);
        QCOMPARE(
            receiver.errors, QList<QNetworkReply::NetworkError>({ QNetworkReply::ConnectionRefusedError }));
    }

    void repetitions_runTheExchangeThreeTimes()
    {
        int finished = 0;
        int repeated = 0;
        HttpRequest request = client.get(url("/again"));
        request.setRepeatCount(3).handleFinished([&](QByteArray) { ++finished; });
        request.handle(Repeated, QVariant::fromValue(std::function<void()>([&]() { ++repeated; })));
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(repeated, 1, 5000);
        QCOMPARE(finished, 3);
        QCOMPARE(server->requests.size(), 3);
    }

    void timeout_errorThenTimeoutCallbacks()
    {
        server->handler = [](const LoopbackHttpRequest &, QTcpSocket *) {};
        QStringList order;
        QByteArray errorText;
        HttpRequest request = client.get(url("/silent"));
        request.setTimeout(1000).handleError([&](QByteArray text) { errorText = text, order << "error"; });
        request.handle(Timeout, QVariant::fromValue(std::function<void()>([&]() { order << "timeout"; })));
        QElapsedTimer elapsed;
        elapsed.start();
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(order, QStringList({ "error", "timeout" }), 5000);
        QVERIFY(elapsed.elapsed() >= 950);
        QCOMPARE(errorText, QByteArray("Operation canceled"));
    }

    void timeoutWithRetry_timeoutPerAttemptErrorOnce()
    {
        server->handler = [](const LoopbackHttpRequest &, QTcpSocket *) {};
        QStringList order;
        HttpRequest request = client.get(url("/silent"));
        request.setTimeout(500).setRetryCount(1).handleError([&](QByteArray) { order << "error"; });
        request.handle(Timeout, QVariant::fromValue(std::function<void()>([&]() { order << "timeout"; })));
        request.handle(Retried, QVariant::fromValue(std::function<void()>([&]() { order << "retried"; })));
        request.handle(Repeated, QVariant::fromValue(std::function<void()>([&]() { order << "repeated"; })));
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(order.size(), 5, 5000);
        QCOMPARE(order, QStringList({ "timeout", "retried", "error", "repeated", "timeout" }));
        QCOMPARE(server->requests.size(), 2);
    }

    void blocking_execReturnsAfterCallbacks()
    {
        server->handler = [](const LoopbackHttpRequest &, QTcpSocket *socket) {
            QTimer::singleShot(200, socket, [socket]() { LoopbackHttpServer::respond(socket, 200, "late"); });
        };
        QByteArray body;
        HttpRequest request = client.get(url("/slow"));
        request.setBlocking(true).handleFinished([&](QByteArray b) { body = b; });
        QVERIFY(request.exec());
        QCOMPARE(body, QByteArray("late"));

        bool failed = false;
        HttpClient ownClient;
        HttpRequest failing = ownClient.get("http://127.0.0.1:1/");
        failing.setBlocking(true).handleError([&](QByteArray) { failed = true; });
        failing.exec();
        QVERIFY(failed);
    }

    void authentication_answeredOnceThenFailureSignals()
    {
        server->handler = [](const LoopbackHttpRequest &request, QTcpSocket *socket) {
            if (request.headers.value("authorization") == "Basic " + QByteArray("user:right").toBase64())
                LoopbackHttpServer::respond(socket, 200, "welcome");
            else
                LoopbackHttpServer::respond(
                    socket, 401, "who?", { { "WWW-Authenticate", "Basic realm=\"test\"" } });
        };
        HttpClient ownClient;
        QByteArray body;
        HttpRequest good = ownClient.get(url("/secret"));
        good.setAuthenticator("user", "right").handleFinished([&](QByteArray b) { body = b; });
        good.exec();
        QTRY_COMPARE_WITH_TIMEOUT(body, QByteArray("welcome"), 5000);

        HttpClient otherClient;
        int failedPlain = 0;
        int failedWithReply = 0;
        QList<QNetworkReply::NetworkError> errors;
        HttpRequest bad = otherClient.get(url("/secret"));
        bad.setAuthenticator("user", "wrong");
        bad.handle(AuthenticationRequireFailed,
            QVariant::fromValue(std::function<void()>([&]() { ++failedPlain; })));
        bad.handle(AuthenticationRequireFailed,
            QVariant::fromValue(
                std::function<void(QNetworkReply *)>([&](QNetworkReply *) { ++failedWithReply; })));
        bad.handle(Error,
            QVariant::fromValue(std::function<void(QNetworkReply::NetworkError)>(
                [&](QNetworkReply::NetworkError e) { errors << e; })));
        const int before = server->requests.size();
        bad.exec();
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
        QCOMPARE(errors.first(), QNetworkReply::AuthenticationRequiredError);
        QCOMPARE(failedPlain, 1);
        QCOMPARE(failedWithReply, 1);
        QCOMPARE(server->requests.size() - before, 2); // the first try and one answered challenge
    }

private:
    QString url(const QString &path) const { return server->baseUrl() + path; }

    QScopedPointer<LoopbackHttpServer> server;
    HttpClient client;
};

QTEST_GUILESS_MAIN(HttpResponseTest)
#include "tst_httpresponse.moc"
