#pragma once

// The program's log file, for the support desk: every line the program logs (Qt's message handler)
// also goes to <folder>/VantrelDetectInstallTool.log with its time (milliseconds) and level. The
// debug output stays as it is: the previous handler still receives every line.
//
// Decisions of ours:
// - Folder: Platform::logFolder() (Windows %LOCALAPPDATA%\VantrelDetectInstallTool\logs, Linux
//   $XDG_STATE_HOME/VantrelDetectInstallTool/logs, by default under ~/.local/state).
// - Bounded: when the next line would take the file past maxFileBytes (1 MiB) the file becomes
//   VantrelDetectInstallTool.1.log, older files move up, and keptOldFiles (3) are kept, so the logs
//   never take more than 4 MiB, however long the program runs in the tray or however hard a page
//   floods it. No line is dropped below that bound.
// - Privacy: the folder and the files are the user's alone. On Linux the folder (and any folder made
//   above it, as XDG asks of those under XDG_STATE_HOME) is 0700 and the files 0600; those of an older
//   version are tightened at start, and a log folder that cannot be made private turns the file off.
//   A link or another user's file under a log name (planted while an older folder was open to others)
//   is removed at start, never followed.
//   On Windows the folder under %LOCALAPPDATA% inherits the access list of the user's profile (the
//   user, SYSTEM, Administrators), and nothing here widens it: QFile::setPermissions there only sets or
//   clears the read-only attribute and never touches an access list.
// - A page's message never reaches the file: it may carry tokens and document data. A line that carries
//   one is logged under a FileText, and the file gets that text instead (for page messages,
//   pageMessageSummary: scene, operationCommand, length, origin). The debug output keeps the line as
//   it was. Any other line longer than longLineLimit (300) characters is cut in the file, saying how
//   long it was.
// - Never in the way: a folder that cannot be created, or a file that cannot be opened or written
//   (read-only, full disk), turns the file off with one line on the debug output saying why, and the
//   program runs on. Each line is written and flushed at once (microseconds; scripts/bench.sh
//   measures it), so a crash loses nothing that was logged.
// - Lines may come from any thread; a mutex keeps them whole and in order.
#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace LogFile {

struct Limits
{
    qint64 maxFileBytes = 1024 * 1024;
    int keptOldFiles = 3;
    int longLineLimit = 300;
};

// Starts writing every logged line into folder. False, with the reason on the debug output, when the
// folder or the file cannot be used.
bool start(const QString &folder, const Limits &limits = Limits());
// Stops writing and closes the file; the previous message handler is restored.
void stop();
// The file being written, empty when there is none.
QString filePath();

// While a FileText lives, the lines its thread logs reach the file as its text instead of their own;
// the debug output still gets them unchanged.
class FileText
{
public:
    explicit FileText(const QString &text);
    ~FileText();
    FileText(const FileText &) = delete;
    FileText &operator=(const FileText &) = delete;

private:
    QString text;
    const QString *previous;
};

// One line as the file holds it: "2026-12-08 09:15:02.318 [warning] text\n", the text cut to
// longLineLimit characters with its length said, and its line breaks (CR, LF, the Unicode separators) and
// other control characters written as escapes, so that no text logged can make a line of its own.
QByteArray formatLine(QtMsgType type, const QDateTime &time, const QString &text, int longLineLimit);

} // namespace LogFile
