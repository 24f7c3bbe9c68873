#pragma once

// The std::function callback types of the HTTP layer. A callback travels in a QVariant, and the name
// this library gives its type ("std::function<void (QString)>") is the key under which it is bound to
// a response signal. Qt names these types after the compiler, differently in Qt 5 and Qt 6, so the
// keys are this library's own (keyOf), not Qt's type names.
#include <QAuthenticator>
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QNetworkReply>
#include <QSslError>
#include <QSslPreSharedKeyAuthenticator>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>
#include <functional>

namespace Qt {
namespace HttpCallbackTypes {

// The types whose spelling holds a comma, which Q_DECLARE_METATYPE cannot take.
using ProgressCallback = std::function<void(qint64, qint64)>;
using HeaderMapCallback = std::function<void(QMap<QString, QString>)>;

// The key of the callback held in value: its type's name in this library's spelling, or Qt's name of
// the type for a value that holds no callback type of this library.
QString keyOf(const QVariant &value);

} // namespace HttpCallbackTypes
} // namespace Qt

Q_DECLARE_METATYPE(std::function<void()>)
Q_DECLARE_METATYPE(std::function<void(QByteArray)>)
Q_DECLARE_METATYPE(std::function<void(QString)>)
Q_DECLARE_METATYPE(std::function<void(QVariantMap)>)
Q_DECLARE_METATYPE(std::function<void(QJsonObject)>)
Q_DECLARE_METATYPE(std::function<void(QNetworkReply *)>)
Q_DECLARE_METATYPE(Qt::HttpCallbackTypes::ProgressCallback)
Q_DECLARE_METATYPE(std::function<void(QNetworkReply::NetworkError)>)
Q_DECLARE_METATYPE(std::function<void(QSslPreSharedKeyAuthenticator *)>)
Q_DECLARE_METATYPE(std::function<void(QUrl)>)
Q_DECLARE_METATYPE(std::function<void(QList<QSslError>)>)
Q_DECLARE_METATYPE(std::function<void(QAuthenticator *)>)
Q_DECLARE_METATYPE(std::function<void(QList<QNetworkReply::RawHeaderPair>)>)
Q_DECLARE_METATYPE(Qt::HttpCallbackTypes::HeaderMapCallback)
