#include "LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

namespace LogFile {

namespace {

const char FileBaseName[] = "VantrelDetectInstallTool";
// The user's alone (on Windows this only clears the read-only attribute; see LogFile.h).
const QFileDevice::Permissions FolderMode
    = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
const QFileDevice::Permissions FileMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// What the file gets instead of the lines this thread logs, while a FileText lives.
thread_local const QString *fileTextOfThread = nullptr;

struct State
{
    QMutex mutex;
    QFile file;
    QString folder;
    Limits limits;
    QtMessageHandler previous = nullptr;
    bool active = false;
    // Kept here rather than asked of the file for every line (a system call each time).
    qint64 size = 0;
};

State &state()
{
    static State instance;
    return instance;
}

QString numberedPath(const QString &folder, int number)
{
    const QString suffix = number == 0 ? QStringLiteral(".log") : QStringLiteral(".%1.log").arg(number);
    return folder + QLatin1Char('/') + QLatin1String(FileBaseName) + suffix;
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "debug";
}

// Tells the debug output (never the file) why the file is off. Called without the lock held.
void reportOff(QtMessageHandler previous, const QString &reason)
{
    if (previous)
        previous(QtWarningMsg, QMessageLogContext(), QStringLiteral("Log file off: ") + reason);
}

bool openCurrent(State &s, QIODevice::OpenMode mode)
{
    s.file.setFileName(numberedPath(s.folder, 0));
    if (!s.file.open(QIODevice::WriteOnly | mode))
        return false;
    // Inside the private folder, so never readable by others in between.
    s.file.setPermissions(FileMode);
    s.size = s.file.size();
    return true;
}

// Tightens a log file of an older version. Anything else under its name was put there while the folder
// was open to others (a link to one of the user's files, a file another user keeps open to read along):
// only the entry is removed, never what it points to, and the folder, now private, takes no new one.
void keepOnlyOwnFile(const QString &path, uint folderOwner)
{
    const QFileInfo entry(path);
    if (entry.isSymLink() || (entry.exists() && (!entry.isFile() || entry.ownerId() != folderOwner)))
        QFile::remove(path);
    else if (entry.exists())
        QFile::setPermissions(path, FileMode);
}

// Makes folder, the folders it needs and itself private (see LogFile.h), and tightens the files an older
// version left; the reason when that fails.
QString makePrivateFolder(const State &s)
{
    QStringList missing;
    for (QString path = QDir(s.folder).absolutePath(); !QFileInfo::exists(path);) {
        missing << path;
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    if (!QDir().mkpath(s.folder))
        return s.folder + QStringLiteral(": the folder cannot be created");
    for (const QString &created : missing)
        QFile::setPermissions(created, FolderMode);
    if (!QFile::setPermissions(s.folder, FolderMode))
        return s.folder + QStringLiteral(": the folder cannot be made private");
    const uint owner = QFileInfo(s.folder).ownerId();
    for (int number = 0; number <= s.limits.keptOldFiles; ++number)
        keepOnlyOwnFile(numberedPath(s.folder, number), owner);
    return {};
}

// Moves the files up one number, the oldest falling off, and starts an empty current file.
bool rotate(State &s)
{
    s.file.close();
    QFile::remove(numberedPath(s.folder, s.limits.keptOldFiles));
    for (int number = s.limits.keptOldFiles; number >= 1; --number)
        QFile::rename(numberedPath(s.folder, number - 1), numberedPath(s.folder, number));
    return openCurrent(s, QIODevice::Truncate);
}

// Writes one line; returns the reason when the file had to be turned off.
QString writeLine(State &s, const QByteArray &line)
{
    if (s.size > 0 && s.size + line.size() > s.limits.maxFileBytes && !rotate(s))
        return s.file.fileName() + QStringLiteral(": ") + s.file.errorString();
    if (s.file.write(line) != line.size() || !s.file.flush())
        return s.file.fileName() + QStringLiteral(": ") + s.file.errorString();
    s.size += line.size();
    return {};
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    State &s = state();
    QString failure;
    QtMessageHandler previous = nullptr;
    {
        QMutexLocker lock(&s.mutex);
        previous = s.previous;
        if (s.active) {
            const QString &fileText = fileTextOfThread ? *fileTextOfThread : text;
            failure = writeLine(
                s, formatLine(type, QDateTime::currentDateTime(), fileText, s.limits.longLineLimit));
            if (!failure.isEmpty()) {
                s.active = false;
                s.file.close();
            }
        }
    }
    if (previous)
        previous(type, context, text);
    if (!failure.isEmpty())
        reportOff(previous, failure);
}

// One line stays one line in every viewer: CR, the other control characters (C0, DEL and C1, whose
// U+009B some terminals take as the start of an escape sequence) and the Unicode line separators (a
// page's scene, a service's address) are written as escapes; a tab stays.
QString escapedLineBreaks(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code == '\n')
            escaped += QLatin1String("\\n");
        else if (code == '\r')
            escaped += QLatin1String("\\r");
        else if ((code < 0x20 && code != '\t') || (code >= 0x7f && code <= 0x9f))
            escaped += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else if (code == 0x2028 || code == 0x2029)
            escaped += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

FileText::FileText(const QString &text)
    : text(text)
    , previous(fileTextOfThread)
{
    fileTextOfThread = &this->text;
}

FileText::~FileText()
{
    fileTextOfThread = previous;
}

QByteArray formatLine(QtMsgType type, const QDateTime &time, const QString &text, int longLineLimit)
{
    QString shown = text;
    if (shown.size() > longLineLimit)
        shown = shown.left(longLineLimit) + QStringLiteral("... [cut: %1 characters]").arg(text.size());
    shown = escapedLineBreaks(shown);
    return (time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + QStringLiteral(" [")
        + QLatin1String(levelName(type)) + QStringLiteral("] ") + shown + QLatin1Char('\n'))
        .toUtf8();
}

bool start(const QString &folder, const Limits &limits)
{
    State &s = state();
    QString failure;
    {
        QMutexLocker lock(&s.mutex);
        if (s.active)
            return true;
        s.folder = folder;
        s.limits = limits;
        failure = makePrivateFolder(s);
        if (failure.isEmpty() && !openCurrent(s, QIODevice::Append))
            failure = s.file.fileName() + QStringLiteral(": ") + s.file.errorString();
        s.active = failure.isEmpty();
        if (s.active && !s.previous)
            s.previous = qInstallMessageHandler(handleMessage);
    }
    if (!failure.isEmpty()) {
        // The handler in use, which stays in use.
        const QtMessageHandler current = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(current);
        reportOff(current, failure);
    }
    return failure.isEmpty();
}

void stop()
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    if (s.previous)
        qInstallMessageHandler(s.previous);
    s.previous = nullptr;
    s.active = false;
    s.file.close();
}

QString filePath()
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.active ? s.file.fileName() : QString();
}

} // namespace LogFile
