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
