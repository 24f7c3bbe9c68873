#pragma once

// Dragging of the program's frameless windows with the left mouse button, by a handle area (the
// title bar). Each window keeps its own dragOffset and dragging fields and forwards its mouse events.
#include <QPoint>
#include <QRect>

class QMouseEvent;
class QWidget;

namespace FramelessDrag {

// Where the pointer of event is on the screen.
QPoint globalPosition(const QMouseEvent *event);

// Starts a drag when the left button is pressed inside the handle widget; true if accepted.
bool press(QWidget *window, QMouseEvent *event, const QWidget *handle, QPoint &dragOffset, bool &dragging);
// Moves the window while a drag runs; true if accepted.
bool move(QWidget *window, QMouseEvent *event, const QPoint &dragOffset, bool dragging);
// Ends a drag on the release of the left button; true if it was the left button.
bool release(QMouseEvent *event, bool &dragging);

} // namespace FramelessDrag
