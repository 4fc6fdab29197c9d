#include "app/frame.h"

#include <QMouseEvent>

Frame::Frame(QWidget* parent) : QGroupBox(parent)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(true);
}

QColor Frame::BackColor() const
{
    return palette().color(QPalette::Window);
}

void Frame::setBackColor(const QColor& colour)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Window, colour);
    setPalette(pal);
}

void Frame::mouseMoveEvent(QMouseEvent* event)
{
    QGroupBox::mouseMoveEvent(event);
    const QPoint at = event->position().toPoint();
    emit mouseMoved(event->buttons(), event->modifiers(), at.x(), at.y());
}
