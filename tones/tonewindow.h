#pragma once

#include <QString>

class clsMusic;

// What the tone buttons' procedures use of the window they sit on: the captions of its tone
// buttons, its window-wide pointer setting and its one player.
class ToneWindow
{
public:
    // The window-wide pointer setting for the hourglass.
    static constexpr int HourglassPointer = 11;

    // The caption of the tone button of `row` (1–11).
    virtual QString ToneButtonCaption(int row) const = 0;
    virtual void setToneButtonCaption(int row, const QString& caption) = 0;
    virtual void setMousePointer(int pointer) = 0;
    // The window's player; empty while the window has none.
    virtual clsMusic* Music() const = 0;

protected:
    ~ToneWindow() = default;
};
