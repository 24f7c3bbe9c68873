#include "VersionInfo.h"

#include "DeploymentSettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkProxy>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>
#include <QUrlQuery>

namespace {

const char QueryPath[] = "/version-manage/customer-tool-version/query-latest-customer-tool-version";

// Redirects are taken as Qt's HTTP stack took them: Qt 5 follows none (the answer is the reply), Qt 6
// up to 50, never from https to http.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
constexpr bool FollowsRedirects = true;
#else
constexpr bool FollowsRedirects = false;
#endif
constexpr int MaxRedirects = 50;

// A chunk-size line is a few hex digits; the rest is room for extensions.
constexpr int MaxChunkLineBytes = 1024;

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The status of "HTTP/1.1 200 OK"; 0 when line is no status line.
int statusOfLine(const QByteArray &line)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() < 2 || !parts.first().startsWith("HTTP/") || parts.at(1).size() != 3)
        return 0;
    // Three digits: toInt() also takes a sign.
    for (const char digit : parts.at(1))
        if (digit < '0' || digit > '9')
            return 0;
    return parts.at(1).toInt();
}

// The failure text Qt's HTTP stack gives an error status.
QString statusFailure(int status, const QByteArray &reason, const QUrl &url)
{
    if (status == 401)
        return QStringLiteral("Host requires authentication");
    if (status == 407)
        return QStringLiteral("Proxy requires authentication");
    return QStringLiteral("Error transferring %1 - server replied: %2")
        .arg(url.toString(), QString::fromLatin1(reason));
}

// The proxy Qt's HTTP stack takes for url: the application's or the system's, none for loopback.
QNetworkProxy proxyFor(const QUrl &url)
{
    const bool secure = url.scheme() == QLatin1String("https");
    for (const QNetworkProxy &proxy : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url))) {
        switch (proxy.type()) {
        case QNetworkProxy::HttpProxy:
        case QNetworkProxy::Socks5Proxy:
            return proxy;
        case QNetworkProxy::HttpCachingProxy:
            if (!secure)
                return proxy;
            break; // it cannot carry a TLS connection
        case QNetworkProxy::FtpCachingProxy:
            break;
        default:
            return QNetworkProxy(QNetworkProxy::NoProxy);
        }
    }
    return QNetworkProxy(QNetworkProxy::NoProxy);
}

// One version query over a socket of its own, reading its reply as it arrives and never more than the
// bounds (VersionInfo.h says why not through Qt's HTTP stack). It reports once, then deletes itself.
class VersionQuery : public QObject
{
public:
    VersionQuery(QObject *owner, const QString &componentCode, const VersionReplyHandler &handler);
    void ask(const QUrl &url);

private:
    enum class Stage { Head, Sized, UntilClose, ChunkSize, ChunkData, ChunkEnd, Trailer };

    void take();
    bool takeHead();
    bool takeChunkLine();
    bool takeCounted();
    void onClosed();
    void succeed();
    void fail(const QString &reason);
    void end();

    QPointer<QObject> owner;
    QString componentCode;
    VersionReplyHandler handler;
    QUrl url;
    QPointer<QTcpSocket> socket;
    QTimer deadline;
    QByteArray pending; // received, not yet taken
    QByteArray body;
    qint64 headBytes = 0; // of heads and trailers so far
    qint64 left = 0; // of the body or the chunk
    int redirects = 0;
    Stage stage = Stage::Head;
    bool ended = false;
};

VersionQuery::VersionQuery(QObject *owner, const QString &componentCode, const VersionReplyHandler &handler)
    : QObject(QCoreApplication::instance())
    , owner(owner)
    , componentCode(componentCode)
    , handler(handler)
{
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    connect(&deadline, &QTimer::timeout, this, [this]() {
        fail(QStringLiteral("Operation canceled"));
        qDebug().noquote() << QStringLiteral("Version query for %1: no complete reply within %2 ms")
                                  .arg(this->componentCode)
                                  .arg(VersionQueryTimeoutMs);
    });
    deadline.start(VersionQueryTimeoutMs);
}

