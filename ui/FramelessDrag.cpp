#include "FramelessDrag.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QFocusFrame>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
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

namespace FramelessKeys {

namespace {

const int RingWidth = 2;
// A gap between control and ring, so a ring on a white button in the blue header still shows.
const int RingMargin = RingWidth + 2;

// A QFocusFrame because Qt leaves those out of the accessibility tree: screen readers never meet the
// ring. It lies above the control, takes no mouse events and paints nothing but its outline.
class FocusRing : public QFocusFrame
{
public:
    FocusRing(QWidget *window, const QWidget *darkArea)
        : QFocusFrame(window)
        , darkArea(darkArea)
    {
        setObjectName(QStringLiteral("focusRing"));
        setAttribute(Qt::WA_NoSystemBackground);
        hide();
    }

    void surround(QWidget *control)
    {
        if (!control)
            return hide();
        onDark = darkArea && darkArea->isAncestorOf(control);
        const QRect area(control->mapTo(parentWidget(), QPoint(0, 0)), control->size());
        setGeometry(area.adjusted(-RingMargin, -RingMargin, RingMargin, RingMargin)
                        .intersected(parentWidget()->rect()));
        raise();
        show();
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(onDark ? QColor(Qt::white) : QColor(0x34, 0x61, 0xFF), RingWidth));
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 3, 3);
    }

private:
    const QWidget *darkArea;
    bool onDark = false;
};

class WindowKeys : public QObject
{
public:
    WindowKeys(QWidget *window, QAbstractButton *closeButton, const QWidget *darkArea)
        : QObject(window)
        , window(window)
        , closeButton(closeButton)
        , ring(new FocusRing(window, darkArea))
    {
        window->installEventFilter(this);
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) { follow(now); });
    }

protected:
    // Key presses reach the window when the focused control leaves them (buttons leave Escape and
    // Enter), so a control that uses a key itself keeps it.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != window || (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease))
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (event->type() == QEvent::KeyRelease) {
            // Tab in a window with one control moves no focus, and Qt then marks nothing.
            if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
                window->setAttribute(Qt::WA_KeyboardFocusChange);
                follow(QApplication::focusWidget());
            }
            return false;
        }
        QAbstractButton *button = nullptr;
        if (key->matches(QKeySequence::Cancel))
            button = closeButton;
        else if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && !(key->modifiers() & ~Qt::KeypadModifier))
            button = qobject_cast<QAbstractButton *>(window->focusWidget());
        if (!button || !button->isEnabled())
            return false;
        button->click();
        return true;
    }

private:
    // Qt marks a window once Tab or an arrow has moved its focus; the ring shows from then on, as the
    // platform's own focus rectangles do.
    void follow(QWidget *now)
    {
        const bool shown = now && now != window && now->window() == window
            && window->testAttribute(Qt::WA_KeyboardFocusChange);
        if (ring)
            ring->surround(shown ? now : nullptr);
    }

    QWidget *window;
    QPointer<QAbstractButton> closeButton;
    QPointer<FocusRing> ring;
};

// Qt presents a window made of a plain QWidget as a client area (a filler to AT-SPI, a pane to UI
// Automation); screen readers announce the program's windows as windows. Dialogs and menus have
// interfaces of their own before this one is asked.
QAccessibleInterface *windowInterface(const QString &className, QObject *object)
{
    if (className != QLatin1String("QWidget") || !object->isWidgetType())
        return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    return widget->isWindow() ? new QAccessibleWidget(widget, QAccessible::Window) : nullptr;
}

} // namespace

void install(QWidget *window, QAbstractButton *closeButton, const QWidget *darkArea)
{
    static const bool windowsPresented = (QAccessible::installFactory(windowInterface), true);
    Q_UNUSED(windowsPresented)
    new WindowKeys(window, closeButton, darkArea);
}

} // namespace FramelessKeys
