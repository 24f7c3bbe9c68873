#include "HttpResponse.h"

#include <QDebug>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QMetaMethod>
#include <QPointer>
#include <QTimer>
#include <vector>

namespace Qt {

namespace {

// One signal a callback kind can bind to: its signature, the callback type that fits it, and how a
// callback of that type is connected.
struct SignalBinding
{
    const char *signature;
    const char *callbackType;
    std::function<void(HttpResponse *, const QVariant &)> connectCallback;
};

template <typename... Args>
SignalBinding binding(const char *signature, const char *callbackType, void (HttpResponse::*signal)(Args...))
{
    return { signature, callbackType, [signal](HttpResponse *response, const QVariant &value) {
                const auto callback = value.value<std::function<void(Args...)>>();
                QObject::connect(
                    response, signal, response,
                    [callback](Args... arguments) {
                        if (callback)
                            callback(arguments...);
                    },
                    Qt::DirectConnection);
            } };
}

using R = HttpResponse;
using Raw = QList<QNetworkReply::RawHeaderPair>;
using HeaderMap = QMap<QString, QString>;

const std::vector<std::vector<SignalBinding>> &bindingTable()
{
    static const std::vector<std::vector<SignalBinding>> table = {
        { binding<>("finished()", "std::function<void (void)>", &R::finished),
            binding<QByteArray>("finished(QByteArray)", "std::function<void (QByteArray)>", &R::finished),
            binding<QString>("finished(QString)", "std::function<void (QString)>", &R::finished),
            binding<QVariantMap>("finished(QVariantMap)", "std::function<void (QVariantMap)>", &R::finished),
            binding<QJsonObject>("finished(QJsonObject)", "std::function<void (QJsonObject)>", &R::finished),
            binding<QNetworkReply *>(
                "finished(QNetworkReply*)", "std::function<void (QNetworkReply*)>", &R::finished) },
        { binding<>("error()", "std::function<void (void)>", &R::error),
            binding<QByteArray>("error(QByteArray)", "std::function<void (QByteArray)>", &R::error),
            binding<QString>("error(QString)", "std::function<void (QString)>", &R::error),
            binding<QNetworkReply *>(
                "error(QNetworkReply*)", "std::function<void (QNetworkReply*)>", &R::error),
            binding<QNetworkReply::NetworkError>("error(QNetworkReply::NetworkError)",
                "std::function<void (QNetworkReply::NetworkError)>", &R::error) },
        { binding<qint64, qint64>("downloadProgress(qint64,qint64)", "std::function<void (qint64, qint64)>",
            &R::downloadProgress) },
        { binding<qint64, qint64>(
            "uploadProgress(qint64,qint64)", "std::function<void (qint64, qint64)>", &R::uploadProgress) },
        { binding<QNetworkReply *>(
              "timeout(QNetworkReply*)", "std::function<void (QNetworkReply*)>", &R::timeout),
            binding<>("timeout()", "std::function<void (void)>", &R::timeout) },
        { binding<QNetworkReply *>(
            "readyRead(QNetworkReply*)", "std::function<void (QNetworkReply*)>", &R::readyRead) },
        { binding<>("downloadFileFinished()", "std::function<void (void)>", &R::downloadFileFinished),
            binding<QString>(
                "downloadFileFinished(QString)", "std::function<void (QString)>", &R::downloadFileFinished) },
        { binding<>("downloadFileError()", "std::function<void (void)>", &R::downloadFileError),
            binding<QString>(
                "downloadFileError(QString)", "std::function<void (QString)>", &R::downloadFileError) },
        { binding<>("encrypted()", "std::function<void (void)>", &R::encrypted) },
        { binding<>("metaDataChanged()", "std::function<void (void)>", &R::metaDataChanged) },
        { binding<QSslPreSharedKeyAuthenticator *>(
            "preSharedKeyAuthenticationRequired(QSslPreSharedKeyAuthenticator*)",
            "std::function<void (QSslPreSharedKeyAuthenticator*)>", &R::preSharedKeyAuthenticationRequired) },
        { binding<>("redirectAllowed()", "std::function<void (void)>", &R::redirectAllowed) },
        { binding<QUrl>("redirected(QUrl)", "std::function<void (QUrl)>", &R::redirected) },
        { binding<QList<QSslError>>(
            "sslErrors(QList<QSslError>)", "std::function<void (QList<QSslError>)>", &R::sslErrors) },
        { binding<>("retried()", "std::function<void (void)>", &R::retried) },
        { binding<>("repeated()", "std::function<void (void)>", &R::repeated) },
        { binding<QAuthenticator *>("authenticationRequired(QAuthenticator*)",
            "std::function<void (QAuthenticator*)>", &R::authenticationRequired) },
        { binding<>(
              "authenticationRequireFailed()", "std::function<void (void)>", &R::authenticationRequireFailed),
            binding<QNetworkReply *>("authenticationRequireFailed(QNetworkReply*)",
                "std::function<void (QNetworkReply*)>", &R::authenticationRequireFailed) },
        { binding<Raw>("head(QList<QNetworkReply::RawHeaderPair>)",
              "std::function<void (QList<QNetworkReply::RawHeaderPair>)>", &R::head),
            binding<HeaderMap>(
                "head(QMap<QString,QString>)", "std::function<void (QMap<QString, QString>)>", &R::head) },
        { binding<qint64, qint64>("downloadFileProgress(qint64,qint64)",
            "std::function<void (qint64, qint64)>", &R::downloadFileProgress) },
        { binding<QString>("downloadFileNameChanged(QString)", "std::function<void (QString)>",
            &R::downloadFileNameChanged) },
    };
    return table;
}

int methodCode(const QString &key)
{
    const QByteArray local = key.toLocal8Bit();
    if (local.isEmpty())
        return 3;
    return ((static_cast<int>(local.at(0)) - '0') % 4 + 4) % 4;
}

// Connects signal of response to the slot or signal named by key on the receiver held in value.
bool connectByKey(
    HttpResponse *response, const char *signalSignature, const QString &key, const QVariant &value)
{
    const int code = methodCode(key);
    if (code == 3)
        return false;
    QObject *receiver = value.value<QObject *>();
    if (!receiver)
        return false;
    QByteArray signal = QMetaObject::normalizedSignature(signalSignature);
    signal.replace("qlonglong", "qint64");
    const QByteArray method = QMetaObject::normalizedSignature(key.toLocal8Bit().constData());
    if (!QMetaObject::checkConnectArgs(signal.constData(), method.constData() + 1))
        return false;
    const QByteArray signalText = "2" + signal;
    return static_cast<bool>(
        QObject::connect(response, signalText.constData(), receiver, method.constData(), Qt::AutoConnection));
}

} // namespace

HttpResponseTimeout::HttpResponseTimeout(HttpResponse *parent, int milliseconds)
    : QObject(parent)
{
    if (milliseconds > 0)
        QTimer::singleShot(milliseconds, Qt::PreciseTimer, parent, &HttpResponse::onTimeout);
}

HttpBlocker::HttpBlocker(QNetworkReply *reply)
{
    if (reply && !reply->isFinished()) {
        connect(reply, &QNetworkReply::finished, this, &QEventLoop::quit);
        // A failed reply is scheduled for deletion by its error handling; inside this loop that
        // deletion can come before the reply's finished signal.
        connect(reply, &QObject::destroyed, this, &QEventLoop::quit);
        exec();
    }
    deleteLater();
}

HttpResponse::HttpResponse(const HttpRequest &request, QObject *parent)
    : QObject(parent)
    , request(request)
    , retriesLeft(request.retryCount)
{
    bindResponse(request);
}

void HttpResponse::bindResponse(const HttpRequest &newRequest)
{
    if (newRequest.timeoutMs > 0)
        new HttpResponseTimeout(this, newRequest.timeoutMs);
    QNetworkReply *previousReply = request.reply;
    request = newRequest;
    if (request.reply) {
        connectReply();
        bindHandlers();
    }
    if (request.reply != previousReply)
        emit replyChanged(request.reply);
    if (request.reply && request.blocking)
        new HttpBlocker(request.reply);
}

void HttpResponse::connectReply()
{
    QNetworkReply *reply = request.reply;
    connect(reply, &QNetworkReply::finished, this, &HttpResponse::onFinished);
    connect(reply, &QNetworkReply::finished, this, &HttpResponse::onHandleHead);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    connect(reply, &QNetworkReply::errorOccurred, this, &HttpResponse::onError);
#else
    // Qt 5.14 names the signal error(), overloaded with the getter.
    connect(reply, QOverload<QNetworkReply::NetworkError>::of(&QNetworkReply::error), this,
        &HttpResponse::onError);
#endif
    connect(reply, &QNetworkReply::downloadProgress, this, &HttpResponse::onDownloadProgress);
    connect(reply, &QNetworkReply::uploadProgress, this, &HttpResponse::onUploadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &HttpResponse::onReadOnceReplyHeader);
    connect(reply, &QNetworkReply::readyRead, this, &HttpResponse::onHandleHead);
    connect(reply, &QNetworkReply::readyRead, this, &HttpResponse::onReadyRead);
    connect(reply, &QNetworkReply::encrypted, this, &HttpResponse::onEncrypted);
    connect(reply, &QNetworkReply::metaDataChanged, this, &HttpResponse::onMetaDataChanged);
    connect(reply, &QNetworkReply::redirected, this, &HttpResponse::onRedirected);
    connect(reply, &QNetworkReply::sslErrors, this, &HttpResponse::onSslErrors);
    connect(reply, &QNetworkReply::redirectAllowed, this, &HttpResponse::onRedirectAllowed);
    connect(reply, &QNetworkReply::preSharedKeyAuthenticationRequired, this,
        &HttpResponse::onPreSharedKeyAuthenticationRequired);
    if (QNetworkAccessManager *manager = reply->manager())
        connect(manager, &QNetworkAccessManager::authenticationRequired, this,
            &HttpResponse::onAuthenticationRequired);
}

void HttpResponse::bindHandlers()
{
    const auto &table = bindingTable();
    for (auto kind = request.handlers.constBegin(); kind != request.handlers.constEnd(); ++kind) {
        const bool known = kind.key() >= 0 && kind.key() < static_cast<int>(table.size());
        if (!known && request.logLevel > 2)
            qWarning().noquote() << QStringLiteral("%1 unsupported").arg(kind.key());
        for (const auto &[key, value] : kind.value()) {
            int connections = 0;
            if (known) {
                for (const SignalBinding &signal : table[static_cast<size_t>(kind.key())]) {
                    if (key == QLatin1String(signal.callbackType)) {
                        signal.connectCallback(this, value);
                        ++connections;
                    } else if (connectByKey(this, signal.signature, key, value)) {
                        ++connections;
                    }
                }
            }
            if (connections == 0 && request.logLevel > 2) {
                const QString shown = methodCode(key) <= 2 ? key.mid(1) : key;
                qWarning().noquote() << QStringLiteral("%1 method[%2] is invalid").arg(kind.key()).arg(shown);
            }
        }
    }
}

bool HttpResponse::hasReceivers(const char *signalSignature) const
{
    const int index
        = metaObject()->indexOfSignal(QMetaObject::normalizedSignature(signalSignature).constData());
    return index >= 0 && isSignalConnected(metaObject()->method(index));
}

void HttpResponse::emitFinishedResults(const QByteArray &data)
{
    emit finished();
    emit finished(data);
    emit finished(QString::fromUtf8(data));
    const QJsonObject object = QJsonDocument::fromJson(data).object();
    emit finished(object);
    emit finished(object.toVariantMap());
}

void HttpResponse::repeatIfWanted()
{
    --request.repeatCount;
    if (request.repeatCount < 1) {
        emit repeated();
        return;
    }
    HttpRequest next(request);
    next.reply = nullptr;
    resend(next);
}

void HttpResponse::onFinished()
{
    QNetworkReply *reply = request.reply;
    if (!reply || reply->error() != QNetworkReply::NoError)
        return;
    if (request.logLevel > 3) {
        for (HttpResponse *response :
            reply->findChildren<HttpResponse *>(QString(), Qt::FindDirectChildrenOnly))
            qDebug().noquote() << response->debugText();
    }
    if (request.retried)
        emit retried();
    if (downloadFile.isOpen()) {
        emit downloadFileFinished();
        emit downloadFileFinished(downloadFile.fileName());
        downloadFile.close();
    }
    bool handedOver = false;
    if (hasReceivers("finished(QNetworkReply*)")) {
        handedOver = true;
        emit finished(reply);
    }
    if (hasReceivers("finished()") || hasReceivers("finished(QByteArray)")
        || hasReceivers("finished(QString)") || hasReceivers("finished(QVariantMap)")
        || hasReceivers("finished(QJsonObject)"))
        emitFinishedResults(reply->readAll());
    QPointer<QNetworkReply> guard(reply);
    repeatIfWanted();
    if (!handedOver && guard)
        guard->deleteLater();
}

void HttpResponse::onError(QNetworkReply::NetworkError code)
{
    QNetworkReply *reply = request.reply;
    if (!reply)
        return;
    if (request.logLevel > 4)
        qDebug().noquote()
            << QStringLiteral("%1 error: %2").arg(reply->url().toString()).arg(static_cast<int>(code));
    if (retriesLeft-- >= 1) {
        HttpRequest next(request);
        next.reply = nullptr;
        next.retryCount = retriesLeft;
        next.retried = true;
        resend(next);
        reply->deleteLater();
        return;
    }
    QString text = reply->errorString();
    if (text.isEmpty())
        text = QString::fromLatin1(QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code));
    if (request.retried)
        emit retried();
    if (request.downloadEnabled) {
        emit downloadFileError();
        emit downloadFileError(
            QStringLiteral("Url: %1 file: %2 error: %3")
                .arg(request.networkRequest.url().toString(), downloadFile.fileName(), text));
        downloadFile.close();
    }
    bool handedOver = false;
    if (hasReceivers("error(QNetworkReply*)")) {
        handedOver = true;
        emit error(reply);
    }
    emit error();
    emit error(code);
    emit error(text);
    emit error(text.toLocal8Bit());
    QPointer<QNetworkReply> guard(reply);
    repeatIfWanted();
    if (!handedOver && guard)
        guard->deleteLater();
}