void VersionQuery::ask(const QUrl &address)
{
    url = address;
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    pending.clear();
    body.clear();
    headBytes = 0;
    stage = Stage::Head;
    const bool secure = url.scheme() == QLatin1String("https");
    if (!secure && url.scheme() != QLatin1String("http")) {
        const QString reason = QStringLiteral("Protocol \"%1\" is unknown").arg(url.scheme());
        QTimer::singleShot(0, this, [this, reason]() { fail(reason); });
        return;
    }
    // Plain http needs no TLS library loaded.
    QSslSocket *tls = secure ? new QSslSocket(this) : nullptr;
    socket = tls ? tls : new QTcpSocket(this);
    socket->setReadBufferSize(MaxVersionReplyBytes);
    connect(socket, &QIODevice::readyRead, this, &VersionQuery::take);
    // Refused, failed or closed (stateChanged rather than the error signal, renamed in Qt 5.15).
    connect(socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            onClosed();
    });

    QUrl target = url;
    if (target.path().isEmpty())
        target.setPath(QStringLiteral("/"));
    const QByteArray authority = url.toEncoded(QUrl::RemoveScheme | QUrl::RemovePath | QUrl::RemoveQuery
                                        | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
                                     .mid(2);
    const QNetworkProxy proxy = proxyFor(url);
    // Plain http goes to an HTTP proxy as a request for the whole address; everything else through a
    // tunnel the socket opens.
    const bool toProxy = !secure
        && (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::HttpCachingProxy);
    QByteArray request = "GET "
        + target.toEncoded(toProxy ? QUrl::RemoveFragment | QUrl::RemoveUserInfo
                                   : QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment)
        + " HTTP/1.1\r\nHost: " + authority
        + "\r\nUser-Agent: Mozilla/5.0\r\nAccept-Encoding: identity\r\nConnection: close\r\n";
    if (toProxy && !proxy.user().isEmpty())
        request += "Proxy-Authorization: Basic "
            + (proxy.user() + QLatin1Char(':') + proxy.password()).toUtf8().toBase64() + "\r\n";
    request += "\r\n";
    const auto send = [this, request]() { socket->write(request); };
    if (tls)
        connect(tls, &QSslSocket::encrypted, this, send);
    else
        connect(socket, &QAbstractSocket::connected, this, send);

    socket->setProxy(toProxy ? QNetworkProxy(QNetworkProxy::NoProxy) : proxy);
    const quint16 port = quint16(url.port(secure ? 443 : 80));
    if (toProxy)
        socket->connectToHost(proxy.hostName(), proxy.port());
    else if (tls)
        tls->connectToHostEncrypted(url.host(), port);
    else
        socket->connectToHost(url.host(), port);
    // A failure reported at once (no host at all) came before anyone listened.
    if (socket->state() == QAbstractSocket::UnconnectedState)
        QTimer::singleShot(0, this, [this]() { onClosed(); });
}

void VersionQuery::take()
{
    pending += socket->readAll();
    bool more = true;
    while (more && !ended) {
        switch (stage) {
        case Stage::Head:
            more = takeHead();
            break;
        case Stage::Sized:
            if (takeCounted())
                succeed();
            more = false;
            break;
        case Stage::UntilClose:
            body += pending;
            pending.clear();
            if (body.size() > MaxVersionReplyBytes)
                fail(QStringLiteral("reply larger than %1 bytes").arg(MaxVersionReplyBytes));
            more = false;
            break;
        case Stage::ChunkData:
            more = takeCounted();
            if (more)
                stage = Stage::ChunkEnd;
            break;
        default:
            more = takeChunkLine();
            break;
        }
    }
}

// Takes the head when it is complete: true when there is more to take.
bool VersionQuery::takeHead()
{
    const int crlf = pending.indexOf("\n\r\n");
    const int lf = pending.indexOf("\n\n");
    const int end = crlf >= 0 && (lf < 0 || crlf < lf) ? crlf + 3 : (lf >= 0 ? lf + 2 : -1);
    if (headBytes + (end < 0 ? pending.size() : end) > MaxVersionReplyBytes) {
        fail(QStringLiteral("reply head larger than %1 bytes").arg(MaxVersionReplyBytes));
        return false;
    }
    if (end < 0)
        return false;
    const QList<QByteArray> lines = pending.left(end).trimmed().split('\n');
    headBytes += end;
    pending.remove(0, end);
    const QByteArray statusLine = lines.first().trimmed();
    const int status = statusOfLine(statusLine);
    if (status == 0) {
        fail(QStringLiteral("no valid HTTP reply"));
        return false;
    }
    if (status < 200)
        return true; // an interim answer ("100 Continue"): the reply's own head follows
    QMap<QByteArray, QByteArray> headers; // names in lower case
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines.at(i).left(colon).trimmed().toLower();
        const QByteArray value = lines.at(i).mid(colon + 1).trimmed();
        // Two different lengths leave the reply's end unknown: no valid reply.
        if (name == "content-length" && headers.contains(name) && headers.value(name) != value) {
            fail(QStringLiteral("no valid HTTP reply"));
            return false;
        }
        headers.insert(name, value);
    }
    if (status >= 400) {
        const int reason = statusLine.indexOf(' ', statusLine.indexOf(' ') + 1);
        fail(statusFailure(status, reason < 0 ? QByteArray() : statusLine.mid(reason + 1), url));
        return false;
    }
    if (FollowsRedirects && isRedirect(status) && headers.contains("location")) {
        const QUrl next = url.resolved(QUrl::fromEncoded(headers.value("location")));
        if (++redirects > MaxRedirects)
            fail(QStringLiteral("Too many redirects"));
        else if (url.scheme() == QLatin1String("https") && next.scheme() == QLatin1String("http"))
            fail(QStringLiteral("Insecure redirect"));
        else
            ask(next);
        return false;
    }
    if (status == 204 || status == 304) {
        succeed();
        return false;
    }
    if (headers.value("transfer-encoding").toLower().contains("chunked")) {
        stage = Stage::ChunkSize;
        return true;
    }
    if (!headers.contains("content-length")) {
        stage = Stage::UntilClose;
        return true;
    }
    bool valid = false;
    left = headers.value("content-length").toLongLong(&valid);
    if (!valid || left < 0)
        fail(QStringLiteral("no valid HTTP reply"));
    else if (left > MaxVersionReplyBytes)
        fail(QStringLiteral("reply larger than %1 bytes").arg(MaxVersionReplyBytes));
    else if (left == 0)
        succeed();
    stage = Stage::Sized;
    return true;
}

