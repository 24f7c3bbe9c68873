#include "VersionInfo.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

VersionInfoPtr parseVersionReply(const QString &text)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qDebug() << "JSON格式错误";
        return {};
    }
    const QJsonObject reply = document.object();
    if (reply.value(QStringLiteral("code")).toInt(0) != 200)
        return {};
    const QJsonObject data = reply.value(QStringLiteral("data")).toObject();
    auto info = VersionInfoPtr::create();
    info->versionNumber = data.value(QStringLiteral("versionNumber")).toInt(0);
    info->versionName = data.value(QStringLiteral("versionName")).toString();
    info->fileUrl = data.value(QStringLiteral("fileUrl")).toString();
    info->fileName = data.value(QStringLiteral("fileName")).toString();
    info->componentName = data.value(QStringLiteral("componentName")).toString();
    return info;
}
