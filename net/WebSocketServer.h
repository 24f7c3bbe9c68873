#pragma once

// The local command server for the portal's pages: three WebSocket listeners (ws on 12345 and 51868,
// wss on 51869) whose every text message is one command, "startTool" or "closeTool", for the tool of
// the message's scene. Nothing is sent back but the receipts pages ask for. It says what a page asked,
// by signals, and knows nothing of who listens: the program's top wires them to the tool roads, the
// windows, and the roads' outcomes back to the receipts.
//
// Decisions of ours:
// - Each port listens on both loopback addresses, 127.0.0.1 and [::1], and nowhere else: browsers try
//   [::1] first for "localhost", and a free [::1] port would let another user of the machine receive a
//   page's commands. A system without IPv6 serves on 127.0.0.1 alone and says so once; a loopback
//   address someone else holds is tried again like a taken port.
// - Only this user's own clients are served: a connection whose client socket belongs to another user
//   (on Windows: another session), or whose owner the system cannot tell, is closed at once with 1008
//   and the reason "client of another user" (or "client owner unknown"), logged with who it was, and
//   nothing it sends is read. Pages of other users' sessions would otherwise start this user's tools and
//   hand them their documents. The check asks the system once per connection (Platform::peerSocketOwner).
// - When another user holds a command port, the program says so once (portHeldByOtherUser) and keeps
//   trying: on a terminal server the first user's copy holds the ports for the whole machine.
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
// - An optional allow-list of page origins (DeploymentSettings::allowedOrigins, none by default)
//   refuses connections from other origins, or with none, and logs them. Without one, a line at start
//   says that pages of any origin are served, naming VANTREL_ALLOWED_ORIGINS; a set list without a
//   valid origin serves no page, which a line says too. A command's origin goes
//   with it to its tool's road, for the log file's summary of the message. A refused page's connection
//   is accepted and closed at once with the code 1008 ("policy violation") and the reason "origin not
//   allowed", and nothing it sends is read: a browser page cannot tell a handshake refused with 403 from
//   a port where nothing listens, and the portal kit must say "not allowed" rather than "not installed".
// - A command with a request id gets a ticket that travels with it (0: no receipt); the server keeps the
//   ticket's connection and id until the outcome is said, and only that: the roads hold at most their
//   bounds of waiting commands, and any other outcome is said at once, so the pending receipts stay
//   within those bounds however many connections a page opens. A connection that closed before its
//   outcome gets nothing; the outcome is logged. Replies count towards a connection's unread replies
//   (BoundedReader). Receipts still pending when the program quits are answered "refused".
// - A status query is answered only where an allow-list of origins is set (the page got past it):
//   otherwise any web page could learn which tools the machine has.
#include "BoundedReader.h"
#include "CommandMessage.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

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

class WebSocketServer : public QObject
{
    Q_OBJECT

public:
    explicit WebSocketServer(QObject *parent = nullptr);
    ~WebSocketServer() override;

    bool setupSsl(QWebSocketServer *listener);

    // Open connections of all listeners, for diagnostics and tests.
    int connectionCount() const;

    // Receipts still to be said, for tests and diagnostics.
    int pendingReceiptCount() const { return receipts.size(); }

public slots:
    void processMessage(QString message);
    // Says the outcome of the command that carried ticket on its page's connection (once; 0: nobody asked).
    void settle(quint64 ticket, CommandOutcome outcome, const QString &detail);
    // status: the program's version and its tools' state, for the status query of ticket.
    void answerStatus(quint64 ticket, const QJsonObject &status);

signals:
    // Every text message, as the page sent it; then, for a message that names its scene as a string,
    // one of the two commands. origin: the page's, where known; ticket: non-zero when the page asked for
    // a receipt, to be settled.
    void messageReceived(const QString &text);
    void startRequested(const QString &scene, const QString &operation, const QString &text,
        const QString &origin, quint64 ticket);
    void closeRequested(const QString &scene, const QString &text, const QString &origin, quint64 ticket);
    // A status query that may be answered (answerStatus).
    void statusRequested(quint64 ticket);
    // Another user holds a command port, so pages that reach that port reach them, not this program.
    // Said once per run; the port is still tried again.
    void portHeldByOtherUser(quint16 port, const QString &owner);

private:
    struct Listener;

    void startListening(Listener *listener);
    bool listenFailed(Listener *listener, const QString &error);
    void listenSecurely(Listener *listener);
    void takeOverSecurePort(Listener *listener);
    void serve(Listener *listener);
    void accept(Listener *listener);
    void release(Listener *listener, QWebSocket *socket);
    bool admitsOwnerOf(QWebSocket *socket);
    void refuse(QWebSocket *socket, const QString &reason);
    quint64 holdReceipt(QWebSocket *page, const QString &requestId);
    void reply(quint64 ticket, CommandOutcome outcome, const QString &detail, const QJsonObject &extra);
    void queryStatus(QWebSocket *page, const QString &requestId);

    struct PendingReceipt
    {
        QPointer<QWebSocket> page;
        QString requestId;
    };

    std::vector<std::unique_ptr<Listener>> listeners;
    QTimer releaseTimer;
    bool toldOfOtherUser = false;
    QHash<quint64, PendingReceipt> receipts;
    quint64 lastTicket = 0;
};
