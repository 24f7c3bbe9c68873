#pragma once

// Writes the body of a request to a file and can continue a partial file with a range request.
// Before the download, a probe to the same URL learns the file name, the size and whether the server
// accepts ranges. The caller of HttpRequest::exec receives a placeholder response on which the
// request's handlers are bound once the download has been sent.
//
// Decisions of ours:
// - A name from Content-Disposition is server input: quotes are stripped (a quoted name may hold
//   blanks) and only its final name component is kept, so it can never point outside the folder.
// - DownloadFileNameChanged is raised on the placeholder right after the download has been sent, so
//   the caller's handlers receive it once.
// - A local file as long as the remote one is complete: the caller's handlers get the progress, the
//   DownloadFileFinished and the Finished outcome, and no download is sent. A longer local file is
//   truncated and downloaded whole, with progress counted from 0. An unknown remote size (no
//   Content-Length) never counts as complete.
// - Blocking downloads: the probe never blocks; exec() instead waits in a local event loop until the
//   download has reached its final outcome (retries included), so the caller's handlers have run
//   when exec() returns.
// - A probe that ends with an empty body (no data block) still lets the download go.
// - An answer to a Range request that is not 206 (a server ignoring Range) is the whole file: it is
//   written over the local file from the start, never appended.
// Mended faults (each failed silently or hung before):
// - The download follows redirects with the probe's safety policy (unless the caller set a policy);
//   a redirect that is still not followed is a download error, never a file holding the redirect page.
// - The body of an answer with status 300 or above is never written into the file, and a retry
//   resumes only from the bytes the file holds.
// - A download that ends with fewer bytes than the known total is a DownloadFileError (then the
//   normal retry), never success.
// - A retry is sent by the same response and downloader (a new downloader per retry let a blocking
//   exec() return early and the retry touch a freed downloader).
// - A file already complete with repeatCount N reports N finished outcomes, then repeated(), as N
//   downloads would.
#include "HttpClient.h"

#include <QMap>
#include <QObject>
#include <QPointer>

namespace Qt {

class HttpResponse;

class HttpDownloader : public QObject
{
    Q_OBJECT

public:
    explicit HttpDownloader(const HttpRequest &request);

    // Sends the probe and returns the placeholder response (null when a blocking download has
    // already ended and its response is gone).
    HttpResponse *start();

    // The name that a Content-Disposition value gives, or an empty string.
    static QString fileNameFromDisposition(const QString &disposition);

signals:
    void done();

private slots:
    void onResponse(QNetworkReply::NetworkError error);
    void onHead(QList<QNetworkReply::RawHeaderPair> headerForPair);
    void onHead(QMap<QString, QString> headerForMap);
    void onReadyRead(QNetworkReply *reply);
    // A probe that ends without a data block (an empty body) still lets the download go.
    void onProbeFinished(QNetworkReply *reply);

private:
    void settleRequest();
    void prepareLocalFile();
    void sendDownload();
    void finish();

    HttpRequest request;
    bool rangesAccepted = false;
    QString fileName;
    qint64 contentLength = 0;
    QList<QNetworkReply::RawHeaderPair> headerPairs;
    QMap<QString, QString> headerMap;
    QPointer<HttpResponse> placeholderResponse;
    bool nameAnnounced = false;
    bool alreadyComplete = false;
    bool downloadSent = false;
    bool ended = false;
};

} // namespace Qt
