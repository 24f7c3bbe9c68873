#include "HomeWidget.h"

#include "AboutWidget.h"
#include "AlertDialog.h"
#include "CheckDialog.h"
#include "Constants.h"
#include "DeploymentSettings.h"
#include "FramelessDrag.h"
#include "InstallerAddress.h"
#include "TrayIcon.h"
#include "UtilManager.h"
#include "ui_HomeWidget.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>

const char TAB_SELECTED_STYLE[]
    = "QToolButton {color: #323335;border: 2px solid #3461FF;border-width: 0px 0px 2px "
      "0px;}QToolButton::hover {border: 2px solid #5D81FF;border-width: 0px 0px 2px 0px;}";
const char TAB_NORMAL_STYLE[]
    = "QToolButton {color: #64666B;border: 2px solid #3461FF;border-width: 0px 0px 0px "
      "0px;}QToolButton::hover {border: 2px solid #5D81FF;border-width: 0px 0px 2px 0px;}";

namespace {

const char MenuStyle[]
    = "QMenu {font-size: 11pt;background-color: white;border: 1px solid #F3F3F4;border-radius: "
      "5px;}QMenu::item {padding: 10px 20px 10px 5px;}QMenu::item:selected {background-color: "
      "#F3F3F4;}";
const QPoint MenuOffset(-52, 44);

QString checkIcon(bool checked)
{
    return checked ? QStringLiteral(":/img/item_checked.png") : QStringLiteral(":/img/item_uncheck.png");
}

} // namespace

struct HomeWidget::Card
{
    QString code;
    QLabel *name;
    QLabel *version;
    QLabel *badge;
    QPushButton *button;
};

HomeWidget::HomeWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::HomeWidget)
{
    ui->setupUi(this);
    ui->label_install_sign->hide();
    ui->label_install_encypt->hide();
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    ui->stackedWidget->setCurrentIndex(0);
    FramelessKeys::install(this, ui->toolButton_close);
    for (QWidget *watched : { ui->toolButton_setting, ui->toolButton_tool, ui->toolButton_help })
        watched->installEventFilter(this);

    TrayIcon *tray = TrayIcon::instance();
    tray->setIcon(QStringLiteral(":/main.ico"));
    tray->setMainWidget(this);
    tray->setVisible(true);
    tray->setToolTip(QString::fromUtf8("Tessary检测安装工具"));

    autoStartEnabled = UtilManager::isAutoStart();
    if (UtilManager::isToolInstalled(SignatureClientTitle))
        showInstalled(signCard(), SignatureClientTitle);
    if (UtilManager::isToolInstalled(EncryptedClientTitle))
        showInstalled(encryptCard(), EncryptedClientTitle);

    query(SignatureClientName);
    query(EncryptedClientName);
    query(DetectInstallToolName);
}

HomeWidget::~HomeWidget()
{
    // At shutdown the icon may be gone already; it is never created again then.
    if (TrayIcon *tray = TrayIcon::existing())
        tray->setVisible(false);
    delete ui;
}

HomeWidget::Card HomeWidget::signCard() const
{
    return { SignatureClientName, ui->label_name_sign, ui->label_version_sign, ui->label_install_sign,
        ui->pushButton_update_sign };
}

HomeWidget::Card HomeWidget::encryptCard() const
{
    return { EncryptedClientName, ui->label_name_encypt, ui->label_version_encypt, ui->label_install_encypt,
        ui->pushButton_update_encypt };
}

void HomeWidget::query(const QString &componentCode)
{
    queryLatestVersion(this, componentCode,
        [this](const QString &code, const QString &body) { onVersionResult(code, body); });
}

void HomeWidget::bringToFront()
{
    show();
    activateWindow();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
}

void HomeWidget::showInstalled(const Card &card, const QString &title)
{
    card.version->setText(QStringLiteral("V%1").arg(UtilManager::displayVersion(title)));
    card.button->setText(QString::fromUtf8("检查更新"));
    card.button->setAccessibleDescription(card.name->text());
    card.badge->show();
}

void HomeWidget::applyReply(const Card &card, VersionInfoPtr &record, const QString &body)
{
    record = parseVersionReply(body);
    if (!record)
        return;
    card.name->setText(record->componentName);
    if (UtilManager::isToolInstalled(record->componentName)) {
        showInstalled(card, record->componentName);
        return;
    }
    card.version->setText(record->versionName);
    card.button->setText(QString::fromUtf8("立即下载"));
    card.button->setAccessibleDescription(card.name->text());
    card.badge->hide();
}

void HomeWidget::onVersionResult(const QString &componentCode, const QString &body)
{
    if (componentCode == SignatureClientName)
        applyReply(signCard(), signVersion, body);
    else if (componentCode == EncryptedClientName)
        applyReply(encryptCard(), encryptVersion, body);
    else if (componentCode == DetectInstallToolName)
        selfVersion = parseVersionReply(body);
}

bool HomeWidget::alertNoRecord()
{
    return AlertDialog::showAlert(this, QString::fromUtf8("安装提示"),
               QStringLiteral(":/img/dialog_error.png"), QString::fromUtf8("下载地址获取失败，请检查网络"),
               QString::fromUtf8("好的"))
        != AlertDialog::CloseClicked;
}

void HomeWidget::runUpdateFlow(const Card &card, VersionInfoPtr &record)
{
    // The dialogs below run modal loops in which a reply may replace record; keep ours alive.
    const VersionInfoPtr shown = record;
    if (!shown) {
        if (!alertNoRecord())
            return;
    } else if (UtilManager::isToolInstalled(shown->componentName)) {
        const QString installed = UtilManager::versionNumber(shown->componentName);
        if (UtilManager::compareVersion(QString::number(shown->versionNumber), installed) > 0)
            shown->hasUpdate = true;
        CheckDialog dialog(nullptr);
        dialog.setVersionInfo(shown);
        dialog.exec();
    } else {
        openInstallerAddress(this, shown->fileUrl);
    }
    query(card.code);
}

