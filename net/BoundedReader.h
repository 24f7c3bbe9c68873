#pragma once

// Keeps the reads of one accepted WebSocket connection bounded and flowing.
//
// - The connection's transport buffers at most one largest frame (MaxIncomingMessageBytes plus a
//   header): a sender that never pauses cannot make the program hold more than that on top of the
//   message being put together.
// - Browsers send every message in one frame. A message that comes in pieces (a frame that is not its
//   last) comes from another sender, and is held to tighter bounds: each piece after the first at most
//   MaxContinuationFrameBytes, the whole message at most MaxMessageInPiecesBytes, and the transport
//   buffers at most one such piece. A piece that does not fit (the buffer stays full of it for a whole
//   PieceWatchMs without a frame taken) or a message over the bound closes the connection with "message
//   too big", as a message over the cap does. Without these bounds a sender of one endless message would
//   have a largest frame buffered beside message text that Qt grows by doubling (and, on Windows, by
//   copying): more than 64 MiB at the peak under Wine.
// - After the frames in the buffer were taken the transport is asked to read on at once, and while a
//   message comes in pieces at every PieceWatchMs: on Windows a socket whose buffer was full is not
//   always signalled again (seen under Wine), and the connection would then be held unread instead of
//   being read on or closed.
// - The program sends nothing on these connections but the replies the protocol asks for (pongs, the
//   close). A peer that leaves more than MaxUnreadRepliesBytes of them unread (pings sent without
//   reading) is cut off: the transport's write buffer has no bound of its own.
//
// The transport is found among the listener's children (where QWebSocketServer keeps its sockets), by
// the peer's address and port. Where it cannot be found, only the caps on messages and frames apply.
#include <QObject>
#include <QPointer>

class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;

constexpr qint64 MaxIncomingMessageBytes = 16 * 1024 * 1024;
// Room for a frame's header beside the largest payload in a connection's read buffer.
constexpr qint64 MaxFrameHeaderBytes = 14;
// The largest piece after the first of a message that comes in pieces.
constexpr qint64 MaxContinuationFrameBytes = 1024 * 1024;
// The largest message that comes in pieces.
constexpr qint64 MaxMessageInPiecesBytes = 8 * 1024 * 1024;
// The most of the program's replies (pongs) a connection may leave unread.
constexpr qint64 MaxUnreadRepliesBytes = 1024 * 1024;
// How often a message in pieces is checked on.
constexpr int PieceWatchMs = 500;

class BoundedReader : public QObject
{
    Q_OBJECT

public:
    // Caps socket, just accepted from listener; what it attaches lives as long as the socket.
    static void attach(QWebSocketServer *listener, QWebSocket *socket);

private:
    BoundedReader(QWebSocket *socket, QTcpSocket *transport);

    void frameTaken(bool isLastFrame);
    void setInPieces(bool pieces);
    bool bufferFull() const;
    void watchPieces();
    void readOn();
    void limitUnreadReplies();

    QWebSocket *socket;
    QPointer<QTcpSocket> transport;
    QTimer *readOnTimer;
    QTimer *pieceWatch;
    bool inPieces = false;
    bool frameSinceWatch = false;
};
