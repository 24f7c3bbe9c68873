#include "LoopbackHttpServer.h"

#include <QTimer>

LoopbackHttpServer::LoopbackHttpServer(QObject *parent)
    : QObject(parent)
{
    handler = [](const LoopbackHttpRequest &, QTcpSocket *socket) { respond(socket, 200, "ok"); };
    connect(&server, &QTcpServer::newConnection, this, &LoopbackHttpServer::onNewConnection);
}

bool LoopbackHttpServer::listen(quint16 port)
{
    return server.listen(QHostAddress::LocalHost, port);
}

quint16 LoopbackHttpServer::port() const
{
    return server.serverPort();
}

QString LoopbackHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void LoopbackHttpServer::respond(QTcpSocket *socket, int status, const QByteArray &body,
    const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    bool hasLength = false;
    for (const auto &header : headers) {
        head += header.first + ": " + header.second + "\r\n";
        hasLength = hasLength || header.first.toLower() == "content-length";
    }
    if (!hasLength)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "\r\n";
    socket->write(head + body);
}

QSharedPointer<qint64> LoopbackHttpServer::streamBody(QTcpSocket *socket, Framing framing, qint64 total,
    int blockIntervalMs, const QByteArray &statusAndHeaders)
{
    QByteArray head = statusAndHeaders;
    if (framing == Framing::ContentLength)
        head += "Content-Length: " + QByteArray::number(total) + "\r\n";
    else if (framing == Framing::Chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else
        head += "Connection: close\r\n";
    socket->write(head + "\r\n");
    auto written = QSharedPointer<qint64>::create(0);
    auto ended = QSharedPointer<bool>::create(false);
    const int blockBytes = blockIntervalMs > 0 ? 16 : 64 * 1024;
    // Writes the next block, or ends a finite body; false when nothing more is to be written.
    const auto writeBlock = [socket, framing, total, written, ended, blockBytes]() {
        if (*ended || socket->state() != QAbstractSocket::ConnectedState)
            return false;
        const qint64 left = total < 0 ? blockBytes : qMin<qint64>(blockBytes, total - *written);
        if (left == 0) {
            *ended = true;
            if (framing == Framing::Chunked)
                socket->write("0\r\n\r\n");
            else if (framing == Framing::UntilClose)
                socket->disconnectFromHost();
            return false;
        }
        const QByteArray block(int(left), ' ');
        socket->write(framing == Framing::Chunked
                ? QByteArray::number(block.size(), 16) + "\r\n" + block + "\r\n"
                : block);
        *written += block.size();
        return true;
    };
    if (blockIntervalMs > 0) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, writeBlock);
        timer->start(blockIntervalMs);
        return written;
    }
    // Refilled as the peer takes the bytes: a few blocks in flight at most.
    const auto refill = [socket, writeBlock]() {
        while (socket->bytesToWrite() < 4 * 64 * 1024 && writeBlock()) { }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, refill);
    refill();
    return written;
}

void LoopbackHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void LoopbackHttpServer::onReadyRead(QTcpSocket *socket)
{
    buffers[socket] += socket->readAll();
    QPointer<QTcpSocket> alive(socket);
    while (alive && buffers.contains(socket)) {
        QByteArray &buffer = buffers[socket];
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        LoopbackHttpRequest request;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(
                    lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length", "0").toInt();
        if (buffer.size() < headEnd + 4 + length)
            return;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        requests.append(request);
        emit requestReceived();
        if (handler)
            handler(request, socket);
    }
}