void HttpResponse::onTimeout()
{
    QPointer<QNetworkReply> reply = request.reply;
    if (!reply || !reply->isRunning())
        return;
    reply->abort();
    if (!reply)
        return;
    bool handedOver = false;
    if (hasReceivers("timeout(QNetworkReply*)")) {
        handedOver = true;
        emit timeout(reply.data());
    }
    if (hasReceivers("timeout()"))
        emit timeout();
    if (!handedOver && reply)
        reply->deleteLater();
}

void HttpResponse::onHandleHead()
{
    if (headHandled)
        return;
    headHandled = true;
    QNetworkReply *reply = request.reply;
    if (!reply
        || (!hasReceivers("head(QList<QNetworkReply::RawHeaderPair>)")
            && !hasReceivers("head(QMap<QString,QString>)")))
        return;
    const QList<QNetworkReply::RawHeaderPair> pairs = reply->rawHeaderPairs();
    emit head(pairs);
    QMap<QString, QString> map;
    for (const auto &pair : pairs)
        map.insert(QString::fromUtf8(pair.first), QString::fromUtf8(pair.second));
    emit head(map);
}

void HttpResponse::onReadOnceReplyHeader()
{
    QNetworkReply *reply = request.reply;
    disconnect(reply, &QNetworkReply::readyRead, this, &HttpResponse::onReadOnceReplyHeader);
    if (!request.downloadEnabled)
        return;
    downloadFile.setFileName(request.downloadPath);
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    const bool resuming = request.rangesAccepted && request.resumeWanted && downloadFile.exists();
    // A server that ignores our Range header sends the whole file: replace, never append it.
    const bool partialAnswer = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 206;
    if (resuming && (partialAnswer || !request.networkRequest.hasRawHeader("Range")))
        mode = QIODevice::Append;
    else if (resuming)
        request.downloadedBytes = 0;
    if (!downloadFile.open(mode)) {
        emit downloadFileError();
        emit downloadFileError(QStringLiteral("Url: %1 %2 Non-Writable")
                                   .arg(request.networkRequest.url().toString(), downloadFile.fileName()));
    }
}

