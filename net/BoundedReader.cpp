#include "BoundedReader.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

QTcpSocket *transportOf(QWebSocketServer *listener, QWebSocket *socket)
{
    const auto candidates = listener->findChildren<QTcpSocket *>();
    for (QTcpSocket *candidate : candidates) {
        if (candidate->peerPort() == socket->peerPort() && candidate->peerAddress() == socket->peerAddress()
            && candidate->localPort() == socket->localPort())
            return candidate;
    }
    return nullptr;
}

} // namespace

void BoundedReader::attach(QWebSocketServer *listener, QWebSocket *socket)
{
    socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(MaxIncomingMessageBytes));
    socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(MaxIncomingMessageBytes));
    socket->setReadBufferSize(MaxIncomingMessageBytes + MaxFrameHeaderBytes);
    if (QTcpSocket *transport = transportOf(listener, socket))
        new BoundedReader(socket, transport);
}

BoundedReader::BoundedReader(QWebSocket *socket, QTcpSocket *transport)
    : QObject(socket)
    , socket(socket)
    , transport(transport)
    , readOnTimer(new QTimer(this))
    , pieceWatch(new QTimer(this))
{
    readOnTimer->setSingleShot(true);
    readOnTimer->setInterval(0);
    connect(readOnTimer, &QTimer::timeout, this, &BoundedReader::readOn);
    pieceWatch->setInterval(PieceWatchMs);
    connect(pieceWatch, &QTimer::timeout, this, &BoundedReader::watchPieces);
    connect(socket, &QWebSocket::textFrameReceived, this,
        [this](const QString &, bool isLastFrame) { frameTaken(isLastFrame); });
    connect(socket, &QWebSocket::binaryFrameReceived, this,
        [this](const QByteArray &, bool isLastFrame) { frameTaken(isLastFrame); });
    // Connected after the WebSocket's own reader, so it sees the pongs of what was just read.
    connect(transport, &QIODevice::readyRead, this, &BoundedReader::limitUnreadReplies);
}

void BoundedReader::frameTaken(bool isLastFrame)
{
    frameSinceWatch = true;
    if (inPieces == isLastFrame)
        setInPieces(!isLastFrame);
    readOnTimer->start();
}

void BoundedReader::setInPieces(bool pieces)
{
    inPieces = pieces;
    const qint64 largestFrame = pieces ? MaxContinuationFrameBytes : MaxIncomingMessageBytes;
    const qint64 largestMessage = pieces ? MaxMessageInPiecesBytes : MaxIncomingMessageBytes;
    if (transport)
        transport->setReadBufferSize(largestFrame + MaxFrameHeaderBytes);
    socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(largestMessage));
    if (pieces)
        pieceWatch->start();
    else
        pieceWatch->stop();
}

bool BoundedReader::bufferFull() const
{
    return transport && transport->bytesAvailable() >= transport->readBufferSize();
}

// A buffer that stayed full without a frame taken holds a piece larger than a piece may be.
void BoundedReader::watchPieces()
{
    if (bufferFull() && !frameSinceWatch) {
        setInPieces(false);
        socket->close(
            QWebSocketProtocol::CloseCodeTooMuchData, QStringLiteral("Received message is too big."));
        return;
    }
    frameSinceWatch = false;
    readOn();
}

void BoundedReader::readOn()
{
    if (!transport || transport->state() != QAbstractSocket::ConnectedState || bufferFull())
        return;
    transport->waitForReadyRead(0);
}

void BoundedReader::limitUnreadReplies()
{
    if (!transport || transport->bytesToWrite() <= MaxUnreadRepliesBytes)
        return;
    qDebug() << "Cut off a connection that leaves its replies unread:" << transport->bytesToWrite()
             << "bytes";
    socket->abort();
}
