#include "CommandRouting.h"

#include "AlertDialog.h"
#include "LoadingWidget.h"
#include "ToolDelivery.h"
#include "UtilManager.h"
#include "WebSocketServer.h"

void launchInWindow(ToolDelivery *tool)
{
    UtilManager::instance()->loadingWidget()->requestLaunch(tool);
}

void routeCommands(WebSocketServer *server, const LaunchRequest &launch)
{
    QObject::connect(server, &WebSocketServer::messageReceived, server,
        [](const QString &text) { UtilManager::instance()->lastMessage = text; });
    QObject::connect(server, &WebSocketServer::startRequested, server,
        [launch](const QString &scene, const QString &operation, const QString &text, const QString &origin) {
            UtilManager *manager = UtilManager::instance();
            manager->useScene = scene;
            manager->operationCommand = operation;
            ToolDelivery *tool = manager->toolDelivery(scene);
            if (tool->acceptStart(text, origin) == ToolDelivery::StartOutcome::LaunchNeeded)
                launch(tool);
        });
    QObject::connect(server, &WebSocketServer::closeRequested, server,
        [](const QString &scene, const QString &text, const QString &origin) {
            UtilManager *manager = UtilManager::instance();
            manager->useScene = scene;
            manager->operationCommand = QStringLiteral("closeTool");
            ToolDelivery *tool = manager->toolDelivery(scene);
            if (tool->isRunning())
                tool->acceptClose(text, origin);
        });
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
