#pragma once

#include <functional>

#include <QString>

// Message box styles the program uses.
enum MessageBoxStyle
{
    OkOnly = 0,
    Exclamation = 48
};

// Shows a modal message box and returns when the user has closed it. An empty title means the
// application title.
void MsgBox(const QString& text, int style = OkOnly, const QString& title = {});

using MessageBoxPresenter =
    std::function<void(const QString& text, int style, const QString& title)>;

// Replaces the box (tests record messages instead of blocking on them); an empty presenter
// restores the real box. The presenter receives the title already resolved.
void setMessageBoxPresenter(MessageBoxPresenter presenter);

// The text as the box displays it: bare carriage returns become line breaks.
QString displayedMessageText(const QString& text);
