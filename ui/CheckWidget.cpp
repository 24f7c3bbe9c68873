#include "CheckWidget.h"

#include "AlertDialog.h"
#include "Constants.h"
#include "DeploymentSettings.h"
#include "FramelessDrag.h"
#include "InstallerAddress.h"
#include "Platform.h"
#include "ToolDelivery.h"
#include "UtilManager.h"
#include "ui_CheckWidget.h"

#include <QDebug>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QProcess>
#include <QTimer>
#include <QUrl>

namespace {

const int FirstCheckDelayMs = 500;
const int StepWaitMs = 1000;
const int HideAfterLaunchMs = 1000;

struct ToolOfScene
{
    QString code;
    QString title;
    QString url;
};

ToolOfScene toolOfScene(const QString &scene)
{
    if (scene == QLatin1String("00"))
        return { SignatureClientName, SignatureClientTitle, SignatureClientUrl };
    return { EncryptedClientName, EncryptedClientTitle, EncryptedClientUrl };
}

QString sceneOfTool(const QString &title)
{
    if (title == SignatureClientTitle)
        return QStringLiteral("00");
    if (title == EncryptedClientTitle)
        return QStringLiteral("01");
    return QString();
}

QString color(const char *value)
{
    return QStringLiteral("color: ") + QLatin1String(value);
}

} // namespace

CheckWidget::CheckWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::CheckWidget)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    ui->stackedWidget->setCurrentIndex(0);
    ui->toolButton_check->setEnabled(false);
    ui->toolButton_check->setText(QString::fromUtf8("检测中"));
    FramelessKeys::install(this, ui->toolButton_close, ui->widget_header);
}

CheckWidget::~CheckWidget()
{
    delete ui;
}

void CheckWidget::setToolTitle(const QString &title)
{
    toolScene = sceneOfTool(title);
}

QString CheckWidget::scene() const
{
    return toolScene.isEmpty() ? UtilManager::instance()->useScene : toolScene;
}

void CheckWidget::showAndCheck()
{
    show();
    activateWindow();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    if (checking)
        return;
    resetCheckView();
    QTimer::singleShot(FirstCheckDelayMs, this, [this]() { runCheck(false); });
}

void CheckWidget::resetCheckView()
{
    ui->widget_loading->start();
    ui->toolButton_check->setEnabled(false);
    ui->toolButton_check->setText(QString::fromUtf8("检测中"));
    ui->label_progress->setText(QString::fromUtf8("正在进行检测…"));
    setNetworkLine(LineState::Checking);
    setDiskLine(LineState::Checking, QString());
    setStepsPassed(false);
    ui->progressBar->setValue(0);
    ui->stackedWidget->setCurrentIndex(0);
}

void CheckWidget::runCheck(bool launchAfterCheck)
{
    if (checking)
        return;
    checking = true;
    const ToolOfScene tool = toolOfScene(scene());
    queryLatestVersion(
        this, tool.code, [this](const QString &code, const QString &body) { onVersionResult(code, body); });

    ui->label_progress->setText(QString::fromUtf8("正在进行基础环境检测…"));
    UtilManager::waitWithEvents(StepWaitMs);
    int problems = 0;
    const bool networkPassed = UtilManager::isNetworkReachable();
    setNetworkLine(networkPassed ? LineState::Passed : LineState::Failed);
    problems += networkPassed ? 0 : 1;

    ui->progressBar->setValue(30);
    ui->label_progress->setText(QString::fromUtf8("正在进行磁盘检测…"));
    UtilManager::waitWithEvents(StepWaitMs);
    const QString drive = Platform::programDrive();
    const bool diskPassed = UtilManager::hasEnoughDiskSpace();
    setDiskLine(diskPassed ? LineState::Passed : LineState::Failed, drive);
    problems += diskPassed ? 0 : 1;

    ui->progressBar->setValue(60);
    ui->toolButton_check->setEnabled(true);
    ui->toolButton_check->setText(QString::fromUtf8("重新检测"));
    ui->widget_loading->stop();
    checking = false;

    if (problems > 0) {
        ui->label_progress->setText(QString::fromUtf8("基础环境存在问题，请修复后重新检测"));
        ui->toolButton_check->setFocus();
        return;
    }
    ui->label_app_title->setText(tool.title);
    describeInstallButton();
    ui->label_progress->setText(QString::fromUtf8("安装%1，完成检测…").arg(tool.title));
    setStepsPassed(true);
    ui->stackedWidget->setCurrentIndex(1);
    ui->toolButton_install->setFocus();
    if (launchAfterCheck)
        launchInstalledTool(tool.title, tool.url);
}

void CheckWidget::setLine(QLabel *image, QLabel *title, QLabel *description, LineState state,
    const QString &passedText, const QString &failedText)
{
    static const char *const images[]
        = { ":/img/check_waiting.png", ":/img/check_success.png", ":/img/check_error.png" };
    static const char *const descriptionColors[] = { "#FF9313", "#00943E", "#C71023" };
    static const char *const stateWords[] = { "检测中", "通过", "未通过" };
    const int index = static_cast<int>(state);
    image->setPixmap(QPixmap(QLatin1String(images[index])));
    title->setStyleSheet(color(state == LineState::Failed ? "#C71023" : "#00943E"));
    description->setStyleSheet(color(descriptionColors[index]));
    description->setText(state == LineState::Checking ? QString::fromUtf8("检测中...")
            : state == LineState::Passed              ? passedText
                                                      : failedText);
    const QString word = QString::fromUtf8(stateWords[index]);
    image->setAccessibleName(word);
    title->setAccessibleDescription(
        state == LineState::Checking ? word : word + QString::fromUtf8("：") + description->text());
}

