#pragma once

// Shared helpers of the tests: a private HOME/XDG tree, uninstall entry files and process helpers.
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// A fresh user for this process. On Linux HOME, the XDG folders and the uninstall root point at a
// fresh temporary folder. On Windows (the tests run under Wine, in a temporary prefix of their own)
// the registry and the Documents folder are the prefix's: the uninstall entries the tests wrote, the
// program's Run value and its flag folder are removed instead.
class TestEnvironment
{
public:
    TestEnvironment();
    QString root() const { return folder.path(); }
    QString documentsFolder() const;

    // Writes an uninstall entry: on Linux <list>/<subkey>.ini, on Windows the registry key
    // HKLM\SOFTWARE\<list>\<prefix><subkey> (entries keep the order of their subkey names);
    // list is "Uninstall" or "WOW6432Node/Uninstall".
    void writeEntry(const QString &list, const QString &subkey, const QMap<QString, QString> &values) const;
    void clearEntries() const;

    // Start with login as seen from outside the program's code (the autostart file on Linux, the
    // Run value through reg.exe on Windows).
    bool autoStartRegistered(const QString &name) const;
    // The text of the autostart desktop entry (Linux; empty on Windows, which has a Run value).
    QString autoStartFileText(const QString &name) const;
    void removeAutoStart(const QString &name) const;

private:
    QTemporaryDir folder;
};

// Registers the sample tool of the given title as installed at programPath.
void registerTool(const TestEnvironment &environment, const QString &title, const QString &programPath,
    const QString &version = QStringLiteral("1.0.5"));

#include <QStringList>
#include <QtGlobal>

// The words of the Exec line of a desktop entry's text, as a session splits them (the desktop entry
// format: string escapes first, then blanks separate words outside double quotes, and inside them a
// backslash takes the next character literally).
QStringList desktopExecWords(const QString &desktopEntry);

// Collects the debug log while it lives (and still prints it), for asserting exact log lines.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    int count(const QString &line) const { return lines().count(line); }
    bool hasLineStartingWith(const QString &prefix) const;
    void clear();

private:
    QtMessageHandler previous;
};

// A file path under the test's temporary folder that a sample tool records its frames to.
QStringList readRecordedFrames(const QString &recordPath);

#include <QObject>
#include <QProcess>
#include <QUrl>
#include <functional>

class QLabel;
class QWidget;

// The text a label shows: a label that takes its text as markup shows it without the tags.
QString shownText(QLabel *label);

// Answers the next modal dialog: waits (bounded) for QApplication::activeModalWidget(), lets inspect
// look at it, then clicks the child button named buttonName (or rejects the dialog when the name is
// empty). Returns at once; the answer happens from the event loop.
void answerNextModal(const QString &buttonName, std::function<void(QWidget *)> inspect = {});

// Records the addresses the program asks the platform to open, on the platform's side of
// QDesktopServices::openUrl: http and https, and schemes that must never be opened (file, javascript
// and a registered protocol handler's, search-ms), which Windows would hand to ShellExecute.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    static const QStringList Schemes;
    UrlRecorder();
    ~UrlRecorder() override;
    QList<QUrl> urls;

public slots:
    void openUrl(const QUrl &url);
};

// Whether the single-instance guard called serverName is listening (a socket file on Linux, a
// named pipe on Windows), without connecting to it.
bool guardIsListening(const QString &serverName);

// Kills every running process whose program file is called programName (sample tools started
// detached by the code under test).
void killProgramsNamed(const QString &programName);

// The permission bits of a file or folder (st_mode & 0777) on Linux; -1 on Windows, whose files carry
// access lists instead.
int unixMode(const QString &path);

// Another, unprivileged user of this machine (nobody), for what other users may do: the command line
// that runs a program as that user (for ProgramProcess::launcher or QProcess), empty where the tests
// cannot act as another user (not root, no setpriv, or Windows). giveToOtherUser hands a folder tree
// to that user, so the program it runs can write its own files there.
constexpr uint OtherUserId = 65534;
QStringList otherUserLauncher();
// Starts program with arguments as that user (through otherUserLauncher()).
void startAsOtherUser(QProcess &process, const QString &program, const QStringList &arguments);
void giveToOtherUser(const QString &path);

// Sanitizer allocators keep freed memory in quarantine, so resident memory says nothing there; the
// plain build checks it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool MemoryIsMeasurable = false;
#else
constexpr bool MemoryIsMeasurable = true;
#endif

// Resident memory in KiB and number of threads of a running process, -1 when they cannot be read
// (/proc on Linux; GetProcessMemoryInfo and a Toolhelp snapshot on Windows, which Wine answers from the
// Linux process under it).
qint64 residentKiB(qint64 pid);
int threadCount(qint64 pid);

// Asks a program started by the test to quit the way an outside request does: SIGTERM on Linux, a
// start with "--quit" on Windows (which has no such signal for a windowed program).
void askProgramToQuit(QProcess &program);

// Asks the program to end as at log-out (SIGTERM; on Windows a start with "--quit") and waits for it. Returns
// an empty text when it quit cleanly with exit code 0 — under the sanitizers that also means without leaks or
// errors at exit — and otherwise what went wrong, with what it still wrote.
QString stopProgramCleanly(QProcess &program, int timeoutMs = 15000);

// The real program started by a test: offscreen, with "--tray" (home window hidden), the test's own
// environment plus settings; its merged output is kept for asserting log lines.
class ProgramProcess : public QProcess
{
public:
    // Starts programPath and waits (bounded) until its last listener is up; false if it did not come up.
    bool startWith(const QString &programPath, const QMap<QString, QString> &settings);
    // A command line that the program is started through (its path and arguments follow), e.g. one that
    // gives it a namespace of its own; empty for a direct start.
    QStringList launcher;
    // Everything it wrote since the start.
    QString log();

private:
    QByteArray output;
};
