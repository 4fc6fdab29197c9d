# The developer commands: installing packages waits for the package manager's lock.
add_test(NAME apt_get_waits_for_the_lock COMMAND /bin/bash ${CMAKE_CURRENT_SOURCE_DIR}/check_apt_waiting.sh)
