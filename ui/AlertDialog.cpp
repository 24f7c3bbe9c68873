#include "AlertDialog.h"

#include "FramelessDrag.h"
#include "ui_AlertDialog.h"

#include <QDebug>
#include <QMouseEvent>

AlertDialog::AlertDialog(QWidget *parent, const QString &title, const QString &iconPath, const QString &text,
    const QString &buttonText)
    : QDialog(parent)
    , ui(new Ui::AlertDialog)
{
    ui->setupUi(this);
    setWindowModality(Qt::ApplicationModal);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    ui->label_title->setText(title);
    ui->label_img->setPixmap(QPixmap(iconPath));
    ui->label_text->setText(text);
    ui->label_text->setWordWrap(true);
    ui->label_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ui->toolButton_action->setText(buttonText);
    fitText();
    setAccessibleName(title);
    setAccessibleDescription(text);
    FramelessKeys::install(this, ui->toolButton_close);
    ui->toolButton_action->setFocus();
}

void AlertDialog::fitText()
{
    // A long message (a link to copy, say) grows the dialog instead of being cut off.
    const QMargins margins = ui->horizontalLayout_2->contentsMargins();
    const int textWidth = width() - margins.left() - margins.right() - ui->label_img->maximumWidth()
        - ui->horizontalLayout_2->spacing() - 2;
    const int needed = ui->label_text->heightForWidth(textWidth);
    const int room = ui->widget_text->minimumHeight() - 12;
    if (needed > room) {
        setMinimumHeight(minimumHeight() + needed - room);
        resize(width(), minimumHeight());
    }
}

AlertDialog::~AlertDialog()
{
    delete ui;
}

int AlertDialog::showAlert(QWidget *parent, const QString &title, const QString &iconPath,
    const QString &text, const QString &buttonText)
{
    // The debug log keeps what users were told, for diagnosis.
    qDebug().noquote() << "Alert:" << title << text;
    AlertDialog dialog(
        parent, title.isEmpty() ? QString::fromUtf8("提示") : title, iconPath, text, buttonText);
    dialog.exec();
    return dialog.result;
}

void AlertDialog::on_toolButton_close_clicked()
{
    result = CloseClicked;
    close();
}

void AlertDialog::on_toolButton_action_clicked()
{
    result = ActionClicked;
    close();
}

void AlertDialog::mousePressEvent(QMouseEvent *event)
{
    if (!FramelessDrag::press(this, event, ui->widget_title, dragOffset, dragging))
        QDialog::mousePressEvent(event);
}

void AlertDialog::mouseMoveEvent(QMouseEvent *event)
{
    if (!FramelessDrag::move(this, event, dragOffset, dragging))
        QDialog::mouseMoveEvent(event);
}

void AlertDialog::mouseReleaseEvent(QMouseEvent *event)
{
    if (FramelessDrag::release(event, dragging))
        event->accept();
    else
        QDialog::mouseReleaseEvent(event);
}
