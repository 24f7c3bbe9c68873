// A stand-in for a managed client tool: listens for WebSocket connections on a loopback port and
// records every text frame it receives. Built as VantrelSignatureClient and VantrelEncryptedClient so
// that the process check finds it under the real program names.
//
//   --port N           port to listen on (default: the tool's own port)
//   --record FILE      append each text frame to FILE, followed by one line feed
//                      (default: $VANTREL_SAMPLE_RECORD; without one, frames go to standard output)
//   --starts FILE      append one line to FILE at every start, for counting starts
//                      (default: $VANTREL_SAMPLE_STARTS)
// With $VANTREL_SAMPLE_CLOSE_AFTER_FRAME set to 1 it closes each connection after its first frame, as
// a tool may do once it has its command.
// In both file names "{tool}" stands for the tool's program name, so that one setting gives each tool
// its own file.
//   --listen-delay MS  wait before listening, like a tool that takes a moment to start
//                      (default: $VANTREL_SAMPLE_LISTEN_DELAY_MS)
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <cstdio>

#ifndef SAMPLE_TOOL_PORT
#define SAMPLE_TOOL_PORT 43231
#endif

namespace {

void recordFrame(const QString &recordPath, const QString &frame)
{
    QByteArray bytes = frame.toUtf8();
    bytes.append('\n');
    if (recordPath.isEmpty()) {
        fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        fflush(stdout);
        return;
    }
    QFile record(recordPath);
    if (record.open(QIODevice::WriteOnly | QIODevice::Append))
        record.write(bytes);
}

void recordStart(const QString &startsPath)
{
    QFile starts(startsPath);
    if (!startsPath.isEmpty() && starts.open(QIODevice::WriteOnly | QIODevice::Append))
        starts.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
}

QString forThisTool(QString path)
{
    return path.replace(QLatin1String("{tool}"), QCoreApplication::applicationName());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("port"), QStringLiteral("Port to listen on."), QStringLiteral("N"),
        QString::number(SAMPLE_TOOL_PORT) });
    parser.addOption({ QStringLiteral("record"), QStringLiteral("File that receives the frames."),
        QStringLiteral("FILE"), qEnvironmentVariable("VANTREL_SAMPLE_RECORD") });
    parser.addOption(
        { QStringLiteral("listen-delay"), QStringLiteral("Milliseconds to wait before listening."),
            QStringLiteral("MS"), qEnvironmentVariable("VANTREL_SAMPLE_LISTEN_DELAY_MS", "0") });
    parser.addOption({ QStringLiteral("starts"), QStringLiteral("File that counts the starts."),
        QStringLiteral("FILE"), qEnvironmentVariable("VANTREL_SAMPLE_STARTS") });
    parser.process(app);
    recordStart(forThisTool(parser.value(QStringLiteral("starts"))));

    const quint16 port = static_cast<quint16>(parser.value(QStringLiteral("port")).toUInt());
    const QString recordPath = forThisTool(parser.value(QStringLiteral("record")));
    const int delay = parser.value(QStringLiteral("listen-delay")).toInt();

    QWebSocketServer server(QCoreApplication::applicationName(), QWebSocketServer::NonSecureMode);
    const bool closeAfterFrame = qEnvironmentVariableIntValue("VANTREL_SAMPLE_CLOSE_AFTER_FRAME") == 1;
    QObject::connect(&server, &QWebSocketServer::newConnection, [&server, recordPath, closeAfterFrame]() {
        while (QWebSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QWebSocket::textMessageReceived,
                [socket, recordPath, closeAfterFrame](const QString &frame) {
                    recordFrame(recordPath, frame);
                    if (closeAfterFrame)
                        socket->close();
                });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    QTimer::singleShot(qMax(0, delay), &server, [&server, port]() {
        if (!server.listen(QHostAddress::LocalHost, port)) {
            fprintf(stderr, "cannot listen on port %u: %s\n", port, qPrintable(server.errorString()));
            QCoreApplication::exit(1);
        }
    });
    return app.exec();
}
