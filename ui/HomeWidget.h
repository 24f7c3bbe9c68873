#pragma once

// The main window: a card per managed tool (installed or latest version, installed badge, update
// button), a consult tab with the customer-service chat, and a settings menu (start with login, update
// check of this program, About). Closing it only hides it; the tray brings it back.
//
// By keyboard: Escape hides it as its close button does; Space, Enter or Down on the settings button
// opens the menu with its first entry ready; Ctrl+Tab or Ctrl+PgDown (and back) switch the pages from
// anywhere, and Left and Right on the page buttons, as on a tab bar. The underline that marks the shown
// page is said in the page buttons' descriptions, and each card's button says which tool it is for.
#include "VersionInfo.h"

#include <QPoint>
#include <QWidget>

class QMenu;
class QToolButton;

namespace Ui {
class HomeWidget;
}

extern const char TAB_SELECTED_STYLE[];
extern const char TAB_NORMAL_STYLE[];

class HomeWidget : public QWidget
{
    Q_OBJECT

public:
    explicit HomeWidget(QWidget *parent = nullptr);
    ~HomeWidget() override;

    void bringToFront();
    void onVersionResult(const QString &componentCode, const QString &body);
    void checkSelfUpdate();
    // The settings menu as the settings button shows it, built anew for each use.
    QMenu *buildSettingsMenu();

    bool isAutoStartEnabled() const { return autoStartEnabled; }
    VersionInfoPtr signatureRecord() const { return signVersion; }
    VersionInfoPtr encryptionRecord() const { return encryptVersion; }
    VersionInfoPtr selfRecord() const { return selfVersion; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_toolButton_min_clicked();
    void on_toolButton_close_clicked();
    void on_toolButton_setting_clicked();
    void on_toolButton_tool_clicked();
    void on_toolButton_help_clicked();
    void on_pushButton_update_sign_clicked();
    void on_pushButton_update_encypt_clicked();
    void on_toolButton_contact_clicked();

private:
    struct Card;
    Card signCard() const;
    Card encryptCard() const;
    void showInstalled(const Card &card, const QString &title);
    void applyReply(const Card &card, VersionInfoPtr &record, const QString &body);
    void runUpdateFlow(const Card &card, VersionInfoPtr &record);
    void query(const QString &componentCode);
    bool alertNoRecord();
    void openSettingsMenu(bool byKeyboard);
    void showPage(int index);
    void markPage(QToolButton *shown, QToolButton *other);

    Ui::HomeWidget *ui;
    QPoint dragOffset;
    bool dragging = false;
    bool autoStartEnabled = false;
    VersionInfoPtr signVersion;
    VersionInfoPtr encryptVersion;
    VersionInfoPtr selfVersion;
};
