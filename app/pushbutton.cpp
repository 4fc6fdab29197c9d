#include "app/pushbutton.h"

#include <QMouseEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "app/readabletext.h"

PushButton::PushButton(QWidget* parent) : QPushButton(parent)
{
    setMouseTracking(true);
    setAutoDefault(false);
}

void PushButton::setCaption(const QString& caption)
{
    setText(caption);
    // An empty accessible name lets the caption itself be read.
    setAccessibleName(caption == m_terseCaption ? m_spokenName : QString());
}

void PushButton::setSpokenName(const QString& caption, const QString& spokenName)
{
    m_terseCaption = caption;
    m_spokenName = spokenName;
    setCaption(text());
}

void PushButton::mouseMoveEvent(QMouseEvent* event)
{
    QPushButton::mouseMoveEvent(event);
    const QPoint at = event->position().toPoint();
    emit mouseMoved(event->buttons(), event->modifiers(), at.x(), at.y());
    // The base class ignores moves without a pressed button; they must not reach the frame.
    event->accept();
}

// The caption keeps the system's button-text colour unless that would not read on the button.
void PushButton::paintEvent(QPaintEvent* event)
{
    QStyleOptionButton option;
    initStyleOption(&option);
    const QColor text = option.palette.color(QPalette::ButtonText);
    const QColor readable = ReadableText::on(option.palette.color(QPalette::Button), text);
    if (readable == text) {
        QPushButton::paintEvent(event);
        return;
    }
    option.palette.setColor(QPalette::ButtonText, readable);
    QStylePainter painter(this);
    painter.drawControl(QStyle::CE_PushButton, option);
}
