#pragma once

#include <functional>

#include <QString>

class QWidget;

// Message box styles the program uses.
enum MessageBoxStyle
{
    OkOnly = 0,
    Exclamation = 48
};

// Shows a modal message box and returns when the user has closed it. An empty title means the
// application title.
void MsgBox(const QString& text, int style = OkOnly, const QString& title = {});

// The window the boxes belong to (the program's main window). While it is on the screen every
// box is its child, modal over it and centred on it, whatever window has the focus when the box
// comes (another program in front when a tone ends); before, a box has no parent and is centred on
// the screen, where the window is going to appear. Null: no window (the boxes have no parent).
void setMessageBoxOwner(QWidget* window);

using MessageBoxPresenter =
    std::function<void(const QString& text, int style, const QString& title)>;

// Replaces the box (tests record messages instead of blocking on them); an empty presenter
// restores the real box. The presenter receives the title already resolved.
void setMessageBoxPresenter(MessageBoxPresenter presenter);

// The text as the box displays it: bare carriage returns become line breaks.
QString displayedMessageText(const QString& text);