void HttpResponse::onReadyRead()
{
    QNetworkReply *reply = request.reply;
    if (request.downloadEnabled && downloadFile.isOpen()) {
        const QByteArray block = reply->readAll();
        const qint64 written = downloadFile.write(block);
        if (written < 0) {
            emit downloadFileError();
            emit downloadFileError(
                QStringLiteral("Url: %1 %2 Write failed!")
                    .arg(request.networkRequest.url().toString(), downloadFile.fileName()));
        } else {
            request.downloadedBytes += written;
            emit downloadFileProgress(request.downloadedBytes, request.totalBytes);
        }
    }
    emit readyRead(reply);
}

void HttpResponse::reportCompleteDownload(const QString &path, qint64 size)
{
    bindHandlers();
    emit downloadFileProgress(size, size);
    emit downloadFileFinished();
    emit downloadFileFinished(path);
    emitFinishedResults(QByteArray());
    emit repeated();
}

void HttpResponse::onAuthenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator)
{
    if (reply != request.reply)
        return;
    ++authenticationCount;
    if (authenticationCount >= 2) {
        emit authenticationRequireFailed();
        emit authenticationRequireFailed(reply);
    }
    if (request.maxAuthenticationCount >= 0 && authenticationCount > request.maxAuthenticationCount)
        return;
    if (request.authenticator.isNull()) {
        emit authenticationRequired(authenticator);
        return;
    }
    authenticator->setUser(request.authenticator.user());
    authenticator->setPassword(request.authenticator.password());
}

