#pragma once

// The response side of the HTTP library: Qt::HttpResponse connects itself to a QNetworkReply, binds
// the request's callbacks to its typed signals, converts the body, retries and repeats, answers
// authentication challenges, aborts on time-out and, in blocking mode, holds the caller until the
// reply has finished. Qt::HttpResponseTimeout and Qt::HttpBlocker are its companions.
//
// A bounded reply (HttpRequest::setMaxReplySize, for replies read into memory, not downloads) is held
// to its bound while it arrives, not after: the reply's read buffer is twice the bound and one byte
// (HttpClient.cpp says why), so Qt stops taking data from the connection once it is full; a reply whose
// Content-Length is larger, or
// whose body passes the bound (chunked, or ended by the connection's close), is aborted at once and
// fails with QNetworkReply::UnknownContentError and the text "reply larger than N bytes".
// Except for a 401 or 407: Qt reads the whole body of those before it reports anything and hears no
// abort meanwhile (a body without end took GiBs), so no bound of ours applies there; a caller facing a
// server it does not trust reads over a socket of its own (the version query does).
#include "HttpClient.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QObject>

namespace Qt {

class HttpResponse : public QObject
{
    Q_OBJECT

public:
    HttpResponse(const HttpRequest &request, QObject *parent);

    void bindResponse(const HttpRequest &request);
    QString debugText() const;
    const HttpRequest &requestCopy() const { return request; }

    // Reports a download that is already complete on disk, as a finished download would.
    void reportCompleteDownload(const QString &path, qint64 size);

signals:
    void replyChanged(QNetworkReply *reply);
    void finished(QNetworkReply *reply);
    void finished();
    void finished(QByteArray result);
    void finished(QString result);
    void finished(QVariantMap resultMap);
    void finished(QJsonObject resultJsonObject);
    void downloadProgress(qint64, qint64);
    void uploadProgress(qint64, qint64);
    void error(QByteArray error);
    void error(QString error);
    void error();
    void error(QNetworkReply::NetworkError error);
    void error(QNetworkReply *reply);
    void timeout();
    void timeout(QNetworkReply *reply);
    void readyRead(QNetworkReply *reply);
    void downloadFileNameChanged(QString fileName);
    void downloadFileFinished();
    void downloadFileFinished(QString file);
    void downloadFileError();
    void downloadFileError(QString errorString);
    void encrypted();
    void metaDataChanged();
    void preSharedKeyAuthenticationRequired(QSslPreSharedKeyAuthenticator *authenticator);
    void redirectAllowed();
    void redirected(QUrl url);
    void sslErrors(QList<QSslError> errors);
    void retried();
    void repeated();
    void authenticationRequired(QAuthenticator *authentication);
    void authenticationRequireFailed();
    void authenticationRequireFailed(QNetworkReply *);
    void head(QList<QNetworkReply::RawHeaderPair>);
    void head(QMap<QString, QString>);
    void downloadFileProgress(qint64 bytesReceived, qint64 bytesTotal);

private slots:
    void onFinished();
    void onError(QNetworkReply::NetworkError error);
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onUploadProgress(qint64 bytesSent, qint64 bytesTotal);
    void onTimeout();
    void onReadyRead();
    void onReadOnceReplyHeader();
    void onEncrypted();
    void onMetaDataChanged();
    void onPreSharedKeyAuthenticationRequired(QSslPreSharedKeyAuthenticator *authenticator);
    void onRedirectAllowed();
    void onRedirected(QUrl url);
    void onSslErrors(QList<QSslError> errors);
    void onAuthenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator);
    void onHandleHead();

private:
    friend class HttpResponseTimeout;
    void connectReply();
    void bindHandlers();
    void bindHandlersOnce();
    // Retries when retries are left, else reports the error (and the download error) and repeats.
    void fail(QNetworkReply::NetworkError code, const QString &text);
    void retryDownload(HttpRequest next);
    // Why a download that ended without a network error still failed, or empty.
    QString incompleteDownloadText() const;
    bool hasReceivers(const char *signalSignature) const;
    // Aborts a reply held in memory once it announces or holds more than the request's maxReplySize;
    // true when it did.
    bool abortPastReplyBound();
    void repeatIfWanted();
    void emitFinishedResults(const QByteArray &data);

    HttpRequest request;
    QFile downloadFile;
    int retriesLeft = 0;
    int authenticationCount = 0;
    bool headHandled = false;
    bool handlersBound = false;
    // A file that could not be opened or written was reported already; no second report for it.
    bool fileErrorReported = false;
    // Why the reply is being aborted by us, reported instead of Qt's "Operation canceled".
    QString abortReason;
};

class HttpResponseTimeout : public QObject
{
    Q_OBJECT

public:
    HttpResponseTimeout(HttpResponse *parent, int milliseconds);
};

class HttpBlocker : public QEventLoop
{
    Q_OBJECT

public:
    explicit HttpBlocker(QNetworkReply *reply);
};

} // namespace Qt
