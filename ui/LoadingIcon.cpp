#include "LoadingIcon.h"

#include <QPainter>
#include <QTimer>

namespace {

const int FrameIntervalMs = 15;
const int FrameCount = 49;
const int FramesPerLoop = 48; // the last frame repeats the first

} // namespace

LoadingIcon::LoadingIcon(QWidget *parent)
    : QWidget(parent)
    , timer(new QTimer(this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    connect(timer, &QTimer::timeout, this, &LoadingIcon::nextFrame);
    for (int frame = 0; frame < FrameCount; ++frame)
        frames.append(QPixmap(QStringLiteral(":/img/loading/%1.png").arg(frame)));
    resize(40, 40);
    if (!timer->isActive())
        timer->start(FrameIntervalMs);
    show();
}

void LoadingIcon::start()
{
    if (!timer->isActive())
        timer->start(FrameIntervalMs);
    show();
}

void LoadingIcon::stop()
{
    if (timer->isActive())
        timer->stop();
    finished = false;
    update();
}

void LoadingIcon::finish()
{
    if (timer->isActive())
        timer->stop();
    finished = true;
    update();
}

bool LoadingIcon::isAnimating() const
{
    return timer->isActive();
}

void LoadingIcon::nextFrame()
{
    ++frameIndex;
    if (frameIndex >= FramesPerLoop)
        frameIndex = 0;
    update();
}

void LoadingIcon::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRect area(0, 0, 40, 40);
    if (!timer->isActive()) {
        painter.drawPixmap(area,
            QPixmap(finished ? QStringLiteral(":/img/loading/end.png")
                             : QStringLiteral(":/img/loading/waiting.png")));
        return;
    }
    painter.drawPixmap(area, frames.at(frameIndex));
}