void HttpResponse::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit downloadProgress(bytesReceived, bytesTotal);
}

void HttpResponse::onUploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    emit uploadProgress(bytesSent, bytesTotal);
}

void HttpResponse::onEncrypted()
{
    emit encrypted();
}

void HttpResponse::onMetaDataChanged()
{
    emit metaDataChanged();
}

void HttpResponse::onPreSharedKeyAuthenticationRequired(QSslPreSharedKeyAuthenticator *authenticator)
{
    emit preSharedKeyAuthenticationRequired(authenticator);
}

void HttpResponse::onRedirectAllowed()
{
    emit redirectAllowed();
}

void HttpResponse::onRedirected(QUrl url)
{
    emit redirected(url);
}

void HttpResponse::onSslErrors(QList<QSslError> errors)
{
    emit sslErrors(errors);
}

QString HttpResponse::debugText() const
{
    QNetworkReply *reply = request.reply;
    QString text = QStringLiteral(
        "General: \n    Request URL: %{url} \n    Request Method: %{method} \n    Request Status: "
        "%{status}(%{statusString}) \nRequest Headers: \n%{requestHeaders} \nResponse Headers: "
        "\n%{responseHeaders} "
        "\nRequest Body: \n%{requestBody}");
    text.replace(QLatin1String("%{url}"), request.networkRequest.url().toString());
    text.replace(QLatin1String("%{method}"), methodText(request.operation));
    text.replace(QLatin1String("%{status}"), QString::number(reply ? static_cast<int>(reply->error()) : 0));
    text.replace(QLatin1String("%{statusString}"), reply ? reply->errorString() : QString());
    text.replace(QLatin1String("%{requestHeaders}"),
        indented(reply ? headerListText(reply->request()) : QStringLiteral("null")));
    text.replace(QLatin1String("%{responseHeaders}"),
        indented(headerListText(reply ? reply->rawHeaderPairs() : QList<QNetworkReply::RawHeaderPair>())));
    text.replace(QLatin1String("%{requestBody}"), indented(bodyText(request)));
    return text;
}

} // namespace Qt
