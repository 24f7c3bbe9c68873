#include "CommandRouting.h"

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