void HomeWidget::checkSelfUpdate()
{
    const VersionInfoPtr shown = selfVersion;
    if (!shown) {
        if (alertNoRecord())
            query(DetectInstallToolName);
        return;
    }
    const QString installed = UtilManager::displayVersion(shown->componentName);
    if (UtilManager::compareVersion(QString::number(shown->versionNumber), installed) > 0)
        shown->hasUpdate = true;
    CheckDialog dialog(nullptr);
    dialog.setVersionInfo(shown);
    dialog.exec();
}

QMenu *HomeWidget::buildSettingsMenu()
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("settingsMenu"));
    menu->setAccessibleName(QString::fromUtf8("设置"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *autoStart = menu->addAction(QString::fromUtf8("开机启动"));
    QAction *update = menu->addAction(QString::fromUtf8("检查更新"));
    QAction *about = menu->addAction(QString::fromUtf8("关于"));
    for (QAction *action : { autoStart, update, about })
        action->setCheckable(true);
    autoStart->setChecked(autoStartEnabled);
    autoStart->setIcon(QIcon(checkIcon(autoStartEnabled)));
    menu->setStyleSheet(QLatin1String(MenuStyle));

    connect(autoStart, &QAction::triggered, this, [this, autoStart]() {
        autoStartEnabled = !autoStartEnabled;
        autoStart->setIcon(QIcon(checkIcon(autoStart->isChecked())));
        UtilManager::setAutoStart(autoStartEnabled);
    });
    connect(update, &QAction::triggered, this, &HomeWidget::checkSelfUpdate);
    connect(about, &QAction::triggered, this, []() {
        auto *window = new AboutWidget(nullptr);
        window->show();
    });
    return menu;
}

void HomeWidget::on_toolButton_setting_clicked()
{
    openSettingsMenu(false);
}

void HomeWidget::openSettingsMenu(bool byKeyboard)
{
    QMenu *menu = buildSettingsMenu();
    // Opened from the keyboard, the first entry is ready for Enter, as in the system's own menus.
    if (byKeyboard)
        QTimer::singleShot(0, menu, [menu]() { menu->setActiveAction(menu->actions().value(0)); });
    menu->exec(ui->toolButton_setting->mapToGlobal(MenuOffset));
}

bool HomeWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent *>(event)->key();
    if (watched == ui->toolButton_setting
        && (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Down)) {
        openSettingsMenu(true);
        return true;
    }
    if ((watched == ui->toolButton_tool || watched == ui->toolButton_help)
        && (key == Qt::Key_Left || key == Qt::Key_Right)) {
        showPage(key == Qt::Key_Left ? 0 : 1);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void HomeWidget::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if ((event->modifiers() & Qt::ControlModifier)
        && (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_PageDown || key == Qt::Key_PageUp))
        return showPage(1 - ui->stackedWidget->currentIndex());
    QWidget::keyPressEvent(event);
}

// The page's button is pressed as a click would (the tools page asks for the versions again), and
// takes the focus, as the tab of a tab bar does.
void HomeWidget::showPage(int index)
{
    QToolButton *tab = index == 0 ? ui->toolButton_tool : ui->toolButton_help;
    if (ui->stackedWidget->currentIndex() != index)
        tab->click();
    tab->setFocus(Qt::TabFocusReason);
}

void HomeWidget::markPage(QToolButton *shown, QToolButton *other)
{
    shown->setStyleSheet(QLatin1String(TAB_SELECTED_STYLE));
    other->setStyleSheet(QLatin1String(TAB_NORMAL_STYLE));
    shown->setAccessibleDescription(QString::fromUtf8("当前页面"));
    other->setAccessibleDescription(QString::fromUtf8("切换到此页面"));
}

void HomeWidget::on_toolButton_min_clicked()
{
    showMinimized();
}

void HomeWidget::on_toolButton_close_clicked()
{
    hide();
}

void HomeWidget::on_toolButton_tool_clicked()
{
    ui->stackedWidget->setCurrentIndex(0);
    markPage(ui->toolButton_tool, ui->toolButton_help);
    query(SignatureClientName);
    query(EncryptedClientName);
}

void HomeWidget::on_toolButton_help_clicked()
{
    ui->stackedWidget->setCurrentIndex(1);
    markPage(ui->toolButton_help, ui->toolButton_tool);
}

void HomeWidget::on_pushButton_update_sign_clicked()
{
    runUpdateFlow(signCard(), signVersion);
}

void HomeWidget::on_pushButton_update_encypt_clicked()
{
    runUpdateFlow(encryptCard(), encryptVersion);
}

void HomeWidget::on_toolButton_contact_clicked()
{
    QDesktopServices::openUrl(QUrl(DeploymentSettings::webChatUrl(), QUrl::TolerantMode));
}

void HomeWidget::mousePressEvent(QMouseEvent *event)
{
    if (!FramelessDrag::press(this, event, ui->widget_title, dragOffset, dragging))
        QWidget::mousePressEvent(event);
}

void HomeWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!FramelessDrag::move(this, event, dragOffset, dragging))
        QWidget::mouseMoveEvent(event);
}

void HomeWidget::mouseReleaseEvent(QMouseEvent *event)
{
    if (FramelessDrag::release(event, dragging))
        event->accept();
    else
        QWidget::mouseReleaseEvent(event);
}

void HomeWidget::showEvent(QShowEvent *event)
{
    setAttribute(Qt::WA_Mapped, true);
    QWidget::showEvent(event);
}
