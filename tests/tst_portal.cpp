// The portal kit in real browsers: headless Chromium and Firefox load portal/vantrel-channel.js from the
// sample version service and reach the real program, which starts a real sample tool that records what
// it receives. The development root is trusted through each browser's own certificate store. Cases run
// in both engines have rows per engine; the data tag starts with the engine's name.
#include "Constants.h"
#include "DevToolsBrowser.h"
#include "FirefoxBrowser.h"
#include "LoopbackHttpServer.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

namespace {

const QString SourceRoot = TEST_SOURCE_DIR "/..";
const QString SignatureStart = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\"";

const char *const Engines[] = { "chromium", "firefox" };

// A host name that both browsers resolve to 127.0.0.1: a page there is no secure context.
const QString PlainHost = "portal.test";

void engineRows()
{
    QTest::addColumn<QString>("engine");
    for (const char *engine : Engines)
        QTest::newRow(engine) << QString(engine);
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

class PortalTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service.start(VERSION_SERVICE,
            { "--port", "0", "--components", SourceRoot + "/demo/components.json", "--static",
                SourceRoot + "/demo", "--portal", SourceRoot + "/portal" });
        QVERIFY(service.waitForReadyRead(10000));
        const QRegularExpressionMatch started
            = QRegularExpression("on (http://127.0.0.1:\\d+)").match(QString::fromUtf8(service.readLine()));
        QVERIFY(started.hasMatch());
        serviceUrl = started.captured(1);

        // A second site, which both browsers are told to take for a public one: the local network
        // permission applies to its pages. Its version service answers with the component's code as
        // the installer's address.
        publicSite.handler = [](const LoopbackHttpRequest &request, QTcpSocket *socket) {
            QFile kit(SourceRoot + "/portal/vantrel-channel.global.js");
            const QUrlQuery query(QUrl::fromEncoded(request.target).query());
            if (request.target == "/vantrel-channel.global.js" && kit.open(QIODevice::ReadOnly))
                LoopbackHttpServer::respond(
                    socket, 200, kit.readAll(), { { "Content-Type", "text/javascript" } });
            else if (query.hasQueryItem("componentCode")) {
                const QJsonObject record { { "fileUrl",
                    query.queryItemValue("componentCode", QUrl::FullyDecoded) } };
                const QJsonObject reply { { "code", 200 }, { "data", record } };
                LoopbackHttpServer::respond(socket, 200, QJsonDocument(reply).toJson(),
                    { { "Content-Type", "application/json" }, { "Access-Control-Allow-Origin", "*" } });
            } else
                LoopbackHttpServer::respond(socket, 200, "<!DOCTYPE html><title>public portal</title>",
                    { { "Content-Type", "text/html" } });
        };
        QVERIFY(publicSite.listen());
        const QString root = SourceRoot + "/resources/dev-root-ca.pem";
        QVERIFY2(chromium.start(
                     { QString("--ip-address-space-overrides=127.0.0.1:%1=public").arg(publicSite.port()),
                         "--host-resolver-rules=MAP " + PlainHost + " 127.0.0.1" },
                     { root }),
            qPrintable(chromium.error()));
        QVERIFY2(firefox.start({ root },
                     { { "network.dns.localDomains", PlainHost },
                         { "network.lna.address_space.public.override",
                             QString("127.0.0.1:%1").arg(publicSite.port()) } }),
            qPrintable(firefox.error()));
    }

    void cleanupTestCase()
    {
        chromium.stop();
        firefox.stop();
        service.kill();
        service.waitForFinished(5000);
    }

    void init()
    {
        environment.reset(new TestEnvironment);
        record = environment->root() + "/frames.txt";
        registerTool(*environment, SignatureClientTitle, SAMPLE_SIGNATURE_CLIENT);
        browser = QByteArray(QTest::currentDataTag()).startsWith("firefox")
            ? static_cast<PageBrowser *>(&firefox)
            : &chromium;
        QVERIFY2(browser->navigate(QUrl(serviceUrl + "/demo/probe.html")), qPrintable(browser->error()));
    }

