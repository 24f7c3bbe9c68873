// Windows side of the test helpers: uninstall entries in the registry, processes through Toolhelp.
// The tests run under Wine in a temporary prefix (scripts/test-windows.sh), never in a user's own.
#include "TestSupport.h"

#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

namespace {

// Entries the tests write carry this prefix, so that clearing them leaves the prefix's own alone.
const QString EntryPrefix = QStringLiteral("VantrelTest-");
const QString ProgramName = QStringLiteral("VantrelDetectInstallTool");
const wchar_t RunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

QString listKey(const QString &list)
{
    return list == QLatin1String("Uninstall")
        ? QStringLiteral("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall")
        : QStringLiteral("SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
}

void writeString(HKEY key, const QString &name, const QString &value)
{
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    RegSetValueExW(key, wide(name), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.utf16()), bytes);
}

QStringList testSubkeys(HKEY list)
{
    QStringList names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD chars = 256;
        if (RegEnumKeyExW(list, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const QString subkey = QString::fromWCharArray(name, static_cast<int>(chars));
        if (subkey.startsWith(EntryPrefix))
            names.append(subkey);
    }
    return names;
}

} // namespace

TestEnvironment::TestEnvironment()
{
    clearEntries();
    for (const QString &name : { ProgramName, QCoreApplication::applicationName() }) {
        if (name.isEmpty()) // before the application object exists
            continue;
        removeAutoStart(name);
        QDir(documentsFolder() + QLatin1Char('/') + name).removeRecursively();
    }
    QDir(Platform::logFolder()).removeRecursively();
}

QString TestEnvironment::documentsFolder() const
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

void TestEnvironment::writeEntry(
    const QString &list, const QString &subkey, const QMap<QString, QString> &values) const
{
    HKEY key = nullptr;
    const QString path = listKey(list) + QLatin1Char('\\') + EntryPrefix + subkey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(path), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        qFatal("cannot write entry %s", qPrintable(path));
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        writeString(key, it.key(), it.value());
    RegCloseKey(key);
}

void TestEnvironment::clearEntries() const
{
    for (const QString &list : { QStringLiteral("Uninstall"), QStringLiteral("WOW6432Node/Uninstall") }) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(listKey(list)), 0, KEY_READ | KEY_WRITE, &key)
            != ERROR_SUCCESS)
            continue;
        for (const QString &subkey : testSubkeys(key))
            RegDeleteTreeW(key, wide(subkey));
        RegCloseKey(key);
    }
}

bool TestEnvironment::autoStartRegistered(const QString &name) const
{
    QProcess reg;
    reg.start(QStringLiteral("reg"),
        { QStringLiteral("query"), QStringLiteral("HKCU\\") + QString::fromWCharArray(RunKey),
            QStringLiteral("/v"), name });
    return reg.waitForFinished(30000) && reg.exitStatus() == QProcess::NormalExit && reg.exitCode() == 0;
}

QString TestEnvironment::autoStartFileText(const QString &) const
{
    return QString();
}

void TestEnvironment::removeAutoStart(const QString &name) const
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, RunKey, wide(name));
}

bool guardIsListening(const QString &serverName)
{
    // Asks whether the pipe exists without taking one of its instances.
    const QString pipe = QStringLiteral("\\\\.\\pipe\\") + Platform::guardServerAddress(serverName);
    return WaitNamedPipeW(wide(pipe), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

void killProgramsNamed(const QString &programName)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    const QString imageName = programName + QStringLiteral(".exe");
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (QString::fromWCharArray(entry.szExeFile).compare(imageName, Qt::CaseInsensitive) != 0)
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
}

void askProgramToQuit(QProcess &program)
{
    QProcess quit;
    quit.setProcessEnvironment(program.processEnvironment());
    quit.start(program.program(), { QStringLiteral("--quit") });
    quit.waitForFinished(30000);
}

qint64 residentKiB(qint64 pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return -1;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    const bool read = GetProcessMemoryInfo(process, &counters, sizeof counters);
    CloseHandle(process);
    return read ? static_cast<qint64>(counters.WorkingSetSize / 1024) : -1;
}

int threadCount(qint64 pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == static_cast<DWORD>(pid);
    CloseHandle(snapshot);
    return count;
}

QStringList otherUserLauncher()
{
    return {};
}

void giveToOtherUser(const QString &) { }

int unixMode(const QString &)
{
    return -1;
}
