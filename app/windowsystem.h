#pragma once

// Which window system the program runs on, chosen before the application object is made.
//
// Qt opens a Wayland window whenever a Wayland compositor is there. Where the compositor
// decorates its windows itself (KDE Plasma, sway), that is the native way. GNOME's compositor
// does not: Qt 6.4 then draws its own title bar, with minimize and maximize buttons and resize
// edges on a window that cannot change size, and cannot make a message box modal. Through
// XWayland the same window gets GNOME's own title bar (close only), is centred, and its boxes
// are modal dialogs over it, as every X11 program on GNOME. So on a compositor that offers no
// server-side decorations, with an X display at hand, the program runs through XWayland.
//
// The user's own choice (QT_QPA_PLATFORM, or Qt's -platform argument) always stands.
namespace WindowSystem {

// In a Wayland session (WAYLAND_DISPLAY) with an X display (DISPLAY), asks the compositor
// whether it decorates windows (it offers the xdg-decoration protocol), waiting at most a second
// for its answer; sets QT_QPA_PLATFORM to "xcb" when it does not.
void choose(int argc, char* argv[]);

} // namespace WindowSystem