void CheckWidget::setNetworkLine(LineState state)
{
    setLine(ui->img_net_state, ui->label_net_title, ui->label_net_desc, state,
        QString::fromUtf8("连接服务器成功"), QString::fromUtf8("连接服务器失败"));
}

void CheckWidget::setDiskLine(LineState state, const QString &drive)
{
    setLine(ui->img_disk_state, ui->label_disk_title, ui->label_disk_desc, state,
        QString::fromUtf8("工作目录所在磁盘(%1)剩余空间充足").arg(drive),
        QString::fromUtf8("工作目录所在磁盘(%1)剩余空间不足").arg(drive));
}

void CheckWidget::setStepsPassed(bool passed)
{
    ui->label_step_1->setPixmap(
        QPixmap(passed ? QStringLiteral(":/img/one_steped.png") : QStringLiteral(":/img/one_steping.png")));
    ui->label_check->setStyleSheet(color(passed ? "#969AA0" : "#3461FF"));
    ui->label_step_2->setPixmap(
        QPixmap(passed ? QStringLiteral(":/img/two_steped.png") : QStringLiteral(":/img/two_steping.png")));
    ui->label_install->setStyleSheet(color(passed ? "#3461FF" : "#969AA0"));
    ui->label_check->setAccessibleDescription(QString::fromUtf8(passed ? "已完成" : "进行中"));
    ui->label_install->setAccessibleDescription(QString::fromUtf8(passed ? "进行中" : "未开始"));
}

void CheckWidget::describeInstallButton()
{
    ui->toolButton_install->setAccessibleDescription(
        (ui->label_app_title->text() + QLatin1Char(' ') + ui->label_app_version->text()).trimmed());
}

void CheckWidget::onVersionResult(const QString &componentCode, const QString &body)
{
    const auto apply = [this, &body](VersionInfoPtr &record) {
        record = parseVersionReply(body);
        if (!record)
            return;
        ui->label_app_title->setText(record->componentName);
        ui->label_app_version->setText(record->versionName);
        describeInstallButton();
    };
    if (componentCode == SignatureClientName)
        apply(signVersion);
    if (componentCode == EncryptedClientName)
        apply(encryptVersion);
}

void CheckWidget::on_toolButton_install_clicked()
{
    const QString checkedScene = scene();
    VersionInfoPtr record;
    if (checkedScene == QLatin1String("00"))
        record = signVersion;
    else if (checkedScene == QLatin1String("01"))
        record = encryptVersion;
    if (!openInstallerAddress(this, record ? record->fileUrl : QString()))
        return;
    const int answer = AlertDialog::showAlert(this, QString::fromUtf8("安装提示"),
        QStringLiteral(":/img/dialog_question.png"), QString::fromUtf8("软件安装是否完成？"),
        QString::fromUtf8("已完成安装"));
    if (answer == AlertDialog::CloseClicked)
        return;
    resetCheckView();
    runCheck(true);
}

void CheckWidget::launchInstalledTool(const QString &title, const QString &url)
{
    const QString path = UtilManager::installedProgramPath(title);
    if (!UtilManager::isToolInstalled(title))
        return;
    qDebug() << "-------------已安装" << path;
    if (!QProcess::startDetached(path, QStringList(), QString())) {
        AlertDialog::showAlert(this, QString::fromUtf8("启动提示"), QStringLiteral(":/img/dialog_error.png"),
            QString::fromUtf8("软件启动失败！请重新安装%1").arg(title), QString::fromUtf8("知道了"));
        return;
    }
    ui->label_progress->setText(QString::fromUtf8("检测完成"));
    ui->widget_loading->finish();
    ui->progressBar->setValue(100);
    // The commands that waited for this tool, not whatever text came last.
    if (ToolDelivery *tool = UtilManager::instance()->toolDeliveryTitled(title))
        tool->handOver();
    else
        qDebug() << "No commands to hand over to" << url;
    QTimer::singleShot(HideAfterLaunchMs, this, &QWidget::hide);
}

void CheckWidget::on_toolButton_close_clicked()
{
    hide();
}

void CheckWidget::on_toolButton_min_clicked()
{
    showMinimized();
}

void CheckWidget::on_toolButton_help_clicked()
{
    QDesktopServices::openUrl(QUrl(DeploymentSettings::webChatUrl(), QUrl::TolerantMode));
}

void CheckWidget::on_toolButton_check_clicked()
{
    resetCheckView();
    runCheck(true);
}

void CheckWidget::mousePressEvent(QMouseEvent *event)
{
    if (!FramelessDrag::press(this, event, ui->widget_header, dragOffset, dragging))
        QWidget::mousePressEvent(event);
}

void CheckWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!FramelessDrag::move(this, event, dragOffset, dragging))
        QWidget::mouseMoveEvent(event);
}

void CheckWidget::mouseReleaseEvent(QMouseEvent *event)
{
    if (!FramelessDrag::release(event, dragging))
        QWidget::mouseReleaseEvent(event);
}

void CheckWidget::hideEvent(QHideEvent *event)
{
    // Hidden by the program or the user, not minimised: commands still waiting for an installation
    // would otherwise wait for good.
    if (!event->spontaneous())
        UtilManager::instance()->dropCommandsAwaitingInstallation();
    QWidget::hideEvent(event);
}

void CheckWidget::showEvent(QShowEvent *event)
{
    setAttribute(Qt::WA_Mapped, true);
    QWidget::showEvent(event);
}
