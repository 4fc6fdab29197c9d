#pragma once

#include <QGroupBox>

// A framed group with its caption set into the top edge of an etched border; reports mouse movement
// over its own area (outside the button it holds).
class Frame : public QGroupBox
{
    Q_OBJECT
    Q_PROPERTY(QColor BackColor READ BackColor WRITE setBackColor)

public:
    explicit Frame(QWidget* parent = nullptr);

    QColor BackColor() const;
    void setBackColor(const QColor& colour);

signals:
    void mouseMoved(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x, int y);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
