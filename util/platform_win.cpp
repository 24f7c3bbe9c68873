// Windows implementation of the platform layer: the uninstall registry through advapi32 and
// QSettings, the process list through "tasklist", process state through OpenProcess and the Run key.
// Windows' own programs are started by their full path in the system folder: a bare name is searched
// first in this program's folder and the current folder, so a copy of the program run from a downloads
// folder would run any tasklist.exe placed beside it.
#include "Platform.h"
#include "TasklistOutput.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <windows.h>

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
    return tasklistListsProgram(processListing(timeoutMs), programName);
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
    return serverName;
}

void quitOnTerminationRequest()
{
    // Log-off and shut-down reach the windows as messages, which Qt turns into a clean quit.
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
