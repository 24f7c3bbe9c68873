// The floor of the benchmarks: a minimal Qt Widgets + WebSockets program with one loopback listener
// and one window. It logs one line per text message, as the program logs its commands.
// With --chinese-text as second argument the window shows one line of Chinese text in the program's
// font, a second floor for memory that tells the cost of rendering such text apart.
#include <QApplication>
#include <QFont>
#include <QHostAddress>
#include <QLabel>
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
    if (argc > 2 && qstrcmp(argv[2], "--chinese-text") == 0) {
        QFont font(QStringLiteral("WenQuanYi Micro Hei"));
        font.setPixelSize(14);
        auto *text = new QLabel(
            QStringLiteral("Tessary检测安装工具 签章客户端 加密客户端 检查更新 关于 退出"), &window);
        text->setFont(font);
    }
    window.show();
    return app.exec();
}
