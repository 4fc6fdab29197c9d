# The Debian package: the installed tree under /usr, built by CPack (`./dev package`). Its
# library dependencies come from dpkg-shlibdeps; what the program loads at run time without
# linking to it is named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pitchwarden-ear-check)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Pitchwarden <maintainers@pitchwarden.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "quick self-check of high-frequency hearing")
set(CPACK_PACKAGE_DESCRIPTION [[
Pitchwarden Ear Check opens one window with eleven test tones from 8 kHz to
22 kHz. Each tone names the age group that can usually still hear it, from
everyone at 8 kHz to those 18 and younger at 22 kHz.
.
Press a tone's button to hear it and press it again to stop it; one tone
plays at a time. The tones are full-scale sine waves: start with the volume
low.]])
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-strip.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-installed-size.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://pitchwarden.example/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Loaded by name at run time: the window system plugins of Qt, and GStreamer's playbin,
# converters and volume (base), its MP3 parser and decoder (good), the sound server's sink and,
# without a server, the sound card's.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-pulseaudio, gstreamer1.0-alsa")
# "Arial" resolves to its metric twin, so the captions fit their frames as designed; Qt's Wayland
# plugin opens the window as a Wayland client on desktops that draw its title bar (KDE Plasma,
# sway) instead of through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation2, qt6-wayland")

include(CPack)
