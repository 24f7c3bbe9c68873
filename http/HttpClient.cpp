#include "HttpClient.h"

#include "HttpDownloader.h"
#include "HttpResponse.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QRegularExpression>
#include <QUrlQuery>

namespace Qt {

namespace {

// Replies obtained so far; each reply carries its number in the "count" property.
qint64 replyCounter = 0;

const QMap<int, QString> &methodTable()
{
    static const QMap<int, QString> table
        = { { QNetworkAccessManager::HeadOperation, QStringLiteral("HEAD") },
              { QNetworkAccessManager::GetOperation, QStringLiteral("GET") },
              { QNetworkAccessManager::PutOperation, QStringLiteral("PUT") },
              { QNetworkAccessManager::PostOperation, QStringLiteral("POST") } };
    return table;
}

void setMultipartContentType(QNetworkRequest &request, QHttpMultiPart *multiPart)
{
    request.setHeader(QNetworkRequest::ContentTypeHeader,
        QStringLiteral("multipart/form-data;boundary=%1").arg(QString::fromLatin1(multiPart->boundary())));
}

QNetworkReply *sendMultiPart(
    HttpClient *client, QNetworkRequest &request, const QByteArray &verb, QHttpMultiPart *multiPart)
{
    setMultipartContentType(request, multiPart);
    QNetworkReply *reply = client->sendCustomRequest(request, verb, multiPart);
    if (reply)
        multiPart->setParent(reply);
    else
        delete multiPart;
    return reply;
}

QHttpMultiPart *fileMapParts(const QMap<QString, QString> &fields)
{
    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        auto *file = new QFile(it.value(), multiPart);
        file->open(QIODevice::ReadOnly);
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
            QStringLiteral("form-data; name=\"%1\";filename=\"%2\"")
                .arg(it.key(), QFileInfo(it.value()).fileName()));
        part.setBodyDevice(file);
        multiPart->append(part);
    }
    return multiPart;
}

QHttpMultiPart *formDataParts(const QVariantMap &fields)
{
    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
            QStringLiteral("form-data; name=\"%1\"").arg(it.key()));
        part.setBody(it.value().toString().toUtf8());
        multiPart->append(part);
    }
    return multiPart;
}

// Qt starts an HTTP reply from the event loop, and a read buffer size set before that start never
// reaches the thread that reads the connection, which then reads without limit (measured: tens of MiB
// taken in before the first readyRead). So the size is set again once the start has been processed, and
// when the headers arrive (a start that waited for the network session).
//
// For a reply bound (maxReplySize) the buffer is twice the bound and one byte: Qt's reading thread
// stops handing over data, for good, once a block it handed over is at least as large as the room left
// in the buffer (seen with a 64 KiB body in a 65537-byte buffer: the reply never finished). With twice
// the bound that can only happen past the bound, where HttpResponse aborts the reply anyway.
void limitReadBuffer(QNetworkReply *reply, qint64 size)
{
    const auto apply = [reply, size]() { reply->setReadBufferSize(size); };
    apply();
    QMetaObject::invokeMethod(reply, apply, Qt::QueuedConnection);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, apply);
}

bool bounded(const HttpRequest &request)
{
    return request.maxReplySize >= 0 && !request.downloadEnabled;
}

// Qt asks for gzip and deflate unless the request names its own Accept-Encoding, and inflates the
// body in its reading thread, whole blocks at a time, before the bound can be seen: a 1 MiB body of a
// hostile server became 1 GiB in memory. Naming "identity" turns that off, so a bounded reply is
// counted and held as it is sent; a server that compresses anyway gets its bytes back undecoded.
void askForNoCompression(QNetworkRequest &request)
{
    if (!request.hasRawHeader("Accept-Encoding"))
        request.setRawHeader("Accept-Encoding", "identity");
}

