// Windows implementation of the platform layer: the uninstall registry through advapi32 and
// QSettings, the process list through "tasklist", process state through OpenProcess and the Run key.
// Windows' own programs are started by their full path in the system folder: a bare name is searched
// first in this program's folder and the current folder, so a copy of the program run from a downloads
// folder would run any tasklist.exe placed beside it.
//
// Who holds a socket: the owning process of a TCP row (GetExtendedTcpTable) or of a pipe's server end,
// then that process's session and the user of its token against ours. A row whose owning process is
// 0 names no owner. Windows names the owner of every open connection and listener (0 only in
// TIME_WAIT, which no program holds and which is never looked at), so there such a row is Unknown and
// refused. Wine 8 names 0 for most rows, this program's own included: for every IPv6 row, listeners
// and accepted sockets, and names a real process only for some connecting sockets. No row of a table
// can therefore tell whether 0 means "no owner" or "this system did not look", and a program under
// Wine (ntdll exports wine_get_version) takes a row without an owner as this user's, its description
// saying that the owner was not checked. Wine runs every "Windows user" of a prefix as one Unix user in
// one session, so there is nobody to tell apart there, and refusing would lock the user out of their
// own program and tools.
#include "Platform.h"
#include "TasklistOutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QVector>
#include <QtEndian>
#include <vector>

// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>
#include <sddl.h>

namespace {

const wchar_t NativeUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t Wow6432UninstallKey[] = L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char RunKey[] = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

const DWORD NameBufferChars = 256;
const DWORD ValueBufferBytes = 512;

class RegistryEntry : public Platform::UninstallEntry
{
public:
    explicit RegistryEntry(HKEY key)
        : key(key)
    { }

    // Every value is read into its own 512-byte buffer; one that does not fit counts as absent.
    bool readValue(const QString &name, QString *value) const override
    {
        wchar_t buffer[ValueBufferBytes / sizeof(wchar_t)] = {};
        DWORD size = ValueBufferBytes;
        DWORD type = 0;
        const LONG status = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name.utf16()), nullptr, &type,
            reinterpret_cast<LPBYTE>(buffer), &size);
        if (status != ERROR_SUCCESS)
            return false;
        const int chars = static_cast<int>(size / sizeof(wchar_t));
        QString text = QString::fromWCharArray(buffer, chars);
        while (text.endsWith(QChar(0)))
            text.chop(1);
        *value = text;
        return true;
    }

private:
    HKEY key;
};

// The full path of one of Windows' own programs, in the system folder (System32); empty if the folder
// is unknown.
QString systemProgram(const QString &fileName)
{
    wchar_t folder[MAX_PATH] = {};
    const UINT chars = GetSystemDirectoryW(folder, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH)
        return QString();
    return QString::fromWCharArray(folder, static_cast<int>(chars)) + QLatin1Char('\\') + fileName;
}

QByteArray processListing(int timeoutMs)
{
    const QString program = systemProgram(QStringLiteral("tasklist.exe"));
    if (program.isEmpty())
        return QByteArray();
    QProcess tasklist;
    tasklist.start(program, QStringList(), QIODevice::ReadWrite);
    tasklist.waitForFinished(timeoutMs);
    return tasklist.readAllStandardOutput();
}

using Owner = Platform::SocketOwner;

// The TOKEN_USER of a process (its user's SID), empty when it cannot be read; *error says why.
std::vector<char> tokenUser(HANDLE process, DWORD *error)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        *error = GetLastError();
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> user(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        *error = GetLastError();
        user.clear();
    }
    CloseHandle(token);
    return user;
}

PSID userSid(const std::vector<char> &user)
{
    return reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid;
}

QString sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

// This program's session and user, read once.
struct Self
{
    bool sessionKnown = false;
    DWORD session = 0;
    std::vector<char> user;
    QString sid;
};

