// Linux implementation of the platform layer. Uninstall entries are files in a folder tree that
// mirrors the two Windows lists; the process listing is read from /proc; start with login is an XDG
// autostart entry.
#include "Platform.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

const char DefaultUninstallRoot[] = "/var/lib/vantrel/registry";

QString uninstallRoot()
{
    const QByteArray root = qgetenv("VANTREL_UNINSTALL_ROOT");
    return root.isEmpty() ? QString::fromLatin1(DefaultUninstallRoot) : QString::fromLocal8Bit(root);
}

QString listFolder(Platform::UninstallList list)
{
    return uninstallRoot()
        + (list == Platform::UninstallList::Native ? QStringLiteral("/Uninstall")
                                                   : QStringLiteral("/WOW6432Node/Uninstall"));
}

// An entry file: one Name=Value per line, the value raw to the end of the line.
class FileEntry : public Platform::UninstallEntry
{
public:
    explicit FileEntry(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (QByteArray line : lines) {
            if (line.endsWith('\r'))
                line.chop(1);
            const int separator = line.indexOf('=');
            if (separator <= 0)
                continue;
            const QString name = QString::fromUtf8(line.left(separator));
            if (!values.contains(name))
                values.insert(name, QString::fromUtf8(line.mid(separator + 1)));
        }
    }

    bool readValue(const QString &name, QString *value) const override
    {
        const auto found = values.constFind(name);
        if (found == values.constEnd())
            return false;
        *value = found.value();
        return true;
    }

private:
    QHash<QString, QString> values;
};

QStringList entryFiles(Platform::UninstallList list)
{
    QDir folder(listFolder(list));
    return folder.entryList({ QStringLiteral("*.ini") }, QDir::Files | QDir::Readable, QDir::Name);
}

// /proc is read with plain system calls: the process check lists every process of the machine, and
// QFile's bookkeeping per open costs more than the read itself.
QByteArray readProcFile(const char *path)
{
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return {};
    QByteArray content;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(descriptor, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<int>(count));
    ::close(descriptor);
    return content;
}

QByteArray procPath(qint64 pid, const char *entry)
{
    return "/proc/" + QByteArray::number(pid) + '/' + entry;
}

// The state letter of /proc/PID/stat; the command name in parentheses may itself hold blanks and
// parentheses, so the state is found after the last ')'.
char processState(qint64 pid)
{
    const QByteArray stat = readProcFile(procPath(pid, "stat").constData());
    const int close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return 0;
    return stat.at(close + 2);
}

QByteArray baseName(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

// The file name of the executable a process runs; empty when it cannot be read (kernel threads,
// processes of other users).
QByteArray executableName(qint64 pid)
{
    char target[4096];
    const ssize_t length = ::readlink(procPath(pid, "exe").constData(), target, sizeof target);
    if (length <= 0)
        return {};
    QByteArray name = baseName(QByteArray(target, static_cast<int>(length)));
    // A replaced executable reads "name (deleted)".
    if (name.endsWith(" (deleted)"))
        name.chop(10);
    return name;
}

bool isEnded(char state)
{
    return state == 0 || state == 'Z' || state == 'X' || state == 'x';
}

QString autoStartFile(const QString &name)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/") + name + QStringLiteral(".desktop");
}

