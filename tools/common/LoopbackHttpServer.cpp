#include "LoopbackHttpServer.h"

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
