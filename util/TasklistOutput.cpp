#include "TasklistOutput.h"

#include <QList>
#include <QPair>

namespace {

// Start and end (past the last byte) of one column, as its run of "=" in the rule.
using Column = QPair<int, int>;

enum ColumnIndex { ImageName, Pid, SessionName, SessionNumber, MemUsage };

// The columns of a rule line ("===== ======== ..."), empty when line is no rule.
QList<Column> ruleColumns(const QByteArray &line)
{
    QList<Column> columns;
    for (int at = 0; at < line.size();) {
        if (line.at(at) == ' ') {
            ++at;
            continue;
        }
        const int start = at;
        while (at < line.size() && line.at(at) == '=')
            ++at;
        if (at < line.size() && line.at(at) != ' ')
            return {};
        columns.append({ start, at });
    }
    return columns;
}

bool isNumber(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The row's image name and Session#; false when the row does not fit the columns (a number cut or
// missing, a field running into the next). A name that is not ASCII may take more bytes than its
// column in the console code page and move the rest: such a row is never one of the tools anyway.
bool readRow(const QByteArray &row, const QList<Column> &columns, QByteArray *image, quint32 *session)
{
    for (int index = Pid; index <= SessionNumber; ++index) {
        const Column column = columns.at(index);
        if (column.second >= row.size() || row.at(column.first - 1) != ' ' || row.at(column.second) != ' ')
            return false;
    }
    const auto field = [&](int index) {
        const Column column = columns.at(index);
        return row.mid(column.first, column.second - column.first).trimmed();
    };
    if (!isNumber(field(Pid)) || !isNumber(field(SessionNumber)))
        return false;
    bool ok = false;
    *session = field(SessionNumber).toUInt(&ok);
    *image = row.left(columns.at(ImageName).second).trimmed();
    return ok;
}

} // namespace

bool tasklistListsProgram(const QByteArray &output, const QString &programName)
{
    return QString::fromUtf8(output).contains(programName, Qt::CaseSensitive);
}

bool tasklistListsProgram(const QByteArray &output, const QString &programName, quint32 session)
{
    QList<Column> columns;
    QByteArray wanted;
    for (QByteArray line : output.split('\n')) {
        while (line.endsWith('\r') || line.endsWith(' '))
            line.chop(1);
        if (columns.isEmpty()) {
            columns = ruleColumns(line);
            if (columns.size() <= SessionNumber || columns.first().first != 0)
                columns.clear();
            else
                wanted = (programName + QStringLiteral(".exe")).toUtf8().left(columns.first().second);
            continue;
        }
        QByteArray image;
        quint32 rowSession = 0;
        if (readRow(line, columns, &image, &rowSession) && rowSession == session && image == wanted)
            return true;
    }
    return false;
}
