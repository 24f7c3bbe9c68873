#pragma once

// The one modal message dialog of the program: title, icon, text and one action button, plus a close
// button in its title bar. Callers use showAlert() and act on its result.
//
// Escape presses the close button, and a dialog dismissed otherwise without either button reports
// CloseClicked too: every caller treats that as "the user declined".
//
// The alert is named by its title and described by its text, so a screen reader says both when it
// opens; the action button has the focus, so Enter or Space answers it at once.
//
// Two things beyond the form, kept on purpose:
// - A text longer than the 382 x 160 box holds makes the dialog grow taller (fitText) rather than cut the
//   text: an alert is often all a user is told about a failure, and a cut sentence tells them nothing.
// - Every alert's title and text go to the log ("Alert: …"): these texts are the program's own, never a
//   page's, and a support desk asked "what did it say?" finds the answer in the file.
#include <QDialog>
#include <QPoint>

namespace Ui {
class AlertDialog;
}

class AlertDialog : public QDialog
{
    Q_OBJECT

public:
    enum Result { ActionClicked = 4, CloseClicked = 16 };

    AlertDialog(QWidget *parent, const QString &title, const QString &iconPath, const QString &text,
        const QString &buttonText);
    ~AlertDialog() override;

    static int showAlert(QWidget *parent, const QString &title, const QString &iconPath, const QString &text,
        const QString &buttonText);

    int resultCode() const { return result; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private slots:
    void on_toolButton_close_clicked();
    void on_toolButton_action_clicked();

private:
    void fitText();

    Ui::AlertDialog *ui;
    int result = CloseClicked;
    QPoint dragOffset;
    bool dragging = false;
};
