# The installed program: installed into the build tree, its desktop files checked with the
# desktop's own validators, then driven end to end through its launcher. The Debian package gets
# the same checks on its unpacked /usr, after lintian. Further arguments go to the files test.
function(add_installed_tree_tests files_test e2e_test prefix fixture)
    add_test(NAME ${files_test}
        COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_installation.py ${prefix} ${ARGN})
    set_tests_properties(${files_test} PROPERTIES FIXTURES_REQUIRED ${fixture})
    add_test(NAME ${e2e_test}
        COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_installed_program.py
                ${prefix} ${CMAKE_SOURCE_DIR}/resources/recordings)
    set_tests_properties(${e2e_test} PROPERTIES FIXTURES_REQUIRED ${fixture} TIMEOUT 240)
endfunction()

set(PITCHWARDEN_TEST_PREFIX ${CMAKE_BINARY_DIR}/test-install)
add_test(NAME install_into_build_tree
    COMMAND /bin/sh -c "rm -rf '${PITCHWARDEN_TEST_PREFIX}' && '${CMAKE_COMMAND}' --install '${CMAKE_BINARY_DIR}' --prefix '${PITCHWARDEN_TEST_PREFIX}'")
set_tests_properties(install_into_build_tree PROPERTIES FIXTURES_SETUP installed_program)
add_installed_tree_tests(installed_desktop_files e2e_installed_program ${PITCHWARDEN_TEST_PREFIX} installed_program)

# Then at the 48 kHz sinks desktops run (PulseAudio with a float null sink, and PipeWire as
# Debian 12 ships it), and without a sound server or with one killed mid-tone.
foreach(run IN ITEMS pulse48 pipewire failures)
    set(arguments --server ${run})
    if(run STREQUAL "failures")
        set(arguments --failures)
    endif()
    add_test(NAME e2e_installed_program_${run}
        COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_installed_program.py
                ${PITCHWARDEN_TEST_PREFIX} ${CMAKE_SOURCE_DIR}/resources/recordings ${arguments})
    set_tests_properties(e2e_installed_program_${run} PROPERTIES
        FIXTURES_REQUIRED installed_program TIMEOUT 240)
endforeach()

# The package is built apart from `./dev package`'s, then unpacked as dpkg would lay it out.
set(PITCHWARDEN_TEST_PACKAGE ${CMAKE_BINARY_DIR}/test-package)
add_test(NAME package_unpacked
    COMMAND /bin/sh -c "rm -rf '${PITCHWARDEN_TEST_PACKAGE}' && '${CMAKE_CPACK_COMMAND}' -G DEB --config '${CMAKE_BINARY_DIR}/CPackConfig.cmake' -B '${PITCHWARDEN_TEST_PACKAGE}' && dpkg-deb -x '${PITCHWARDEN_TEST_PACKAGE}'/*.deb '${PITCHWARDEN_TEST_PACKAGE}/root'")
set_tests_properties(package_unpacked PROPERTIES FIXTURES_SETUP packaged_program)
add_test(NAME package_lintian
    COMMAND /bin/sh -c "lintian --fail-on error,warning --display-info --pedantic --display-experimental '${PITCHWARDEN_TEST_PACKAGE}'/*.deb")
set_tests_properties(package_lintian PROPERTIES FIXTURES_REQUIRED packaged_program)
add_installed_tree_tests(packaged_desktop_files e2e_packaged_program ${PITCHWARDEN_TEST_PACKAGE}/root/usr packaged_program
    --package ${PITCHWARDEN_TEST_PACKAGE}/pitchwarden-ear-check_${PROJECT_VERSION}_amd64.deb)

# Where desktops send the sound besides the default output: a second output at another rate (a
# move mid-tone, a stored route), a server slow to answer, plugins slow to load (a library
# preloaded into the program delays every GStreamer plugin), a headset's profile switch; and
# without a sound server, ALSA cards at 48 and 16 kHz.
enable_language(C)
add_library(slow_plugin_loading MODULE slow_plugin_loading.c)
target_link_libraries(slow_plugin_loading PRIVATE ${CMAKE_DL_LIBS})
add_test(NAME e2e_sound_routes
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_sound_routes.py ${PITCHWARDEN_TEST_PREFIX}
            --slow-plugins $<TARGET_FILE:slow_plugin_loading>)
add_test(NAME e2e_sound_card
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_sound_routes.py ${PITCHWARDEN_TEST_PREFIX} --card)
set_tests_properties(e2e_sound_routes e2e_sound_card PROPERTIES FIXTURES_REQUIRED installed_program TIMEOUT 240)
