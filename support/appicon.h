#pragma once

#include <QIcon>

// The application icon: one icon group of four images, embedded in the program.
QIcon ApplicationIcon();

// The desktop entry the program is installed under (without ".desktop"); Wayland shells match
// the window to it, and take the icon from it.
inline constexpr auto DesktopEntryName = "example.pitchwarden.EarCheck";
