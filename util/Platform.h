#pragma once

// The operating-system layer under UtilManager: uninstall lists, process listing, process state,
// start with login and the single-instance socket name. One implementation file per system
// (platform_win.cpp: registry, tasklist, OpenProcess; platform_unix.cpp: our own folder-based
// uninstall lists, /proc and the XDG autostart folder). Matching rules live in UtilManager and are
// shared by both.
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <functional>

// Bound of one process listing.
constexpr int ProcessListingTimeoutMs = 30000;

namespace Platform {

enum class UninstallList {
    Native, // the 64-bit list, always searched first
    Wow6432Node, // the 32-bit list
};

// One entry of an uninstall list, readable while the visitor runs.
class UninstallEntry
{
public:
    virtual ~UninstallEntry() = default;
    // False when the value is absent or cannot be read.
    virtual bool readValue(const QString &name, QString *value) const = 0;
};

// Calls visit for every entry of the list in enumeration order, until visit returns true.
void forEachUninstallEntry(UninstallList list, const std::function<bool(const UninstallEntry &)> &visit);

// DisplayName of every entry of the list (empty when absent), in enumeration order.
QStringList uninstallDisplayNames(UninstallList list);

// True when the process list (tasklist on Windows; on Linux each process's executable file name
// and the name it was started as) contains programName, case-sensitively, for a process that has not
// ended and belongs to this user (on Windows: runs in this program's session). Another user's process
// of the same name is not this user's tool.
bool isProgramRunning(const QString &programName, int timeoutMs);

// True only for a process that exists and has not ended (a zombie has ended).
bool isProcessAlive(qint64 pid);

// The program path that start with login registers.
QString autoStartProgramPath();
// The path currently registered under name, empty when there is none.
QString autoStartEntry(const QString &name);
void writeAutoStartEntry(const QString &name, const QString &path);
void removeAutoStartEntry(const QString &name);

// The folder of the program's log files, in the user's own data (see LogFile.h).
QString logFolder();

// What the disk messages call the drive that holds the program's directory.
QString programDrive();

// Hands memory that the program has freed back to the system (after a burst of connections).
void releaseFreedMemory();

// Makes a request to end the program from outside (on Linux SIGTERM at logout or from kill, SIGINT,
// SIGHUP) quit the application the way "退出" does, so that everything is released and the guard
// socket removed. Windows delivers such requests to the windows, which Qt already handles.
void quitOnTerminationRequest();

// Keeps Qt's screen reader bridge from starting before its accessibility bus connection is made.
// Debian's Qt 5.15 starts the bridge on the event loop's first pass, mostly before the connection, and
// a bridge started without it is never seen by screen readers; held back, it starts once the connection
// is made. Call right after the application object is made, before events are processed. Nothing on
// Windows.
void holdAccessibilityUntilConnected();

// Keeps the TLS library from reading a configuration another user could write. The OpenSSL shipped
// on Windows has its build machine's folder compiled in (/tmp/...), which on Windows names a folder on
// the current drive that any user may create, and a configuration there can load any DLL. Pointed at
// a file in the program's own folder (writable by administrators only, installed; none is shipped,
// and a missing file is no configuration), unless the user chose one.
// Nothing on Linux, whose system OpenSSL reads root's /etc/ssl. Call before the first TLS use.
void pinTlsLibraryConfiguration();

// Whether a listening socket can be duplicated, so that another server object can take it over.
bool canDuplicateSockets();
// A new descriptor for the same socket, -1 when that fails or is not supported.
qintptr duplicateSocket(qintptr descriptor);
void closeSocket(qintptr descriptor);

// Full name for QLocalServer/QLocalSocket of the single-instance guard called serverName: a name no
// other user can create or take (Linux: in a folder of this user's own, mode 0700; Windows: a name that
// carries this user's session).
QString guardServerAddress(const QString &serverName);

// Who holds a socket on this machine, as far as the system tells.
struct SocketOwner
{
    enum class Kind {
        ThisUser, // this user (on Windows: this user in this session)
        OtherUser, // anyone else: another user, or this user's other session
        Unknown, // the system does not say: callers refuse
    };
    Kind kind = Kind::Unknown;
    QString description; // for the log: who the other user is, or why the owner is unknown
};

// The owner of the far end of an open loopback TCP connection: the socket whose own address is
// peer:peerPort and whose remote address is local:localPort.
SocketOwner peerSocketOwner(
    const QHostAddress &local, quint16 localPort, const QHostAddress &peer, quint16 peerPort);
// The owner of the socket that listens on address:port (Unknown when nothing listens there).
SocketOwner listenerOwner(const QHostAddress &address, quint16 port);
// The owner of the server end of a connected local socket (QLocalSocket::socketDescriptor()).
SocketOwner localServerOwner(qintptr descriptor);

} // namespace Platform
