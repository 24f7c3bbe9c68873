#pragma once

// The launch window: checks disk and network, finds the tool of the current scene among the
// installed programs, starts it, waits for its process and hands it the browser's message; a tool
// that is missing hands over to the check window.
//
// Decisions of ours:
// - Every launch starts its counter and bar at 0.
// - The 10 ms wait for the process stops whenever the window hides, so a tool that has already
//   ended cannot keep a timer running for the rest of the day.
// - The window runs one launch at a time, for the tool whose road asked for it (ToolDelivery), never
//   inside another launch's waits: a launch asked for meanwhile (the other tool's) waits its turn and
//   begins when the current one has ended. Start commands for the tool being launched join its launch
//   (see ToolDelivery), so a burst of them makes one launch.
// - After a disk or network alert the window closes, as prescribed, unless another launch waits: then
//   it hides and that launch begins (the program must not quit with a page's command waiting).
// - A process that has ended before its first tick (the bar reaches 99%) ends the launch: its
//   commands go to the tool when a copy of it runs already (a tool that allows one copy ends a second
//   start at once), and are otherwise dropped with a log line; then the next waiting launch may begin.
//   Hiding the window (closed or minimised by the user) while it waits for the process drops them too.
#include <QList>
#include <QPoint>
#include <QPointer>
#include <QWidget>

class QTimer;
class ToolDelivery;

namespace Ui {
class LoadingWidget;
}

class LoadingWidget : public QWidget
{
    Q_OBJECT

public:
    explicit LoadingWidget(QWidget *parent = nullptr);
    ~LoadingWidget() override;

    // Shows the window and launches the tool, or queues the launch behind the one that runs.
    void requestLaunch(ToolDelivery *tool);
    void beginLaunch();
    int progressValue() const { return progress; }
    bool isWaitingForProcess() const;
    // Whether a launch runs or waits its turn.
    bool isLaunching() const;

public slots:
    void startApplication();
    void updateProgress();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    // The started process runs (or the tool already ran): the bar shows 100% and the commands go over.
    void finishWaitForProcess();
    void setProgress(int value);
    void failLaunch(const QString &title, const QString &icon, const QString &text, bool closeAfter,
        const QString &reason);
    void endLaunch();
    void beginNextLaunch();

    Ui::LoadingWidget *ui;
    QPoint dragPosition;
    QTimer *progressTimer;
    int progress = 0;
    QString toolTitle;
    QString toolUrl;
    qint64 processId = 0;
    bool progressConnected = false;
    QPointer<ToolDelivery> currentTool;
    QList<QPointer<ToolDelivery>> waitingLaunches;
};
