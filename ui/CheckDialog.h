#pragma once

// The update dialog: one tool's version record, either with an update on offer (cancel and upgrade,
// which opens the installer address in the browser when it is http or https, see InstallerAddress.h)
// or up to date (one button). A screen reader hears its title and text when it opens; the confirming
// button has the focus, and Escape presses the close button.
#include "VersionInfo.h"

#include <QDialog>
#include <QPoint>

namespace Ui {
class CheckDialog;
}

class CheckDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CheckDialog(QWidget *parent = nullptr);
    ~CheckDialog() override;

    // Must be called before exec(); the dialog shares the record, so it stays valid while shown.
    void setVersionInfo(const VersionInfoPtr &info);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private slots:
    void on_toolButton_cancel_clicked();
    void on_toolButton_confirm_clicked();
    void on_toolButton_close_clicked();

private:
    Ui::CheckDialog *ui;
    QPoint dragOffset;
    bool dragging = false;
    VersionInfoPtr info;
};
