#include "TasklistOutput.h"

bool tasklistListsProgram(const QByteArray &output, const QString &programName)
{
    return QString::fromUtf8(output).contains(programName, Qt::CaseSensitive);
}