// Takes one line of the chunked framing (a chunk's size, the break after its data, a trailer): true
// when there is more to take.
bool VersionQuery::takeChunkLine()
{
    const int end = pending.indexOf('\n');
    const qint64 room = stage == Stage::Trailer ? MaxVersionReplyBytes - headBytes : MaxChunkLineBytes;
    if ((end < 0 ? pending.size() : end + 1) > room) {
        fail(stage == Stage::Trailer
                ? QStringLiteral("reply head larger than %1 bytes").arg(MaxVersionReplyBytes)
                : QStringLiteral("no valid HTTP reply"));
        return false;
    }
    if (end < 0)
        return false;
    const QByteArray line = pending.left(end).trimmed();
    pending.remove(0, end + 1);
    if (stage == Stage::ChunkEnd) {
        if (!line.isEmpty())
            fail(QStringLiteral("no valid HTTP reply"));
        stage = Stage::ChunkSize;
    } else if (stage == Stage::Trailer) {
        headBytes += end + 1;
        if (line.isEmpty())
            succeed();
    } else {
        bool valid = false;
        const int extensions = line.indexOf(';');
        left = (extensions < 0 ? line : line.left(extensions)).trimmed().toLongLong(&valid, 16);
        if (!valid || left < 0)
            fail(QStringLiteral("no valid HTTP reply"));
        else if (left > MaxVersionReplyBytes - body.size()) // a sum could overflow
            fail(QStringLiteral("reply larger than %1 bytes").arg(MaxVersionReplyBytes));
        stage = left == 0 ? Stage::Trailer : Stage::ChunkData;
    }
    return true;
}

void VersionQuery::onClosed()
{
    if (ended)
        return;
    take(); // what came with the close
    if (ended)
        return;
    if (stage == Stage::UntilClose)
        succeed();
    else if (socket->error() == QAbstractSocket::RemoteHostClosedError
        || socket->error() == QAbstractSocket::UnknownSocketError)
        fail(QStringLiteral("Connection closed"));
    else
        fail(socket->errorString());
}

// Moves what has come of the body or chunk being counted into the body; true once all of it has.
bool VersionQuery::takeCounted()
{
    const int count = int(qMin<qint64>(left, pending.size()));
    body += pending.left(count);
    pending.remove(0, count);
    left -= count;
    return left == 0;
}

void VersionQuery::succeed()
{
    end();
    const QString text = QString::fromUtf8(body);
    qDebug() << "result::" << text;
    if (owner && handler)
        handler(componentCode, text);
}

void VersionQuery::fail(const QString &reason)
{
    end();
    qDebug() << "error::" << reason;
}

void VersionQuery::end()
{
    ended = true;
    deadline.stop();
    if (socket) {
        socket->disconnect(this);
        socket->abort();
    }
    deleteLater();
}

} // namespace

void queryLatestVersion(QObject *owner, const QString &componentCode, const VersionReplyHandler &handler)
{
    QUrl url(DeploymentSettings::versionServiceUrl() + QLatin1String(QueryPath), QUrl::TolerantMode);
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("componentCode"), componentCode);
    url.setQuery(query);
    (new VersionQuery(owner, componentCode, handler))->ask(url);
}
