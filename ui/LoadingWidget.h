#pragma once

// The launch window: checks disk and network, finds the tool of the current scene among the
// installed programs, starts it, waits for its process and hands it the browser's message; a tool
// that is missing hands over to the check window.
//
// Decisions of ours:
// - Every launch starts its counter and bar at 0.
// - The 10 ms wait for the process stops whenever the window hides, so a tool that has already
//   ended cannot keep a timer running for the rest of the day.
// - A start command that arrives while a launch still waits for its process wins: the program keeps
//   one command (the last message) and one connection to a tool, so the earlier launch is dropped,
//   with the line "Launch of <title> dropped: a newer start command arrived before its process ran"
//   in the log; its tool may have started but is not handed the earlier message (its page may send
//   again).
#include <QPoint>
#include <QWidget>

class QTimer;

namespace Ui {
class LoadingWidget;
}

class LoadingWidget : public QWidget
{
    Q_OBJECT

public:
    explicit LoadingWidget(QWidget *parent = nullptr);
    ~LoadingWidget() override;

    void beginLaunch();
    int progressValue() const { return progress; }
    bool isWaitingForProcess() const;

public slots:
    void startApplication();
    void updateProgress();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void setProgress(int value);
    void alertAndThen(const QString &title, const QString &icon, const QString &text, bool closeAfter);

    Ui::LoadingWidget *ui;
    QPoint dragPosition;
    QTimer *progressTimer;
    int progress = 0;
    QString toolTitle;
    QString toolUrl;
    qint64 processId = 0;
    bool progressConnected = false;
};
