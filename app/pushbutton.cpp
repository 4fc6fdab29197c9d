#include "app/pushbutton.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "app/pushbuttonaccessible.h"
#include "app/readabletext.h"

PushButton::PushButton(QWidget* parent) : QPushButton(parent)
{
    [[maybe_unused]] static const bool accessibleAsToggle =
        (QAccessible::installFactory(PushButtonAccessible::create), true);
    setMouseTracking(true);
    setAutoDefault(false);
}

void PushButton::setCaption(const QString& caption)
{
    const bool on = !m_onCaption.isEmpty() && caption == m_onCaption;
    setText(caption);
    // An empty accessible name lets the caption itself be read.
    setAccessibleName(on ? m_spokenName : QString());
    setChecked(on);
}

void PushButton::setOnCaption(const QString& caption, const QString& spokenName)
{
    setCheckable(true);
    m_onCaption = caption;
    m_spokenName = spokenName;
    setCaption(text());
}

// Desktop buttons take Return and keypad Enter as well as Space. The click comes at the key
// press, as for a dialog's default button; the key's own repeats would press again and again.
void PushButton::keyPressEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QPushButton::keyPressEvent(event);
        return;
    }
    event->accept();
    if (!event->isAutoRepeat())
        click();
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
// A button that is on or held down is drawn sunken on a shaded ground (Fusion: 10 % darker).
void PushButton::paintEvent(QPaintEvent* event)
{
    QStyleOptionButton option;
    initStyleOption(&option);
    const QColor text = option.palette.color(QPalette::ButtonText);
    QColor ground = option.palette.color(QPalette::Button);
    if (option.state & (QStyle::State_On | QStyle::State_Sunken))
        ground = ground.darker(110);
    const QColor readable = ReadableText::on(ground, text);
    if (readable == text) {
        QPushButton::paintEvent(event);
        return;
    }
    option.palette.setColor(QPalette::ButtonText, readable);
    QStylePainter painter(this);
    painter.drawControl(QStyle::CE_PushButton, option);
}