// Exec values with blanks or quotes are written quoted, as the desktop entry format asks.
QString quoteExec(const QString &path)
{
    if (!path.contains(QRegularExpression(QStringLiteral("[\\s\"'\\\\$`]"))))
        return path;
    QString escaped = path;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('$'), QLatin1String("\\$"))
        .replace(QLatin1Char('`'), QLatin1String("\\`"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString unquoteExec(const QString &exec)
{
    if (exec.size() < 2 || !exec.startsWith(QLatin1Char('"')) || !exec.endsWith(QLatin1Char('"')))
        return exec;
    QString result;
    const QString inner = exec.mid(1, exec.size() - 2);
    for (int i = 0; i < inner.size(); ++i) {
        if (inner.at(i) == QLatin1Char('\\') && i + 1 < inner.size())
            ++i;
        result += inner.at(i);
    }
    return result;
}

// The kernel's socket diagnostics (the netlink interface "ss" uses) answer who owns a TCP socket with
// one exact lookup, where /proc/net/tcp would be read whole for every connection.
struct DiagRequest
{
    nlmsghdr header;
    inet_diag_req_v2 request;
};

void setDiagAddress(__be32 *field, const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(field, bytes.c, 16);
    } else {
        field[0] = htonl(address.toIPv4Address());
    }
}

// Sends request and calls visit with each socket the kernel describes; false when the kernel did not
// answer (no socket diagnostics here). A lookup that finds nothing answers true without a visit.
bool askSocketDiagnostics(DiagRequest request, const std::function<void(const inet_diag_msg &)> &visit)
{
    const int channel = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (channel < 0)
        return false;
    const timeval bound { 1, 0 };
    ::setsockopt(channel, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.request.sdiag_protocol = IPPROTO_TCP;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    bool answered = false;
    bool done
        = ::sendto(channel, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel)
        < 0;
    alignas(nlmsghdr) char buffer[8192];
    while (!done) {
        ssize_t length = ::recv(channel, buffer, sizeof buffer, 0);
        if (length <= 0)
            break;
        for (auto *part = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(part, length);
             part = NLMSG_NEXT(part, length)) {
            if (part->nlmsg_type == NLMSG_ERROR) {
                // ENOENT: no such socket, which is an answer too.
                answered = reinterpret_cast<const nlmsgerr *>(NLMSG_DATA(part))->error == -ENOENT;
                done = true;
            } else if (part->nlmsg_type == NLMSG_DONE) {
                answered = done = true;
            } else if (part->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
                visit(*reinterpret_cast<const inet_diag_msg *>(NLMSG_DATA(part)));
                answered = true;
                done = !(request.header.nlmsg_flags & NLM_F_DUMP);
            }
            if (done)
                break;
        }
    }
    ::close(channel);
    return answered;
}

Platform::SocketOwner ownerOfUid(bool answered, bool found, uid_t uid, const char *missing)
{
    using Kind = Platform::SocketOwner::Kind;
    if (!answered)
        return { Kind::Unknown, QStringLiteral("the kernel's socket diagnostics did not answer") };
    if (!found)
        return { Kind::Unknown, QString::fromLatin1(missing) };
    if (uid == ::getuid())
        return { Kind::ThisUser, QStringLiteral("uid %1").arg(uid) };
    return { Kind::OtherUser, QStringLiteral("uid %1").arg(uid) };
}

// The real uid of a process (the Uid line of /proc/PID/status); -1 when it cannot be read.
qint64 processUid(qint64 pid)
{
    const QByteArray status = readProcFile(procPath(pid, "status").constData());
    const int line = status.indexOf("\nUid:");
    return line < 0 ? -1 : status.mid(line + 5, 24).simplified().split(' ').value(0).toLongLong();
}

// Written by the signal handler, read in the event loop: the handler itself may do nothing else.
int terminationPipe[2] = { -1, -1 };

void onTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(terminationPipe[1], &byte, 1);
    Q_UNUSED(written) // a full pipe already holds a pending request
}

} // namespace

namespace Platform {

void forEachUninstallEntry(UninstallList list, const std::function<bool(const UninstallEntry &)> &visit)
{
    const QString folder = listFolder(list);
    for (const QString &fileName : entryFiles(list)) {
        const FileEntry entry(folder + QLatin1Char('/') + fileName);
        if (visit(entry))
            return;
    }
}

QStringList uninstallDisplayNames(UninstallList list)
{
    QStringList names;
    forEachUninstallEntry(list, [&names](const UninstallEntry &entry) {
        QString name;
        entry.readValue(QStringLiteral("DisplayName"), &name);
        names.append(name);
        return false;
    });
    return names;
}

bool isProgramRunning(const QString &programName, int timeoutMs)
{
    Q_UNUSED(timeoutMs) // reading /proc never waits on another program
    // Like a tasklist line, each process is seen by its program names only (the executable's file
    // name and the name it was started as); arguments of other programs must not count as a running
    // tool. The state, the dearest read of /proc, is read only for a process whose names match.
    const QByteArray name = programName.toUtf8();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    bool running = false;
    while (const dirent *item = ::readdir(proc)) {
        char *end = nullptr;
        const qint64 pid = std::strtoll(item->d_name, &end, 10);
        if (end == item->d_name || *end != '\0')
            continue;
        const QByteArray commandLine = readProcFile(procPath(pid, "cmdline").constData());
        const QByteArray line = executableName(pid) + ' '
            + baseName(commandLine.left(commandLine.indexOf('\0'))) + ' ' + QByteArray::number(pid);
        if (line.contains(name) && !isEnded(processState(pid)) && processUid(pid) == ::getuid()) {
            running = true;
            break;
        }
    }
    ::closedir(proc);
    return running;
}

bool isProcessAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    return !isEnded(processState(pid));
}

