#include "WebSocketClient.h"

#include "CommandMessage.h"
#include "LogFile.h"
#include "Platform.h"

#include <QDebug>
#include <QNetworkProxy>
#include <QWebSocket>

namespace {

// The prefix of the client's positional log lines.
const char SourcePath[] = "VantrelDetectInstallTool/WebSocketClient";

} // namespace

QUrl loopbackToolAddress(const QString &url)
{
    QUrl address(url);
    if (address.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        address.setHost(QStringLiteral("127.0.0.1"));
    return address;
}

WebSocketClient::WebSocketClient(QObject *parent)
    : QObject(parent)
    , socket(new QWebSocket(QString(), QWebSocketProtocol::Version13))
{
    connect(socket, &QWebSocket::connected, this, &WebSocketClient::slotConnected);
    connect(socket, &QWebSocket::disconnected, this, &WebSocketClient::slotDisconnected);
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    connect(socket, &QWebSocket::errorOccurred, this, &WebSocketClient::slotError);
#else
    // Before Qt 6.5 the signal is error(), overloaded with the getter.
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
        &WebSocketClient::slotError);
#endif
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &WebSocketClient::openSocket);
    connectDeadline.setSingleShot(true);
    connectDeadline.setTimerType(Qt::PreciseTimer);
    connect(&connectDeadline, &QTimer::timeout, this, &WebSocketClient::giveUp);
    connect(socket, &QWebSocket::bytesWritten, this, [this](qint64 bytes) {
        unwritten = qMax<qint64>(0, unwritten - bytes);
        emit written();
    });
}

bool WebSocketClient::isConnected() const
{
    return connected && socket->state() == QAbstractSocket::ConnectedState;
}

WebSocketClient::~WebSocketClient()
{
    socket->deleteLater();
}

void WebSocketClient::connectTo(const QString &url, const QString &message, const QString &origin)
{
    pendingMessage = message;
    pendingOrigin = origin;
    this->url = loopbackToolAddress(url);
    socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy, QString(), 0, QString(), QString()));
    connectionWanted = true;
    tries = 0;
    connectingSince.start();
    connectDeadline.start(ConnectRetryLimitMs);
    retryTimer.stop();
    openSocket();
}

void WebSocketClient::openSocket()
{
    // Whoever listens on the tool's port must be this user: another user may hold it while the tool
    // does not run (the tool then fails to listen), and would receive the page's commands.
    const Platform::SocketOwner holder = Platform::listenerOwner(
        QHostAddress(url.host()), quint16(url.port(url.scheme() == "wss" ? 443 : 80)));
    if (holder.kind == Platform::SocketOwner::Kind::OtherUser)
        return refuseListener(holder.description);
    ++tries;
    socket->open(url);
}

void WebSocketClient::stopConnecting()
{
    connectionWanted = false;
    retryTimer.stop();
    connectDeadline.stop();
    pendingMessage.clear();
    pendingOrigin.clear();
    socket->abort();
}

void WebSocketClient::refuseListener(const QString &owner)
{
    stopConnecting();
    qDebug().noquote() << QStringLiteral("Not handing over to %1: its listener belongs to another user (%2)")
                              .arg(url.toString(), owner);
    emit abandoned(QStringLiteral("the tool's port is held by another user (%1)").arg(owner));
}

void WebSocketClient::retryConnection()
{
    if (!connectionWanted || connected || retryTimer.isActive())
        return;
    if (connectingSince.elapsed() + ConnectRetryIntervalMs > ConnectRetryLimitMs) {
        giveUp();
        return;
    }
    retryTimer.start(ConnectRetryIntervalMs);
}

void WebSocketClient::giveUp()
{
    if (!connectionWanted || connected)
        return;
    stopConnecting();
    qDebug().noquote() << QStringLiteral("Gave up connecting to \"%1\" after %2 ms (%3 tries)")
                              .arg(url.toString())
                              .arg(ConnectRetryLimitMs)
                              .arg(tries);
    emit abandoned(QStringLiteral("the tool accepted no connection"));
}

void WebSocketClient::sendTextMsg(const QString &message, const QString &origin)
{
    if (connected) {
        const LogFile::FileText inTheFile(pageMessageSummary(message, origin));
        qDebug() << message;
        unwritten += socket->sendTextMessage(message);
    } else {
        qDebug() << SourcePath << __LINE__ << "Failed to"
                 << "WebSocketClient::sendTextMsg"
                 << ", it's not running...";
    }
}

void WebSocketClient::slotConnected()
{
    // Checked again on the connection itself, before its first frame: someone may have taken the port
    // between the look and the connect.
    const Platform::SocketOwner owner = Platform::peerSocketOwner(
        socket->localAddress(), socket->localPort(), socket->peerAddress(), socket->peerPort());
    if (owner.kind != Platform::SocketOwner::Kind::ThisUser)
        return refuseListener(owner.description);
    qDebug() << "websocket connect successful";
    connected = true;
    connectionWanted = false;
    retryTimer.stop();
    connectDeadline.stop();
    sendTextMsg(pendingMessage, pendingOrigin);
    pendingMessage.clear();
    pendingOrigin.clear();
    if (!receiversConnected) {
        receiversConnected = true;
        connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::slotRecvTextMsg);
        connect(socket, &QWebSocket::binaryMessageReceived, this, &WebSocketClient::slotRecvBinaryMsg);
    }
    emit opened();
}

void WebSocketClient::slotDisconnected()
{
    // A try that failed while the tool is awaited ends here too: only the first one says so, and a try
    // cut short by giving up says nothing (the give-up line does).
    if (connected || (connectionWanted && tries == 1))
        qDebug() << SourcePath << __LINE__ << "websocket disconnected";
    const bool wasOpen = connected;
    connected = false;
    unwritten = 0;
    retryConnection();
    if (wasOpen)
        emit closed();
}

void WebSocketClient::slotRecvTextMsg(QString message)
{
    emit signalRecvTextMsg(message);
}

void WebSocketClient::slotRecvBinaryMsg(QByteArray data)
{
    qDebug() << "slotRecvBinaryMsg: " << data;
}

void WebSocketClient::slotError(QAbstractSocket::SocketError error)
{
    // While a just-started tool is not listening yet, each try fails: the first failure says the client
    // waits, the give-up line counts the tries.
    if (connected || (connectionWanted && tries == 1))
        qDebug() << SourcePath << __LINE__ << static_cast<int>(error) << socket->errorString();
    retryConnection();
}
