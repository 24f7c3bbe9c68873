// The version service client: reply parsing, queries against the sample version service process,
// matching by the captured code, the last reply winning, replies past the bounds (of any status),
// redirects, the service's certificate, the comparison rule and which installer addresses may be opened.
#include "Constants.h"
#include "LoopbackHttpServer.h"
#include "TestSupport.h"
#include "UtilManager.h"
#include "VersionInfo.h"

#include <QJsonDocument>
#include <QtTest>
#include <limits>

// Answers every request over TLS with the development certificate of localhost.
class TlsReplyServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificateChain(
            QSslCertificate::fromPath(TEST_SOURCE_DIR "/../resources/Orlendi.pem"));
        socket->setPrivateKey(TEST_SOURCE_DIR "/../resources/Orlendi.key");
        connect(socket, &QIODevice::readyRead, socket, [socket]() {
            if (socket->readAll().endsWith("\r\n\r\n"))
                LoopbackHttpServer::respond(socket, 200, "{}");
        });
        socket->startServerEncryption();
    }
};

class VersionInfoTest : public QObject
{
    Q_OBJECT

    // The sample version service, on a port the system picks, made the program's service.
    static bool startVersionService(QProcess &service, const QStringList &arguments)
    {
        service.start(VERSION_SERVICE, QStringList { "--port", "0" } + arguments);
        if (!service.waitForStarted(5000) || !service.waitForReadyRead(5000))
            return false;
        // "version service on http://127.0.0.1:N (mode …)"
        const QByteArray address = service.readLine().split(' ').value(3);
        qputenv("VANTREL_VERSION_SERVICE_URL", address);
        return address.startsWith("http://127.0.0.1:");
    }

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("hasRecord");
        QTest::addColumn<int>("versionNumber");
        QTest::addColumn<QString>("componentName");
        QTest::newRow("good")
            << "{\"code\":200,\"data\":{\"versionNumber\":106,\"versionName\":\"V1.0.6\",\"fileUrl\":\"http:/"
               "/x/s.exe\",\"fileName\":\"s.exe\",\"componentName\":\"Tessary签章客户端\"}}"
            << true << 106 << "Tessary签章客户端";
        QTest::newRow("200 without data") << "{\"code\":200}" << true << 0 << "";
        QTest::newRow("code as string")
            << "{\"code\":\"200\",\"data\":{\"versionNumber\":1}}" << false << 0 << "";
        QTest::newRow("versionNumber as string")
            << "{\"code\":200,\"data\":{\"versionNumber\":\"106\"}}" << true << 0 << "";
        QTest::newRow("data not an object") << "{\"code\":200,\"data\":[1]}" << true << 0 << "";
        QTest::newRow("code 500") << "{\"code\":500,\"data\":{\"versionNumber\":1}}" << false << 0 << "";
        QTest::newRow("not JSON") << "<html>" << false << 0 << "";
        QTest::newRow("array") << "[200]" << false << 0 << "";
        QTest::newRow("code 200.5") << "{\"code\":200.5}" << false << 0 << "";
    }

    void parse()
    {
        QFETCH(QString, reply);
        QFETCH(bool, hasRecord);
        QFETCH(int, versionNumber);
        QFETCH(QString, componentName);
        const VersionInfoPtr info = parseVersionReply(reply);
        QCOMPARE(!info.isNull(), hasRecord);
        if (info) {
            QCOMPARE(info->versionNumber, versionNumber);
            QCOMPARE(info->componentName, componentName);
            QVERIFY(!info->hasUpdate);
        }
    }

    void parse_notJsonLogsFormatError()
    {
        LogCapture log;
        QVERIFY(parseVersionReply("hello").isNull());
        QCOMPARE(log.lines(), QStringList({ "JSON格式错误" }));
    }

    void downloadAddress_onlyHttpAndHttpsWithAHost_data()
    {
        QTest::addColumn<QString>("fileUrl");
        QTest::addColumn<QString>("opened");
        QTest::newRow("https") << "https://dl.example.com/a b.exe"
                               << "https://dl.example.com/a%20b.exe";
        QTest::newRow("http, scheme in capitals") << "HTTP://dl.example.com/s.exe"
                                                  << "http://dl.example.com/s.exe";
        QTest::newRow("file") << "file:///C:/Windows/System32/calc.exe"
                              << "";
        QTest::newRow("UNC path") << "\\\\server\\share\\setup.exe"
                                  << "";
        QTest::newRow("javascript") << "javascript:alert(1)"
                                    << "";
        QTest::newRow("registered protocol") << "search-ms:query=setup"
                                             << "";
        QTest::newRow("ftp") << "ftp://dl.example.com/s.exe"
                             << "";
        QTest::newRow("http without host") << "http:setup.exe"
                                           << "";
        QTest::newRow("no scheme") << "setup.exe"
                                   << "";
        QTest::newRow("scheme-relative") << "//dl.example.com/s.exe"
                                         << "";
        QTest::newRow("empty") << ""
                               << "";
        // Spellings that might slip past the check: refused, or opened as the browser reads them.
        QTest::newRow("space before the scheme") << " http://dl.example.com/s.exe"
                                                 << "";
        QTest::newRow("control character before the scheme") << "\x01http://dl.example.com/s.exe"
                                                             << "";
        QTest::newRow("backslashes after the scheme") << "http:\\\\dl.example.com\\s.exe"
                                                      << "";
        QTest::newRow("three slashes") << "https:///s.exe"
                                       << "";
        QTest::newRow("backslash before @: the host is what follows")
            << "http://dl.example.com\\@other.example/s.exe"
            << "http://dl.example.com%5C@other.example/s.exe";
    }

    void downloadAddress_onlyHttpAndHttpsWithAHost()
    {
        QFETCH(QString, fileUrl);
        QFETCH(QString, opened);
        LogCapture log;
        QCOMPARE(downloadAddress(fileUrl).toString(QUrl::FullyEncoded), opened);
        const QStringList expected = opened.isEmpty() && !fileUrl.isEmpty()
            ? QStringList({ "Not an http or https address, not opened: " + fileUrl })
            : QStringList();
        QCOMPARE(log.lines(), expected);
    }

    void updateRule_publishedNumberAgainstInstalledVersion()
    {
        QCOMPARE(UtilManager::compareVersion("105", "V1.0.5"), 0);
        QCOMPARE(UtilManager::compareVersion("106", "V1.0.5"), 1);
        QCOMPARE(UtilManager::compareVersion("110", "1.0.10"), -1);
        QCOMPARE(UtilManager::compareVersion("1", ""), 1); // not installed: any positive number updates
        QCOMPARE(UtilManager::compareVersion("0", ""), 0);
    }

    void query_againstTheSampleService()
    {
        TestEnvironment environment;
        const QString components = environment.root() + "/components.json";
        QFile file(components);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "{\"VantrelSignatureClient\":{\"versionNumber\":106,\"versionName\":\"V1.0.6\",\"fileUrl\":"
            "\"http://127.0.0.1/s.exe\",\"fileName\":\"s.exe\",\"componentName\":\"Tessary签章客户端\"}}");
        file.close();
        QProcess service;
        QVERIFY(startVersionService(service, { "--components", components }));

        QObject owner;
        QStringList codes;
        QStringList bodies;
        auto handler = [&](const QString &code, const QString &body) { codes << code, bodies << body; };
        LogCapture log;
        queryLatestVersion(&owner, SignatureClientName, handler);
        queryLatestVersion(&owner, EncryptedClientName, handler);
        QTRY_COMPARE_WITH_TIMEOUT(codes.size(), 2, 5000);
        const int signature = codes.indexOf(SignatureClientName);
        QVERIFY(signature >= 0);
        const VersionInfoPtr info = parseVersionReply(bodies.at(signature));
        QVERIFY(info);
        QCOMPARE(info->versionName, QString("V1.0.6"));
        QVERIFY(parseVersionReply(bodies.at(1 - signature)).isNull()); // unknown component: code 404
        QVERIFY(log.lines().contains("result:: \"" + bodies.first().replace("\"", "\\\"") + "\""));
        service.kill();
        service.waitForFinished(5000);

        // A failed request reaches nobody and is logged.
        log.clear();
        int calls = 0;
        queryLatestVersion(&owner, SignatureClientName, [&](const QString &, const QString &) { ++calls; });
        QTRY_VERIFY_WITH_TIMEOUT(log.hasLineStartingWith("error:: "), 5000);
        QCOMPARE(calls, 0);
    }

    // Replies no version service should send, from the sample service: each query fails within its
    // bounds (64 KiB while read, 15 s in all, +64 MiB of memory at most), is logged, and reaches nobody.
    void query_hostileReply_failsWithinTheBounds_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<int>("fromMs");
        QTest::addColumn<int>("toMs");
        const QString tooLarge = "error:: \"reply larger than 65536 bytes\"";
        QTest::newRow("endless chunked body") << "endless" << tooLarge << 0 << 5000;
        QTest::newRow("a chunk size that overflows the count") << "chunk-overflow" << tooLarge << 0 << 5000;
        QTest::newRow("300 MiB Content-Length") << "oversized" << tooLarge << 0 << 5000;
        QTest::newRow("a few bytes now and then, never ending")
            << "drip"
            << QString("Version query for %1: no complete reply within 15000 ms").arg(SignatureClientName)
            << 15000 << 17000;
        // Qt's HTTP stack reads the whole body of these before it reports anything.
        QTest::newRow("401 with a body without end")
            << "unauthorized"
            << "error:: \"Host requires authentication\"" << 0 << 5000;
        QTest::newRow("407 with a body without end")
            << "proxy-unauthorized"
            << "error:: \"Proxy requires authentication\"" << 0 << 5000;
        QTest::newRow("a head without end") << "endless-head"
                                            << "error:: \"reply head larger than 65536 bytes\"" << 0 << 5000;
    }

    void query_hostileReply_failsWithinTheBounds()
    {
        QFETCH(QString, mode);
        QFETCH(QString, logged);
        QFETCH(int, fromMs);
        QFETCH(int, toMs);
        QProcess service;
        QVERIFY(startVersionService(service, { "--mode", mode }));
        QObject owner;
        int calls = 0;
        LogCapture log;
        QElapsedTimer elapsed;
        elapsed.start();
        const qint64 idleKiB = residentKiB(QCoreApplication::applicationPid());
        qint64 grownKiB = 0;
        queryLatestVersion(&owner, SignatureClientName, [&](const QString &, const QString &) { ++calls; });
        // Past the memory bound the wait ends at once: an unbounded reply takes GiBs within seconds.
        const qint64 boundKiB = MemoryIsMeasurable ? 64 * 1024 : std::numeric_limits<qint64>::max();
        const bool ended = QTest::qWaitFor(
            [&]() {
                grownKiB = qMax(grownKiB, residentKiB(QCoreApplication::applicationPid()) - idleKiB);
                return grownKiB >= boundKiB || log.lines().contains(logged);
            },
            toMs);
        qInfo("%s: failed after %lld ms, peak +%lld KiB", qPrintable(mode), elapsed.elapsed(), grownKiB);
        QVERIFY2(grownKiB < boundKiB, qPrintable(QString("grew by %1 KiB").arg(grownKiB)));
        QVERIFY(ended);
        QVERIFY(elapsed.elapsed() >= fromMs);
        QTest::qWait(100);
        QCOMPARE(calls, 0);
        QVERIFY(log.hasLineStartingWith("error:: "));
        service.kill();
        service.waitForFinished(5000);
    }

    void query_lastReplyWins_andCodeIsTheCapturedOne()
    {
        LoopbackHttpServer server;
        QVERIFY(server.listen());
        int served = 0;
        server.handler = [&served](const LoopbackHttpRequest &request, QTcpSocket *socket) {
            // The first query is answered late, the second at once; the reply names another component.
            const int delay = served++ == 0 ? 300 : 0;
            const QByteArray body = "{\"code\":200,\"data\":{\"versionNumber\":" + QByteArray::number(served)
                + ",\"componentName\":\"something else\"}}";
            QVERIFY(request.target.contains("componentCode=VantrelEncryptedClient"));
            QTimer::singleShot(
                delay, socket, [socket, body]() { LoopbackHttpServer::respond(socket, 200, body); });
        };
        qputenv("VANTREL_VERSION_SERVICE_URL", server.baseUrl().toUtf8());
        QObject owner;
        VersionInfoPtr record;
        QStringList codes;
        auto handler = [&](const QString &code, const QString &body) {
            codes << code;
            record = parseVersionReply(body);
        };
        queryLatestVersion(&owner, EncryptedClientName, handler);
        queryLatestVersion(&owner, EncryptedClientName, handler);
        QTRY_COMPARE_WITH_TIMEOUT(codes.size(), 2, 5000);
        QCOMPARE(codes, QStringList({ EncryptedClientName, EncryptedClientName }));
        QCOMPARE(record->versionNumber, 1); // the late reply to the first query arrived last
    }

    // As Qt's HTTP stack took them: Qt 5 follows none (the answer itself is the reply), Qt 6 follows.
    void query_redirect_takenAsQtTookIt()
    {
        LoopbackHttpServer server;
        server.handler = [](const LoopbackHttpRequest &request, QTcpSocket *socket) {
            if (request.target == "/moved")
                LoopbackHttpServer::respond(socket, 200, "here");
            else
                LoopbackHttpServer::respond(socket, 302, "moved", { { "Location", "/moved" } });
        };
        QVERIFY(server.listen());
        qputenv("VANTREL_VERSION_SERVICE_URL", server.baseUrl().toUtf8());
        QObject owner;
        QString body;
        queryLatestVersion(
            &owner, SignatureClientName, [&](const QString &, const QString &text) { body = text; });
        QTRY_COMPARE_WITH_TIMEOUT(
            body, QString(QT_VERSION >= QT_VERSION_CHECK(6, 0, 0) ? "here" : "moved"), 5000);
    }

    // The service's certificate is verified as Qt verifies it: against the trusted roots and the name.
    void query_tls_certificateVerified_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::newRow("issuer trusted") << true;
        QTest::newRow("issuer unknown") << false;
    }

    void query_tls_certificateVerified()
    {
        QFETCH(bool, trusted);
        const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
        QSslConfiguration configuration = original;
        if (trusted)
            configuration.addCaCertificates(TEST_SOURCE_DIR "/../resources/dev-root-ca.pem");
        QSslConfiguration::setDefaultConfiguration(configuration);
        TlsReplyServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        qputenv(
            "VANTREL_VERSION_SERVICE_URL", "https://localhost:" + QByteArray::number(server.serverPort()));
        QObject owner;
        QStringList bodies;
        LogCapture log;
        queryLatestVersion(
            &owner, SignatureClientName, [&](const QString &, const QString &body) { bodies << body; });
        QTRY_VERIFY_WITH_TIMEOUT(log.hasLineStartingWith(trusted ? "result:: " : "error:: "), 5000);
        QCOMPARE(bodies, trusted ? QStringList({ "{}" }) : QStringList());
        QSslConfiguration::setDefaultConfiguration(original);
    }

    void query_ownerGone_handlerNotCalled()
    {
        LoopbackHttpServer server;
        QVERIFY(server.listen());
        qputenv("VANTREL_VERSION_SERVICE_URL", server.baseUrl().toUtf8());
        int calls = 0;
        {
            QObject owner;
            queryLatestVersion(
                &owner, SignatureClientName, [&](const QString &, const QString &) { ++calls; });
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 5000);
        QTest::qWait(200);
        QCOMPARE(calls, 0);
    }
};

QTEST_GUILESS_MAIN(VersionInfoTest)
#include "tst_versioninfo.moc"
