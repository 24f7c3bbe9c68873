#pragma once

// The std::function callback types of the HTTP layer, registered with Qt's meta-type system under
// exactly these names, so that a callback travels in a QVariant and its type name serves as the key
// under which it is bound to a response signal.
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
#include <QVariantMap>
#include <functional>

namespace Qt {
namespace HttpCallbackTypes {

// Registers T under name (verbatim, not normalized) the first time it is asked for.
template <typename T> int registerCallbackType(const char *name)
{
    return QMetaType::registerNormalizedType(QByteArray(name),
        QtMetaTypePrivate::QMetaTypeFunctionHelper<T>::Destruct,
        QtMetaTypePrivate::QMetaTypeFunctionHelper<T>::Construct, int(sizeof(T)),
        QMetaType::TypeFlags(QtPrivate::QMetaTypeTypeFlags<T>::Flags), nullptr);
}

} // namespace HttpCallbackTypes
} // namespace Qt

#define VANTREL_DECLARE_CALLBACK_TYPE(TYPE, NAME)                                                            \
    template <> struct QMetaTypeId<TYPE>                                                                     \
    {                                                                                                        \
        enum { Defined = 1 };                                                                                \
        static int qt_metatype_id()                                                                          \
        {                                                                                                    \
            static QBasicAtomicInt id = Q_BASIC_ATOMIC_INITIALIZER(0);                                       \
            if (const int known = id.loadAcquire())                                                          \
                return known;                                                                                \
            const int registered = Qt::HttpCallbackTypes::registerCallbackType<TYPE>(NAME);                  \
            id.storeRelease(registered);                                                                     \
            return registered;                                                                               \
        }                                                                                                    \
    };

VANTREL_DECLARE_CALLBACK_TYPE(std::function<void()>, "std::function<void (void)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QByteArray)>, "std::function<void (QByteArray)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QString)>, "std::function<void (QString)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QVariantMap)>, "std::function<void (QVariantMap)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QJsonObject)>, "std::function<void (QJsonObject)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QNetworkReply *)>, "std::function<void (QNetworkReply*)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(qint64, qint64)>, "std::function<void (qint64, qint64)>")
VANTREL_DECLARE_CALLBACK_TYPE(
    std::function<void(QNetworkReply::NetworkError)>, "std::function<void (QNetworkReply::NetworkError)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QSslPreSharedKeyAuthenticator *)>,
    "std::function<void (QSslPreSharedKeyAuthenticator*)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QUrl)>, "std::function<void (QUrl)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QList<QSslError>)>, "std::function<void (QList<QSslError>)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QAuthenticator *)>, "std::function<void (QAuthenticator*)>")
VANTREL_DECLARE_CALLBACK_TYPE(std::function<void(QList<QNetworkReply::RawHeaderPair>)>,
    "std::function<void (QList<QNetworkReply::RawHeaderPair>)>")
VANTREL_DECLARE_CALLBACK_TYPE(
    std::function<void(QMap<QString, QString>)>, "std::function<void (QMap<QString, QString>)>")
