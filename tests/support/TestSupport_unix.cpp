// Linux side of the test helpers: uninstall entries as files, processes through /proc and signals.
#include "TestSupport.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString uninstallRoot(const QString &root)
{
    return root + QStringLiteral("/registry");
}

QString autoStartFile(const QString &root, const QString &name)
{
    return root + QStringLiteral("/config/autostart/") + name + QStringLiteral(".desktop");
}
} // namespace

TestEnvironment::TestEnvironment()
{
    const QString base = folder.path();
    for (const char *sub : { "home", "config", "data", "cache", "state", "runtime", "registry/Uninstall",
             "registry/WOW6432Node/Uninstall", "home/Documents" })
        QDir().mkpath(base + QLatin1Char('/') + QLatin1String(sub));
    QFile::setPermissions(base + QStringLiteral("/runtime"),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", (base + QStringLiteral("/home")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (base + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (base + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CACHE_HOME", (base + QStringLiteral("/cache")).toUtf8());
    qputenv("XDG_STATE_HOME", (base + QStringLiteral("/state")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", (base + QStringLiteral("/runtime")).toUtf8());
    qputenv("XDG_DOCUMENTS_DIR", (base + QStringLiteral("/home/Documents")).toUtf8());
    qputenv("VANTREL_UNINSTALL_ROOT", uninstallRoot(folder.path()).toUtf8());
}

QString TestEnvironment::documentsFolder() const
{
    return folder.path() + QStringLiteral("/home/Documents");
}

bool TestEnvironment::autoStartRegistered(const QString &name) const
{
    return QFile::exists(autoStartFile(folder.path(), name));
}

QString TestEnvironment::autoStartFileText(const QString &name) const
{
    QFile file(autoStartFile(folder.path(), name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestEnvironment::removeAutoStart(const QString &name) const
{
    QFile::remove(autoStartFile(folder.path(), name));
}

bool guardIsListening(const QString &serverName)
{
    return QFile::exists(qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + serverName);
}

void TestEnvironment::writeEntry(
    const QString &list, const QString &subkey, const QMap<QString, QString> &values) const
{
    QFile file(uninstallRoot(folder.path()) + QLatin1Char('/') + list + QLatin1Char('/') + subkey
        + QStringLiteral(".ini"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write entry %s", qPrintable(file.fileName()));
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        file.write((it.key() + QLatin1Char('=') + it.value() + QLatin1Char('\n')).toUtf8());
}

void TestEnvironment::clearEntries() const
{
    for (const char *list : { "Uninstall", "WOW6432Node/Uninstall" }) {
        QDir entries(uninstallRoot(folder.path()) + QLatin1Char('/') + QLatin1String(list));
        for (const QString &name : entries.entryList(QDir::Files))
            entries.remove(name);
    }
}

void killProgramsNamed(const QString &programName)
{
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pidText : pids) {
        bool isPid = false;
        const int pid = pidText.toInt(&isPid);
        if (!isPid)
            continue;
        const QString program
            = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).fileName();
        if (program == programName)
            ::kill(pid, SIGKILL);
    }
}

void askProgramToQuit(QProcess &program)
{
    program.terminate();
}

namespace {
// The number in the line of /proc/PID/status that starts with field.
qint64 statusField(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
    return -1;
}
} // namespace

qint64 residentKiB(qint64 pid)
{
    return statusField(pid, "VmRSS:");
}

int threadCount(qint64 pid)
{
    return static_cast<int>(statusField(pid, "Threads:"));
}

QStringList otherUserLauncher()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        return {};
    const QString id = QString::number(OtherUserId);
    return { setpriv, "--reuid=" + id, "--regid=" + id, QStringLiteral("--clear-groups"),
        QStringLiteral("--") };
}

void giveToOtherUser(const QString &path)
{
    QDirIterator entries(
        path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    QStringList paths { path };
    while (entries.hasNext())
        paths << entries.next();
    for (const QString &entry : paths)
        if (::lchown(QFile::encodeName(entry).constData(), OtherUserId, OtherUserId) != 0)
            qWarning() << "Could not hand" << entry << "to the other user";
}

int unixMode(const QString &path)
{
    struct stat status
    {
    };
    return stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 0777) : -1;
}
