#include "CommandMessage.h"

#include <QJsonDocument>
#include <QJsonObject>

CommandMessage parseCommandMessage(const QString &text)
{
    CommandMessage command;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    command.isObject = !document.isNull() && document.isObject();
    const QJsonObject object = command.isObject ? document.object() : QJsonObject();
    command.hasScene = object.contains(QStringLiteral("VantrelUseScene"));
    const QJsonValue scene = object.value(QStringLiteral("VantrelUseScene"));
    command.sceneIsString = scene.isString();
    command.scene = scene.toString();
    command.operation = object.value(QStringLiteral("operationCommand")).toString();
    return command;
}

namespace {

QString quotedOrNone(bool present, const QString &value)
{
    return present ? QLatin1Char('"') + value + QLatin1Char('"') : QStringLiteral("(none)");
}

} // namespace

QString pageMessageSummary(const QString &text, const QString &origin)
{
    const CommandMessage command = parseCommandMessage(text);
    QString summary = QStringLiteral("Page message: scene %1, operationCommand %2, %3 characters")
                          .arg(quotedOrNone(command.sceneIsString, command.scene),
                              quotedOrNone(!command.operation.isEmpty(), command.operation))
                          .arg(text.size());
    if (!origin.isEmpty())
        summary += QStringLiteral(", origin ") + origin;
    return summary;
}
