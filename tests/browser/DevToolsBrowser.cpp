#include "DevToolsBrowser.h"

#include <QJsonDocument>
#include <QProcess>
#include <QSocketNotifier>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

// A QProcess whose child gets two more descriptors: 3 to read commands from, 4 to write answers to.
class PipedProcess : public QProcess
{
public:
    explicit PipedProcess(QObject *parent)
        : QProcess(parent)
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier([this] { passPipes(); });
#endif
    }
    int childReads = -1;
    int childWrites = -1;

protected:
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 calls this in the child; Qt 6 calls the modifier set above instead.
    void setupChildProcess() override
    {
        passPipes();
    }
#endif

private:
    void passPipes()
    {
        // dup2 clears close-on-exec on the copies, so only these two cross the exec.
        ::dup2(childReads, 3);
        ::dup2(childWrites, 4);
    }
};

namespace {

// A pipe whose ends sit above the descriptors the child is given, closed on exec.
bool makePipe(int ends[2])
{
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        ends[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 10);
        ::close(raw[i]);
    }
    return ends[0] >= 0 && ends[1] >= 0;
}

} // namespace

DevToolsBrowser::DevToolsBrowser(QObject *parent)
    : PageBrowser(parent)
    , process(new PipedProcess(this))
{ }

DevToolsBrowser::~DevToolsBrowser()
{
    stop();
}

QString DevToolsBrowser::executable()
{
    return findProgram("VANTREL_CHROMIUM", { "chromium", "chromium-browser" });
}

bool DevToolsBrowser::start(const QStringList &extraArguments, const QStringList &trustedRoots)
{
    const QString program = executable();
    if (program.isEmpty()) {
        lastError = "no Chromium found (install the chromium package, or set VANTREL_CHROMIUM)";
        return false;
    }
    if (!folder.isValid() || !makeCertificateStore(folder.path() + "/home/.pki/nssdb", trustedRoots))
        return false;
    int commands[2];
    int answersPipe[2];
    if (!makePipe(commands) || !makePipe(answersPipe)) {
        lastError = "no pipes";
        return false;
    }
    process->childReads = commands[0];
    process->childWrites = answersPipe[1];
    toBrowser = commands[1];
    fromBrowser = answersPipe[0];

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", folder.path() + "/home");
    process->setProcessEnvironment(environment);
    // Without the background services it would reach for Google's hosts at every start.
    QStringList arguments = { "--headless", "--remote-debugging-pipe", "--disable-gpu", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--disable-default-apps", "--password-store=basic", "--window-size=1000,820",
        "--user-data-dir=" + folder.path() + "/profile" };
    if (::geteuid() == 0)
        arguments << "--no-sandbox"; // Chromium's sandbox refuses to run as root
    process->start(program, arguments + extraArguments + QStringList({ "about:blank" }));
    const bool started = process->waitForStarted(10000);
    ::close(commands[0]);
    ::close(answersPipe[1]);
    if (!started) {
        lastError = "Chromium did not start: " + process->errorString();
        return false;
    }
    ::fcntl(fromBrowser, F_SETFL, ::fcntl(fromBrowser, F_GETFL) | O_NONBLOCK);
    notifier = new QSocketNotifier(fromBrowser, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &DevToolsBrowser::readMessages);
    return attachPage();
}

bool DevToolsBrowser::attachPage()
{
    const QJsonObject target = call("Target.createTarget", { { "url", "about:blank" } }, true);
    const QJsonObject attached = call(
        "Target.attachToTarget", { { "targetId", target.value("targetId") }, { "flatten", true } }, true);
    sessionId = attached.value("sessionId").toString();
    if (sessionId.isEmpty())
        return false;
    call("Page.enable");
    return lastError.isEmpty();
}

