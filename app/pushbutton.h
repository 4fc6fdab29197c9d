#pragma once

#include <QPushButton>

// The tone push button: a caption that can be read and written while the program runs, and
// its click and mouse-move events handed to the window's procedures.
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

    // What a screen reader calls the button while it shows `caption`, for a caption that does
    // not say enough on its own ("Stop Playing" does not say which tone). Any other caption is
    // read as it stands.
    void setSpokenName(const QString& caption, const QString& spokenName);

signals:
    void mouseMoved(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x, int y);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_tag;
    QString m_terseCaption;
    QString m_spokenName;
};