QNetworkReply *sendBody(const HttpRequest &request, QNetworkRequest &networkRequest, const QByteArray &verb)
{
    HttpClient *client = request.client;
    switch (request.bodyKind) {
    case MultiPart: {
        auto *multiPart = qobject_cast<QHttpMultiPart *>(request.bodyValue.value<QObject *>());
        setMultipartContentType(networkRequest, multiPart);
        QNetworkReply *reply = client->sendCustomRequest(networkRequest, verb, multiPart);
        if (reply)
            multiPart->setParent(reply);
        return reply;
    }
    case FileMap:
        return sendMultiPart(
            client, networkRequest, verb, fileMapParts(request.bodyValue.value<QMap<QString, QString>>()));
    case FormData:
        return sendMultiPart(client, networkRequest, verb, formDataParts(request.bodyValue.toMap()));
    default:
        // Sent as a custom verb, a HEAD would make Qt wait for the Content-Length bytes of a body that
        // never comes, until the server closes the connection.
        if (request.operation == QNetworkAccessManager::HeadOperation)
            return client->QNetworkAccessManager::head(networkRequest);
        return client->sendCustomRequest(networkRequest, verb, request.bodyValue.toByteArray());
    }
}

} // namespace

HttpClient::HttpClient(QObject *parent)
    : QNetworkAccessManager(parent)
{ }

HttpClient *HttpClient::sharedClient()
{
    static HttpClient shared;
    return &shared;
}

HttpRequest HttpClient::request(QNetworkAccessManager::Operation operation, const QString &url)
{
    return HttpRequest(operation, this, url);
}

HttpRequest HttpClient::get(const QString &url)
{
    return request(QNetworkAccessManager::GetOperation, url);
}

HttpRequest HttpClient::head(const QString &url)
{
    return request(QNetworkAccessManager::HeadOperation, url);
}

HttpRequest HttpClient::post(const QString &url)
{
    return request(QNetworkAccessManager::PostOperation, url);
}

HttpRequest HttpClient::put(const QString &url)
{
    return request(QNetworkAccessManager::PutOperation, url);
}

HttpRequest::HttpRequest() = default;

HttpRequest::HttpRequest(int operation, HttpClient *client, const QString &url)
    : operation(operation)
    , client(client)
{
    networkRequest.setUrl(QUrl(url, QUrl::TolerantMode));
}

HttpRequest::~HttpRequest() = default;

HttpRequest &HttpRequest::queryParam(const QString &key, const QVariant &value)
{
    QUrl url = networkRequest.url();
    QUrlQuery query(url);
    query.addQueryItem(key, value.toString());
    url.setQuery(query);
    networkRequest.setUrl(url);
    return *this;
}

HttpRequest &HttpRequest::handle(int kind, const QString &key, const QVariant &value)
{
    handlers[kind].append(qMakePair(key, value));
    return *this;
}

HttpRequest &HttpRequest::handle(int kind, const QVariant &value)
{
    return handle(kind, HttpCallbackTypes::keyOf(value), value);
}

HttpRequest &HttpRequest::handle(int kind, const char *method, QObject *receiver)
{
    return handle(kind, QString::fromLatin1(method), QVariant::fromValue(receiver));
}

HttpRequest &HttpRequest::handleFinished(std::function<void(QByteArray)> callback)
{
    return handle(Finished, QVariant::fromValue(callback));
}

HttpRequest &HttpRequest::handleError(std::function<void(QByteArray)> callback)
{
    return handle(Error, QVariant::fromValue(callback));
}

HttpRequest &HttpRequest::setTimeout(int milliseconds)
{
    timeoutMs = milliseconds;
    return *this;
}

HttpRequest &HttpRequest::setBlocking(bool enabled)
{
    blocking = enabled;
    return *this;
}

HttpRequest &HttpRequest::setRetryCount(int count)
{
    retryCount = count;
    return *this;
}

HttpRequest &HttpRequest::setRepeatCount(int count)
{
    repeatCount = count;
    return *this;
}

