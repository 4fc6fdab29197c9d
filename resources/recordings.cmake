# The eleven tone recordings, embedded uncompressed as ":/CUSTOM/101" … ":/CUSTOM/111".
set(RECORDING_FILES)
foreach(id RANGE 101 111)
    set(file ${CMAKE_SOURCE_DIR}/resources/recordings/${id}.mp3)
    set_source_files_properties(${file} PROPERTIES QT_RESOURCE_ALIAS ${id})
    list(APPEND RECORDING_FILES ${file})
endforeach()
qt_add_resources(pitchwarden_core recordings
    PREFIX /CUSTOM
    FILES ${RECORDING_FILES}
    OPTIONS -no-compress)
