#include "VersionInfo.h"

#include "DeploymentSettings.h"
#include "HttpClient.h"

#include <QDebug>
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
        .setMaxReplySize(MaxVersionReplyBytes)
        .setTimeout(VersionQueryTimeoutMs)
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
        .handle(Qt::Timeout, QVariant::fromValue(std::function<void()>([componentCode]() {
            qDebug().noquote() << QStringLiteral("Version query for %1: no complete reply within %2 ms")
                                      .arg(componentCode)
                                      .arg(VersionQueryTimeoutMs);
        })))
        .exec();
}