const Self &self()
{
    static const Self me = [] {
        Self result;
        result.sessionKnown = ProcessIdToSessionId(GetCurrentProcessId(), &result.session);
        DWORD error = 0;
        result.user = tokenUser(GetCurrentProcess(), &error);
        if (!result.user.empty())
            result.sid = sidText(userSid(result.user));
        return result;
    }();
    return me;
}

Owner ownerOfProcess(DWORD pid)
{
    if (pid == GetCurrentProcessId())
        return { Owner::Kind::ThisUser, QStringLiteral("this process") };
    const Self &me = self();
    if (!me.sessionKnown || me.user.empty())
        return { Owner::Kind::Unknown, QStringLiteral("this program's own session or user is unknown") };
    DWORD session = 0;
    if (!ProcessIdToSessionId(pid, &session))
        return { Owner::Kind::Unknown,
            QStringLiteral("the session of process %1 is unknown (error %2)").arg(pid).arg(GetLastError()) };
    DWORD error = 0;
    std::vector<char> user;
    if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
        user = tokenUser(process, &error);
        CloseHandle(process);
    } else {
        error = GetLastError();
    }
    const QString sid = user.empty() ? QStringLiteral("unknown") : sidText(userSid(user));
    if (session != me.session)
        return { Owner::Kind::OtherUser,
            QStringLiteral("process %1 in session %2, user %3").arg(pid).arg(session).arg(sid) };
    // A process of this session that cannot be opened (an elevated copy's token, say) counts by its
    // session alone.
    if (user.empty())
        return {
            Owner::Kind::ThisUser,
            QStringLiteral("process %1 of this session, its user not readable (error %2)").arg(pid).arg(error)
        };
    if (!EqualSid(userSid(user), userSid(me.user)))
        return { Owner::Kind::OtherUser,
            QStringLiteral("process %1 in this session, user %2").arg(pid).arg(sid) };
    return { Owner::Kind::ThisUser, QStringLiteral("process %1").arg(pid) };
}

// See the top of this file.
bool isWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

struct TcpRow
{
    QHostAddress local;
    quint16 localPort;
    QHostAddress remote;
    quint16 remotePort;
    DWORD state;
    DWORD pid;
};

// The system's TCP sockets of both families with their owning processes.
struct TcpTable
{
    QVector<TcpRow> rows;
    QString failure; // set when neither family could be read

    Owner ownerOf(const TcpRow &row) const
    {
        if (row.pid != 0)
            return ownerOfProcess(row.pid);
        if (!isWine())
            return { Owner::Kind::Unknown, QStringLiteral("the system names no owner of the socket") };
        return { Owner::Kind::ThisUser,
            QStringLiteral("owner not checked: Wine names no owner of the socket") };
    }
};

quint16 rowPort(DWORD port)
{
    return qFromBigEndian(static_cast<quint16>(port));
}

// Appends the rows of one family; false with *error when the system gives no table.
bool readTcpRows(ULONG family, QVector<TcpRow> *rows, DWORD *error)
{
    std::vector<char> buffer;
    DWORD size = 0;
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 5 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size);
        status = GetExtendedTcpTable(
            buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
    }
    if (status != NO_ERROR) {
        *error = status;
        return false;
    }
    if (buffer.empty())
        return true;
    if (family == AF_INET) {
        const auto *table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID *>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID &row = table->table[i];
            rows->append({ QHostAddress(qFromBigEndian(static_cast<quint32>(row.dwLocalAddr))),
                rowPort(row.dwLocalPort),
                QHostAddress(qFromBigEndian(static_cast<quint32>(row.dwRemoteAddr))),
                rowPort(row.dwRemotePort), row.dwState, row.dwOwningPid });
        }
    } else {
        const auto *table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID *>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID &row = table->table[i];
            rows->append({ QHostAddress(row.ucLocalAddr), rowPort(row.dwLocalPort),
                QHostAddress(row.ucRemoteAddr), rowPort(row.dwRemotePort), row.dwState, row.dwOwningPid });
        }
    }
    return true;
}

