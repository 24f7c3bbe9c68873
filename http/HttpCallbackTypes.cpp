#include "HttpCallbackTypes.h"

#include <QHash>

namespace Qt {
namespace HttpCallbackTypes {

namespace {

template <typename T> std::pair<int, QString> spelled(const char *name)
{
    return { qMetaTypeId<T>(), QString::fromLatin1(name) };
}

} // namespace

QString keyOf(const QVariant &value)
{
    static const QHash<int, QString> keys = {
        spelled<std::function<void()>>("std::function<void (void)>"),
        spelled<std::function<void(QByteArray)>>("std::function<void (QByteArray)>"),
        spelled<std::function<void(QString)>>("std::function<void (QString)>"),
        spelled<std::function<void(QVariantMap)>>("std::function<void (QVariantMap)>"),
        spelled<std::function<void(QJsonObject)>>("std::function<void (QJsonObject)>"),
        spelled<std::function<void(QNetworkReply *)>>("std::function<void (QNetworkReply*)>"),
        spelled<ProgressCallback>("std::function<void (qint64, qint64)>"),
        spelled<std::function<void(QNetworkReply::NetworkError)>>(
            "std::function<void (QNetworkReply::NetworkError)>"),
        spelled<std::function<void(QSslPreSharedKeyAuthenticator *)>>(
            "std::function<void (QSslPreSharedKeyAuthenticator*)>"),
        spelled<std::function<void(QUrl)>>("std::function<void (QUrl)>"),
        spelled<std::function<void(QList<QSslError>)>>("std::function<void (QList<QSslError>)>"),
        spelled<std::function<void(QAuthenticator *)>>("std::function<void (QAuthenticator*)>"),
        spelled<std::function<void(QList<QNetworkReply::RawHeaderPair>)>>(
            "std::function<void (QList<QNetworkReply::RawHeaderPair>)>"),
        spelled<HeaderMapCallback>("std::function<void (QMap<QString, QString>)>"),
    };
    return keys.value(value.userType(), QString::fromLatin1(value.typeName()));
}

} // namespace HttpCallbackTypes
} // namespace Qt
