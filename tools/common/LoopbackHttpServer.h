#pragma once

// A small HTTP/1.1 server on loopback for the tests and the sample version service. Each request is parsed
// (request line, headers, body by Content-Length) and handed to a handler that answers on the socket, delays,
// or stays silent.
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>

struct LoopbackHttpRequest
{
    QByteArray method;
    QByteArray target; // path and query as sent
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

class LoopbackHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const LoopbackHttpRequest &, QTcpSocket *)>;

    explicit LoopbackHttpServer(QObject *parent = nullptr);
    bool listen(quint16 port = 0);
    quint16 port() const;
    QString baseUrl() const;

    // Writes a complete response and leaves the connection open for keep-alive.
    static void respond(QTcpSocket *socket, int status, const QByteArray &body,
        const QList<QPair<QByteArray, QByteArray>> &headers = {});

    // How a streamed body is framed: by a Content-Length in the head, in chunks, or by the end of the
    // connection.
    enum class Framing { ContentLength, Chunked, UntilClose };
    // Answers 200 (or the status line and headers given) with a body of total bytes (filler text;
    // total < 0: a body that never ends), written as fast as the peer reads it but never more than a
    // few blocks ahead of it, so the server itself stays small. Every blockIntervalMs > 0 one small
    // block instead. Ends when the peer goes. Returns the counter of body bytes written so far, owned
    // by the socket.
    static QSharedPointer<qint64> streamBody(QTcpSocket *socket, Framing framing, qint64 total,
        int blockIntervalMs = 0,
        const QByteArray &statusAndHeaders
        = "HTTP/1.1 200 OK\r\nContent-Type: application/json;charset=UTF-8\r\n");

    Handler handler;
    QList<LoopbackHttpRequest> requests;

signals:
    void requestReceived();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    // Declared before the server: the server's sockets report their disconnection while it is destroyed.
    QMap<QTcpSocket *, QByteArray> buffers;
    QTcpServer server;
};
