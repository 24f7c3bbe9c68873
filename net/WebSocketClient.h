#pragma once

// The program's one connection to a managed tool's local WebSocket. connectTo() opens the
// connection and sends the browser's message first on every successful connection; later "closeTool"
// commands travel over the same connection.
//
// A tool whose process has just started is rarely listening yet, so while a connection is wanted the
// client retries every ConnectRetryIntervalMs for up to ConnectRetryLimitMs, then gives up with a log
// line. The frames a tool receives are unchanged by the retries.
#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QWebSocket;

constexpr int ConnectRetryIntervalMs = 50;
constexpr int ConnectRetryLimitMs = 15000;

class WebSocketClient : public QObject
{
    Q_OBJECT

public:
    explicit WebSocketClient(QObject *parent = nullptr);
    ~WebSocketClient() override;

    void connectTo(const QString &url, const QString &message);
    void sendTextMsg(const QString &message);
    bool isConnected() const { return connected; }

signals:
    void signalRecvTextMsg(QString message);

private slots:
    void slotConnected();
    void slotDisconnected();
    void slotRecvTextMsg(QString message);
    void slotRecvBinaryMsg(QByteArray data);
    void slotError(QAbstractSocket::SocketError error);

private:
    void openSocket();
    void retryConnection();

    QWebSocket *socket;
    bool connected = false;
    QUrl url;
    QString pendingMessage;
    bool receiversConnected = false;
    bool connectionWanted = false;
    QElapsedTimer connectingSince;
    QTimer retryTimer;
};
