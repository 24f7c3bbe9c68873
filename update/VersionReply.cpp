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

QUrl downloadAddress(const QString &fileUrl)
{
    // The same parse as the hand-over, so what is checked is what would be opened.
    const QUrl address(fileUrl, QUrl::TolerantMode);
    const QString scheme = address.scheme(); // always lower case
    if (address.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        && !address.host().isEmpty())
        return address;
    if (!fileUrl.isEmpty())
        qDebug().noquote() << "Not an http or https address, not opened:" << fileUrl;
    return {};
}
