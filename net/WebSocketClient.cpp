#include "WebSocketClient.h"

#include <QDebug>
#include <QNetworkProxy>
#include <QWebSocket>

namespace {

// The prefix of the client's positional log lines.
const char SourcePath[] = "VantrelDetectInstallTool/WebSocketClient";

} // namespace

WebSocketClient::WebSocketClient(QObject *parent)
    : QObject(parent)
    , socket(new QWebSocket(QString(), QWebSocketProtocol::Version13))
{
    connect(socket, &QWebSocket::connected, this, &WebSocketClient::slotConnected);
    connect(socket, &QWebSocket::disconnected, this, &WebSocketClient::slotDisconnected);
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
        &WebSocketClient::slotError);
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &WebSocketClient::openSocket);
}

WebSocketClient::~WebSocketClient()
{
    socket->deleteLater();
}

void WebSocketClient::connectTo(const QString &url, const QString &message)
{
    pendingMessage = message;
    this->url = QUrl(url);
    socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy, QString(), 0, QString(), QString()));
    connectionWanted = true;
    connectingSince.start();
    retryTimer.stop();
    openSocket();
}

void WebSocketClient::openSocket()
{
    socket->open(url);
}

void WebSocketClient::retryConnection()
{
    if (!connectionWanted || connected || retryTimer.isActive())
        return;
    if (connectingSince.elapsed() + ConnectRetryIntervalMs > ConnectRetryLimitMs) {
        connectionWanted = false;
        qDebug() << "Gave up connecting to" << url.toString() << "after" << ConnectRetryLimitMs << "ms";
        return;
    }
    retryTimer.start(ConnectRetryIntervalMs);
}

void WebSocketClient::sendTextMsg(const QString &message)
{
    if (connected) {
        qDebug() << message;
        socket->sendTextMessage(message);
    } else {
        qDebug() << SourcePath << __LINE__ << "Failed to"
                 << "WebSocketClient::sendTextMsg"
                 << ", it's not running...";
    }
}

void WebSocketClient::slotConnected()
{
    qDebug() << "websocket connect successful";
    connected = true;
    connectionWanted = false;
    retryTimer.stop();
    sendTextMsg(pendingMessage);
    if (!receiversConnected) {
        receiversConnected = true;
        connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::slotRecvTextMsg);
        connect(socket, &QWebSocket::binaryMessageReceived, this, &WebSocketClient::slotRecvBinaryMsg);
    }
}

void WebSocketClient::slotDisconnected()
{
    qDebug() << SourcePath << __LINE__ << "websocket disconnected";
    connected = false;
    retryConnection();
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
    qDebug() << SourcePath << __LINE__ << static_cast<int>(error) << socket->errorString();
    retryConnection();
}
