#include "CommandMessage.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

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
    const QString requestId = object.value(QStringLiteral("requestId")).toString();
    if (isValidRequestId(requestId))
        command.requestId = requestId;
    return command;
}

bool isValidRequestId(const QString &id)
{
    static const QRegularExpression allowed(
        QStringLiteral("^[A-Za-z0-9._:-]{1,%1}$").arg(MaxRequestIdLength));
    return allowed.match(id).hasMatch();
}

QString outcomeName(CommandOutcome outcome)
{
    switch (outcome) {
    case CommandOutcome::Delivered:
        return QStringLiteral("delivered");
    case CommandOutcome::NotInstalled:
        return QStringLiteral("notInstalled");
    case CommandOutcome::StartFailed:
        return QStringLiteral("startFailed");
    case CommandOutcome::ToolUnreachable:
        return QStringLiteral("toolUnreachable");
    case CommandOutcome::CloseForwarded:
        return QStringLiteral("closeForwarded");
    case CommandOutcome::NotRunning:
        return QStringLiteral("notRunning");
    case CommandOutcome::QueueFull:
        return QStringLiteral("queueFull");
    case CommandOutcome::Refused:
        return QStringLiteral("refused");
    case CommandOutcome::Status:
        return QStringLiteral("status");
    }
    return QString();
}

QString receiptText(
    const QString &requestId, CommandOutcome outcome, const QString &detail, const QJsonObject &extra)
{
    QJsonObject reply = extra;
    reply.insert(QStringLiteral("requestId"), requestId);
    reply.insert(QStringLiteral("outcome"), outcomeName(outcome));
    reply.insert(QStringLiteral("detail"), detail);
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
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
