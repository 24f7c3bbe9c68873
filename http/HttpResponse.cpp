#include "HttpResponse.h"

#include <QDebug>
#include <QFileInfo>
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
    if (milliseconds <= 0)
        return;
    // Owned by this object, so that a response bound to a retried reply drops the old deadline.
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, parent, &HttpResponse::onTimeout);
    timer->start(milliseconds);
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
    qDeleteAll(findChildren<HttpResponseTimeout *>(QString(), Qt::FindDirectChildrenOnly));
    if (newRequest.timeoutMs > 0)
        new HttpResponseTimeout(this, newRequest.timeoutMs);
    QNetworkReply *previousReply = request.reply;
    request = newRequest;
    if (request.reply) {
        connectReply();
        bindHandlersOnce();
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

void HttpResponse::bindHandlersOnce()
{
    // A download that is retried keeps its response: its callbacks must not be bound twice.
    if (handlersBound)
        return;
    handlersBound = true;
    bindHandlers();
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
    const QString incomplete = incompleteDownloadText();
    if (!incomplete.isEmpty()) {
        fail(QNetworkReply::UnknownContentError, incomplete);
        return;
    }
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
    QString text = reply->errorString();
    if (text.isEmpty())
        text = QString::fromLatin1(QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code));
    if (!abortReason.isEmpty()) {
        code = QNetworkReply::UnknownContentError;
        text = abortReason;
        abortReason.clear();
    }
    fail(code, text);
}

QString HttpResponse::incompleteDownloadText() const
{
    if (!request.downloadEnabled || fileErrorReported)
        return {};
    const int status = request.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400)
        return QStringLiteral("redirect not followed (HTTP %1)").arg(status);
    if (request.totalBytes > 0 && request.downloadedBytes < request.totalBytes)
        return QStringLiteral("incomplete: %1 of %2 bytes")
            .arg(request.downloadedBytes)
            .arg(request.totalBytes);
    return {};
}

void HttpResponse::fail(QNetworkReply::NetworkError code, const QString &text)
{
    QNetworkReply *reply = request.reply;
    if (retriesLeft-- >= 1) {
        HttpRequest next(request);
        next.reply = nullptr;
        next.retryCount = retriesLeft;
        next.retried = true;
        // The failed reply may still report (finished after an error): it is no longer ours.
        disconnect(reply, nullptr, this, nullptr);
        if (request.downloadEnabled)
            retryDownload(next);
        else
            resend(next);
        reply->deleteLater();
        return;
    }
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

void HttpResponse::retryDownload(HttpRequest next)
{
    // The same response (and the downloader under it) carries the retry, so a blocking caller waits
    // for it and nothing refers to a response that is gone. Only bytes that came from the file are
    // resumed from: an error answer is never written (see onReadOnceReplyHeader).
    downloadFile.close();
    fileErrorReported = false;
    next.networkRequest.setRawHeader("Range", QByteArray());
    const qint64 have = QFileInfo(next.downloadPath).size();
    if (next.resumeWanted && next.rangesAccepted && next.totalBytes > 0 && have > 0
        && have < next.totalBytes) {
        next.downloadedBytes = have;
        next.networkRequest.setRawHeader("Range", QStringLiteral("bytes=%1-").arg(have).toUtf8());
    } else {
        next.downloadedBytes = 0;
    }
    if (!sendRequest(next, this))
        fail(QNetworkReply::UnknownNetworkError, QStringLiteral("the retry could not be sent"));
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
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // The body of an error answer or of a redirect that was not followed is no part of the file.
    if (status >= 300)
        return;
    downloadFile.setFileName(request.downloadPath);
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    // Only a partial answer to our Range request continues the file; any other answer is the whole
    // file from its first byte (a server that ignores Range), written over what was there.
    if (status == 206 && request.networkRequest.hasRawHeader("Range"))
        mode = QIODevice::Append;
    else
        request.downloadedBytes = 0;
    if (!downloadFile.open(mode)) {
        fileErrorReported = true;
        emit downloadFileError();
        emit downloadFileError(QStringLiteral("Url: %1 %2 Non-Writable")
                                   .arg(request.networkRequest.url().toString(), downloadFile.fileName()));
    }
}

bool HttpResponse::abortPastReplyBound()
{
    QNetworkReply *reply = request.reply;
    const qint64 bound = request.maxReplySize;
    if (bound < 0 || request.downloadEnabled || !reply || !reply->isRunning())
        return false;
    // A HEAD answer names the length of a body that does not come.
    const bool announced = request.operation != QNetworkAccessManager::HeadOperation
        && reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > bound;
    if (!announced && reply->bytesAvailable() <= bound)
        return false;
    abortReason = QStringLiteral("reply larger than %1 bytes").arg(bound);
    reply->abort(); // reports the failure (onError) before it returns
    return true;
}

void HttpResponse::onReadyRead()
{
    QNetworkReply *reply = request.reply;
    if (abortPastReplyBound())
        return;
    if (request.downloadEnabled && downloadFile.isOpen()) {
        const QByteArray block = reply->readAll();
        const qint64 written = downloadFile.write(block);
        if (written < 0) {
            fileErrorReported = true;
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
    bindHandlersOnce();
    // Each repetition of the download would find the file complete again.
    for (int round = 0; round < qMax(1, request.repeatCount); ++round) {
        emit downloadFileProgress(size, size);
        emit downloadFileFinished();
        emit downloadFileFinished(path);
        emitFinishedResults(QByteArray());
    }
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
    abortPastReplyBound();
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
