# The application icon, embedded as ":/icon/pitchwarden.ico". Uncompressed: it is read at every
# start, and unpacking its 350 kB cost more than a millisecond before the window could appear.
qt_add_resources(pitchwarden_core icon
    PREFIX /icon
    BASE ${CMAKE_SOURCE_DIR}/resources
    FILES ${CMAKE_SOURCE_DIR}/resources/pitchwarden.ico
    OPTIONS -no-compress)
