#pragma once

// How the Windows process check reads the output of the "tasklist" command. Kept apart from the
// Windows layer so that captured listings (English and Chinese Windows) are checked on every system.
//
// tasklist writes its table in the console code page (GBK on Chinese Windows), not UTF-8. The text
// is still decoded as UTF-8: the program names searched are ASCII, which every such code page
// encodes byte for byte, so a name is found whatever the language of the headings around it.
// tasklist cuts image names to 25 characters ("VantrelSignatureClient.ex"); the names searched are
// shorter than that, so a cut name still contains them.
#include <QByteArray>
#include <QString>

// True when the listing contains programName, case-sensitively, anywhere.
bool tasklistListsProgram(const QByteArray &output, const QString &programName);

// True when the listing's table (tasklist without arguments: headings, a rule of "=" runs that gives
// the columns, then one row per process) has a row whose image name is programName's ".exe", cut as
// tasklist cuts it, case-sensitively, and whose Session# column is session. The columns are found by
// their place, since the headings are in the system's language. A row that cannot be read counts as
// no such process: another session's tool must never pass for this session's.
bool tasklistListsProgram(const QByteArray &output, const QString &programName, quint32 session);