HttpRequest &HttpRequest::setAuthenticator(const QString &user, const QString &password)
{
    authenticator.setUser(user);
    authenticator.setPassword(password);
    return *this;
}

HttpRequest &HttpRequest::setMaxAuthenticationCount(int count)
{
    maxAuthenticationCount = count;
    return *this;
}

HttpRequest &HttpRequest::setReadBufferSize(qint64 size)
{
    readBufferSize = size;
    return *this;
}

HttpRequest &HttpRequest::setMaxReplySize(qint64 bytes)
{
    maxReplySize = bytes;
    return *this;
}

HttpRequest &HttpRequest::setIgnoredSslErrors(const QList<QSslError> &errors)
{
    ignoredSslErrors = errors;
    return *this;
}

HttpRequest &HttpRequest::setDownload(bool enabled, const QString &path)
{
    downloadEnabled = enabled;
    downloadPath = path;
    return *this;
}

HttpRequest &HttpRequest::setResumeWanted(bool wanted)
{
    resumeWanted = wanted;
    return *this;
}

HttpRequest &HttpRequest::setLogLevel(int level)
{
    logLevel = level;
    return *this;
}

HttpRequest &HttpRequest::setBody(int kind, const QVariant &value)
{
    bodyKind = kind;
    bodyValue = value;
    return *this;
}

HttpRequest &HttpRequest::setRawBody(const QByteArray &body)
{
    return setBody(Raw, body);
}

HttpRequest &HttpRequest::setJsonBody(const QByteArray &json)
{
    return setBody(RawJson, json);
}

HttpRequest &HttpRequest::setFormUrlEncodedBody(const QByteArray &body)
{
    return setBody(X_Www_Form_Urlencoded, body);
}

HttpRequest &HttpRequest::setFileMapBody(const QMap<QString, QString> &fieldToPath)
{
    return setBody(FileMap, QVariant::fromValue(fieldToPath));
}

HttpRequest &HttpRequest::setMultiPartBody(QHttpMultiPart *multiPart)
{
    return setBody(MultiPart, QVariant::fromValue(static_cast<QObject *>(multiPart)));
}

HttpRequest &HttpRequest::setFormDataBody(const QVariantMap &fields)
{
    return setBody(FormData, fields);
}

HttpRequest &HttpRequest::setHeader(QNetworkRequest::KnownHeaders header, const QVariant &value)
{
    networkRequest.setHeader(header, value);
    return *this;
}

HttpRequest &HttpRequest::setRawHeader(const QByteArray &name, const QByteArray &value)
{
    networkRequest.setRawHeader(name, value);
    return *this;
}

HttpRequest &HttpRequest::setAttribute(QNetworkRequest::Attribute attribute, const QVariant &value)
{
    networkRequest.setAttribute(attribute, value);
    return *this;
}

QObject *HttpRequest::exec()
{
    return resend(*this);
}

QString HttpRequest::debugText() const
{
    QString text = QStringLiteral(
        "General: \n    Request URL: %{url} \n    Request Method: %{method} \nRequest Headers: "
        "\n%{requestHeaders} \nRequest Body: \n%{requestBody}");
    text.replace(QLatin1String("%{url}"), networkRequest.url().toString());
    text.replace(QLatin1String("%{method}"), methodText(operation));
    text.replace(QLatin1String("%{requestHeaders}"), indented(headerListText(networkRequest)));
    text.replace(QLatin1String("%{requestBody}"), indented(bodyText(*this)));
    return text;
}

