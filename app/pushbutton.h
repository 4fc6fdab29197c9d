#pragma once

#include <QPushButton>

// The tone push button: a caption that can be read and written while the program runs, and
// its click and mouse-move events handed to the window's procedures. Return and keypad Enter
// press it as Space does.
//
// While it shows its "on" caption (its tone plays) it is a checked toggle, which screen readers
// announce as it changes. The program decides that state through the caption; a click alone
// never changes it, as the click procedure may refuse the press.
class PushButton : public QPushButton
{
    Q_OBJECT

public:
    explicit PushButton(QWidget* parent = nullptr);

    QString Caption() const { return text(); }
    void setCaption(const QString& caption);

    // The button's own number as a short text ("1" … "11"); nothing reads it.
    QString Tag() const { return m_tag; }
    void setTag(const QString& tag) { m_tag = tag; }

    // The caption the button shows while it is on ("Stop Playing"), and what a screen reader
    // calls the button meanwhile, as that caption does not say which tone it stops. Any other
    // caption is read as it stands.
    void setOnCaption(const QString& caption, const QString& spokenName);

signals:
    void mouseMoved(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x, int y);

protected:
    void nextCheckState() override {}
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_tag;
    QString m_onCaption;
    QString m_spokenName;
};
