# The installed program (see install.cmake, included before this file) on the compositors of real
# desktops, headless: GNOME's, where it runs through XWayland, and sway, which draws the title
# bars itself. `check_desktop.py <prefix> --desktop NAME --screenshots FOLDER` also keeps what the
# screen showed.
foreach(desktop IN ITEMS gnome sway)
    add_test(NAME e2e_desktop_${desktop}
        COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_desktop.py
                ${PITCHWARDEN_TEST_PREFIX} --desktop ${desktop})
    set_tests_properties(e2e_desktop_${desktop} PROPERTIES
        FIXTURES_REQUIRED installed_program TIMEOUT 180)
endforeach()
