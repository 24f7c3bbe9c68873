#pragma once

// The program's icon in the notification area: it brings the home window back (click, double click
// or "主页面") and ends the program ("退出"). One per process, reached through instance().
//
// Where the platform offers no tray (some Linux desktops, the offscreen platform), the program runs
// on without it and says so once in the debug log.
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class QMenu;
class QWidget;

class TrayIcon : public QObject
{
    Q_OBJECT

public:
    static TrayIcon *instance();
    // The icon if it exists, without creating it (for code that runs during shutdown).
    static TrayIcon *existing();
    ~TrayIcon() override;

    void setIcon(const QString &path);
    void setToolTip(const QString &text);
    void setVisible(bool visible);
    void setMainWidget(QWidget *widget);

    QSystemTrayIcon *systemTrayIcon() const { return trayIcon; }
    QMenu *contextMenu() const { return menu; }

signals:
    void trayIconExit();

public slots:
    void closeAll();
    void showMainWidget();

private slots:
    void iconIsActived(QSystemTrayIcon::ActivationReason reason);

private:
    TrayIcon();

    QPointer<QWidget> mainWidget;
    QPointer<QSystemTrayIcon> trayIcon;
    QMenu *menu;
    bool exitClosesAll = true;
    bool unavailableLogged = false;
};