TcpTable readTcpTable()
{
    TcpTable table;
    DWORD error4 = 0;
    DWORD error6 = 0;
    const bool four = readTcpRows(AF_INET, &table.rows, &error4);
    const bool six = readTcpRows(AF_INET6, &table.rows, &error6);
    if (!four && !six)
        table.failure = QStringLiteral("the system's TCP table cannot be read (error %1)").arg(error4);
    return table;
}

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

// The worse of two owners: another user before an unknown one before this user.
Owner worse(const Owner &a, const Owner &b)
{
    const auto rank = [](Owner::Kind kind) {
        return kind == Owner::Kind::OtherUser ? 2 : kind == Owner::Kind::Unknown ? 1 : 0;
    };
    return rank(b.kind) > rank(a.kind) ? b : a;
}

} // namespace

namespace Platform {

void forEachUninstallEntry(UninstallList list, const std::function<bool(const UninstallEntry &)> &visit)
{
    HKEY listKey = nullptr;
    const wchar_t *path = list == UninstallList::Native ? NativeUninstallKey : Wow6432UninstallKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &listKey) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        wchar_t name[NameBufferChars] = {};
        DWORD nameChars = NameBufferChars;
        if (RegEnumKeyExW(listKey, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr)
            != ERROR_SUCCESS)
            break;
        HKEY entryKey = nullptr;
        if (RegOpenKeyExW(listKey, name, 0, KEY_READ, &entryKey) != ERROR_SUCCESS)
            continue;
        const bool stop = visit(RegistryEntry(entryKey));
        RegCloseKey(entryKey);
        if (stop)
            break;
    }
    RegCloseKey(listKey);
}

QStringList uninstallDisplayNames(UninstallList list)
{
    const QString path = list == UninstallList::Native
        ? QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall")
        : QStringLiteral(
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    QSettings settings(path, QSettings::NativeFormat);
    QStringList names;
    for (const QString &group : settings.childGroups()) {
        settings.beginGroup(group);
        names.append(settings.value(QStringLiteral("DisplayName"), QString()).toString());
        settings.endGroup();
    }
    return names;
}

bool isProgramRunning(const QString &programName, int timeoutMs)
{
    // Another session's copy (another user's, or this user's other session) is not this session's tool.
    const Self &me = self();
    return me.sessionKnown && tasklistListsProgram(processListing(timeoutMs), programName, me.session);
}

bool isProcessAlive(qint64 pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode)) {
        CloseHandle(process);
        return false;
    }
    CloseHandle(process);
    return exitCode == STILL_ACTIVE;
}

