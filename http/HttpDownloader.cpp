#include "HttpDownloader.h"

#include "HttpResponse.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace Qt {

namespace {

const int ProbeTimeoutMs = 30000;

} // namespace

HttpDownloader::HttpDownloader(const HttpRequest &request)
    : request(request)
{
    const QUrl url = request.networkRequest.url();
    fileName = url.fileName(QUrl::FullyDecoded);
    if (fileName.isEmpty())
        fileName = url.host(QUrl::FullyDecoded);
}

QString HttpDownloader::fileNameFromDisposition(const QString &disposition)
{
    static const QRegularExpression pattern(
        QStringLiteral("attachment;\\s*filename=(\"([^\"]*)\"|([\\S]+))"));
    const QRegularExpressionMatch match = pattern.match(disposition);
    if (!match.hasMatch())
        return {};
    QString name = match.captured(2).isEmpty() ? match.captured(3) : match.captured(2);
    if (name.endsWith(QLatin1Char(';')))
        name.chop(1);
    name.remove(QLatin1Char('"'));
    name = name.mid(qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\'))) + 1)
               .trimmed();
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return {};
    return name;
}

HttpResponse *HttpDownloader::start()
{
    HttpRequest probe = HttpClient::sharedClient()->get(request.networkRequest.url().toString());
    probe.networkRequest.setUrl(request.networkRequest.url());
    probe.timeoutMs = ProbeTimeoutMs;
    probe.networkRequest.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    probe.handle(Head, "1onHead(QList<QNetworkReply::RawHeaderPair>)", this);
    probe.handle(Head, "1onHead(QMap<QString,QString>)", this);
    probe.handle(ReadyRead, "1onReadyRead(QNetworkReply*)", this);
    probe.handle(Error, "1onResponse(QNetworkReply::NetworkError)", this);
    probe.handle(Finished, "1onProbeFinished(QNetworkReply*)", this);

    const bool blocking = request.blocking;
    request.blocking = false;
    placeholderResponse = new HttpResponse(request, nullptr);
    QPointer<HttpResponse> placeholder = placeholderResponse;
    QEventLoop wait;
    connect(this, &HttpDownloader::done, &wait, &QEventLoop::quit);
    connect(this, &QObject::destroyed, &wait, &QEventLoop::quit);
    probe.exec();
    if (blocking && !ended)
        wait.exec();
    return placeholder;
}

void HttpDownloader::finish()
{
    ended = true;
    emit done();
}

void HttpDownloader::onHead(QList<QNetworkReply::RawHeaderPair> headerForPair)
{
    headerPairs = headerForPair;
}

void HttpDownloader::onHead(QMap<QString, QString> headerForMap)
{
    headerMap = headerForMap;
    for (auto it = headerMap.constBegin(); it != headerMap.constEnd(); ++it) {
        const QString &name = it.key();
        if (name.contains(QLatin1String("Content-Disposition"), Qt::CaseInsensitive)) {
            const QString named = fileNameFromDisposition(it.value());
            if (!named.isEmpty())
                fileName = named;
        } else if (name.contains(QLatin1String("Content-Length"), Qt::CaseInsensitive)) {
            contentLength = it.value().toLongLong();
        } else if (name.contains(QLatin1String("Content-Range"), Qt::CaseInsensitive)
            || name.contains(QLatin1String("Accept-Ranges"), Qt::CaseInsensitive)) {
            rangesAccepted = true;
        }
    }
}

void HttpDownloader::onReadyRead(QNetworkReply *reply)
{
    if (downloadSent)
        return;
    settleRequest();
    reply->abort();
}

void HttpDownloader::onProbeFinished(QNetworkReply *reply)
{
    if (!downloadSent) {
        QMap<QString, QString> headers;
        for (const auto &pair : reply->rawHeaderPairs())
            headers.insert(QString::fromUtf8(pair.first), QString::fromUtf8(pair.second));
        onHead(reply->rawHeaderPairs());
        onHead(headers);
        settleRequest();
        onResponse(QNetworkReply::NoError);
    }
    reply->deleteLater();
}

void HttpDownloader::settleRequest()
{
    if (request.downloadPath.isEmpty()) {
        request.downloadPath = fileName;
        nameAnnounced = true;
    }
    request.totalBytes = contentLength;
    request.rangesAccepted = rangesAccepted;
    // The probe follows redirects; the download must reach the same file, never store a redirect page.
    if (!request.networkRequest.attribute(QNetworkRequest::RedirectPolicyAttribute).isValid())
        request.networkRequest.setAttribute(
            QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    prepareLocalFile();
}

void HttpDownloader::prepareLocalFile()
{
    if (!request.resumeWanted || !rangesAccepted)
        return;
    QFile file(request.downloadPath);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return;
    const qint64 size = file.size();
    file.close();
    if (contentLength > 0 && size == contentLength) {
        request.downloadedBytes = size;
        alreadyComplete = true;
    } else if (size < contentLength || contentLength <= 0) {
        request.downloadedBytes = size;
        if (size > 0 && contentLength > 0)
            request.networkRequest.setRawHeader("Range", QStringLiteral("bytes=%1-").arg(size).toUtf8());
    } else {
        // Longer than the remote file: start again from nothing.
        request.downloadedBytes = 0;
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.close();
    }
    if (contentLength <= 0 && size > 0) {
        // Unknown remote size: a resume cannot be trusted, so the file is replaced.
        request.downloadedBytes = 0;
        request.rangesAccepted = false;
    }
}

void HttpDownloader::onResponse(QNetworkReply::NetworkError)
{
    if (downloadSent)
        return;
    downloadSent = true;
    if (!placeholderResponse) {
        finish();
        return;
    }
    if (alreadyComplete) {
        HttpResponse *placeholder = placeholderResponse;
        placeholder->reportCompleteDownload(request.downloadPath, request.downloadedBytes);
        placeholder->deleteLater();
        finish();
        return;
    }
    sendDownload();
}

void HttpDownloader::sendDownload()
{
    HttpResponse *placeholder = placeholderResponse;
    HttpResponse *response = sendRequest(request, placeholder);
    if (!response) {
        finish();
        return;
    }
    setParent(response);
    if (nameAnnounced)
        emit response->downloadFileNameChanged(request.downloadPath);
    // The response reports its final outcome, after any retries, with repeated().
    connect(response, &HttpResponse::repeated, this, &HttpDownloader::finish);
}

} // namespace Qt
