# The real program on a real X display and a real sound server.
add_test(NAME program_end_to_end
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_program.py
            $<TARGET_FILE:pitchwarden-ear-check>)
set_tests_properties(program_end_to_end PROPERTIES TIMEOUT 180)
