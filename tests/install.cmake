# The installed program: installed into the build tree, its desktop files checked with the
# desktop's own validators, then driven end to end through its launcher.
set(PITCHWARDEN_TEST_PREFIX ${CMAKE_BINARY_DIR}/test-install)
add_test(NAME install_into_build_tree
    COMMAND /bin/sh -c "rm -rf '${PITCHWARDEN_TEST_PREFIX}' && '${CMAKE_COMMAND}' --install '${CMAKE_BINARY_DIR}' --prefix '${PITCHWARDEN_TEST_PREFIX}'")
set_tests_properties(install_into_build_tree PROPERTIES FIXTURES_SETUP installed_program)

add_test(NAME installed_desktop_files
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_installation.py ${PITCHWARDEN_TEST_PREFIX})
set_tests_properties(installed_desktop_files PROPERTIES FIXTURES_REQUIRED installed_program)

# At a 44.1 kHz PulseAudio sink, then at the 48 kHz sinks desktops run: PulseAudio with a float
# null sink, and PipeWire as Debian 12 ships it.
add_test(NAME e2e_installed_program
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_installed_program.py
            ${PITCHWARDEN_TEST_PREFIX} ${CMAKE_SOURCE_DIR}/resources/recordings)
foreach(server IN ITEMS pulse48 pipewire)
    add_test(NAME e2e_installed_program_${server}
        COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_installed_program.py
                ${PITCHWARDEN_TEST_PREFIX} ${CMAKE_SOURCE_DIR}/resources/recordings --server ${server})
endforeach()
# No sound server, and a server killed mid-tone: each press says so, and the program goes on.
add_test(NAME e2e_installed_program_failures
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_installed_program.py
            ${PITCHWARDEN_TEST_PREFIX} ${CMAKE_SOURCE_DIR}/resources/recordings --failures)
set_tests_properties(e2e_installed_program e2e_installed_program_pulse48 e2e_installed_program_pipewire
    e2e_installed_program_failures PROPERTIES FIXTURES_REQUIRED installed_program TIMEOUT 240)
