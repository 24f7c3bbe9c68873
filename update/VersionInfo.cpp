#include "VersionInfo.h"

#include "DeploymentSettings.h"
#include "HttpClient.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QUrl>

namespace {

const char QueryPath[] = "/version-manage/customer-tool-version/query-latest-customer-tool-version";

} // namespace

void queryLatestVersion(QObject *owner, const QString &componentCode, const VersionReplyHandler &handler)
{
    // One client per query, released once its reply has been handled.
    auto *client = new Qt::HttpClient(nullptr);
    QPointer<QObject> guardedOwner(owner);
    client->get(DeploymentSettings::versionServiceUrl() + QLatin1String(QueryPath))
        .queryParam(QStringLiteral("componentCode"), componentCode)
        .handleFinished([client, guardedOwner, componentCode, handler](QByteArray body) {
            const QString text = QString::fromUtf8(body);
            qDebug() << "result::" << text;
            client->deleteLater();
            if (guardedOwner && handler)
                handler(componentCode, text);
        })
        .handleError([client](QByteArray error) {
            qDebug() << "error::" << QString::fromLocal8Bit(error);
            client->deleteLater();
        })
        .exec();
}

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
