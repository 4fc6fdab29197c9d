# The application icon, embedded as ":/icon/pitchwarden.ico".
qt_add_resources(pitchwarden_core icon
    PREFIX /icon
    BASE ${CMAKE_SOURCE_DIR}/resources
    FILES ${CMAKE_SOURCE_DIR}/resources/pitchwarden.ico)
