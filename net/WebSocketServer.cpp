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
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {
// Whether [::1] can be listened on at all; a port of its own tells, as no server says why it failed.
bool hasIpv6Loopback()
{
    static const bool available = QTcpServer().listen(QHostAddress::LocalHostIPv6, 0);
    return available;
}

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

// One command port on one loopback address.
struct WebSocketServer::Listener
{
    quint16 port = 0;
    QHostAddress address;
    const char *listeningLog = nullptr;
    const char *acceptLog = nullptr;
    const char *closeLog = nullptr;
    QWebSocketServer *server = nullptr;
    // Until the first secure connection: the listening port and the notifier that sees it arrive.
    QTcpServer *securePort = nullptr;
    QSocketNotifier *secureKnock = nullptr;
    QList<QWebSocket *> clients;
    bool triedAgain = false;

    bool secure() const { return port == WssServerPort; }
    bool ipv6() const { return address.protocol() == QAbstractSocket::IPv6Protocol; }
    QString where() const { return ipv6() ? QStringLiteral("[::1]:%1").arg(port) : QString::number(port); }
};

WebSocketServer::WebSocketServer(QObject *parent)
    : QObject(parent)
{
    struct PortLogs
    {
        quint16 port;
        const char *listening, *accepted, *closed;
    };
    const PortLogs ports[] = {
        { ServerPort, "WebSocket (ws) server listening on port 12345", "New connection established",
            "Connection closed" },
        { WsServerPort, "WebSocket (ws) server listening on port 51868", "New WS connection established",
            "WS connection closed" },
        { WssServerPort, SecureListeningLog, "New WSS connection established", "WSS connection closed" },
    };
    releaseTimer.setSingleShot(true);
    releaseTimer.setInterval(MemoryReleaseDelayMs);
    connect(&releaseTimer, &QTimer::timeout, this, []() { Platform::releaseFreedMemory(); });
    // [::1] first, so that the line support knows ends each port's start.
    for (const PortLogs &logs : ports)
        for (const QHostAddress &address :
            { QHostAddress(QHostAddress::LocalHostIPv6), QHostAddress(QHostAddress::LocalHost) }) {
            listeners.push_back(std::make_unique<Listener>());
            Listener *listener = listeners.back().get();
            listener->port = logs.port;
            listener->address = address;
            listener->listeningLog = logs.listening;
            listener->acceptLog = logs.accepted;
            listener->closeLog = logs.closed;
            if (listener->secure())
                listenSecurely(listener);
            else
                startListening(listener);
        }
    // Support sees the deployment's choice in the log.
    const DeploymentSettings::OriginAllowList allowList = DeploymentSettings::allowedOrigins();
    if (allowList.anyOrigin)
        qDebug().noquote()
            << "The command listeners serve pages of any origin: VANTREL_ALLOWED_ORIGINS is empty";
    else if (allowList.origins.isEmpty())
        qDebug().noquote() << "The command listeners serve no page: the allow-list set holds no valid origin";
}

WebSocketServer::~WebSocketServer()
{
    for (const quint64 ticket : receipts.keys())
        settle(ticket, CommandOutcome::Refused, QStringLiteral("the program is quitting"));
    for (const auto &listener : listeners) {
        // A write that fails here closes its socket at once: the lists must not change meanwhile.
        for (QWebSocket *socket : listener->clients) {
            socket->disconnect(this);
            socket->flush();
        }
        if (listener->server)
            listener->server->close();
        const QList<QWebSocket *> sockets = listener->clients;
        listener->clients.clear();
        qDeleteAll(sockets);
    }
}

int WebSocketServer::connectionCount() const
{
    int count = 0;
    for (const auto &listener : listeners)
        count += listener->clients.size();
    return count;
}

void WebSocketServer::startListening(Listener *listener)
{
    if (!listener->server) {
        listener->server = new QWebSocketServer(QStringLiteral("Server"),
            listener->secure() ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
        if (listener->secure())
            setupSsl(listener->server);
        serve(listener);
    }
    if (!listener->server->listen(listener->address, listener->port)) {
        if (listenFailed(listener, listener->server->errorString()))
            QTimer::singleShot(ListenRetryMs, this, [=]() { startListening(listener); });
        return;
    }
    qDebug().noquote() << listener->listeningLog
            + (listener->ipv6() ? QStringLiteral(" at [::1]") : QString());
}

// Says why the listener could not listen; false when trying again would not help (no IPv6 here).
bool WebSocketServer::listenFailed(Listener *listener, const QString &error)
{
    if (listener->ipv6() && !hasIpv6Loopback()) {
        qDebug().noquote() << QStringLiteral("No IPv6 loopback here (%1): port %2 listens on 127.0.0.1 only")
                                  .arg(error)
                                  .arg(listener->port);
        return false;
    }
    if (!listener->triedAgain) {
        listener->triedAgain = true;
        qDebug().noquote() << QStringLiteral("Could not listen on port %1: %2; trying again every %3 s")
                                  .arg(listener->where(), error)
                                  .arg(ListenRetryMs / 1000);
        const Platform::SocketOwner holder = Platform::listenerOwner(listener->address, listener->port);
        if (holder.kind == Platform::SocketOwner::Kind::OtherUser && !toldOfOtherUser) {
            toldOfOtherUser = true;
            qDebug().noquote() << QStringLiteral("Port %1 is held by another user (%2): pages cannot reach "
                                                 "this program there while they hold it")
                                      .arg(listener->where(), holder.description);
            // Queued: the first failure comes while the server is being built, before anyone listens.
            const quint16 port = listener->port;
            QMetaObject::invokeMethod(
                this, [=]() { emit portHeldByOtherUser(port, holder.description); }, Qt::QueuedConnection);
        }
    }
    return true;
}

void WebSocketServer::serve(Listener *listener)
{
    QWebSocketServer *server = listener->server;
    connect(server, &QWebSocketServer::newConnection, this, [=]() { accept(listener); });
    // A failed accept (out of descriptors) pauses the listener for good: resume it once the flood is over.
    connect(server, &QWebSocketServer::acceptError, this, [=](QAbstractSocket::SocketError error) {
        qDebug().noquote() << QStringLiteral(
            "Could not accept a connection on port %1 (error %2); accepting again in %3 s")
                                  .arg(listener->where())
                                  .arg(int(error))
                                  .arg(ListenRetryMs / 1000);
        QTimer::singleShot(ListenRetryMs, server, [server]() { server->resumeAccepting(); });
    });
}

void WebSocketServer::listenSecurely(Listener *listener)
{
    if (!Platform::canDuplicateSockets())
        return startListening(listener);
    if (!listener->securePort)
        listener->securePort = new QTcpServer(this);
    if (!listener->securePort->listen(listener->address, listener->port)) {
        if (listenFailed(listener, listener->securePort->errorString()))
            QTimer::singleShot(ListenRetryMs, this, [=]() { listenSecurely(listener); });
        return;
    }
    qDebug().noquote() << listener->listeningLog
            + (listener->ipv6() ? QStringLiteral(" at [::1]") : QString());
    // The kernel queues the connections; the first one wakes takeOverSecurePort.
    listener->securePort->pauseAccepting();
    listener->secureKnock
        = new QSocketNotifier(listener->securePort->socketDescriptor(), QSocketNotifier::Read, this);
    connect(
        listener->secureKnock, &QSocketNotifier::activated, this, [=]() { takeOverSecurePort(listener); });
}

void WebSocketServer::takeOverSecurePort(Listener *listener)
{
    listener->secureKnock->setEnabled(false);
    auto *secure = new QWebSocketServer(QStringLiteral("WSS Server"), QWebSocketServer::SecureMode, this);
    // The secure server listens on a duplicate of the port's socket, so the queued connections are
    // kept; the placeholder's own descriptor is closed after.
    const qintptr descriptor
        = setupSsl(secure) ? Platform::duplicateSocket(listener->securePort->socketDescriptor()) : -1;
    if (descriptor < 0 || !adoptSocket(secure, descriptor)) {
        // Out of descriptors, say, under a flood of connections: the port stays held and is tried again,
        // never left for someone else to take.
        qWarning() << "The wss port could not be handed to the secure server:" << secure->errorString();
        Platform::closeSocket(descriptor);
        delete secure;
        QTimer::singleShot(
            ListenRetryMs, listener->secureKnock, [=]() { listener->secureKnock->setEnabled(true); });
        return;
    }
    listener->secureKnock->deleteLater();
    listener->secureKnock = nullptr;
    listener->server = secure;
    serve(listener);
    listener->securePort->close();
    listener->securePort->deleteLater();
    listener->securePort = nullptr;
}

bool WebSocketServer::setupSsl(QWebSocketServer *listener)
{
    // Both loopback addresses share one configuration, built once.
    static QSslConfiguration built;
    if (!built.localCertificateChain().isEmpty()) {
        listener->setSslConfiguration(built);
        return true;
    }
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
    built = configuration;
    qDebug() << "SSL configuration applied successfully.";
    return true;
}

void WebSocketServer::accept(Listener *listener)
{
    QWebSocket *socket = listener->server->nextPendingConnection();
    if (!socket)
        return;
    if (!admitsOwnerOf(socket))
        return;
    if (!DeploymentSettings::originAllowed(socket->origin(), DeploymentSettings::allowedOrigins())) {
        const QString origin = socket->origin();
        qDebug() << "Refused a connection from origin"
                 << (origin.isEmpty() ? QStringLiteral("(none)") : origin);
        refuse(socket, QStringLiteral("origin not allowed"));
        return;
    }
    BoundedReader::attach(listener->server, socket);
    connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketServer::processMessage);
    connect(socket, &QWebSocket::disconnected, this, [=]() { release(listener, socket); });
    listener->clients.append(socket);
    qDebug() << listener->acceptLog;
}

bool WebSocketServer::admitsOwnerOf(QWebSocket *socket)
{
    const Platform::SocketOwner owner = Platform::peerSocketOwner(
        socket->localAddress(), socket->localPort(), socket->peerAddress(), socket->peerPort());
    if (owner.kind == Platform::SocketOwner::Kind::ThisUser)
        return true;
    if (owner.kind == Platform::SocketOwner::Kind::OtherUser) {
        qDebug().noquote() << "Refused a connection of another user:" << owner.description;
        refuse(socket, QStringLiteral("client of another user"));
    } else {
        qDebug().noquote() << "Refused a connection whose owner the system does not tell:"
                           << owner.description;
        refuse(socket, QStringLiteral("client owner unknown"));
    }
    return false;
}

void WebSocketServer::release(Listener *listener, QWebSocket *socket)
{
    if (!listener->clients.removeAll(socket))
        return;
    socket->deleteLater();
    qDebug() << listener->closeLog;
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

void WebSocketServer::refuse(QWebSocket *socket, const QString &reason)
{
    // Not in any list and never read; it goes when the page has seen the close, or after a bound.
    socket->setParent(this);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(RefusedCloseGraceMs, socket, &QWebSocket::abort);
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
}

void WebSocketServer::processMessage(QString message)
{
    auto *page = qobject_cast<QWebSocket *>(sender());
    const QString origin = page ? page->origin() : QString();
    emit messageReceived(message);

    const CommandMessage command = parseCommandMessage(message);
    if (command.isStatusQuery())
        return queryStatus(page, command.requestId);
    if (!command.isObject)
        qDebug() << "Failed to parse JSON.";
    if (!command.hasScene) {
        qDebug() << "VantrelUseScene not found in JSON.";
        return;
    }
    if (!command.sceneIsString)
        return;
    const quint64 ticket = holdReceipt(page, command.requestId);
    if (command.isClose())
        emit closeRequested(command.scene, message, origin, ticket);
    else
        emit startRequested(command.scene, command.operation, message, origin, ticket);
}

quint64 WebSocketServer::holdReceipt(QWebSocket *page, const QString &requestId)
{
    if (!page || requestId.isEmpty())
        return 0;
    receipts.insert(++lastTicket, { page, requestId });
    return lastTicket;
}

void WebSocketServer::queryStatus(QWebSocket *page, const QString &requestId)
{
    const quint64 ticket = holdReceipt(page, requestId);
    if (DeploymentSettings::allowedOrigins().anyOrigin)
        settle(ticket, CommandOutcome::Refused,
            QStringLiteral("the status is told only to pages of an origin allow-list, and none is set"));
    else
        emit statusRequested(ticket);
}

void WebSocketServer::settle(quint64 ticket, CommandOutcome outcome, const QString &detail)
{
    reply(ticket, outcome, detail, QJsonObject());
}

void WebSocketServer::answerStatus(quint64 ticket, const QJsonObject &status)
{
    reply(
        ticket, CommandOutcome::Status, QStringLiteral("the program's version and its tools' state"), status);
}

void WebSocketServer::reply(
    quint64 ticket, CommandOutcome outcome, const QString &detail, const QJsonObject &extra)
{
    const auto pending = receipts.constFind(ticket);
    if (pending == receipts.constEnd())
        return;
    const PendingReceipt receipt = *pending;
    receipts.erase(pending);
    const bool open = receipt.page && receipt.page->state() == QAbstractSocket::ConnectedState;
    // Refused commands are counted by their road, not a line each: a page can send thousands.
    if (outcome != CommandOutcome::QueueFull)
        qDebug().noquote() << QStringLiteral("Receipt %1: %2").arg(outcomeName(outcome), detail)
                + (open ? QString() : QStringLiteral("; not sent, the page's connection has closed"));
    if (open)
        receipt.page->sendTextMessage(receiptText(receipt.requestId, outcome, detail, extra));
}
