#pragma once

// The local command server for the portal's pages: three WebSocket listeners (ws on 12345 and 51868,
// wss on 51869) whose every text message is one command, "startTool" or "closeTool", for the tool of
// the message's scene. Nothing is ever sent back. It says what a page asked, by signals, and knows
// nothing of who listens: the program's top wires them to the tool roads and the windows.
//
// Decisions of ours:
// - The listeners bind to the loopback interface only; the calling pages run on this machine.
// - The secure listener presents the whole chain of its PEM file, so browsers that lack our
//   intermediate still accept the handshake.
// - The secure port listens from the start, but OpenSSL is loaded and the TLS configuration built
//   (and "SSL configuration applied successfully." logged) only when the first connection arrives
//   on it: TLS costs about 5 MB of resident memory, and many portals never use wss. The secure
//   server then takes over the listening socket with the queued connections. Where sockets cannot be
//   duplicated (Windows) TLS is set up at start.
// - Incoming messages are capped at MaxIncomingMessageBytes; a larger one closes the connection with
//   the WebSocket "message too big" code. How a connection's reads stay bounded: see BoundedReader.
// - A port that cannot be listened on is logged once and tried again every ListenRetryMs, for as long
//   as the program runs: the other listeners serve meanwhile, and the port is served once it is free.
// - An optional allow-list of page origins (DeploymentSettings::allowedOrigins, empty by default)
//   refuses connections from other origins, or with none, and logs them. Without one, a line at start
//   says that pages of any origin are served, naming VANTREL_ALLOWED_ORIGINS. A command's origin goes
//   with it to its tool's road, for the log file's summary of the message. A refused page's connection
//   is accepted and closed at once with the code 1008 ("policy violation") and the reason "origin not
//   allowed", and nothing it sends is read: a browser page cannot tell a handshake refused with 403 from
//   a port where nothing listens, and the portal kit must say "not allowed" rather than "not installed".
#include "BoundedReader.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <functional>

class QSocketNotifier;
class QTcpServer;
class QWebSocket;
class QWebSocketServer;

constexpr quint16 ServerPort = 12345;
constexpr quint16 WsServerPort = 51868;
constexpr quint16 WssServerPort = 51869;
// Quiet time after the last connection closed before freed memory is handed back to the system.
constexpr int MemoryReleaseDelayMs = 2000;
// How often a port that could not be listened on (taken by another program, or by an outgoing
// connection the system gave it to) is tried again.
constexpr int ListenRetryMs = 2000;
// How long a refused page has to answer the close before its connection is cut.
constexpr int RefusedCloseGraceMs = 3000;

// Whether a page of origin may use the listeners: any page when the allow-list is empty, otherwise
// only the origins listed (a handshake without an origin is not a listed page).
bool originAllowed(const QString &origin, const QStringList &allowList);

class WebSocketServer : public QObject
{
    Q_OBJECT

public:
    explicit WebSocketServer(QObject *parent = nullptr);
    ~WebSocketServer() override;

    bool setupSsl(QWebSocketServer *listener);

    // Open connections per listener, for diagnostics and tests.
    int connectionCount() const { return clients.size() + wsClients.size() + wssClients.size(); }

public slots:
    void onNewConnection();
    void onNewConnectionWS();
    void onNewConnectionWSS();
    void socketDisconnected();
    void socketDisconnectedWS();
    void socketDisconnectedWSS();
    void processMessage(QString message);

signals:
    // Every text message, as the page sent it; then, for a message that names its scene as a string,
    // one of the two commands. origin: the page's, where known.
    void messageReceived(const QString &text);
    void startRequested(
        const QString &scene, const QString &operation, const QString &text, const QString &origin);
    void closeRequested(const QString &scene, const QString &text, const QString &origin);

private:
    void refuse(QWebSocket *socket);
    void startListening(QWebSocketServer *listener, quint16 port, const char *listeningLog,
        void (WebSocketServer::*acceptSlot)());
    void serveConnections(QWebSocketServer *listener, void (WebSocketServer::*acceptSlot)());
    void accept(QWebSocketServer *listener, QList<QWebSocket *> &list, void (WebSocketServer::*closeSlot)(),
        const char *acceptLog);
    void release(QList<QWebSocket *> &list, const char *closeLog);
    void listenSecurely();
    void retryListening(quint16 port, const QString &error, const std::function<void()> &again);
    void createSecureServer();
    void takeOverSecurePort();

    QWebSocketServer *server;
    QWebSocketServer *wsServer;
    QWebSocketServer *wssServer = nullptr;
    // Until the first secure connection: the listening port and the notifier that sees it arrive.
    QTcpServer *securePort = nullptr;
    QSocketNotifier *secureKnock = nullptr;
    QList<QWebSocket *> clients;
    QList<QWebSocket *> wsClients;
    QList<QWebSocket *> wssClients;
    QTimer releaseTimer;
    QSet<quint16> portsTriedAgain;
};
