// Building and sending requests against a real HTTP server on loopback: bodies as the server
// receives them, the method table, query parameters, the "count" property and the diagnostic texts.
#include "HttpClient.h"
#include "HttpResponse.h"
#include "LoopbackHttpServer.h"
#include "TestSupport.h"

#include <QHttpMultiPart>
#include <QtTest>

using namespace Qt;

class HttpRequestTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(server.listen()); }
    void init() { server.requests.clear(); }

    void bodyKinds_bytesAsTheyAre_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("None") << int(None);
        QTest::newRow("Raw") << int(Raw);
        QTest::newRow("RawJson") << int(RawJson);
        QTest::newRow("x_www_form_urlencoded") << int(X_Www_Form_Urlencoded);
        QTest::newRow("unknown kind 9") << 9;
    }

    void bodyKinds_bytesAsTheyAre()
    {
        QFETCH(int, kind);
        const QByteArray body = kind == None ? QByteArray() : QByteArray("a=1&b={\"x\":2}");
        send(client.post(url("/body")).setBody(kind, body));
        QCOMPARE(server.requests.first().method, QByteArray("POST"));
        QCOMPARE(server.requests.first().body, body);
        QVERIFY(!server.requests.first().headers.value("content-type").startsWith("multipart"));
    }

    void formData_partsInKeyOrderWithDispositions()
    {
        send(client.post(url("/form")).setFormDataBody({ { "b", 2 }, { "a", "x" } }));
        const LoopbackHttpRequest &received = server.requests.first();
        const QByteArray type = received.headers.value("content-type");
        QVERIFY(type.startsWith("multipart/form-data;boundary="));
        const QByteArray boundary = type.mid(type.indexOf('=') + 1);
        const QByteArray body = received.body;
        const int a = body.indexOf("Content-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n--" + boundary);
        const int b = body.indexOf("Content-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n--" + boundary);
        QVERIFY2(a > 0 && b > a, body.constData());
    }

    void fileMap_filePartsWithFileNames()
    {
        TestEnvironment environment;
        QFile one(environment.root() + "/one.txt");
        QVERIFY(one.open(QIODevice::WriteOnly));
        one.write("first file");
        one.close();
        QFile two(environment.root() + "/two.bin");
        QVERIFY(two.open(QIODevice::WriteOnly));
        two.write("second");
        two.close();
        send(client.put(url("/files"))
                 .setFileMapBody({ { "zeta", one.fileName() }, { "alpha", two.fileName() } }));
        const LoopbackHttpRequest &received = server.requests.first();
        QCOMPARE(received.method, QByteArray("PUT"));
        const QByteArray body = received.body;
        const int alpha = body.indexOf("form-data; name=\"alpha\";filename=\"two.bin\"\r\n\r\nsecond");
        const int zeta = body.indexOf("form-data; name=\"zeta\";filename=\"one.txt\"\r\n\r\nfirst file");
        QVERIFY2(alpha > 0 && zeta > alpha, body.constData());
    }

    void multiPart_sentAsGiven()
    {
        auto *multiPart = new QHttpMultiPart(QHttpMultiPart::RelatedType);
        QHttpPart part;
        part.setRawHeader("X-Part", "one");
        part.setBody("payload");
        multiPart->append(part);
        const QByteArray boundary = multiPart->boundary();
        send(client.post(url("/multi")).setMultiPartBody(multiPart));
        const LoopbackHttpRequest &received = server.requests.first();
        QCOMPARE(received.headers.value("content-type"), "multipart/form-data;boundary=" + boundary);
        QVERIFY(received.body.contains("X-Part: one\r\n\r\npayload"));
    }

    void methodTable_getHeadPutPost()
    {
        send(client.get(url("/m")));
        send(client.head(url("/m")));
        send(client.put(url("/m")));
        send(client.post(url("/m")));
        QList<QByteArray> methods;
        for (const LoopbackHttpRequest &request : server.requests)
            methods.append(request.method);
        QCOMPARE(methods, QList<QByteArray>({ "GET", "HEAD", "PUT", "POST" }));
    }

    void deleteOperation_isNotSupported()
    {
        HttpRequest request = client.get(url("/gone"));
        request.operation = QNetworkAccessManager::DeleteOperation;
        QTest::ignoreMessage(
            QtCriticalMsg, qPrintable(QString("Url: [%1]; Method: [] not support!").arg(url("/gone"))));
        QCOMPARE(request.exec(), nullptr);
        request.logLevel = 1;
        QCOMPARE(request.exec(), nullptr); // silent at level 1
        QTest::qWait(100);
        QVERIFY(server.requests.isEmpty());
    }

    void queryParam_appendedAfterExistingItems()
    {
        send(client.get(url("/q?first=1"))
                 .queryParam("componentCode", "VantrelSignatureClient")
                 .queryParam("n", 7));
        QCOMPARE(server.requests.first().target,
            QByteArray("/q?first=1&componentCode=VantrelSignatureClient&n=7"));
    }

    void countProperty_increasesByOnePerReply()
    {
        auto *first = qobject_cast<HttpResponse *>(client.get(url("/c")).exec());
        auto *second = qobject_cast<HttpResponse *>(client.get(url("/c")).exec());
        QVERIFY(first && second);
        const qint64 n = first->parent()->property("count").toLongLong();
        QCOMPARE(second->parent()->property("count").toLongLong(), n + 1);
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 5000);
    }

    void readBufferSize_appliedOnlyWhenSet()
    {
        auto *unset = qobject_cast<HttpResponse *>(client.get(url("/r")).exec());
        QCOMPARE(qobject_cast<QNetworkReply *>(unset->parent())->readBufferSize(), qint64(0));
        auto *set = qobject_cast<HttpResponse *>(client.get(url("/r")).setReadBufferSize(4096).exec());
        QCOMPARE(qobject_cast<QNetworkReply *>(set->parent())->readBufferSize(), qint64(4096));
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 5000);
    }

    void debugText_withoutHeadersAndBody()
    {
        const HttpRequest request = client.get("http://example.invalid/path");
        QCOMPARE(request.debugText(),
            QString("General: \n    Request URL: http://example.invalid/path \n"
                    "    Request Method: GET \nRequest Headers: \n    null \n"
                    "Request Body: \n    Type: None\n    Data: \n    =>    null"));
    }

    void debugText_rawBodyLinesAndHeaders()
    {
        HttpRequest request = client.post("http://example.invalid/");
        request.setRawBody("a\nb").setRawHeader("X-One", "1").setRawHeader("X-Two", "2");
        QCOMPARE(request.debugText(),
            QString("General: \n    Request URL: http://example.invalid/ \n"
                    "    Request Method: POST \nRequest Headers: \n    X-One: 1\n    X-Two: 2 \n"
                    "Request Body: \n    Type: Raw\n    Data: \n    =>    a\n    =>    b"));
    }

    void debugText_formDataAndFileMapInKeyOrder()
    {
        HttpRequest form = client.post("http://example.invalid/");
        form.setFormDataBody({ { "b", 2 }, { "a", "x" } });
        QVERIFY(form.debugText().endsWith("Type: FormData\n    Data: \n    =>    a: x\n    =>    b: 2"));
        HttpRequest files = client.post("http://example.invalid/");
        files.setFileMapBody({ { "f", "/tmp/f.txt" } });
        QVERIFY(files.debugText().endsWith("Type: FileMap\n    Data: \n    =>    f: /tmp/f.txt"));
    }

    void debugText_printedAtLogLevel4()
    {
        LogCapture log;
        send(client.get(url("/dbg")).setLogLevel(4));
        const QStringList lines = log.lines();
        QVERIFY(std::any_of(lines.begin(), lines.end(), [](const QString &line) {
            return line.startsWith("General: \n    Request URL: ") && !line.contains("Request Status");
        }));
        QVERIFY(std::any_of(lines.begin(), lines.end(), [](const QString &line) {
            return line.contains("    Request Status: 0(Unknown error) \nRequest Headers: ")
                && line.contains("Response Headers: \n    Content-Length: 2");
        }));
    }

private:
    QString url(const QString &path) const { return server.baseUrl() + path; }

    // Sends and waits until the server has seen the request and the exchange has ended.
    void send(HttpRequest request)
    {
        bool ended = false;
        request.handleFinished([&ended](QByteArray) { ended = true; });
        request.handleError([&ended](QByteArray) { ended = true; });
        const int before = server.requests.size();
        QVERIFY(request.exec());
        QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
        QCOMPARE(server.requests.size(), before + 1);
    }

    LoopbackHttpServer server;
    HttpClient client;
};

QTEST_GUILESS_MAIN(HttpRequestTest)
#include "tst_httprequest.moc"
