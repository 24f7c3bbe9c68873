// A sample version service for the tests and the demo. It answers the version query
//   GET /version-manage/customer-tool-version/query-latest-customer-tool-version?componentCode=CODE
// from a JSON file that maps component codes to the "data" object of the reply.
//
//   --port N            port on 127.0.0.1 (default 18080)
//   --components FILE   JSON object: component code -> data object
//   --mode MODE         ok (code 200 with data), error (code 500), garbage (a body that is not JSON),
//                       silent (accept and never answer), and replies no version service should send:
//                       endless (a chunked body that never ends), oversized (a Content-Length of 300 MiB,
//                       then that many bytes), drip (a chunked body of a few bytes every 200 ms, never
//                       ending), unauthorized (401 asking for a password, then a body that never
//                       ends), proxy-unauthorized (the same with 407, as a proxy on the way),
//                       endless-head (a status line, then header lines that never end), chunk-overflow
//                       (a chunk whose size overflows the body's count, its data without end); default ok
//   --static DIR        also serve the files of DIR under /demo/ (the demo portal and probe pages)
//   --portal DIR        also serve the files of DIR under /portal/ (the portal kit the pages load)
//   --demo-registry DIR and --demo-tools DIR
//                       GET /demo/install/<ProgramName> "installs" a sample tool: writes its entry file
//                       into the uninstall list under DIR, pointing at the program in the tools folder;
//                       /demo/install/VantrelDetectInstallTool is the demo's stand-in for this program's
//                       own installer (a page saying how the demo starts it)
// Unknown paths get HTTP 404; an unknown component gets code 404 in the reply.
#include "LoopbackHttpServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

QByteArray contentType(const QString &fileName)
{
    if (fileName.endsWith(QLatin1String(".html")))
        return "text/html;charset=UTF-8";
    if (fileName.endsWith(QLatin1String(".json")))
        return "application/json;charset=UTF-8";
    if (fileName.endsWith(QLatin1String(".js")))
        return "text/javascript;charset=UTF-8";
    if (fileName.endsWith(QLatin1String(".ts")) || fileName.endsWith(QLatin1String(".md")))
        return "text/plain;charset=UTF-8";
    if (fileName.endsWith(QLatin1String(".pem")))
        return "application/x-pem-file";
    return "application/octet-stream";
}

// Serves one file of folder; names are single path components, so nothing outside it is reachable.
void serveStatic(const QString &folder, const QString &name, QTcpSocket *socket)
{
    QFile file(folder + QLatin1Char('/') + name);
    if (folder.isEmpty() || name.isEmpty() || name.contains(QLatin1Char('/'))
        || name.startsWith(QLatin1Char('.')) || !file.open(QIODevice::ReadOnly)) {
        LoopbackHttpServer::respond(socket, 404, "not found");
        return;
    }
    LoopbackHttpServer::respond(socket, 200, file.readAll(), { { "Content-Type", contentType(name) } });
}

QString titleOf(const QString &program)
{
    if (program == QLatin1String("VantrelSignatureClient"))
        return QString::fromUtf8("Tessary签章客户端");
    if (program == QLatin1String("VantrelEncryptedClient"))
        return QString::fromUtf8("Tessary加密客户端");
    return {};
}

void offerProgramInstaller(QTcpSocket *socket)
{
    const QString page = QString::fromUtf8(
        "<!DOCTYPE html><meta charset=\"utf-8\"><title>Tessary检测安装工具 安装程序（演示）</title>"
        "<p>这里是 Tessary检测安装工具 的安装程序地址（演示）。在 Windows 上，它是 "
        "VantrelDetectInstallToolSetup.exe；在本演示中，请运行 scripts/run.sh "
        "重新启动程序，然后回到门户页面。</p>");
    LoopbackHttpServer::respond(
        socket, 200, page.toUtf8(), { { "Content-Type", "text/html;charset=UTF-8" } });
}