HttpResponse *sendRequest(const HttpRequest &request, HttpResponse *existingResponse)
{
    HttpRequest copy(request);
    const QByteArray verb = methodText(copy.operation).toUtf8();
    if (verb.isEmpty()) {
        if (copy.logLevel > 1)
            qCritical().noquote() << QStringLiteral("Url: [%1]; Method: [%2] not support!")
                                         .arg(copy.networkRequest.url().toString(), QString::fromUtf8(verb));
        return nullptr;
    }
    QNetworkRequest networkRequest(copy.networkRequest);
    if (bounded(copy))
        askForNoCompression(networkRequest);
    QNetworkReply *reply = copy.client ? sendBody(copy, networkRequest, verb) : nullptr;
    if (!reply) {
        if (copy.logLevel > 1)
            qCritical().noquote() << "Http reply invalid";
        return nullptr;
    }
    copy.reply = reply;
    reply->setProperty("count", replyCounter++);
    if (!copy.ignoredSslErrors.isEmpty())
        reply->ignoreSslErrors(copy.ignoredSslErrors);
    if (copy.readBufferSize >= 0)
        limitReadBuffer(reply, copy.readBufferSize);
    else if (bounded(copy))
        limitReadBuffer(reply, 2 * copy.maxReplySize + 1);
    if (copy.logLevel > 3)
        qDebug().noquote() << copy.debugText();
    if (existingResponse) {
        existingResponse->setParent(reply);
        existingResponse->bindResponse(copy);
        return existingResponse;
    }
    return new HttpResponse(copy, reply);
}

HttpResponse *resend(const HttpRequest &request)
{
    if (!request.downloadEnabled)
        return sendRequest(request, nullptr);
    auto *downloader = new HttpDownloader(request);
    HttpResponse *response = downloader->start();
    downloader->setParent(response);
    return response;
}

QString methodText(int operation)
{
    return methodTable().value(operation);
}

QString bodyKindName(int kind)
{
    switch (kind) {
    case Raw:
        return QStringLiteral("Raw");
    case RawJson:
        return QStringLiteral("RawJson");
    case X_Www_Form_Urlencoded:
        return QStringLiteral("x_www_form_urlencoded");
    case FileMap:
        return QStringLiteral("FileMap");
    case MultiPart:
        return QStringLiteral("MultiPart");
    case FormData:
        return QStringLiteral("FormData");
    default:
        return QStringLiteral("None");
    }
}

QString headerListText(const QList<QNetworkReply::RawHeaderPair> &headers)
{
    QString text;
    for (const auto &header : headers)
        text += QStringLiteral("%1: %2\n")
                    .arg(QString::fromUtf8(header.first), QString::fromUtf8(header.second));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringLiteral("null") : text;
}

QString headerListText(const QNetworkRequest &request)
{
    QList<QNetworkReply::RawHeaderPair> headers;
    for (const QByteArray &name : request.rawHeaderList())
        headers.append(qMakePair(name, request.rawHeader(name)));
    return headerListText(headers);
}

QString bodyText(const HttpRequest &request)
{
    QString data;
    switch (request.bodyKind) {
    case MultiPart: {
        QDebug(&data) << request.bodyValue;
        break;
    }
    case FileMap: {
        const auto fields = request.bodyValue.value<QMap<QString, QString>>();
        for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
            data += it.key() + QStringLiteral(": ") + it.value() + QLatin1Char('\n');
        break;
    }
    case FormData: {
        const QVariantMap fields = request.bodyValue.toMap();
        for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
            data += it.key() + QStringLiteral(": ") + it.value().toString() + QLatin1Char('\n');
        break;
    }
    case Raw:
    case RawJson:
    case X_Www_Form_Urlencoded:
        data = QString::fromUtf8(request.bodyValue.toByteArray());
        break;
    default:
        break;
    }
    if (data.isEmpty())
        data = QStringLiteral("null");
    QString text = QStringLiteral("Type: ") + bodyKindName(request.bodyKind) + QStringLiteral("\nData: \n")
        + indented(data, QStringLiteral("=>    "));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

QString indented(const QString &text, const QString &prefix)
{
    QString result = text;
    static const QRegularExpression everyLine(QStringLiteral("^(.*)"), QRegularExpression::MultilineOption);
    result.replace(everyLine, prefix + QStringLiteral("\\1"));
    return result;
}

} // namespace Qt
