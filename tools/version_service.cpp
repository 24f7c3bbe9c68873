// A sample version service for the tests and the demo. It answers the version query
//   GET /version-manage/customer-tool-version/query-latest-customer-tool-version?componentCode=CODE
// from a JSON file that maps component codes to the "data" object of the reply.
//
//   --port N            port on 127.0.0.1 (default 18080)
//   --components FILE   JSON object: component code -> data object
//   --mode MODE         ok (code 200 with data), error (code 500), garbage (a body that is not JSON),
//                       silent (accept and never answer); default ok
// Unknown paths get HTTP 404; an unknown component gets code 404 in the reply.
#include "LoopbackHttpServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <cstdio>

namespace {

const char QueryPath[] = "/version-manage/customer-tool-version/query-latest-customer-tool-version";

QByteArray replyBody(const QString &mode, const QJsonObject &components, const QString &code)
{
    if (mode == QLatin1String("garbage"))
        return "<html>this is not json</html>";
    QJsonObject reply;
    if (mode == QLatin1String("error")) {
        reply.insert(QStringLiteral("code"), 500);
        reply.insert(QStringLiteral("message"), QStringLiteral("internal error"));
    } else if (!components.contains(code)) {
        reply.insert(QStringLiteral("code"), 404);
        reply.insert(QStringLiteral("message"), QStringLiteral("unknown component"));
    } else {
        reply.insert(QStringLiteral("code"), 200);
        reply.insert(QStringLiteral("data"), components.value(code));
    }
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1."), QStringLiteral("N"),
        QStringLiteral("18080") });
    parser.addOption({ QStringLiteral("components"), QStringLiteral("JSON file of component data."),
        QStringLiteral("FILE") });
    parser.addOption({ QStringLiteral("mode"), QStringLiteral("ok, error, garbage or silent."),
        QStringLiteral("MODE"), QStringLiteral("ok") });
    parser.process(app);

    QJsonObject components;
    if (parser.isSet(QStringLiteral("components"))) {
        QFile file(parser.value(QStringLiteral("components")));
        if (!file.open(QIODevice::ReadOnly)) {
            fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
            return 1;
        }
        components = QJsonDocument::fromJson(file.readAll()).object();
    }
    const QString mode = parser.value(QStringLiteral("mode"));

    LoopbackHttpServer server;
    server.handler = [mode, components](const LoopbackHttpRequest &request, QTcpSocket *socket) {
        const QUrl target(QString::fromUtf8(request.target));
        if (request.method != "GET" || target.path() != QLatin1String(QueryPath)) {
            LoopbackHttpServer::respond(socket, 404, "not found");
            return;
        }
        if (mode == QLatin1String("silent"))
            return;
        const QString code
            = QUrlQuery(target).queryItemValue(QStringLiteral("componentCode"), QUrl::FullyDecoded);
        LoopbackHttpServer::respond(socket, 200, replyBody(mode, components, code),
            { { "Content-Type", "application/json;charset=UTF-8" } });
    };
    if (!server.listen(static_cast<quint16>(parser.value(QStringLiteral("port")).toUInt()))) {
        fprintf(stderr, "cannot listen on port %s\n", qPrintable(parser.value(QStringLiteral("port"))));
        return 1;
    }
    printf("version service on %s (mode %s)\n", qPrintable(server.baseUrl()), qPrintable(mode));
    fflush(stdout);
    return app.exec();
}
