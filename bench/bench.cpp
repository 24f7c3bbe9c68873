// Measures the program side by side with a floor in the same run and prints a table of ratios:
// start-up, memory, command to tool, the process check, message handling and idle cost.
#include "Constants.h"
#include "LogFile.h"
#include "LoopbackHttpServer.h"
#include "Platform.h"
#include "UtilManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

QTemporaryDir workspace;
LoopbackHttpServer *probe = nullptr;
int runNumber = 0;

struct Row
{
    QString figure;
    double ours;
    double floor;
    QString unit;
    QString target;
};
QList<Row> rows;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

QProcessEnvironment environmentFor(const QString &registry)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString run = workspace.path() + QStringLiteral("/run%1").arg(++runNumber);
    QDir().mkpath(run + "/home");
    QDir().mkpath(run + "/runtime");
    QFile::setPermissions(
        run + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert("HOME", run + "/home");
    env.insert("XDG_CONFIG_HOME", run + "/home/.config");
    env.insert("XDG_RUNTIME_DIR", run + "/runtime");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("VANTREL_PROBE_URL", probe->baseUrl() + "/");
    env.insert("VANTREL_VERSION_SERVICE_URL", probe->baseUrl());
    env.insert("VANTREL_DISK_FREE_BYTES", "99999999999");
    env.insert("VANTREL_UNINSTALL_ROOT", registry.isEmpty() ? run + "/registry" : registry);
    env.insert("QT_MESSAGE_PATTERN", "%{time yyyy-MM-ddTHH:mm:ss.zzz} %{message}");
    return env;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(50);
}

// Waits, for at most 20 s, until the port accepts; says so when it never does.
bool waitForPort(quint16 port)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!accepts(port)) {
        if (elapsed.elapsed() > 20000) {
            fprintf(stderr, "port %d never accepted a connection; the figure is not valid\n", port);
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

struct Child
{
    QProcess process;
    QByteArray output;

    void start(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        process.waitForStarted(5000);
    }
    QString log()
    {
        output += process.readAll();
        return QString::fromUtf8(output);
    }
    void stop()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    qint64 statusValue(const char *key) const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith(key))
                return line.mid(qstrlen(key)).trimmed().split(' ').first().toLongLong();
        return -1;
    }
};

void openAndWait(QWebSocket &page, quint16 port)
{
    waitForPort(port);
    page.open(QUrl(QString("ws://127.0.0.1:%1").arg(port)));
    for (int wait = 0; page.state() != QAbstractSocket::ConnectedState && wait < 10000; ++wait)
        QTest::qWait(1);
}

