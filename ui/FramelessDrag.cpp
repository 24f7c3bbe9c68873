#include "FramelessDrag.h"

#include <QMouseEvent>
#include <QWidget>

namespace FramelessDrag {

QPoint globalPosition(const QMouseEvent *event)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->globalPosition().toPoint();
#else
    return event->globalPos(); // Qt 5 has no globalPosition()
#endif
}

bool press(QWidget *window, QMouseEvent *event, const QWidget *handle, QPoint &dragOffset, bool &dragging)
{
    const QRect handleArea(handle->mapTo(window, QPoint(0, 0)), handle->size());
    dragging = event->button() == Qt::LeftButton && handleArea.contains(event->pos());
    if (!dragging)
        return false;
    dragOffset = globalPosition(event) - window->frameGeometry().topLeft();
    event->accept();
    return true;
}

bool move(QWidget *window, QMouseEvent *event, const QPoint &dragOffset, bool dragging)
{
    if (!dragging || !(event->buttons() & Qt::LeftButton))
        return false;
    window->move(globalPosition(event) - dragOffset);
    event->accept();
    return true;
}

bool release(QMouseEvent *event, bool &dragging)
{
    if (event->button() != Qt::LeftButton)
        return false;
    dragging = false;
    return true;
}

} // namespace FramelessDrag
