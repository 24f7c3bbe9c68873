#pragma once

// The About window: logo, title and the program version. Application-modal; the settings menu makes
// a new one each time, and a closed one is destroyed at once (nobody keeps a reference to it). Escape
// closes it as its close button does; the close button, its only control, has the focus.
#include <QPoint>
#include <QWidget>

namespace Ui {
class AboutWidget;
}

class AboutWidget : public QWidget
{
    Q_OBJECT

public:
    explicit AboutWidget(QWidget *parent = nullptr);
    ~AboutWidget() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private slots:
    void on_toolButton_close_clicked();

private:
    Ui::AboutWidget *ui;
    QPoint dragOffset;
    bool dragging = false;
};
