#pragma once

#include <QAccessibleWidget>

class PushButton;
class QObject;
class QString;

// The tone button as screen readers see it: a toggle that is on while its tone plays. Qt's AT-SPI
// bridge has no toggle-button role, so it goes out as a check box, whose checked state readers
// announce when it changes. Its one action presses the button as a click does, so that the
// click procedure decides the state (Qt's own toggle action would flip it without a press).
class PushButtonAccessible : public QAccessibleWidget
{
public:
    explicit PushButtonAccessible(PushButton* button);

    // For QAccessible::installFactory; Qt's accessibility cache owns what it makes.
    static QAccessibleInterface* create(const QString& className, QObject* object);

    QString text(QAccessible::Text t) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;

private:
    PushButton* button() const;
};
