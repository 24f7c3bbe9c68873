#pragma once

// A connection to one managed tool's local WebSocket (each tool has its own, see ToolDelivery).
// connectTo() opens the connection and sends the given message first once it is open; later commands
// travel over the same connection.
//
// Decisions of ours:
// - A tool whose process has just started is rarely listening yet, so while a connection is wanted the
//   client retries every ConnectRetryIntervalMs for up to ConnectRetryLimitMs, then gives up with a log
//   line and abandoned(); the same bound ends a handshake that is never answered (a port whose
//   listener accepts and says nothing). The frames a tool receives are unchanged by the retries. The log
//   has the first failure's line and the give-up line with the count of tries, not a line per try.
// - Each message sent is logged whole on the debug output; the log file keeps only its summary
//   (pageMessageSummary), as it may carry tokens and document data.
// - The message given to connectTo() is sent once: a connection that drops later is not reopened, and
//   the message is not sent again.
// - The host "localhost" of the tools' addresses is reached as 127.0.0.1, never as whatever the
//   resolver lists first: on a shared machine another user may listen on [::1] at the tool's port, and
//   would receive the page's message (tokens included) while the tool, on 127.0.0.1, got nothing. There
//   is no fall-back to [::1] when 127.0.0.1 refuses: just after a launch the tool is often not listening
//   yet, and the first refusal would hand the message to that listener.
// - Only a listener of this user receives anything: before each attempt the owner of the listening
//   socket is looked up, and once the connection is open the owner of its far end, before the first
//   frame. Another user's listener ends the attempt at once (abandoned, with the reason); the tool's
//   commands are then dropped rather than retried, as that user holds the port until they let go.
#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QWebSocket;

constexpr int ConnectRetryIntervalMs = 50;
constexpr int ConnectRetryLimitMs = 15000;

// The address connected to for a tool address: "localhost" becomes 127.0.0.1, anything else is kept.
QUrl loopbackToolAddress(const QString &url);

class WebSocketClient : public QObject
{
    Q_OBJECT

public:
    explicit WebSocketClient(QObject *parent = nullptr);
    ~WebSocketClient() override;

    // origin: the page that sent message, where known (only the log file's summary uses it).
    void connectTo(const QString &url, const QString &message, const QString &origin = QString());
    void sendTextMsg(const QString &message, const QString &origin = QString());
    bool isConnected() const;
    bool isConnecting() const { return connectionWanted; }
    // Bytes handed to the connection that it has not written yet.
    qint64 unwrittenBytes() const { return unwritten; }
    QUrl address() const { return url; }

signals:
    void signalRecvTextMsg(QString message);
    // The connection opened and the message of connectTo() was sent.
    void opened();
    // No connection within ConnectRetryLimitMs, or the tool's port is another user's (reason says which);
    // the message of connectTo() was not sent.
    void abandoned(const QString &reason);
    // The connection wrote some of what it was handed.
    void written();
    // An open connection closed; what it had not written is lost.
    void closed();

private slots:
    void slotConnected();
    void slotDisconnected();
    void slotRecvTextMsg(QString message);
    void slotRecvBinaryMsg(QByteArray data);
    void slotError(QAbstractSocket::SocketError error);

private:
    void openSocket();
    void retryConnection();
    void giveUp();
    void refuseListener(const QString &owner);
    // Ends the attempt: the message of connectTo() is not sent.
    void stopConnecting();

    QWebSocket *socket;
    bool connected = false;
    QUrl url;
    QString pendingMessage;
    QString pendingOrigin;
    bool receiversConnected = false;
    bool connectionWanted = false;
    QElapsedTimer connectingSince;
    int tries = 0;
    QTimer retryTimer;
    // Bounds the whole attempt, also a handshake that is never answered.
    QTimer connectDeadline;
    qint64 unwritten = 0;
};
