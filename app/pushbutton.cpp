#include "app/pushbutton.h"

#include <QMouseEvent>

PushButton::PushButton(QWidget* parent) : QPushButton(parent)
{
    setMouseTracking(true);
    setAutoDefault(false);
}

void PushButton::mouseMoveEvent(QMouseEvent* event)
{
    QPushButton::mouseMoveEvent(event);
    const QPoint at = event->position().toPoint();
    emit mouseMoved(event->buttons(), event->modifiers(), at.x(), at.y());
    // The base class ignores moves without a pressed button; they must not reach the frame.
    event->accept();
}