// Milliseconds from start until every port accepts a connection.
double startupMs(
    Child &child, const QString &program, const QStringList &arguments, const QList<quint16> &ports)
{
    QElapsedTimer elapsed;
    elapsed.start();
    child.start(program, arguments, environmentFor(QString()));
    for (quint16 port : ports) {
        while (!accepts(port) && elapsed.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
    return elapsed.nsecsElapsed() / 1e6;
}

// Resident memory (KiB) of an idle program: overall, at its peak, and the anonymous part (heap and
// other private memory, without the pages of libraries and fonts mapped from files).
struct Memory
{
    double resident = 0, peak = 0, anonymous = 0;
    static Memory of(const Child &child)
    {
        return { double(child.statusValue("VmRSS:")), double(child.statusValue("VmHWM:")),
            double(child.statusValue("RssAnon:")) };
    }
};

void addMemoryRows(const Memory &ours, const Memory &floor, const QString &when)
{
    rows << Row { "idle resident memory" + when, ours.resident / 1024, floor.resident / 1024, "MiB",
        "<= 1.5x" };
    rows << Row { "peak resident memory" + when, ours.peak / 1024, floor.peak / 1024, "MiB", "<= 1.5x" };
    rows << Row { "anonymous resident memory" + when, ours.anonymous / 1024, floor.anonymous / 1024, "MiB",
        "" };
}

void measureStartupAndMemory()
{
    // Start-up: every listener must accept. Such a probe on the secure port makes the program set TLS
    // up, as a page using wss would; the memory after it is reported on its own rows.
    QList<double> ours, floor;
    Memory oursAfterSecurePage, floorAfterPage;
    for (int i = 0; i < 5; ++i) {
        Child program;
        ours << startupMs(program, PROGRAM_PATH, {}, { 12345, 51868, 51869 });
        Child minimal;
        floor << startupMs(minimal, FLOOR_PATH, { "47300" }, { 47300 });
        if (i == 0) {
            QTest::qWait(3000);
            oursAfterSecurePage = Memory::of(program);
            floorAfterPage = Memory::of(minimal);
        }
        program.stop();
        minimal.stop();
    }
    rows << Row { "start-up until listening", median(ours), median(floor), "ms", "<= 1.5x" };

    // Idle memory as a user's machine sees it after start: home window shown, no page connected yet.
    Child program;
    program.start(PROGRAM_PATH, {}, environmentFor(QString()));
    QElapsedTimer elapsed;
    elapsed.start();
    while (!program.log().contains("listening on port 51869") && elapsed.elapsed() < 20000)
        QTest::qWait(10);
    Child minimal;
    minimal.start(FLOOR_PATH, { "47300" }, environmentFor(QString()));
    Child minimalWithText;
    minimalWithText.start(FLOOR_PATH, { "47301", "--chinese-text" }, environmentFor(QString()));
    QTest::qWait(3000);
    const Memory idle = Memory::of(program);
    addMemoryRows(idle, Memory::of(minimal), " (home window shown)");
    addMemoryRows(oursAfterSecurePage, floorAfterPage, " (after a wss page)");
    rows << Row { "idle resident memory, floor window with Chinese text", idle.resident / 1024,
        Memory::of(minimalWithText).resident / 1024, "MiB", "(context)" };
    program.stop();
    minimal.stop();
    minimalWithText.stop();
}

qint64 stampOf(const QString &log, const QString &marker)
{
    for (const QString &line : log.split('\n')) {
        if (line.contains(marker))
            return QDateTime::fromString(line.left(23), "yyyy-MM-ddTHH:mm:ss.zzz").toMSecsSinceEpoch();
    }
    return -1;
}

void measureCommandToTool()
{
    const QString registry = workspace.path() + "/registry-tool";
    QDir().mkpath(registry + "/Uninstall");
    QFile entry(registry + "/Uninstall/sign.ini");
    entry.open(QIODevice::WriteOnly);
    entry.write(QString("DisplayName=%1\nDisplayIcon=%2,0\n")
                    .arg(SignatureClientTitle, SAMPLE_SIGNATURE_CLIENT)
                    .toUtf8());
    entry.close();
    QList<double> total, probeMs, startMs, handOverMs;
    for (int i = 0; i < 5; ++i) {
        const QString record = workspace.path() + QString("/frames%1.txt").arg(i);
        QProcessEnvironment env = environmentFor(registry);
        env.insert("VANTREL_SAMPLE_RECORD", record);
        Child program;
        program.start(PROGRAM_PATH, { "--tray" }, env);
        waitForPort(51868);
        QWebSocket page;
        openAndWait(page, 51868);
        const qint64 sent = QDateTime::currentMSecsSinceEpoch();
        page.sendTextMessage("{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\"}");
        qint64 received = -1;
        for (int wait = 0; wait < 10000 && received < 0; ++wait) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (QFileInfo(record).size() > 0)
                received = QDateTime::currentMSecsSinceEpoch();
            else
                usleep(500);
        }
        const QString log = program.log();
        const qint64 installed = stampOf(log, "-------------已安装");
        const qint64 connected = stampOf(log, "websocket connect successful");
        total << double(received - sent - 1000);
        probeMs << double(installed - sent - 1000);
        startMs << double(connected - installed);
        handOverMs << double(received - connected);
        program.stop();
        QProcess::execute("pkill", { "-f", SAMPLE_SIGNATURE_CLIENT });
    }
    rows << Row { "command to tool, minus the 1 s launch wait", median(total), 0, "ms", "< 100 ms" };
    rows << Row { "  of which disk + network probe", median(probeMs), 0, "ms", "" };
    rows << Row { "  of which start + process wait + connect", median(startMs), 0, "ms", "" };
    rows << Row { "  of which hand-over to the tool", median(handOverMs), 0, "ms", "" };
}

void measureProcessCheck()
{
    QList<qint64> sleepers;
    for (int i = 0; i < 300; ++i) {
        qint64 pid = 0;
        QProcess::startDetached("sleep", { "600" }, QString(), &pid);
        sleepers << pid;
    }
    QList<double> ours, floor;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer timer;
        timer.start();
        UtilManager::isToolRunning(SignatureClientName);
        ours << timer.nsecsElapsed() / 1e6;
        timer.restart();
        QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        floor << timer.nsecsElapsed() / 1e6;
    }
    for (qint64 pid : sleepers)
        ::kill(pid_t(pid), SIGKILL);
    rows << Row { "isToolRunning with 300 extra processes", median(ours), median(floor), "ms", "< 20 ms" };
}