void DevToolsBrowser::stop()
{
    if (process->state() != QProcess::NotRunning) {
        call("Browser.close", {}, true, 5000);
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    delete notifier;
    notifier = nullptr;
    for (int *descriptor : { &toBrowser, &fromBrowser }) {
        if (*descriptor >= 0)
            ::close(*descriptor);
        *descriptor = -1;
    }
}

bool DevToolsBrowser::write(const QJsonObject &message)
{
    QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    bytes.append('\0');
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written
            = ::write(toBrowser, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (written <= 0) {
            lastError = "the browser's command pipe is closed";
            return false;
        }
        done += written;
    }
    return true;
}

void DevToolsBrowser::readMessages()
{
    char buffer[65536];
    ssize_t count;
    while ((count = ::read(fromBrowser, buffer, sizeof buffer)) > 0)
        pending.append(buffer, static_cast<int>(count));
    if (count == 0)
        notifier->setEnabled(false); // the browser has gone
    int end;
    while ((end = pending.indexOf('\0')) >= 0) {
        const QJsonObject message = QJsonDocument::fromJson(pending.left(end)).object();
        pending.remove(0, end + 1);
        if (message.contains("id"))
            answers.insert(message.value("id").toInt(), message);
        else
            events << message.value("method").toString();
    }
}

QJsonObject DevToolsBrowser::call(
    const QString &method, const QJsonObject &params, bool browserLevel, int timeoutMs)
{
    lastError.clear();
    const int id = nextId++;
    QJsonObject message = { { "id", id }, { "method", method }, { "params", params } };
    if (!browserLevel)
        message.insert("sessionId", sessionId);
    if (toBrowser < 0 || !write(message))
        return {};
    if (!QTest::qWaitFor(
            [&]() { return answers.contains(id) || process->state() == QProcess::NotRunning; }, timeoutMs)
        || !answers.contains(id)) {
        lastError = method + ": no answer within " + QString::number(timeoutMs) + " ms" + browserLog();
        return {};
    }
    const QJsonObject answer = answers.take(id);
    if (answer.contains("error")) {
        lastError
            = method + ": " + QJsonDocument(answer.value("error").toObject()).toJson(QJsonDocument::Compact);
        return {};
    }
    return answer.value("result").toObject();
}

bool DevToolsBrowser::waitForEvent(const QString &method, int timeoutMs)
{
    if (QTest::qWaitFor([&]() { return events.contains(method); }, timeoutMs))
        return true;
    lastError = method + " did not come within " + QString::number(timeoutMs) + " ms";
    return false;
}

bool DevToolsBrowser::navigate(const QUrl &url, int timeoutMs)
{
    events.clear();
    const QJsonObject result = call("Page.navigate", { { "url", url.toString() } }, false, timeoutMs);
    if (result.isEmpty())
        return false;
    if (result.contains("errorText")) {
        lastError = "navigation to " + url.toString() + ": " + result.value("errorText").toString();
        return false;
    }
    return waitForEvent("Page.loadEventFired", timeoutMs);
}

QJsonValue DevToolsBrowser::evaluate(const QString &expression, int timeoutMs)
{
    const QJsonObject result = call("Runtime.evaluate",
        { { "expression", expression }, { "awaitPromise", true }, { "returnByValue", true } }, false,
        timeoutMs);
    if (result.contains("exceptionDetails")) {
        const QJsonObject details = result.value("exceptionDetails").toObject();
        lastError = "exception: "
            + details.value("exception")
                  .toObject()
                  .value("description")
                  .toString(details.value("text").toString());
        return QJsonValue::Undefined;
    }
    return result.value("result").toObject().value("value");
}

QByteArray DevToolsBrowser::screenshot()
{
    const QJsonObject result = call("Page.captureScreenshot", { { "format", "png" } });
    return QByteArray::fromBase64(result.value("data").toString().toLatin1());
}

QString DevToolsBrowser::browserLog()
{
    const QByteArray text = process->readAllStandardError();
    return text.isEmpty() ? QString() : "\nbrowser said: " + QString::fromLocal8Bit(text.right(2000));
}
