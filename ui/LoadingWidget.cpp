#include "LoadingWidget.h"

#include "AlertDialog.h"
#include "CheckWidget.h"
#include "Constants.h"
#include "FramelessDrag.h"
#include "HomeWidget.h"
#include "Platform.h"
#include "ToolDelivery.h"
#include "UtilManager.h"
#include "ui_LoadingWidget.h"

#include <QDebug>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QTimer>

namespace {

const int LaunchDelayMs = 1000;
const int ProgressTickMs = 10;
const int HideAfterStartMs = 1000;
const int HandOverDelayMs = 1000;

} // namespace

LoadingWidget::LoadingWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::LoadingWidget)
    , progressTimer(new QTimer(this))
{
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    // It has no button to press; screen readers meet it as a window, as the others.
    FramelessKeys::install(this, nullptr);
    activateWindow();
}

LoadingWidget::~LoadingWidget()
{
    delete ui;
}

bool LoadingWidget::isLaunching() const
{
    return !currentTool.isNull() || !waitingLaunches.isEmpty();
}

bool LoadingWidget::isWaitingForProcess() const
{
    return progressTimer->isActive();
}

void LoadingWidget::requestLaunch(ToolDelivery *tool)
{
    if (currentTool) {
        if (!waitingLaunches.contains(tool))
            waitingLaunches.append(tool);
        return;
    }
    currentTool = tool;
    show();
    beginLaunch();
}

void LoadingWidget::beginLaunch()
{
    progressTimer->stop();
    progress = 0;
    ui->progressBar->setValue(0);
    ui->label_progress->setText(QStringLiteral("0%"));
    QTimer::singleShot(LaunchDelayMs, this, [this]() {
        UtilManager::instance()->homeWidget()->hide();
        startApplication();
    });
}

// The launch of currentTool has ended (its commands handed over, dropped or left to the check
// window): the next waiting launch begins.
void LoadingWidget::endLaunch()
{
    currentTool = nullptr;
    beginNextLaunch();
}

void LoadingWidget::beginNextLaunch()
{
    while (!waitingLaunches.isEmpty() && !currentTool)
        currentTool = waitingLaunches.takeFirst();
    if (!currentTool)
        return;
    show();
    beginLaunch();
}

void LoadingWidget::failLaunch(
    const QString &title, const QString &icon, const QString &text, bool closeAfter, const QString &reason)
{
    // The pages that asked learn of it now, not once the user has read the alert.
    if (currentTool)
        currentTool->reportLaunchFailure(reason);
    AlertDialog::showAlert(this, title, icon, text, QString::fromUtf8("知道了"));
    // Commands that arrived while the alert was open share its launch's fate.
    if (currentTool)
        currentTool->dropWaitingLaunch(reason);
    QTimer::singleShot(0, this, [this, closeAfter]() {
        if (closeAfter && waitingLaunches.isEmpty())
            close();
        else
            hide();
        endLaunch();
    });
}

void LoadingWidget::startApplication()
{
    // Called without a request (by hand), it launches the tool of the current scene.
    if (!currentTool)
        currentTool = UtilManager::instance()->toolDelivery(UtilManager::instance()->useScene);
    const QPointer<ToolDelivery> tool = currentTool;
    const QString drive = Platform::programDrive();
    if (!UtilManager::hasEnoughDiskSpace()) {
        failLaunch(QString::fromUtf8("异常提示"), QStringLiteral(":/img/dialog_disk.png"),
            QString::fromUtf8("工作目录所在磁盘(%1)剩余空间不足").arg(drive), true,
            QStringLiteral("too little free disk space"));
        return;
    }
    if (!UtilManager::isNetworkReachable()) {
        failLaunch(QString::fromUtf8("异常提示"), QStringLiteral(":/img/dialog_net.png"),
            QString::fromUtf8("网络异常，未能连接到服务器！"), true,
            QStringLiteral("the network is unreachable"));
        return;
    }
    if (!tool)
        return endLaunch();
    toolTitle = tool->title();
    toolUrl = tool->url();
    const QString path = UtilManager::installedProgramPath(toolTitle);

    if (!UtilManager::isToolInstalled(toolTitle)) {
        qDebug() << "-------------未安装";
        tool->awaitInstallation();
        ui->progressBar->setValue(100);
        ui->label_progress->setText(QStringLiteral("100%"));
        QTimer::singleShot(HandOverDelayMs, this, [this, title = toolTitle]() {
            hide();
            CheckWidget *check = UtilManager::instance()->checkWidget();
            check->setToolTitle(title);
            check->show();
            check->showAndCheck();
            endLaunch();
        });
        return;
    }
    qDebug() << "-------------已安装" << path;
    qint64 pid = 0;
    if (!QProcess::startDetached(path, QStringList(), QString(), &pid)) {
        failLaunch(QString::fromUtf8("启动提示"), QStringLiteral(":/img/dialog_error.png"),
            QString::fromUtf8("软件启动失败！请重新安装%1").arg(toolTitle), false,
            QStringLiteral("the program did not start"));
        return;
    }
    processId = pid;
    if (!progressConnected) {
        progressConnected = true;
        connect(progressTimer, &QTimer::timeout, this, &LoadingWidget::updateProgress);
    }
    progressTimer->start(ProgressTickMs);
}

void LoadingWidget::updateProgress()
{
    if (UtilManager::isProcessAlive(processId))
        return finishWaitForProcess();
    if (progress >= 99)
        return;
    setProgress(progress + 1);
    if (progress == 99 && currentTool) {
        // A tool that allows one copy ends a second start at once and goes on in its first copy.
        if (currentTool->isRunning())
            return finishWaitForProcess();
        // The process id is for the log only: the reason also goes to the pages that asked.
        qDebug() << "The started process" << processId << "has ended";
        currentTool->dropWaitingLaunch(QStringLiteral("its process ended before it ran"));
        endLaunch();
    }
}

void LoadingWidget::finishWaitForProcess()
{
    progressTimer->stop();
    ui->progressBar->setValue(100);
    ui->label_progress->setText(QStringLiteral("100%"));
    const bool launching = currentTool;
    if (launching)
        currentTool->releaseWaiting();
    QTimer::singleShot(HideAfterStartMs, this, [this, launching]() {
        hide();
        if (!launching || !currentTool)
            return;
        // Start commands that came during this second join the launch that has just ended.
        currentTool->handOver();
        endLaunch();
    });
}

void LoadingWidget::setProgress(int value)
{
    progress = value;
    ui->progressBar->setValue(value);
    ui->label_progress->setText(QStringLiteral("%1%").arg(value));
}

void LoadingWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(QStringLiteral("#D7D7DC")), 1, Qt::SolidLine));
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(rect(), 8, 8, Qt::AbsoluteSize);
}

void LoadingWidget::hideEvent(QHideEvent *event)
{
    // Hidden (closed or minimised by the user) while it waits for the process: that launch ends here.
    if (progressTimer->isActive() && currentTool) {
        currentTool->dropWaitingLaunch(QStringLiteral("the launch window was closed"));
        currentTool = nullptr;
        QTimer::singleShot(0, this, &LoadingWidget::beginNextLaunch);
    }
    progressTimer->stop();
    QWidget::hideEvent(event);
}

void LoadingWidget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    dragPosition = FramelessDrag::globalPosition(event) - frameGeometry().topLeft();
    event->accept();
}

void LoadingWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return QWidget::mouseMoveEvent(event);
    move(FramelessDrag::globalPosition(event) - dragPosition);
    event->accept();
}
