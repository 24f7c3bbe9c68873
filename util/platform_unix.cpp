// Linux implementation of the platform layer. Uninstall entries are files in a folder tree that
// mirrors the two Windows lists; the process listing is read from /proc; start with login is an XDG
// autostart entry.
#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTextStream>

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

QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.readAll();
}

// The state letter of /proc/PID/stat; the command name in parentheses may itself hold blanks and
// parentheses, so the state is found after the last ')'.
char processState(qint64 pid)
{
    const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return 0;
    return stat.at(close + 2);
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

QString processListing(int timeoutMs)
{
    Q_UNUSED(timeoutMs) // reading /proc never waits on another program
    // Like tasklist, one line per process with its program names only (the executable's file name and
    // the name it was started as); arguments of other programs must not count as a running tool.
    QString listing;
    QTextStream out(&listing);
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pidText : pids) {
        bool isPid = false;
        const qint64 pid = pidText.toLongLong(&isPid);
        if (!isPid || isEnded(processState(pid)))
            continue;
        const QByteArray commandLine = readProcFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
        const QString startedAs
            = QFileInfo(QString::fromUtf8(commandLine.left(commandLine.indexOf('\0')))).fileName();
        const QString program
            = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).fileName();
        out << program << ' ' << startedAs << ' ' << pid << '\n';
    }
    out.flush();
    return listing;
}

bool isProcessAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    return !isEnded(processState(pid));
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

QString guardServerAddress(const QString &serverName)
{
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    return runtime + QLatin1Char('/') + serverName;
}

} // namespace Platform
