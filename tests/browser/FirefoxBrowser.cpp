#include "FirefoxBrowser.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QWebSocket>
#include <QtTest>

namespace {

// The remote agent already applies its recommended preferences (no updates, telemetry or other
// background traffic). These keep the test hosts direct and their plain-http pages plain.
const QVariantMap DriverPreferences = {
    { "network.proxy.type", 0 },
    { "dom.security.https_first", false },
};

QByteArray preferenceLine(const QString &name, const QVariant &value)
{
    // A JSON scalar is what user.js takes for a string, a number or a boolean.
    const QByteArray array
        = QJsonDocument(QJsonArray({ QJsonValue::fromVariant(value) })).toJson(QJsonDocument::Compact);
    return "user_pref(\"" + name.toUtf8() + "\", " + array.mid(1, array.size() - 2) + ");\n";
}

} // namespace

FirefoxBrowser::FirefoxBrowser(QObject *parent)
    : PageBrowser(parent)
{
    connect(&process, &QProcess::readyReadStandardError, this,
        [this]() { standardError = (standardError + process.readAllStandardError()).right(8192); });
}

FirefoxBrowser::~FirefoxBrowser()
{
    stop();
}

QString FirefoxBrowser::executable()
{
    return findProgram("VANTREL_FIREFOX", { "firefox-esr", "firefox" });
}

bool FirefoxBrowser::writePreferences(const QString &profile, const QVariantMap &preferences)
{
    QFile file(profile + "/user.js");
    if (!file.open(QIODevice::WriteOnly)) {
        lastError = "cannot write " + file.fileName();
        return false;
    }
    QVariantMap all = DriverPreferences;
    for (auto it = preferences.begin(); it != preferences.end(); ++it)
        all.insert(it.key(), it.value());
    for (auto it = all.begin(); it != all.end(); ++it)
        file.write(preferenceLine(it.key(), it.value()));
    return true;
}

bool FirefoxBrowser::start(const QStringList &trustedRoots, const QVariantMap &preferences)
{
    const QString program = executable();
    if (program.isEmpty()) {
        lastError = "no Firefox found (install the firefox-esr package, or set VANTREL_FIREFOX)";
        return false;
    }
    const QString profile = folder.path() + "/profile";
    if (!folder.isValid() || !makeCertificateStore(profile, trustedRoots)
        || !writePreferences(profile, preferences))
        return false;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", folder.path());
    environment.insert("MOZ_CRASHREPORTER_DISABLE", "1");
    process.setProcessEnvironment(environment);
    process.start(program,
        { "--headless", "--no-remote", "--profile", profile, "--remote-debugging-port", "0", "about:blank" });
    if (!process.waitForStarted(10000)) {
        lastError = "Firefox did not start: " + process.errorString();
        return false;
    }
    if (!connectToRemoteAgent(30000))
        return false;
    call("session.new", { { "capabilities", QJsonObject() } });
    const QJsonArray contexts = call("browsingContext.getTree").value("contexts").toArray();
    context = contexts.first().toObject().value("context").toString();
    if (context.isEmpty() && lastError.isEmpty())
        lastError = "Firefox has no page";
    return lastError.isEmpty();
}

bool FirefoxBrowser::connectToRemoteAgent(int timeoutMs)
{
    const QRegularExpression listening("WebDriver BiDi listening on (ws://\\S+)");
    QRegularExpressionMatch found;
    const auto listeningOrEnded = [&]() {
        found = listening.match(QString::fromLocal8Bit(standardError));
        return found.hasMatch() || process.state() == QProcess::NotRunning;
    };
    if (!QTest::qWaitFor(listeningOrEnded, timeoutMs) || !found.hasMatch()) {
        lastError = "Firefox's remote agent did not start" + browserLog();
        return false;
    }
    socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    connect(socket, &QWebSocket::textMessageReceived, this, &FirefoxBrowser::readMessage);
    socket->open(QUrl(found.captured(1) + "/session"));
    if (!QTest::qWaitFor([&]() { return socket->state() == QAbstractSocket::ConnectedState; }, timeoutMs)) {
        lastError = "no WebDriver BiDi connection: " + socket->errorString() + browserLog();
        return false;
    }
    return true;
}

void FirefoxBrowser::stop()
{
    if (socket && socket->state() == QAbstractSocket::ConnectedState)
        call("browser.close", {}, 5000);
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    delete socket;
    socket = nullptr;
}

void FirefoxBrowser::readMessage(const QString &text)
{
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    if (message.value("id").isDouble())
        answers.insert(message.value("id").toInt(), message);
}

QJsonObject FirefoxBrowser::call(const QString &method, const QJsonObject &params, int timeoutMs)
{
    lastError.clear();
    const int id = nextId++;
    const QJsonObject message = { { "id", id }, { "method", method }, { "params", params } };
    if (!socket || socket->sendTextMessage(QJsonDocument(message).toJson(QJsonDocument::Compact)) <= 0) {
        lastError = method + ": no WebDriver BiDi connection";
        return {};
    }
    if (!QTest::qWaitFor(
            [&]() { return answers.contains(id) || socket->state() != QAbstractSocket::ConnectedState; },
            timeoutMs)
        || !answers.contains(id)) {
        lastError = method + ": no answer within " + QString::number(timeoutMs) + " ms" + browserLog();
        return {};
    }
    const QJsonObject answer = answers.take(id);
    if (answer.value("type").toString() != "success") {
        lastError
            = method + ": " + answer.value("error").toString() + ": " + answer.value("message").toString();
        return {};
    }
    return answer.value("result").toObject();
}

bool FirefoxBrowser::navigate(const QUrl &url, int timeoutMs)
{
    call("browsingContext.navigate",
        { { "context", context }, { "url", url.toString() }, { "wait", "complete" } }, timeoutMs);
    return lastError.isEmpty();
}

QJsonValue FirefoxBrowser::evaluate(const QString &expression, int timeoutMs)
{
    // The value crosses as JSON text (BiDi's own serialisation of values is richer than the tests need);
    // the array keeps undefined and scalars readable.
    const QString wrapped = "(async () => JSON.stringify([await (" + expression + "\n)]))()";
    const QJsonObject result = call("script.evaluate",
        { { "expression", wrapped }, { "target", QJsonObject { { "context", context } } },
            { "awaitPromise", true } },
        timeoutMs);
    if (result.value("type").toString() == "exception") {
        lastError = "exception: " + result.value("exceptionDetails").toObject().value("text").toString();
        return QJsonValue::Undefined;
    }
    const QString json = result.value("result").toObject().value("value").toString();
    return QJsonDocument::fromJson(json.toUtf8()).array().at(0);
}

QByteArray FirefoxBrowser::screenshot()
{
    const QJsonObject result = call("browsingContext.captureScreenshot", { { "context", context } });
    return QByteArray::fromBase64(result.value("data").toString().toLatin1());
}

QString FirefoxBrowser::browserLog() const
{
    return standardError.isEmpty() ? QString()
                                   : "\nbrowser said: " + QString::fromLocal8Bit(standardError.right(2000));
}
