// Sends one text message to a WebSocket address, as a portal page would, and exits once it was
// written: ws_send URL MESSAGE [--ca FILE] [--origin ORIGIN]. Exit code 0 when sent, 1 when the
// connection failed, 2 when nothing happened within 10 s. Used by the Windows installer check.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QWebSocket>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("ws:// or wss:// address"));
    parser.addPositionalArgument(QStringLiteral("message"), QStringLiteral("text to send"));
    parser.addOption({ QStringLiteral("ca"), QStringLiteral("Root certificate to trust for wss."),
        QStringLiteral("FILE") });
    parser.addOption(
        { QStringLiteral("origin"), QStringLiteral("Origin of the page."), QStringLiteral("ORIGIN") });
    parser.process(app);
    if (parser.positionalArguments().size() != 2)
        parser.showHelp(1);

    QWebSocket socket(parser.value(QStringLiteral("origin")));
    if (parser.isSet(QStringLiteral("ca"))) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(parser.value(QStringLiteral("ca"))));
        socket.setSslConfiguration(tls);
    }
    const QString message = parser.positionalArguments().at(1);
    QObject::connect(&socket, &QWebSocket::connected, [&socket, message]() {
        socket.sendTextMessage(message);
        socket.flush();
        socket.close();
    });
    QObject::connect(&socket, &QWebSocket::disconnected, [&socket]() {
        const bool sent = socket.closeCode() == QWebSocketProtocol::CloseCodeNormal;
        if (!sent)
            std::fprintf(stderr, "ws_send: %s\n", qPrintable(socket.errorString()));
        QCoreApplication::exit(sent ? 0 : 1);
    });
    const auto failed = [&socket](QAbstractSocket::SocketError) {
        std::fprintf(stderr, "ws_send: %s\n", qPrintable(socket.errorString()));
        QCoreApplication::exit(1);
    };
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    QObject::connect(&socket, &QWebSocket::errorOccurred, failed);
#else
    // Before Qt 6.5 the signal is error(), overloaded with the getter.
    QObject::connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), failed);
#endif
    QTimer::singleShot(10000, [] {
        std::fprintf(stderr, "ws_send: no answer within 10 s\n");
        QCoreApplication::exit(2);
    });
    socket.open(QUrl(parser.positionalArguments().at(0)));
    return app.exec();
}
