#include "CommandRouting.h"
#include "DeploymentSettings.h"
#include "Fonts.h"
#include "HomeWidget.h"
#include "LogFile.h"
#include "Platform.h"
#include "Resources.h"
#include "SingleApplication.h"
#include "UtilManager.h"
#include "WebSocketServer.h"

#include <QFont>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

int main(int argc, char **argv)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 always scales to the screen and draws high-DPI pixmaps.
    qputenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1");
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
#endif

    auto *application = new SingleApplication(argc, argv);
    if (application->alreadyRunning()) {
        delete application;
        return 0;
    }
    Platform::holdAccessibilityUntilConnected();
    Platform::pinTlsLibraryConfiguration();
    LogFile::start(Platform::logFolder());
    DeploymentSettings::logSources();
    Platform::quitOnTerminationRequest();

    initProgramResources();
    if (UtilManager::isFirstRun()) {
        UtilManager::setAutoStart(true);
        UtilManager::writeStartupFlag();
    }

    installFontSubstitutes();
    auto *font = new QFont;
    font->setFamily(QStringLiteral("Microsoft Yahei"));
    font->setPixelSize(14);
    QApplication::setFont(*font);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 takes the system's code page for local 8-bit text; Qt 6 is UTF-8 throughout.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
#endif

    auto *webSocketServer = new WebSocketServer(nullptr);
    routeCommands(webSocketServer);
    alertWhenPortsAreHeld(webSocketServer);

    HomeWidget *home = UtilManager::instance()->homeWidget();
    application->mainWindow = home;
    home->show();
    auto *arguments = new QStringList(QCoreApplication::arguments());
    if (arguments->size() < 2)
        home->bringToFront();
    else
        home->hide();

    const int result = QApplication::exec();

    delete arguments;
    delete webSocketServer;
    delete font;
    delete application;
    LogFile::stop();
    return result;
}
