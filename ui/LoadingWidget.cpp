#include "LoadingWidget.h"

#include "AlertDialog.h"
#include "CheckWidget.h"
#include "Constants.h"
#include "HomeWidget.h"
#include "Platform.h"
#include "UtilManager.h"
#include "WebSocketClient.h"
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
    activateWindow();
}

LoadingWidget::~LoadingWidget()
{
    delete ui;
}

bool LoadingWidget::isWaitingForProcess() const
{
    return progressTimer->isActive();
}

void LoadingWidget::beginLaunch()
{
    if (isWaitingForProcess())
        qDebug().noquote() << QStringLiteral(
            "Launch of %1 dropped: a newer start command arrived before its process ran")
                                  .arg(toolTitle);
    progressTimer->stop();
    progress = 0;
    ui->progressBar->setValue(0);
    ui->label_progress->setText(QStringLiteral("0%"));
    QTimer::singleShot(LaunchDelayMs, this, [this]() {
        UtilManager::instance()->homeWidget()->hide();
        startApplication();
    });
}

void LoadingWidget::alertAndThen(
    const QString &title, const QString &icon, const QString &text, bool closeAfter)
{
    AlertDialog::showAlert(this, title, icon, text, QString::fromUtf8("知道了"));
    if (closeAfter)
        QTimer::singleShot(0, this, &QWidget::close);
    else
        QTimer::singleShot(0, this, &QWidget::hide);
}

void LoadingWidget::startApplication()
{
    const QString drive = Platform::programDrive();
    if (!UtilManager::hasEnoughDiskSpace()) {
        alertAndThen(QString::fromUtf8("异常提示"), QStringLiteral(":/img/dialog_disk.png"),
            QString::fromUtf8("工作目录所在磁盘(%1)剩余空间不足").arg(drive), true);
        return;
    }
    if (!UtilManager::isNetworkReachable()) {
        alertAndThen(QString::fromUtf8("异常提示"), QStringLiteral(":/img/dialog_net.png"),
            QString::fromUtf8("网络异常，未能连接到服务器！"), true);
        return;
    }
    const bool signature = UtilManager::instance()->useScene == QLatin1String("00");
    toolTitle = signature ? SignatureClientTitle : EncryptedClientTitle;
    toolUrl = signature ? SignatureClientUrl : EncryptedClientUrl;
    const QString path = UtilManager::installedProgramPath(toolTitle);

    if (!UtilManager::isToolInstalled(toolTitle)) {
        qDebug() << "-------------未安装";
        ui->progressBar->setValue(100);
        ui->label_progress->setText(QStringLiteral("100%"));
        QTimer::singleShot(HandOverDelayMs, this, [this]() {
            hide();
            CheckWidget *check = UtilManager::instance()->checkWidget();
            check->show();
            check->showAndCheck();
        });
        return;
    }
    qDebug() << "-------------已安装" << path;
    qint64 pid = 0;
    if (!QProcess::startDetached(path, QStringList(), QString(), &pid)) {
        alertAndThen(QString::fromUtf8("启动提示"), QStringLiteral(":/img/dialog_error.png"),
            QString::fromUtf8("软件启动失败！请重新安装%1").arg(toolTitle), false);
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
    if (UtilManager::isProcessAlive(processId)) {
        progressTimer->stop();
        ui->progressBar->setValue(100);
        ui->label_progress->setText(QStringLiteral("100%"));
        UtilManager::instance()->webSocketClient()->connectTo(toolUrl, UtilManager::instance()->lastMessage);
        QTimer::singleShot(HideAfterStartMs, this, &QWidget::hide);
        return;
    }
    if (progress >= 99)
        return;
    setProgress(progress + 1);
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
    progressTimer->stop();
    QWidget::hideEvent(event);
}

void LoadingWidget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    dragPosition = event->globalPos() - frameGeometry().topLeft();
    event->accept();
}

void LoadingWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return QWidget::mouseMoveEvent(event);
    move(event->globalPos() - dragPosition);
    event->accept();
}
