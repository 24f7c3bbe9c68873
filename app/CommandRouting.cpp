#include "CommandRouting.h"

#include "AlertDialog.h"
#include "Constants.h"
#include "LoadingWidget.h"
#include "ToolDelivery.h"
#include "UtilManager.h"
#include "WebSocketServer.h"

void launchInWindow(ToolDelivery *tool)
{
    UtilManager::instance()->loadingWidget()->requestLaunch(tool);
}

namespace {

// The tool of scene, with its outcomes said on the pages' receipts.
ToolDelivery *roadOf(WebSocketServer *server, const QString &scene)
{
    ToolDelivery *tool = UtilManager::instance()->toolDelivery(scene);
    QObject::connect(tool, &ToolDelivery::settled, server, &WebSocketServer::settle, Qt::UniqueConnection);
    return tool;
}

// The program's version and, per scene, whether its tool is installed and runs: nothing else of the
// uninstall entries, no path, no address.
QJsonObject programStatus(WebSocketServer *server)
{
    QJsonObject tools;
    for (const QString &scene : { QStringLiteral("00"), QStringLiteral("01") }) {
        ToolDelivery *tool = roadOf(server, scene);
        tools.insert(scene,
            QJsonObject { { QStringLiteral("installed"), UtilManager::isToolInstalled(tool->title()) },
                { QStringLiteral("running"), tool->isRunning() } });
    }
    return QJsonObject { { QStringLiteral("version"), AppVersion }, { QStringLiteral("tools"), tools } };
}

} // namespace

void routeCommands(WebSocketServer *server, const LaunchRequest &launch)
{
    QObject::connect(server, &WebSocketServer::messageReceived, server,
        [](const QString &text) { UtilManager::instance()->lastMessage = text; });
    QObject::connect(server, &WebSocketServer::startRequested, server,
        [server, launch](const QString &scene, const QString &operation, const QString &text,
            const QString &origin, quint64 ticket) {
            UtilManager *manager = UtilManager::instance();
            manager->useScene = scene;
            manager->operationCommand = operation;
            ToolDelivery *tool = roadOf(server, scene);
            if (tool->acceptStart(text, origin, ticket) == ToolDelivery::StartOutcome::LaunchNeeded)
                launch(tool);
        });
    QObject::connect(server, &WebSocketServer::closeRequested, server,
        [server](const QString &scene, const QString &text, const QString &origin, quint64 ticket) {
            UtilManager *manager = UtilManager::instance();
            manager->useScene = scene;
            manager->operationCommand = QStringLiteral("closeTool");
            roadOf(server, scene)->acceptClose(text, origin, ticket);
        });
    QObject::connect(server, &WebSocketServer::statusRequested, server,
        [server](quint64 ticket) { server->answerStatus(ticket, programStatus(server)); });
}

void alertWhenPortsAreHeld(WebSocketServer *server)
{
    QObject::connect(server, &WebSocketServer::portHeldByOtherUser, server, []() {
        AlertDialog::showAlert(nullptr, QString::fromUtf8("启动提示"),
            QStringLiteral(":/img/dialog_error.png"),
            QString::fromUtf8(
                "本机另一用户的会话正占用检测安装工具的端口，在其退出前，本会话的网页无法连接检测安装工具。"
                "本工具将持续重试。"),
            QString::fromUtf8("知道了"));
    });
}