    void cleanup()
    {
        QString failure;
        if (program.state() != QProcess::NotRunning)
            failure = stopProgramCleanly(program);
        program.launcher.clear();
        killProgramsNamed(SignatureClientName);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void command_reachesTheTool_byteForByte_overEachEndpoint_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<bool>("receipt");
        for (const char *engine : Engines) {
            QTest::addRow("%s ws 51868", engine) << "ws://127.0.0.1:51868" << false;
            QTest::addRow("%s wss 51869", engine) << "wss://127.0.0.1:51869" << false;
            QTest::addRow("%s ws 12345", engine) << "ws://127.0.0.1:12345" << false;
            QTest::addRow("%s ws 51868 receipt", engine) << "ws://127.0.0.1:51868" << true;
            QTest::addRow("%s wss 51869 receipt", engine) << "wss://127.0.0.1:51869" << true;
        }
    }

    void command_reachesTheTool_byteForByte_overEachEndpoint()
    {
        QFETCH(QString, endpoint);
        QFETCH(bool, receipt);
        // The allow-list holds this page's origin: the browser's Origin header is what the program expects.
        startProgram(serviceUrl + ",https://portal.example.com");
        const QJsonObject sent
            = kitCall(QString("kit.startTool(kit.Scene.SIGNATURE_CLIENT, {endpoints: ['%1'], "
                              "receipt: %2, fields: {page: '门户 ✓', n: [1, 2.5], extra: {a: null}}})")
                          .arg(endpoint, receipt ? "true, receiptTimeoutMs: 20000" : "false"));
        QVERIFY2(sent.value("ok").toBool(), qPrintable(QJsonDocument(sent).toJson()));
        // The kit's request id follows the command keys, and the tool gets it with the rest.
        const QJsonValue answer = sent.value("value")["receipt"];
        const QString id = answer["requestId"].toString();
        QCOMPARE(answer["outcome"].toString(), QString(receipt ? "delivered" : ""));
        const QString expected = SignatureStart + (receipt ? ",\"requestId\":\"" + id + "\"" : "")
            + ",\"page\":\"门户 ✓\",\"n\":[1,2.5],\"extra\":{\"a\":null}}";
        QCOMPARE(sent.value("value")["message"].toString(), expected);
        QCOMPARE(sent.value("value")["endpoint"].toString(), endpoint);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ expected }), 15000);
    }

    void classicScript_detectsWithoutSending_onTheDefaultOrder_data() { engineRows(); }
    void classicScript_detectsWithoutSending_onTheDefaultOrder()
    {
        startProgram();
        const QJsonValue found = browser->evaluate(
            "new Promise((loaded, failed) => { const script = document.createElement('script');"
            "  script.src = '/portal/vantrel-channel.global.js'; script.onload = loaded; script.onerror = "
            "failed;"
            "  document.head.append(script); })"
            ".then(() => VantrelChannel.detect())"
            ".then(r => ({ reachable: r.reachable, endpoint: r.endpoint,"
            "              onHttps: VantrelChannel.defaultEndpoints('https:') }))");
        QVERIFY2(found.isObject(), qPrintable(browser->error()));
        QCOMPARE(found["reachable"].toBool(), true);
        QCOMPARE(found["endpoint"].toString(), QString("ws://127.0.0.1:51868"));
        QCOMPARE(found["onHttps"].toArray().first().toString(), QString("wss://127.0.0.1:51869"));
        QTRY_VERIFY(program.log().contains("WS connection closed"));
        QVERIFY(!program.log().contains("JSON"));
    }

    void fallback_whenTheFirstEndpointIsNotListening_thenClose()
    {
        startProgram();
        const QString closed = QString("ws://127.0.0.1:%1").arg(closedPort());
        const QJsonObject sent = kitCall(
            QString("kit.startTool('00', {endpoints: ['%1', 'ws://127.0.0.1:51868']})").arg(closed));
        QVERIFY2(sent.value("ok").toBool(), qPrintable(QJsonDocument(sent).toJson()));
        QCOMPARE(sent.value("value")["endpoint"].toString(), QString("ws://127.0.0.1:51868"));
        QCOMPARE(sent.value("value")["attempts"][0]["outcome"].toString(), QString("failed"));
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ SignatureStart + "}" }), 15000);
        // The close helper: the program hands it to the running tool.
        QVERIFY(kitCall("kit.closeTool(kit.Scene.SIGNATURE_CLIENT)").value("ok").toBool());
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record),
            QStringList(
                { SignatureStart + "}", "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"closeTool\"}" }),
            10000);
    }

    // No program: every default endpoint refuses, and the page hears so well inside its bound.
    void stoppedProgram_isNotReachable_withinTheBound_data() { engineRows(); }
    void stoppedProgram_isNotReachable_withinTheBound()
    {
        const QJsonObject failed = kitCall("kit.startTool('00', {timeoutMs: 4000})");
        QCOMPARE(failed.value("code").toString(), QString("NOT_REACHABLE"));
        QCOMPARE(failed.value("attempts").toArray().size(), 3);
        QVERIFY(failed.value("ms").toDouble() < 4000);
        const QJsonObject detected = kitCall("kit.detect({timeoutMs: 4000})");
        QCOMPARE(detected.value("value")["reachable"].toBool(), false);
        QCOMPARE(detected.value("value")["code"].toString(), QString("NOT_REACHABLE"));
    }

    // Something that accepts the connection and never answers: each attempt and the whole call end
    // at their bounds.
    void silentListener_timesOut_atTheBounds()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString endpoint = QString("ws://127.0.0.1:%1").arg(silent.serverPort());
        const QJsonObject attempt = kitCall(
            QString("kit.startTool('00', {endpoints: ['%1'], attemptTimeoutMs: 500, timeoutMs: 5000})")
                .arg(endpoint));
        QCOMPARE(attempt.value("code").toString(), QString("TIMEOUT"));
        QCOMPARE(attempt.value("attempts")[0]["outcome"].toString(), QString("timeout"));
        QVERIFY(attempt.value("ms").toDouble() < 2000);
        const QJsonObject whole = kitCall(
            QString("kit.startTool('00', {endpoints: ['%1', '%1'], attemptTimeoutMs: 3000, timeoutMs: 1000})")
                .arg(endpoint));
        QCOMPARE(whole.value("code").toString(), QString("TIMEOUT"));
        QVERIFY(whole.value("ms").toDouble() < 1500);
    }

    // A stand-in for the program, which the row names: it replies to other requests before this one, hangs
    // up, or stays silent. The kit takes only the reply to its own request.
    void receipt_isTheReplyToItsOwnRequest_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::newRow("others first") << "queueFull: full";
        QTest::newRow("hangs up") << "NO_RECEIPT";
        QTest::newRow("silent") << "TIMEOUT";
    }

    void receipt_isTheReplyToItsOwnRequest()
    {
        QFETCH(QString, outcome);
        const QByteArray answer = QTest::currentDataTag();
        QWebSocketServer standIn("stand-in", QWebSocketServer::NonSecureMode);
        QVERIFY(standIn.listen(QHostAddress::LocalHost));
        connect(&standIn, &QWebSocketServer::newConnection, this, [&] {
            QWebSocket *socket = standIn.nextPendingConnection();
            socket->setParent(&standIn); // the caller owns accepted sockets
            connect(socket, &QWebSocket::textMessageReceived, socket, [socket, answer](const QString &text) {
                const QString id = QJsonDocument::fromJson(text.toUtf8())["requestId"].toString();
                if (answer == "hangs up")
                    socket->close();
                else if (answer == "others first")
                    for (const char *reply :
                        { "[\"%1\"]", "{\"requestId\":\"%1-\",\"outcome\":\"delivered\"}",
                            "{\"requestId\":\"%1\",\"outcome\":\"queueFull\",\"detail\":\"full\"}" })
                        socket->sendTextMessage(QString(reply).arg(id));
            });
        });
        const QJsonObject result = kitCall(QString(
            "kit.startTool('00', {endpoints: ['ws://127.0.0.1:%1'], receipt: true, receiptTimeoutMs: 1000})"
            ".then(d => d.receipt.outcome + ': ' + d.receipt.detail)")
                                               .arg(standIn.serverPort()));
        QCOMPARE(result.value(result.value("ok").toBool() ? "value" : "code").toString(), outcome);
    }

    // Firefox mostly reports the program's 1008 close without an open before it.
    void originOutsideTheAllowList_isItsOwnError_data()
    {
        QTest::addColumn<QString>("call");
        for (const char *engine : Engines) {
            QTest::addRow("%s command", engine) << "kit.startTool('00')";
            QTest::addRow("%s receipt", engine) << "kit.startTool('00', {receipt: true})";
            QTest::addRow("%s status", engine) << "kit.status()";
        }
    }

    void originOutsideTheAllowList_isItsOwnError()
    {
        QFETCH(QString, call);
        startProgram("https://portal.example.com");
        const QJsonObject refused = kitCall(call);
        QCOMPARE(refused.value("code").toString(), QString("ORIGIN_REFUSED"));
        QCOMPARE(refused.value("attempts").toArray().size(), 1);
        QTRY_VERIFY(
            program.log().contains(QString("Refused a connection from origin \"%1\"").arg(serviceUrl)));
        QVERIFY(readRecordedFrames(record).isEmpty());
    }

    // Another user's copy holds the ports (a second login on the machine): it refuses this user's page,
    // and the page hears that rather than "not allowed here".
    void otherUsersProgram_isItsOwnError_data() { engineRows(); }
    void otherUsersProgram_isItsOwnError()
    {
        program.launcher = otherUserLauncher();
        if (program.launcher.isEmpty())
            QSKIP("Needs another user: run as root with setpriv");
        giveToOtherUser(environment->root());
        startProgram();
        const QJsonObject refused = kitCall("kit.startTool('00')");
        QCOMPARE(refused.value("code").toString(), QString("OTHER_USER"));
        QCOMPARE(refused.value("attempts").toArray().size(), 1);
        QTRY_VERIFY(program.log().contains("Refused a connection of another user: uid 0"));
        QVERIFY(readRecordedFrames(record).isEmpty());
    }

    void invalidArguments_areRefused_withNothingSent()
    {
        startProgram();
        for (const QString &call :
            { QString("kit.sendCommand(1, 'startTool')"), QString("kit.sendCommand('00')"),
                QString("kit.sendCommand(null, 'closeTool')"), QString("kit.startTool(['00'])"),
                QString("kit.startTool('00', {fields: {VantrelUseScene: '01'}})"),
                QString("kit.startTool('00', {fields: {requestId: 'r-7'}})"),
                QString("kit.startTool('00', {receipt: 'yes'})"),
                QString("kit.startTool('00', {receipt: true, receiptTimeoutMs: 0})"),
                QString("kit.startTool('00', {fields: {big: 10n}})"),
                QString("kit.startTool('00', {endpoints: ['http://127.0.0.1:51868']})"),
                QString("kit.startTool('00', {timeoutMs: -1})"),
                QString("kit.startTool('00', {timeoutMs: 0})"),
                QString("kit.startTool('00', {attemptTimeoutMs: 0})"),
                QString("kit.detect({endpoints: []})") }) {
            const QJsonObject refused = kitCall(call);
            QVERIFY2(refused.value("code").toString() == "INVALID_ARGUMENT", qPrintable(call));
        }
        // One real connection after them all: it must be the only one the program saw.
        QVERIFY(kitCall("kit.detect()").value("value")["reachable"].toBool());
        QTRY_VERIFY(program.log().contains("WS connection closed"));
        QCOMPARE(program.log().count("onnection established"), 1);
        QVERIFY(!program.log().contains("JSON"));
    }

    // Only a program that serves an allow-list tells its version and its tools' state: otherwise any site
    // could survey the machine.
    void status_tellsTheToolsState_onlyWithAnAllowList_data() { engineRows(); }
    void status_tellsTheToolsState_onlyWithAnAllowList()
    {
        startProgram(serviceUrl);
        const QJsonObject before = kitCall("kit.status()");
        QVERIFY2(before.value("ok").toBool(), qPrintable(QJsonDocument(before).toJson()));
        QCOMPARE(before.value("value")["version"].toString(), AppVersion);
        QCOMPARE(before.value("value")["tools"].toObject(),
            QJsonDocument::fromJson(R"({"00": {"installed": true, "running": false},
                                        "01": {"installed": false, "running": false}})")
                .object());
        QCOMPARE(
            kitCall("kit.startTool('00', {receipt: true})").value("value")["receipt"]["outcome"].toString(),
            QString("delivered"));
        QCOMPARE(kitCall("kit.status()").value("value")["tools"]["00"]["running"].toBool(), true);

        const QString failure = stopProgramCleanly(program);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        startProgram();
        const QJsonObject refused = kitCall("kit.status()");
        QCOMPARE(refused.value("code").toString(), QString("STATUS_REFUSED"));
        QVERIFY2(refused.value("message").toString().contains("allow"),
            qPrintable(refused.value("message").toString()));
    }

    // A public site's page needs the browser's permission to reach loopback; denied, the page is
    // told so rather than "not installed".
    void deniedLocalNetworkPermission_isSaidSo()
    {
        startProgram();
        const QString site = QString("http://127.0.0.1:%1").arg(publicSite.port());
        openPublicPage(site);
        const QString detect = "VantrelChannel.detect({timeoutMs: 4000}).then(r => r.reachable || r.code)";
        setLoopbackPermission(site, "denied");
        QCOMPARE(browser->evaluate(detect).toString(), QString("LOCAL_NETWORK_DENIED"));
        setLoopbackPermission(site, "granted");
        QCOMPARE(browser->evaluate(detect).toBool(), true);
    }

    // A plain-http page of a public site is no secure context. Chromium denies it the local network
    // before any attempt, so the kit says https is the remedy and tries nothing; Firefox ESR lets such
    // pages reach loopback (its permission stays "prompt"), and the kit connects there as before.
    void insecurePublicPage_isToldSo_whereTheBrowserDeniesIt_data() { engineRows(); }
    void insecurePublicPage_isToldSo_whereTheBrowserDeniesIt()
    {
        QFETCH(QString, engine);
        startProgram();
        openPublicPage(QString("http://%1:%2").arg(PlainHost).arg(publicSite.port()));
        QCOMPARE(browser->evaluate("isSecureContext").toBool(), false);
        const QJsonValue detected = browser->evaluate(
            "VantrelChannel.detect({timeoutMs: 4000}).then(r => ({ code: r.code || 'reachable', attempts: "
            "r.attempts.length, permission: r.error && r.error.localNetworkPermission }))");
        if (engine == "firefox") {
            QCOMPARE(detected["code"].toString(), QString("reachable"));
            return;
        }
        QCOMPARE(detected["code"].toString(), QString("INSECURE_CONTEXT"));
        QCOMPARE(detected["attempts"].toInt(), 0);
        QCOMPARE(detected["permission"].toString(), QString("denied"));
        QVERIFY(!program.log().contains("onnection established"));
    }

    // The installer's address goes into a link: only http and https addresses are taken from the
    // version service.
    void versionRecord_givesOnlyWebAddresses_data()
    {
        QTest::addColumn<QString>("fileUrl");
        QTest::addColumn<bool>("accepted");
        for (const char *engine : Engines) {
            QTest::addRow("%s https", engine) << "https://downloads.example.com/Setup.exe" << true;
            QTest::addRow("%s http", engine) << "HTTP://127.0.0.1:8080/Setup.exe" << true;
            QTest::addRow("%s javascript", engine) << "javascript:alert(document.domain)" << false;
            QTest::addRow("%s javascript spaced", engine) << " JavaScript:alert(1)" << false;
            QTest::addRow("%s file", engine) << "file:///C:/Windows/System32/calc.exe" << false;
            QTest::addRow("%s custom scheme", engine) << "vantrel-setup://install" << false;
            QTest::addRow("%s data", engine) << "data:text/html,<script>alert(1)</script>" << false;
            QTest::addRow("%s relative", engine) << "/downloads/Setup.exe" << false;
            QTest::addRow("%s scheme-relative", engine) << "//downloads.example.com/Setup.exe" << false;
            QTest::addRow("%s tab inside the scheme", engine) << "java\tscript:alert(1)" << false;
            QTest::addRow("%s UNC path", engine) << "\\\\evil.example\\share\\Setup.exe" << false;
            QTest::addRow("%s http without host", engine) << "http:" << false;
            QTest::addRow("%s empty", engine) << "" << false;
        }
    }

    void versionRecord_givesOnlyWebAddresses()
    {
        QFETCH(QString, fileUrl);
        QFETCH(bool, accepted);
        const QString code = QJsonDocument(QJsonArray { fileUrl }).toJson(QJsonDocument::Compact);
        const QJsonObject queried
            = kitCall(QString("kit.queryLatestVersion('%1', %2[0])").arg(publicSite.baseUrl(), code));
        if (accepted) {
            QVERIFY2(queried.value("ok").toBool(), qPrintable(QJsonDocument(queried).toJson()));
            QCOMPARE(queried.value("value")["fileUrl"].toString(), fileUrl);
        } else {
            QCOMPARE(queried.value("code").toString(), QString("VERSION_SERVICE"));
        }
    }

    // The demo portal as a user meets it: it starts the signature client through the kit, and once
    // the program is stopped it offers the program's installer from the version service's record.
    void demoPortal_startsTheTool_thenOffersTheInstaller()
    {
        startProgram();
        QVERIFY2(browser->navigate(QUrl(serviceUrl + "/demo/portal.html")), qPrintable(browser->error()));
        QVERIFY2(browser->waitFor("document.getElementById('status').dataset.state === 'connected'"),
            qPrintable(browser->error()));
        browser->evaluate("document.getElementById('start-signature').click()");
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record).size(), 1, 15000);
        QVERIFY(readRecordedFrames(record).first().startsWith(SignatureStart + ",\"requestId\":\""));
        // The start asked for a receipt, and the page says what it told.
        QVERIFY2(browser->waitFor("document.getElementById('receipt').dataset.outcome === 'delivered'"),
            qPrintable(browser->error()));
        QCOMPARE(browser->evaluate("document.getElementById('receipt-text').textContent").toString(),
            QString("Tessary签章客户端已收到命令"));
        saveScreenshot("portal-connected.png");

        const QString failure = stopProgramCleanly(program);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        browser->evaluate("document.getElementById('start-signature').click()");
        QVERIFY2(browser->waitFor("document.getElementById('offer').dataset.installer !== undefined"),
            qPrintable(browser->error()));
        QCOMPARE(browser->evaluate("document.getElementById('status').dataset.state").toString(),
            QString("unreachable"));
        QCOMPARE(browser->evaluate("document.getElementById('offer').hidden").toBool(), false);
        QFile components(SourceRoot + "/demo/components.json");
        QVERIFY(components.open(QIODevice::ReadOnly));
        const QString installer
            = QJsonDocument::fromJson(components.readAll())["VantrelDetectInstallTool"]["fileUrl"].toString();
        QCOMPARE(browser->evaluate("document.getElementById('installer').href").toString(), installer);
        saveScreenshot("portal-offer.png");
    }

