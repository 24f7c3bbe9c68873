#pragma once

// The program's own asynchronous HTTP library. A caller obtains a Qt::HttpRequest from a
// Qt::HttpClient, chains builder operations (query, body, options, callbacks) and calls exec(). The
// reply is handed to a Qt::HttpResponse (HttpResponse.h), which delivers the outcome to the
// registered callbacks; with the download option set, a Qt::HttpDownloader writes the body to a file.
//
// Decisions of ours on the setters (none of which the program calls): one setter per option field,
// named set<Field>; the Raw, RawJson and x_www_form_urlencoded body setters add no Content-Type
// header, so the sending step stays the one place that decides headers. HEAD is sent as Qt's own HEAD
// request, not as a custom verb: Qt would otherwise wait for a body of Content-Length bytes that never
// comes (a mended fault: head() hung until the server closed the connection). setMaxReplySize bounds a
// reply read into memory while it arrives (see HttpResponse.h), and asks for it uncompressed
// ("Accept-Encoding: identity" unless the request names its own): it is never inflated. Without it, as
// in Qt, a reply is not bounded.
#include "HttpCallbackTypes.h"

#include <QAuthenticator>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>
#include <QSslError>
#include <QVariant>

class QHttpMultiPart;

namespace Qt {

class HttpRequest;
class HttpResponse;

enum BodyKind {
    None = 0,
    Raw = 1,
    RawJson = 2,
    X_Www_Form_Urlencoded = 3,
    FileMap = 4,
    MultiPart = 5,
    FormData = 6
};

enum CallbackKind {
    Finished = 0,
    Error,
    DownloadProgress,
    UploadProgress,
    Timeout,
    ReadyRead,
    DownloadFileFinished,
    DownloadFileError,
    Encrypted,
    MetaDataChanged,
    PreSharedKeyAuthenticationRequired,
    RedirectAllowed,
    Redirected,
    SslErrors,
    Retried,
    Repeated,
    AuthenticationRequired,
    AuthenticationRequireFailed,
    Head,
    DownloadFileProgress,
    DownloadFileNameChanged,
};

class HttpClient : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit HttpClient(QObject *parent = nullptr);

    // Process-wide client, created on first use and destroyed at exit.
    static HttpClient *sharedClient();

    HttpRequest get(const QString &url);
    HttpRequest head(const QString &url);
    HttpRequest post(const QString &url);
    HttpRequest put(const QString &url);

private:
    HttpRequest request(QNetworkAccessManager::Operation operation, const QString &url);
};

using HandlerList = QList<QPair<QString, QVariant>>;

class HttpRequest
{
public:
    HttpRequest();
    HttpRequest(int operation, HttpClient *client, const QString &url);
    HttpRequest(const HttpRequest &other) = default;
    HttpRequest &operator=(const HttpRequest &other) = default;
    virtual ~HttpRequest();

    HttpRequest &queryParam(const QString &key, const QVariant &value);
    HttpRequest &handle(int kind, const QString &key, const QVariant &value);
    HttpRequest &handle(int kind, const QVariant &value);
    HttpRequest &handleFinished(std::function<void(QByteArray)> callback);
    HttpRequest &handleError(std::function<void(QByteArray)> callback);

    // Binds a slot or signal of receiver, given in the SLOT()/SIGNAL() text form ("1onHead(...)").
    HttpRequest &handle(int kind, const char *method, QObject *receiver);

    HttpRequest &setTimeout(int milliseconds);
    HttpRequest &setBlocking(bool enabled);
    HttpRequest &setRetryCount(int count);
    HttpRequest &setRepeatCount(int count);
    HttpRequest &setAuthenticator(const QString &user, const QString &password);
    HttpRequest &setMaxAuthenticationCount(int count);
    HttpRequest &setReadBufferSize(qint64 size);
    HttpRequest &setMaxReplySize(qint64 bytes);
    HttpRequest &setIgnoredSslErrors(const QList<QSslError> &errors);
    HttpRequest &setDownload(bool enabled, const QString &path = QString());
    HttpRequest &setResumeWanted(bool wanted);
    HttpRequest &setLogLevel(int level);
    HttpRequest &setBody(int kind, const QVariant &value);
    HttpRequest &setRawBody(const QByteArray &body);
    HttpRequest &setJsonBody(const QByteArray &json);
    HttpRequest &setFormUrlEncodedBody(const QByteArray &body);
    HttpRequest &setFileMapBody(const QMap<QString, QString> &fieldToPath);
    HttpRequest &setMultiPartBody(QHttpMultiPart *multiPart);
    HttpRequest &setFormDataBody(const QVariantMap &fields);
    HttpRequest &setHeader(QNetworkRequest::KnownHeaders header, const QVariant &value);
    HttpRequest &setRawHeader(const QByteArray &name, const QByteArray &value);
    HttpRequest &setAttribute(QNetworkRequest::Attribute attribute, const QVariant &value);

    // Sends; the HttpResponse of the exchange, or null when nothing could be sent.
    QObject *exec();

    QString debugText() const;

    int operation = QNetworkAccessManager::UnknownOperation;
    HttpClient *client = nullptr;
    QNetworkReply *reply = nullptr;
    QNetworkRequest networkRequest;
    int bodyKind = None;
    QVariant bodyValue = QVariant(QByteArray());
    int timeoutMs = -1;
    bool blocking = false;
    int retryCount = 0;
    bool retried = false;
    int repeatCount = 1;
    QAuthenticator authenticator;
    int maxAuthenticationCount = 1;
    qint64 readBufferSize = -1;
    qint64 maxReplySize = -1;
    QList<QSslError> ignoredSslErrors;
    bool downloadEnabled = false;
    QString downloadPath;
    bool resumeWanted = true;
    bool rangesAccepted = false;
    qint64 downloadedBytes = 0;
    qint64 totalBytes = 0;
    QMap<int, HandlerList> handlers;
    int logLevel = 3;
};

// The one sending step: sends a private copy of request; with an existing response (the downloader's
// placeholder) that response is bound to the new reply. Returns the response, or null.
HttpResponse *sendRequest(const HttpRequest &request, HttpResponse *existingResponse = nullptr);

// Sends a request (a first send, a retry or a repetition) the way it asks: through a new downloader
// for downloads, with sendRequest otherwise.
HttpResponse *resend(const HttpRequest &request);

// The method text of an operation ("GET", ...); empty for unsupported operations.
QString methodText(int operation);
// The printed name of a body kind.
QString bodyKindName(int kind);
// "Name: value" lines of a header list, or "null".
QString headerListText(const QList<QNetworkReply::RawHeaderPair> &headers);
QString headerListText(const QNetworkRequest &request);
// The body section of the diagnostic texts.
QString bodyText(const HttpRequest &request);
// Every line prefixed with prefix.
QString indented(const QString &text, const QString &prefix = QStringLiteral("    "));

} // namespace Qt
