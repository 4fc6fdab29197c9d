#pragma once

#include <QtGlobal>

// Without a display Qt ends the program with an abort and advice to reinstall it. While the
// application object connects to the window system, a guard holds Qt's messages back: when no
// display can be opened, the program says so in one line and ends with status 1; otherwise the
// messages held are passed on as they came once the guard goes.
class DisplayGuard
{
public:
    DisplayGuard();
    ~DisplayGuard();
    DisplayGuard(const DisplayGuard&) = delete;
    DisplayGuard& operator=(const DisplayGuard&) = delete;

private:
    QtMessageHandler m_previous = nullptr;
};
