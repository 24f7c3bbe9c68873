#include "Fonts.h"
#include "HomeWidget.h"
#include "LogFile.h"
#include "Platform.h"
#include "Resources.h"
#include "SingleApplication.h"
#include "UtilManager.h"
#include "WebSocketServer.h"

#include <QFont>
#include <QTextCodec>

int main(int argc, char **argv)
{
    qputenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1");
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    auto *application = new SingleApplication(argc, argv);
    if (application->alreadyRunning()) {
        delete application;
        return 0;
    }
    LogFile::start(Platform::logFolder());
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
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));

    auto *webSocketServer = new WebSocketServer(nullptr);

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
