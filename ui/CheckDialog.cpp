#include "CheckDialog.h"

#include "FramelessDrag.h"
#include "InstallerAddress.h"
#include "ui_CheckDialog.h"

#include <QMouseEvent>

CheckDialog::CheckDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CheckDialog)
{
    ui->setupUi(this);
    setWindowModality(Qt::ApplicationModal);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAccessibleName(ui->label_title->text());
    FramelessKeys::install(this, ui->toolButton_close);
    ui->toolButton_confirm->setFocus();
}

CheckDialog::~CheckDialog()
{
    delete ui;
}

void CheckDialog::setVersionInfo(const VersionInfoPtr &record)
{
    info = record;
    if (!info)
        return;
    if (info->hasUpdate) {
        ui->label_version->setText(QString::fromUtf8("版本：%1").arg(info->versionName));
        ui->label_text->setText(QString::fromUtf8("%1有新版本，可升级").arg(info->componentName));
        ui->toolButton_cancel->show();
        ui->toolButton_confirm->setText(QString::fromUtf8("立即升级"));
    } else {
        ui->label_version->setText(QString::fromUtf8("最新版本：%1").arg(info->versionName));
        ui->label_text->setText(QString::fromUtf8("%1已是最新版本").arg(info->componentName));
        ui->toolButton_cancel->hide();
        ui->toolButton_confirm->setText(QString::fromUtf8("好的"));
    }
    setAccessibleDescription(ui->label_text->text() + QLatin1Char(' ') + ui->label_version->text());
}

void CheckDialog::on_toolButton_cancel_clicked()
{
    close();
}

void CheckDialog::on_toolButton_confirm_clicked()
{
    if (info && info->hasUpdate)
        openInstallerAddress(this, info->fileUrl);
    close();
}

void CheckDialog::on_toolButton_close_clicked()
{
    close();
}

void CheckDialog::mousePressEvent(QMouseEvent *event)
{
    if (!FramelessDrag::press(this, event, ui->widget_title, dragOffset, dragging))
        QDialog::mousePressEvent(event);
}

void CheckDialog::mouseMoveEvent(QMouseEvent *event)
{
    if (!FramelessDrag::move(this, event, dragOffset, dragging))
        QDialog::mouseMoveEvent(event);
}

void CheckDialog::mouseReleaseEvent(QMouseEvent *event)
{
    if (FramelessDrag::release(event, dragging))
        event->accept();
    else
        QDialog::mouseReleaseEvent(event);
}
