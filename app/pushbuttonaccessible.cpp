#include "app/pushbuttonaccessible.h"

#include "app/pushbutton.h"

PushButtonAccessible::PushButtonAccessible(PushButton* button)
    : QAccessibleWidget(button, QAccessible::CheckBox)
{}

QAccessibleInterface* PushButtonAccessible::create(const QString& className, QObject* object)
{
    if (className != QLatin1String("PushButton"))
        return nullptr;
    return new PushButtonAccessible(static_cast<PushButton*>(object));
}

PushButton* PushButtonAccessible::button() const
{
    return static_cast<PushButton*>(widget());
}

// The name is the button's own (its caption, or its spoken name), never its frame's caption.
QString PushButtonAccessible::text(QAccessible::Text t) const
{
    if (t != QAccessible::Name)
        return QAccessibleWidget::text(t);
    const QString spoken = button()->accessibleName();
    return spoken.isEmpty() ? button()->Caption() : spoken;
}

QAccessible::State PushButtonAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.checkable = true;
    state.checked = button()->isChecked();
    state.pressed = button()->isDown();
    return state;
}

QStringList PushButtonAccessible::actionNames() const
{
    QStringList names;
    if (button()->isEnabled())
        names << toggleAction();
    return names + QAccessibleWidget::actionNames();
}

// The click comes from the event loop, as a key press's would, not from inside the reader's
// request: the click procedure waits there until its tone ends.
void PushButtonAccessible::doAction(const QString& actionName)
{
    if (actionName != toggleAction() && actionName != pressAction()) {
        QAccessibleWidget::doAction(actionName);
        return;
    }
    if (button()->isEnabled())
        button()->animateClick();
}
