#include "WebSocketServer.h"

#include "BoundedReader.h"
#include "CommandMessage.h"
#include "DeploymentSettings.h"
#include "LogFile.h"
#include "Platform.h"

#include <QDebug>
#include <QFile>
#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {
const char SecureListeningLog[] = "WebSocket Secure (wss) server listening on port 51869";

// Makes server listen on an open socket. Qt 5 names this setNativeDescriptor (its setSocketDescriptor
// takes an int); Qt 6 names it setSocketDescriptor again.
bool adoptSocket(QWebSocketServer *server, qintptr descriptor)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return server->setSocketDescriptor(descriptor);
#else
    return server->setNativeDescriptor(descriptor);
#endif
}
}

WebSocketServer::WebSocketServer(QObject *parent)
    : QObject(parent)
    , server(new QWebSocketServer(QStringLiteral("Server"), QWebSocketServer::NonSecureMode, this))
    , wsServer(new QWebSocketServer(QStringLiteral("WS Server"), QWebSocketServer::NonSecureMode, this))
{
    startListening(server, ServerPort, "WebSocket (ws) server listening on port 12345",
        &WebSocketServer::onNewConnection);
    startListening(wsServer, WsServerPort, "WebSocket (ws) server listening on port 51868",
        &WebSocketServer::onNewConnectionWS);
    releaseTimer.setSingleShot(true);
    releaseTimer.setInterval(MemoryReleaseDelayMs);
    connect(&releaseTimer, &QTimer::timeout, this, []() { Platform::releaseFreedMemory(); });
    listenSecurely();
    // Support sees the deployment's choice in the log.
    if (DeploymentSettings::allowedOrigins().isEmpty())
        qDebug().noquote()
            << "The command listeners serve pages of any origin: VANTREL_ALLOWED_ORIGINS is empty";
}

WebSocketServer::~WebSocketServer()
{
    server->close();
    wsServer->close();
    if (wssServer)
        wssServer->close();
    for (QList<QWebSocket *> *list : { &clients, &wsClients, &wssClients }) {
        const QList<QWebSocket *> sockets = *list;
        list->clear();
        qDeleteAll(sockets);
    }
}

void WebSocketServer::startListening(
    QWebSocketServer *listener, quint16 port, const char *listeningLog, void (WebSocketServer::*acceptSlot)())
{
    if (!listener->listen(QHostAddress::LocalHost, port)) {
        retryListening(port, listener->errorString(),
            [=]() { startListening(listener, port, listeningLog, acceptSlot); });
        return;
    }
    qDebug() << listeningLog;
    serveConnections(listener, acceptSlot);
}

void WebSocketServer::retryListening(quint16 port, const QString &error, const std::function<void()> &again)
{
    if (!portsTriedAgain.contains(port)) {
        portsTriedAgain.insert(port);
        qDebug().noquote() << QStringLiteral("Could not listen on port %1: %2; trying again every %3 s")
                                  .arg(port)
                                  .arg(error)
                                  .arg(ListenRetryMs / 1000);
    }
    QTimer::singleShot(ListenRetryMs, this, again);
}

void WebSocketServer::serveConnections(QWebSocketServer *listener, void (WebSocketServer::*acceptSlot)())
{
    connect(listener, &QWebSocketServer::newConnection, this, acceptSlot);
}

void WebSocketServer::listenSecurely()
{
    if (!Platform::canDuplicateSockets()) {
        createSecureServer();
        startListening(wssServer, WssServerPort, SecureListeningLog, &WebSocketServer::onNewConnectionWSS);
        return;
    }
    if (!securePort)
        securePort = new QTcpServer(this);
    if (!securePort->listen(QHostAddress::LocalHost, WssServerPort)) {
        retryListening(WssServerPort, securePort->errorString(), [this]() { listenSecurely(); });
        return;
    }
    qDebug() << SecureListeningLog;
    // The kernel queues the connections; the first one wakes takeOverSecurePort.
    securePort->pauseAccepting();
    secureKnock = new QSocketNotifier(securePort->socketDescriptor(), QSocketNotifier::Read, this);
    connect(secureKnock, &QSocketNotifier::activated, this, &WebSocketServer::takeOverSecurePort);
}

void WebSocketServer::createSecureServer()
{
    wssServer = new QWebSocketServer(QStringLiteral("WSS Server"), QWebSocketServer::SecureMode, this);
    setupSsl(wssServer);
}

void WebSocketServer::takeOverSecurePort()
{
    secureKnock->setEnabled(false);
    secureKnock->deleteLater();
    secureKnock = nullptr;
    createSecureServer();
    serveConnections(wssServer, &WebSocketServer::onNewConnectionWSS);
    // The secure server listens on a duplicate of the port's socket, so the queued connections are
    // kept; the placeholder's own descriptor is closed after.
    const qintptr descriptor = Platform::duplicateSocket(securePort->socketDescriptor());
    if (descriptor < 0 || !adoptSocket(wssServer, descriptor)) {
        qWarning() << "The wss port could not be handed to the secure server:" << wssServer->errorString();
        Platform::closeSocket(descriptor);
    }
    securePort->close();
    securePort->deleteLater();
    securePort = nullptr;
}

