#include "app/frame.h"

#include <QMouseEvent>
#include <QPainter>

#include "app/readabletext.h"

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
    event->accept();
}

// Drawn by hand so that the caption always sits in the border's top edge, whatever the style.
void Frame::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    const QFontMetrics metrics(font());
    const int borderTop = metrics.height() / 2;
    const QRect border = rect().adjusted(0, borderTop, -2, -2);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(border);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(border.translated(1, 1));

    const QString caption = title();
    const QRect captionRect(6, 0, metrics.horizontalAdvance(caption) + 6, metrics.height());
    painter.fillRect(captionRect, BackColor());
    painter.setPen(ReadableText::on(BackColor(), palette().color(QPalette::WindowText)));
    painter.drawText(captionRect, Qt::AlignCenter, caption);
}
