#include "AboutWidget.h"

#include "Constants.h"
#include "FramelessDrag.h"
#include "ui_AboutWidget.h"

#include <QMouseEvent>

AboutWidget::AboutWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::AboutWidget)
{
    ui->setupUi(this);
    setWindowModality(Qt::ApplicationModal);
    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    ui->label_version->setText(AppVersion);
    setAccessibleDescription(QString::fromUtf8("版本：%1").arg(AppVersion));
    FramelessKeys::install(this, ui->toolButton_close);
    ui->toolButton_close->setFocus();
}

AboutWidget::~AboutWidget()
{
    delete ui;
}

void AboutWidget::on_toolButton_close_clicked()
{
    close();
}

void AboutWidget::mousePressEvent(QMouseEvent *event)
{
    if (!FramelessDrag::press(this, event, ui->widget_title, dragOffset, dragging))
        QWidget::mousePressEvent(event);
}

void AboutWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!FramelessDrag::move(this, event, dragOffset, dragging))
        QWidget::mouseMoveEvent(event);
}

void AboutWidget::mouseReleaseEvent(QMouseEvent *event)
{
    FramelessDrag::release(event, dragging);
    QWidget::mouseReleaseEvent(event);
}