bool WebSocketServer::setupSsl(QWebSocketServer *listener)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QFile certificateFile(QStringLiteral(":/Orlendi.pem"));
    QFile keyFile(QStringLiteral(":/Orlendi.key"));
    const bool certificateOpened = certificateFile.open(QIODevice::ReadOnly);
    const bool keyOpened = keyFile.open(QIODevice::ReadOnly);
    if (!certificateOpened || !keyOpened) {
        qWarning() << "Failed to load SSL certificates!";
        qDebug() << "Cert error:" << certificateFile.errorString();
        qDebug() << "Key error:" << keyFile.errorString();
        return false;
    }
    const QByteArray certificateData = certificateFile.readAll();
    const QByteArray keyData = keyFile.readAll();
    certificateFile.close();
    keyFile.close();

    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateData, QSsl::Pem);
    const QSslKey key(keyData, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
    if (chain.isEmpty() || chain.first().isNull())
        qWarning() << "Failed to load certificate. Check PEM format.";
    if (key.isNull())
        qWarning() << "Failed to load private key. Check format and password.";
    if (chain.isEmpty() || chain.first().isNull() || key.isNull())
        return false;

    // The server certificate first, then the intermediates that browsers may not have.
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    listener->setSslConfiguration(configuration);
    qDebug() << "SSL configuration applied successfully.";
    return true;
}

void WebSocketServer::accept(QWebSocketServer *listener, QList<QWebSocket *> &list,
    void (WebSocketServer::*closeSlot)(), const char *acceptLog)
{
    QWebSocket *socket = listener->nextPendingConnection();
    if (!socket)
        return;
    if (!originAllowed(socket->origin(), DeploymentSettings::allowedOrigins())) {
        refuse(socket);
        return;
    }
    BoundedReader::attach(listener, socket);
    connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketServer::processMessage);
    connect(socket, &QWebSocket::disconnected, this, closeSlot);
    list.append(socket);
    qDebug() << acceptLog;
}

void WebSocketServer::release(QList<QWebSocket *> &list, const char *closeLog)
{
    auto *socket = qobject_cast<QWebSocket *>(sender());
    if (!socket)
        return;
    list.removeAll(socket);
    socket->deleteLater();
    qDebug() << closeLog;
    if (socket->closeCode() != QWebSocketProtocol::CloseCodeNormal) {
        // A page that closes gives the reason, text of its own like its messages: the file gets its length.
        const QString reason = socket->closeReason();
        const LogFile::FileText inTheFile(QStringLiteral("Close code %1, a reason of %2 characters")
                                              .arg(static_cast<int>(socket->closeCode()))
                                              .arg(reason.size()));
        qDebug() << "Close code" << static_cast<int>(socket->closeCode()) << reason;
    }
    // After a burst of connections, give the freed memory back once the sockets are gone.
    if (connectionCount() == 0)
        releaseTimer.start();
}

bool originAllowed(const QString &origin, const QStringList &allowList)
{
    return allowList.isEmpty() || (!origin.isEmpty() && allowList.contains(origin));
}

void WebSocketServer::refuse(QWebSocket *socket)
{
    const QString origin = socket->origin();
    qDebug() << "Refused a connection from origin" << (origin.isEmpty() ? QStringLiteral("(none)") : origin);
    // Not in any list and never read; it goes when the page has seen the close, or after a bound.
    socket->setParent(this);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(RefusedCloseGraceMs, socket, &QWebSocket::abort);
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("origin not allowed"));
}

void WebSocketServer::onNewConnection()
{
    accept(server, clients, &WebSocketServer::socketDisconnected, "New connection established");
}

void WebSocketServer::onNewConnectionWS()
{
    accept(wsServer, wsClients, &WebSocketServer::socketDisconnectedWS, "New WS connection established");
}

void WebSocketServer::onNewConnectionWSS()
{
    accept(wssServer, wssClients, &WebSocketServer::socketDisconnectedWSS, "New WSS connection established");
}

void WebSocketServer::socketDisconnected()
{
    release(clients, "Connection closed");
}

void WebSocketServer::socketDisconnectedWS()
{
    release(wsClients, "WS connection closed");
}

void WebSocketServer::socketDisconnectedWSS()
{
    release(wssClients, "WSS connection closed");
}

void WebSocketServer::processMessage(QString message)
{
    const auto *page = qobject_cast<QWebSocket *>(sender());
    const QString origin = page ? page->origin() : QString();
    emit messageReceived(message);

    const CommandMessage command = parseCommandMessage(message);
    if (!command.isObject)
        qDebug() << "Failed to parse JSON.";
    if (!command.hasScene) {
        qDebug() << "VantrelUseScene not found in JSON.";
        return;
    }
    if (!command.sceneIsString)
        return;
    if (command.isClose())
        emit closeRequested(command.scene, message, origin);
    else
        emit startRequested(command.scene, command.operation, message, origin);
}