private:
    void startProgram(const QString &allowedOrigins = {})
    {
        QVERIFY2(program.startWith(PROGRAM_PATH,
                     { { "VANTREL_PROBE_URL", serviceUrl + "/demo/probe.html" },
                         { "VANTREL_VERSION_SERVICE_URL", serviceUrl },
                         { "VANTREL_DISK_FREE_BYTES", "99999999999" }, { "VANTREL_SAMPLE_RECORD", record },
                         { "VANTREL_ALLOWED_ORIGINS", allowedOrigins } }),
            qPrintable(program.log()));
    }

    // Runs a kit call in the page; what it resolved ({ok, value, ms}) or rejected with ({code, attempts,
    // ms}).
    QJsonObject kitCall(const QString &call)
    {
        const QJsonValue outcome = browser->evaluate(QString(
            "import('/portal/vantrel-channel.js').then(async (kit) => { const start = performance.now();"
            "  try { const value = await %1; return { ok: true, value, ms: performance.now() - start }; }"
            "  catch (e) { return { ok: false, code: e.code, message: String(e.message),"
            "                       attempts: e.attempts, ms: performance.now() - start }; } })")
                                                         .arg(call));
        if (!outcome.isObject())
            qWarning() << call << browser->error();
        return outcome.toObject();
    }

    // Opens a page of the public site with the classic script loaded.
    void openPublicPage(const QString &site)
    {
        QVERIFY2(browser->navigate(QUrl(site + "/")), qPrintable(browser->error()));
        QVERIFY(
            browser
                ->evaluate("new Promise((loaded) => { const script = document.createElement('script');"
                           "  script.src = '/vantrel-channel.global.js'; script.onload = () => loaded(true);"
                           "  document.head.append(script); })")
                .toBool());
    }

    void setLoopbackPermission(const QString &origin, const QString &setting)
    {
        chromium.call("Browser.setPermission",
            { { "permission", QJsonObject { { "name", "loopback-network" } } }, { "setting", setting },
                { "origin", origin } },
            true);
        QVERIFY2(chromium.error().isEmpty(), qPrintable(chromium.error()));
    }

    void saveScreenshot(const QString &name)
    {
        QFile file(TEST_BINARY_DIR "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(browser->screenshot());
    }

    DevToolsBrowser chromium;
    FirefoxBrowser firefox;
    PageBrowser *browser = &chromium;
    QProcess service;
    QString serviceUrl;
    LoopbackHttpServer publicSite;
    QScopedPointer<TestEnvironment> environment;
    ProgramProcess program;
    QString record;
};

QTEST_GUILESS_MAIN(PortalTest)
#include "tst_portal.moc"
