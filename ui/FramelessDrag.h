#pragma once

// What the program's frameless windows lose with the system frame, given back: dragging with the left
// mouse button by a handle area (the title bar), and the keys. Each window keeps its own dragOffset and
// dragging fields and forwards its mouse events; FramelessKeys::install gives it its keys.
#include <QPoint>
#include <QRect>

class QAbstractButton;
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

namespace FramelessKeys {

// Without a frame no key closes the window. Escape presses closeButton (none: Escape does nothing), as
// the button's user would; Enter and Return press the focused button (Space does so already). While the
// keyboard moves the focus (Tab, the arrows) a ring marks the focused control: drawn around it on a
// layer of its own, so the control's style sheet and look stay, and a pointer user sees nothing new.
// The ring is the program's blue, and white on darkArea. Screen readers are told the window is one.
void install(QWidget *window, QAbstractButton *closeButton, const QWidget *darkArea = nullptr);

} // namespace FramelessKeys