// What the owner check adds to each accepted connection: one lookup of the client's socket, against the
// floor of reading the connection's addresses, which any server does.
void measureOwnerCheck()
{
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
    client.waitForConnected(5000);
    listener.waitForNewConnection(5000);
    QTcpSocket *accepted = listener.nextPendingConnection();
    if (!accepted)
        return;
    QList<double> ours, floor;
    for (int i = 0; i < 1000; ++i) {
        QElapsedTimer timer;
        timer.start();
        Platform::peerSocketOwner(
            accepted->localAddress(), accepted->localPort(), accepted->peerAddress(), accepted->peerPort());
        ours << timer.nsecsElapsed() / 1e3;
        timer.restart();
        const QString addresses = accepted->peerAddress().toString() + accepted->localAddress().toString();
        Q_UNUSED(addresses)
        floor << timer.nsecsElapsed() / 1e3;
    }
    rows << Row { "owner check of one accepted connection", median(ours), median(floor), "us", "< 100 us" };
}

// Messages per second handled, counted from the log lines they produce.
double messageRate(const QString &program, const QStringList &arguments, quint16 port, int connections,
    int messages, const QString &text, const QString &logged)
{
    Child child;
    child.start(program, arguments, environmentFor(QString()));
    if (!waitForPort(port)) {
        child.stop();
        return 0;
    }
    std::vector<std::unique_ptr<QWebSocket>> pages;
    for (int i = 0; i < connections; ++i) {
        pages.push_back(std::make_unique<QWebSocket>());
        pages.back()->open(QUrl(QString("ws://127.0.0.1:%1").arg(port)));
    }
    for (auto &page : pages)
        (void)QTest::qWaitFor([&page]() { return page->state() == QAbstractSocket::ConnectedState; }, 10000);
    const int before = child.log().count(logged);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < messages; ++i)
        pages[size_t(i % connections)]->sendTextMessage(text);
    while (child.log().count(logged) - before < messages && timer.elapsed() < 60000)
        QTest::qWait(5);
    const double rate = messages / (timer.nsecsElapsed() / 1e9);
    child.stop();
    return rate;
}

void measureMessages()
{
    const QString malformed = "hello";
    const QString close = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"closeTool\"}";
    for (int connections : { 1, 100 }) {
        rows << Row { QString("malformed messages per second, %1 connection(s)").arg(connections),
            messageRate(
                PROGRAM_PATH, { "--tray" }, 51868, connections, 5000, malformed, "Failed to parse JSON."),
            messageRate(FLOOR_PATH, { "47300" }, 47300, connections, 5000, malformed, "message"), "msg/s",
            "" };
    }
    // A close command runs the process check; no tool runs, so nothing is forwarded. Counted by the
    // parse log of a malformed message sent after each close.
    Child child;
    child.start(PROGRAM_PATH, { "--tray" }, environmentFor(QString()));
    waitForPort(51868);
    QWebSocket page;
    openAndWait(page, 51868);
    QElapsedTimer timer;
    timer.start();
    const int messages = 500;
    for (int i = 0; i < messages; ++i)
        page.sendTextMessage(close);
    page.sendTextMessage(malformed);
    while (!child.log().contains("Failed to parse JSON.") && timer.elapsed() < 60000)
        QTest::qWait(5);
    rows << Row { "close messages per second, 1 connection", messages / (timer.nsecsElapsed() / 1e9),
        messageRate(FLOOR_PATH, { "47300" }, 47300, 1, messages, close, "message"), "msg/s", "" };
    child.stop();
}

struct Cost
{
    double cpuMs;
    double wakeups;
};

Cost idleCost(Child &child, int seconds)
{
    auto sample = [&child]() {
        Cost cost { 0, 0 };
        QFile stat(QString("/proc/%1/stat").arg(child.process.processId()));
        if (stat.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
            cost.cpuMs
                = (fields.value(11).toDouble() + fields.value(12).toDouble()) * 1000.0 / sysconf(_SC_CLK_TCK);
        }
        for (const QString &task : QDir(QString("/proc/%1/task").arg(child.process.processId()))
                                       .entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile status(QString("/proc/%1/task/%2/status").arg(child.process.processId()).arg(task));
            if (status.open(QIODevice::ReadOnly))
                for (const QByteArray &line : status.readAll().split('\n'))
                    if (line.startsWith("voluntary_ctxt_switches:"))
                        cost.wakeups += line.mid(24).trimmed().toDouble();
        }
        return cost;
    };
    const Cost first = sample();
    QTest::qWait(seconds * 1000);
    const Cost last = sample();
    const double scale = 60.0 / seconds;
    return { (last.cpuMs - first.cpuMs) * scale, (last.wakeups - first.wakeups) * scale };
}

