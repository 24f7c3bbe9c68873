// Shows one window of the program in a chosen state, for looking at it (screenshots under Xvfb):
//   showcase alert|checkdialog|check|check-install|check-failed|about|home-help [seconds]
#include "AboutWidget.h"
#include "AlertDialog.h"
#include "CheckDialog.h"
#include "CheckWidget.h"
#include "Fonts.h"
#include "HomeWidget.h"
#include "Resources.h"
#include "UtilManager.h"
#include <QAbstractButton>

#include <QApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    initProgramResources();
    installFontSubstitutes();
    QFont font(QStringLiteral("Microsoft Yahei"));
    font.setPixelSize(14);
    QApplication::setFont(font);
    const QString which = argc > 1 ? QString::fromLatin1(argv[1]) : QStringLiteral("check");
    const int seconds = argc > 2 ? atoi(argv[2]) : 5;
    QTimer::singleShot(seconds * 1000, &app, &QApplication::quit);

    if (which == QLatin1String("alert")) {
        QTimer::singleShot(0, []() {
            AlertDialog::showAlert(nullptr, QString(), QStringLiteral(":/img/dialog_error.png"),
                QString::fromUtf8("打开网页失败，请手动复制链接到浏览器打开。\n链接：https://example.com/"
                                  "installer/TessarySetup.exe"),
                QString::fromUtf8("好的"));
        });
    } else if (which == QLatin1String("checkdialog")) {
        QTimer::singleShot(0, []() {
            auto info = VersionInfoPtr::create();
            info->componentName = QString::fromUtf8("Tessary签章客户端");
            info->versionName = QStringLiteral("V1.0.6");
            info->hasUpdate = true;
            CheckDialog dialog;
            dialog.setVersionInfo(info);
            dialog.exec();
        });
    } else if (which == QLatin1String("about")) {
        (new AboutWidget(nullptr))->show();
    } else if (which == QLatin1String("home-help")) {
        HomeWidget *home = UtilManager::instance()->homeWidget();
        home->show();
        home->findChild<QAbstractButton *>(QStringLiteral("toolButton_help"))->click();
    } else {
        CheckWidget *window = UtilManager::instance()->checkWidget();
        window->show();
        if (which == QLatin1String("check-install"))
            QTimer::singleShot(0, window, [window]() { window->runCheck(false); });
        else if (which == QLatin1String("check-failed")) {
            qputenv("VANTREL_DISK_FREE_BYTES", "1024");
            QTimer::singleShot(0, window, [window]() { window->runCheck(false); });
        } else
            window->resetCheckView();
    }
    return app.exec();
}