QString autoStartProgramPath()
{
    QString path = QCoreApplication::applicationDirPath() + QLatin1Char('/')
        + QCoreApplication::applicationName() + QStringLiteral(".exe");
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QString autoStartEntry(const QString &name)
{
    QSettings run(QString::fromLatin1(RunKey), QSettings::NativeFormat);
    return run.value(name, QString()).toString();
}

void writeAutoStartEntry(const QString &name, const QString &path)
{
    QSettings run(QString::fromLatin1(RunKey), QSettings::NativeFormat);
    run.setValue(name, path);
}

void removeAutoStartEntry(const QString &name)
{
    QSettings run(QString::fromLatin1(RunKey), QSettings::NativeFormat);
    run.remove(name);
}

QString programDrive()
{
    return QCoreApplication::applicationDirPath().left(1);
}

void releaseFreedMemory()
{
    HeapCompact(GetProcessHeap(), 0);
}

QString logFolder()
{
    // %LOCALAPPDATA%: the user's own data on this machine, not carried in a roaming profile.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/VantrelDetectInstallTool/logs");
}

QString guardServerAddress(const QString &serverName)
{
    // Pipe names are one namespace for the whole machine: with the user's SID and the session in the
    // name, each session of each user has a guard of its own.
    const Self &me = self();
    const QString sid = me.sid.isEmpty() ? QStringLiteral("S-unknown") : me.sid;
    return QStringLiteral("%1-%2-session%3").arg(serverName, sid).arg(me.session);
}

SocketOwner peerSocketOwner(
    const QHostAddress &local, quint16 localPort, const QHostAddress &peer, quint16 peerPort)
{
    const TcpTable table = readTcpTable();
    if (!table.failure.isEmpty())
        return { SocketOwner::Kind::Unknown, table.failure };
    for (const TcpRow &row : table.rows) {
        // A socket in TIME_WAIT is held by no program and may carry the same addresses as a new one.
        if (row.state == MIB_TCP_STATE_LISTEN || row.state == MIB_TCP_STATE_TIME_WAIT)
            continue;
        if (row.localPort == peerPort && row.remotePort == localPort && sameAddress(row.local, peer)
            && sameAddress(row.remote, local))
            return table.ownerOf(row);
    }
    return { SocketOwner::Kind::Unknown,
        QStringLiteral("the system lists no connection from %1 port %2").arg(peer.toString()).arg(peerPort) };
}

SocketOwner listenerOwner(const QHostAddress &address, quint16 port)
{
    const TcpTable table = readTcpTable();
    if (!table.failure.isEmpty())
        return { SocketOwner::Kind::Unknown, table.failure };
    bool isV4 = false;
    address.toIPv4Address(&isV4);
    // A connection goes to a listener on its very address, else to one on the family's wildcard, else
    // (IPv4) to a dual-stack one on "::". Where several share the step that takes it, each must be ours.
    QVector<QHostAddress> steps { address,
        QHostAddress(isV4 ? QHostAddress::AnyIPv4 : QHostAddress::AnyIPv6) };
    if (isV4)
        steps.append(QHostAddress(QHostAddress::AnyIPv6));
    for (const QHostAddress &step : steps) {
        bool found = false;
        SocketOwner owner { SocketOwner::Kind::ThisUser, QString() };
        for (const TcpRow &row : table.rows) {
            if (row.state != MIB_TCP_STATE_LISTEN || row.localPort != port || !sameAddress(row.local, step))
                continue;
            const SocketOwner rowOwner = table.ownerOf(row);
            owner = found ? worse(owner, rowOwner) : rowOwner;
            found = true;
        }
        if (found)
            return owner;
    }
    return { SocketOwner::Kind::Unknown,
        QStringLiteral("nothing listens on %1 port %2").arg(address.toString()).arg(port) };
}

SocketOwner localServerOwner(qintptr descriptor)
{
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(descriptor), &pid))
        return { SocketOwner::Kind::Unknown,
            QStringLiteral("the pipe's server process is unknown (error %1)").arg(GetLastError()) };
    return ownerOfProcess(pid);
}

void quitOnTerminationRequest()
{
    // Log-off and shut-down reach the windows as messages, which Qt turns into a clean quit.
}

void holdAccessibilityUntilConnected()
{
    // Windows screen readers reach Qt through UI Automation, which needs no bus.
}

void pinTlsLibraryConfiguration()
{
    // Only the configuration: the modules and engines it names are the only ones loaded unasked, and
    // the tools started from here keep finding their own.
    if (qEnvironmentVariableIsEmpty("OPENSSL_CONF"))
        qputenv("OPENSSL_CONF",
            QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1String("/openssl.cnf"))
                .toLocal8Bit());
}

bool canDuplicateSockets()
{
    // A duplicated socket would need WSADuplicateSocket and a fresh event selection; the secure
    // listener is set up at start instead.
    return false;
}

qintptr duplicateSocket(qintptr)
{
    return -1;
}

void closeSocket(qintptr descriptor)
{
    if (descriptor >= 0)
        closesocket(static_cast<SOCKET>(descriptor));
}

} // namespace Platform