void measureIdle(int seconds)
{
    Child program;
    program.start(PROGRAM_PATH, { "--tray" }, environmentFor(QString()));
    Child minimal;
    minimal.start(FLOOR_PATH, { "47300" }, environmentFor(QString()));
    QTest::qWait(3000);
    fprintf(stderr, "  idle: program and floor started\n");
    const Cost ours = idleCost(program, seconds);
    const Cost floor = idleCost(minimal, seconds);
    rows << Row { "idle CPU per minute, hidden in the tray", ours.cpuMs, floor.cpuMs, "ms", "" };
    rows << Row { "idle wake-ups per minute, hidden in the tray", ours.wakeups, floor.wakeups, "", "" };
    program.stop();

    // After a launch whose process has already ended, once the launch window is hidden.
    const QString registry = workspace.path() + "/registry-ended";
    QDir().mkpath(registry + "/Uninstall");
    QFile entry(registry + "/Uninstall/sign.ini");
    entry.open(QIODevice::WriteOnly);
    entry.write(QString("DisplayName=%1\nDisplayIcon=/bin/true,0\n").arg(SignatureClientTitle).toUtf8());
    entry.close();
    fprintf(stderr, "  idle: after an ended launch\n");
    Child launched;
    launched.start(PROGRAM_PATH, { "--tray" }, environmentFor(registry));
    waitForPort(51868);
    {
        QWebSocket page;
        openAndWait(page, 51868);
        page.sendTextMessage("{\"VantrelUseScene\":\"00\"}");
        QTest::qWait(4000); // the bar has climbed to 99%, the window still waits for the process
        const Cost waiting = idleCost(launched, 5);
        rows << Row { "wake-ups per minute, launch window waiting on an ended process", waiting.wakeups,
            floor.wakeups, "", "(the wait runs while the window shows)" };
    }
    launched.stop();
    minimal.stop();
}

// The cost of one logged line with the log file on, against the same line with only a (quiet) debug
// output; written and flushed line by line, as the program does.
void measureLogFile()
{
    const int lines = 100000;
    const QtMessageHandler original
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    auto perLineNs = [lines]() {
        QElapsedTimer timer;
        timer.start();
        for (int line = 0; line < lines; ++line)
            qDebug("New WS connection established %d", line);
        return static_cast<double>(timer.nsecsElapsed()) / lines;
    };
    const double quiet = perLineNs();
    QTemporaryDir folder;
    LogFile::start(folder.path());
    const double written = perLineNs();
    LogFile::stop();
    qInstallMessageHandler(original);
    rows << Row { "one logged line, log file on (rotating at 1 MiB)", written / 1000, quiet / 1000, "us",
        "(floor: the same line without the file)" };
}

void printTable()
{
    printf("\nbuild measured: %s\n", VANTREL_BUILD_TYPE);
    printf("\n%-66s %11s %11s %-6s %8s  %s\n", "figure", "program", "floor", "unit", "ratio", "target");
    for (const Row &row : rows) {
        const QString ratio
            = row.floor > 0 ? QString::number(row.ours / row.floor, 'f', 2) + "x" : QString("-");
        printf("%-66s %11.1f %11.1f %-6s %8s  %s\n", qPrintable(row.figure), row.ours, row.floor,
            qPrintable(row.unit), qPrintable(ratio), qPrintable(row.target));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    LoopbackHttpServer server;
    server.listen();
    probe = &server;
    const int idleSeconds = qEnvironmentVariableIntValue("BENCH_IDLE_SECONDS") > 0
        ? qEnvironmentVariableIntValue("BENCH_IDLE_SECONDS")
        : 20;
    const QString only = qEnvironmentVariable("BENCH_ONLY");
    auto stage = [&only](const char *name, const std::function<void()> &run) {
        if (!only.isEmpty() && only != QLatin1String(name))
            return;
        fprintf(stderr, "measuring %s...\n", name);
        run();
    };
    stage("startup", measureStartupAndMemory);
    stage("command", measureCommandToTool);
    stage("process", measureProcessCheck);
    stage("owner", measureOwnerCheck);
    stage("messages", measureMessages);
    stage("idle", [idleSeconds]() { measureIdle(idleSeconds); });
    stage("logfile", measureLogFile);
    printTable();
    return 0;
}
