# What the recordings sound like, decoded by GStreamer's mpg123 decoder.
add_test(NAME recording_sound
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_recording_sound.py
            ${CMAKE_SOURCE_DIR}/resources/recordings)