SocketOwner peerSocketOwner(
    const QHostAddress &local, quint16 localPort, const QHostAddress &peer, quint16 peerPort)
{
    DiagRequest request {};
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.request.sdiag_family = peer.protocol() == QAbstractSocket::IPv6Protocol ? AF_INET6 : AF_INET;
    request.request.idiag_states = ~0U;
    inet_diag_sockid &id = request.request.id;
    id.idiag_sport = htons(peerPort);
    id.idiag_dport = htons(localPort);
    setDiagAddress(id.idiag_src, peer);
    setDiagAddress(id.idiag_dst, local);
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const inet_diag_sockid asked = id;
    bool found = false;
    uid_t uid = 0;
    const bool answered = askSocketDiagnostics(request, [&](const inet_diag_msg &socket) {
        // The kernel answers a gone connection with a listener bound to the same address and port (one
        // bound with SO_REUSEADDR beside the client), and a closing socket as root's: only the open
        // connection itself tells its owner.
        found = socket.idiag_state == TCP_ESTABLISHED && socket.id.idiag_sport == asked.idiag_sport
            && socket.id.idiag_dport == asked.idiag_dport
            && std::memcmp(socket.id.idiag_src, asked.idiag_src, sizeof asked.idiag_src) == 0
            && std::memcmp(socket.id.idiag_dst, asked.idiag_dst, sizeof asked.idiag_dst) == 0;
        uid = socket.idiag_uid;
    });
    return ownerOfUid(answered, found, uid, "the connection is gone");
}

SocketOwner listenerOwner(const QHostAddress &address, quint16 port)
{
    // A connection to 127.0.0.1 goes to a listener on it or on 0.0.0.0, else to a dual-stack one on [::]
    // (or on ::ffff:127.0.0.1).
    const bool ipv4 = address.protocol() != QAbstractSocket::IPv6Protocol;
    bool found = false;
    uid_t uid = 0;
    bool answered = true;
    for (const QHostAddress &wanted : { address, QHostAddress(address.toIPv6Address()) }) {
        const bool v6 = wanted.protocol() == QAbstractSocket::IPv6Protocol;
        DiagRequest request {};
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.request.sdiag_family = v6 ? AF_INET6 : AF_INET;
        request.request.idiag_states = 1U << TCP_LISTEN;
        __be32 bytes[4] = {};
        setDiagAddress(bytes, wanted);
        answered = askSocketDiagnostics(request, [&](const inet_diag_msg &socket) {
            const bool anyAddress = std::all_of(std::begin(socket.id.idiag_src),
                std::begin(socket.id.idiag_src) + (v6 ? 4 : 1), [](__be32 word) { return word == 0; });
            if (!found && socket.id.idiag_sport == htons(port)
                && (anyAddress || std::memcmp(socket.id.idiag_src, bytes, v6 ? 16 : 4) == 0)) {
                found = true;
                uid = socket.idiag_uid;
            }
        }) && answered;
        if (found || !ipv4)
            break;
    }
    return ownerOfUid(answered, found, uid, "nothing listens there");
}

QString autoStartProgramPath()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

QString autoStartEntry(const QString &name)
{
    QFile file(autoStartFile(name));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("Exec="))
            return unquoteExec(QString::fromUtf8(line.mid(5)));
    }
    return {};
}

void writeAutoStartEntry(const QString &name, const QString &path)
{
    const QString filePath = autoStartFile(name);
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    const QString entry
        = QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\nTerminal=false\n"
                         "X-GNOME-Autostart-enabled=true\n")
              .arg(name, quoteExec(path));
    file.write(entry.toUtf8());
}

void removeAutoStartEntry(const QString &name)
{
    QFile::remove(autoStartFile(name));
}

