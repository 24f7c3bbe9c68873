#include "TrayIcon.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMenu>
#include <QMutex>
#include <QWidget>

namespace {

TrayIcon *volatile current = nullptr;

// The icon and its menu are widgets' kin: they must go while the application object still exists,
// so they are deleted at the start of its destruction rather than by a static destructor.
void releaseTrayIcon()
{
    delete current;
    current = nullptr;
}

} // namespace

TrayIcon *TrayIcon::instance()
{
    if (current)
        return current;
    static QMutex creation;
    QMutexLocker lock(&creation);
    if (!current) {
        current = new TrayIcon;
        qAddPostRoutine(releaseTrayIcon);
    }
    return current;
}

TrayIcon *TrayIcon::existing()
{
    return current;
}

TrayIcon::TrayIcon()
    : trayIcon(new QSystemTrayIcon(this))
    , menu(new QMenu)
{
    qDebug() << "Tray icon created";
    menu->setAccessibleName(QString::fromUtf8("Tessary检测安装工具"));
    connect(trayIcon, &QSystemTrayIcon::activated, this, &TrayIcon::iconIsActived);
}

TrayIcon::~TrayIcon()
{
    delete menu;
}

void TrayIcon::setIcon(const QString &path)
{
    if (trayIcon)
        trayIcon->setIcon(QIcon(path));
}

void TrayIcon::setToolTip(const QString &text)
{
    if (trayIcon)
        trayIcon->setToolTip(text);
}

void TrayIcon::setVisible(bool visible)
{
    if (!trayIcon)
        return;
    if (visible && !QSystemTrayIcon::isSystemTrayAvailable() && !unavailableLogged) {
        unavailableLogged = true;
        qDebug() << "System tray not available; running without a tray icon";
    }
    trayIcon->setVisible(visible);
}

void TrayIcon::setMainWidget(QWidget *widget)
{
    mainWidget = widget;
    menu->clear();
    menu->addAction(QString::fromUtf8("主页面"), this, &TrayIcon::showMainWidget);
    if (exitClosesAll)
        menu->addAction(QString::fromUtf8("退出"), this, &TrayIcon::closeAll);
    else
        menu->addAction(QString::fromUtf8("退出"), this, &TrayIcon::trayIconExit);
    if (trayIcon)
        trayIcon->setContextMenu(menu);
}

void TrayIcon::iconIsActived(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        showMainWidget();
}

void TrayIcon::closeAll()
{
    if (trayIcon) {
        trayIcon->hide();
        trayIcon->deleteLater();
    }
    QCoreApplication::exit(0);
}

void TrayIcon::showMainWidget()
{
    if (!mainWidget)
        return;
    mainWidget->showNormal();
    mainWidget->activateWindow();
}
