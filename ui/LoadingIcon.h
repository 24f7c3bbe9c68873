#pragma once

// A 40 x 40 spinner: loops its frames while a check runs and shows a still image when stopped (the
// waiting image after stop(), the end image after finish()).
#include <QList>
#include <QPixmap>
#include <QWidget>

class QTimer;

class LoadingIcon : public QWidget
{
    Q_OBJECT

public:
    explicit LoadingIcon(QWidget *parent = nullptr);

    void start();
    void stop();
    void finish();

    bool isAnimating() const;
    int currentFrame() const { return frameIndex; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void nextFrame();

    QTimer *timer;
    QList<QPixmap> frames;
    quint8 frameIndex = 0;
    bool finished = false;
};