QString programDrive()
{
    const QStorageInfo volume(QCoreApplication::applicationDirPath());
    return volume.isValid() ? volume.rootPath() : QCoreApplication::applicationDirPath().left(1);
}

void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

QString logFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/VantrelDetectInstallTool/logs");
}

namespace {

// A folder of this user's alone: a directory (not a link) owned by this uid that no one else may
// enter. A folder we make is made so; one of ours found wider is narrowed, a given one is refused.
bool isPrivateFolder(const QString &path, bool make)
{
    const QByteArray name = QFile::encodeName(path);
    if (make && ::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status = {};
    if (::lstat(name.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid())
        return false;
    return (status.st_mode & 077) == 0 || (make && ::chmod(name.constData(), 0700) == 0);
}

} // namespace

QString guardServerAddress(const QString &serverName)
{
    // Not Qt's runtime location: without XDG_RUNTIME_DIR it is $TMPDIR/runtime-<user>, a name in a
    // shared folder that another user can make first (Qt then gives none). Here every folder is
    // checked: XDG_RUNTIME_DIR when it is this user's alone, else the program's folder in the user's
    // state folder (beside the logs; no one else makes names there, no cleaner empties it), else
    // $TMPDIR/vantrel-<uid> (no usable home, or a path too long for a socket).
    const QString name = QLatin1Char('/') + serverName;
    // sockaddr_un::sun_path holds 108 bytes with the terminating zero.
    const auto usable = [&name](const QString &folder, bool make) {
        return !folder.isEmpty() && QFile::encodeName(folder + name).size() < 108
            && isPrivateFolder(folder, make);
    };
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (usable(runtime, false))
        return runtime + name;
    const QString state = QFileInfo(logFolder()).path();
    QDir().mkpath(QFileInfo(state).path());
    if (usable(state, true))
        return state + name;
    const QString temporary = QDir::tempPath() + QStringLiteral("/vantrel-%1").arg(::getuid());
    if (usable(temporary, true))
        return temporary + name;
    // No private folder: the guard cannot listen there, and this copy runs without it.
    return state + name;
}

SocketOwner localServerOwner(qintptr descriptor)
{
    ucred peer {};
    socklen_t size = sizeof peer;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return { SocketOwner::Kind::Unknown,
            QStringLiteral("no peer credentials: %1").arg(qt_error_string()) };
    const QString uid = QStringLiteral("uid %1").arg(peer.uid);
    return { peer.uid == ::getuid() ? SocketOwner::Kind::ThisUser : SocketOwner::Kind::OtherUser, uid };
}

namespace {

// Drops the bridge's queued start while Qt's accessibility bus connection ("a11y") is not made yet: Qt
// starts the bridge again itself once the connection is made. With the connection there (the bus
// address read from the X server) the start goes through.
class EarlyAccessibilityStartFilter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        return event->type() == QEvent::MetaCall && watched->inherits("QSpiAccessibleBridge")
            && !QDBusConnection(QStringLiteral("a11y")).isConnected();
    }
};

} // namespace

void holdAccessibilityUntilConnected()
{
    QCoreApplication *application = QCoreApplication::instance();
    auto *filter = new EarlyAccessibilityStartFilter(application);
    application->installEventFilter(filter);
    // Makes the bridge now (Qt makes it on first use), so that its start is queued before the filter
    // goes.
    QAccessible::isActive();
    QMetaObject::invokeMethod(filter, &QObject::deleteLater, Qt::QueuedConnection);
}

void pinTlsLibraryConfiguration() { }

void quitOnTerminationRequest()
{
    if (terminationPipe[0] >= 0 || ::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier
        = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char bytes[16];
        while (::read(terminationPipe[0], bytes, sizeof bytes) > 0) { }
        qDebug() << "Termination requested, quitting";
        QCoreApplication::quit();
    });
    struct sigaction action
    {
    };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : { SIGTERM, SIGINT, SIGHUP })
        sigaction(signalNumber, &action, nullptr);
}

bool canDuplicateSockets()
{
    return true;
}

qintptr duplicateSocket(qintptr descriptor)
{
    return descriptor < 0 ? -1 : ::fcntl(static_cast<int>(descriptor), F_DUPFD_CLOEXEC, 0);
}

void closeSocket(qintptr descriptor)
{
    if (descriptor >= 0)
        ::close(static_cast<int>(descriptor));
}

} // namespace Platform