void installSample(const QString &registry, const QString &tools, const QString &program, QTcpSocket *socket)
{
    if (program == QLatin1String("VantrelDetectInstallTool")) {
        offerProgramInstaller(socket);
        return;
    }
    const QString title = titleOf(program);
    if (registry.isEmpty() || title.isEmpty()) {
        LoopbackHttpServer::respond(socket, 404, "not found");
        return;
    }
    QDir().mkpath(registry + QStringLiteral("/Uninstall"));
    QFile entry(registry + QStringLiteral("/Uninstall/") + program + QStringLiteral(".ini"));
    if (!entry.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        LoopbackHttpServer::respond(socket, 500, "cannot write the entry");
        return;
    }
    const QString values
        = QStringLiteral("DisplayName=%1\nDisplayIcon=%2,0\nDisplayVersion=1.0.5\nVersionNumber=105\n")
              .arg(title, QDir(tools).absoluteFilePath(program));
    entry.write(values.toUtf8());
    const QString page = QString::fromUtf8("<!DOCTYPE html><meta charset=\"utf-8\"><title>安装完成</title>"
                                           "<p>%1 已安装（演示）。请回到检测安装工具，点击“已完成安装”。</p>")
                             .arg(title);
    LoopbackHttpServer::respond(
        socket, 200, page.toUtf8(), { { "Content-Type", "text/html;charset=UTF-8" } });
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
    parser.addOption({ QStringLiteral("mode"),
        QStringLiteral("ok, error, garbage, silent, endless, unauthorized, proxy-unauthorized, "
                       "endless-head, chunk-overflow, oversized or drip."),
        QStringLiteral("MODE"), QStringLiteral("ok") });
    parser.addOption(
        { QStringLiteral("static"), QStringLiteral("Folder served under /demo/."), QStringLiteral("DIR") });
    parser.addOption(
        { QStringLiteral("portal"), QStringLiteral("Folder served under /portal/."), QStringLiteral("DIR") });
    parser.addOption({ QStringLiteral("demo-registry"), QStringLiteral("Uninstall root for /demo/install/."),
        QStringLiteral("DIR") });
    parser.addOption({ QStringLiteral("demo-tools"), QStringLiteral("Folder of the sample tool programs."),
        QStringLiteral("DIR") });
    parser.process(app);
    const QString staticFolder = parser.value(QStringLiteral("static"));
    const QString portalFolder = parser.value(QStringLiteral("portal"));
    const QString demoRegistry = parser.value(QStringLiteral("demo-registry"));
    const QString demoTools = parser.value(QStringLiteral("demo-tools"));

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
    server.handler = [=](const LoopbackHttpRequest &request, QTcpSocket *socket) {
        const QUrl target(QString::fromUtf8(request.target));
        const QString path = target.path();
        if (request.method == "GET" && path.startsWith(QLatin1String("/demo/install/"))) {
            installSample(demoRegistry, demoTools, path.mid(14), socket);
            return;
        }
        if (request.method == "GET" && path.startsWith(QLatin1String("/demo/"))) {
            serveStatic(staticFolder, path.mid(6), socket);
            return;
        }
        if (request.method == "GET" && path.startsWith(QLatin1String("/portal/"))) {
            serveStatic(portalFolder, path.mid(8), socket);
            return;
        }
        if (request.method != "GET" || path != QLatin1String(QueryPath)) {
            LoopbackHttpServer::respond(socket, 404, "not found");
            return;
        }
        if (mode == QLatin1String("silent"))
            return;
        if (mode == QLatin1String("endless")) {
            LoopbackHttpServer::streamBody(socket, LoopbackHttpServer::Framing::Chunked, -1);
            return;
        }
        if (mode == QLatin1String("unauthorized")) {
            LoopbackHttpServer::streamBody(socket, LoopbackHttpServer::Framing::Chunked, -1, 0,
                "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"version\"\r\n");
            return;
        }
        if (mode == QLatin1String("proxy-unauthorized")) {
            LoopbackHttpServer::streamBody(socket, LoopbackHttpServer::Framing::Chunked, -1, 0,
                "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                "realm=\"proxy\"\r\n");
            return;
        }
        if (mode == QLatin1String("endless-head") || mode == QLatin1String("chunk-overflow")) {
            // As fast as the peer reads, a few lines ahead of it: header lines, or the data of a chunk
            // whose size, added to what the body holds, overflows.
            const bool chunk = mode == QLatin1String("chunk-overflow");
            socket->write(chunk
                    ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nA\r\n7fffffffffffffff\r\n"
                    : "HTTP/1.1 200 OK\r\n");
            const auto refill = [socket, chunk]() {
                while (socket->bytesToWrite() < 64 * 1024)
                    socket->write(
                        chunk ? QByteArray(1000, 'x') : "X-Filler: " + QByteArray(1000, 'x') + "\r\n");
            };
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, refill);
            refill();
            return;
        }
        if (mode == QLatin1String("oversized")) {
            LoopbackHttpServer::streamBody(socket, LoopbackHttpServer::Framing::ContentLength, 300 << 20);
            return;
        }
        if (mode == QLatin1String("drip")) {
            LoopbackHttpServer::streamBody(socket, LoopbackHttpServer::Framing::Chunked, -1, 200);
            return;
        }
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
