// The floor of the benchmarks: a minimal Qt Widgets + WebSockets program with one loopback listener
// and one window. It logs one line per text message, as the program logs its commands.
#include <QApplication>
#include <QHostAddress>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QWidget>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const quint16 port = argc > 1 ? static_cast<quint16>(atoi(argv[1])) : 47300;
    QWebSocketServer server(QStringLiteral("floor"), QWebSocketServer::NonSecureMode);
    QObject::connect(&server, &QWebSocketServer::newConnection, [&server]() {
        while (QWebSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QWebSocket::textMessageReceived,
                [](const QString &) { fputs("message\n", stderr); });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    if (!server.listen(QHostAddress::LocalHost, port)) {
        fprintf(stderr, "cannot listen on port %d: %s\n", port, qPrintable(server.errorString()));
        return 1;
    }
    QWidget window;
    window.resize(360, 400);
    window.show();
    return app.exec();
}
