# Installs the program like a desktop program: the executable and its optional files in a
# folder of their own (it looks for them next to itself), a launcher on the PATH, the desktop
# entry, the icon at each of its sizes, the AppStream metainfo, the manual page and the
# copyright and changelog.
set(PITCHWARDEN_APP_ID example.pitchwarden.EarCheck)
set(PITCHWARDEN_INSTALL_FOLDER lib/pitchwarden-ear-check)
set(PITCHWARDEN_ICON_SIZES 32 48 128 256)

install(TARGETS pitchwarden-ear-check RUNTIME DESTINATION ${PITCHWARDEN_INSTALL_FOLDER})
install(TARGETS pitchwarden_media LIBRARY DESTINATION ${PITCHWARDEN_INSTALL_FOLDER}/media)
install(FILES ${CMAKE_SOURCE_DIR}/resources/HAND-M.CUR DESTINATION ${PITCHWARDEN_INSTALL_FOLDER})

# A relative link, so the installed tree can be moved (or staged with DESTDIR) as a whole.
install(CODE "
    set(launcher \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/pitchwarden-ear-check\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
    file(REMOVE \"\${launcher}\")
    message(STATUS \"Installing: \${launcher}\")
    file(CREATE_LINK ../${PITCHWARDEN_INSTALL_FOLDER}/pitchwarden-ear-check \"\${launcher}\" SYMBOLIC)
")

install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/${PITCHWARDEN_APP_ID}.desktop
    DESTINATION share/applications)
configure_file(${CMAKE_SOURCE_DIR}/resources/desktop/${PITCHWARDEN_APP_ID}.metainfo.xml
    ${CMAKE_BINARY_DIR}/desktop/${PITCHWARDEN_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/desktop/${PITCHWARDEN_APP_ID}.metainfo.xml DESTINATION share/metainfo)

# The icon theme wants one PNG per size; they are cut from the program's own icon file.
set(icon_pngs)
foreach(size IN LISTS PITCHWARDEN_ICON_SIZES)
    list(APPEND icon_pngs ${CMAKE_BINARY_DIR}/desktop/icon-${size}.png)
endforeach()
add_custom_command(OUTPUT ${icon_pngs}
    COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tools/ico-to-png ${CMAKE_SOURCE_DIR}/resources/pitchwarden.ico
            ${CMAKE_BINARY_DIR}/desktop/icon-
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/pitchwarden.ico ${CMAKE_SOURCE_DIR}/tools/ico-to-png
    COMMENT "Icon theme images from pitchwarden.ico")
add_custom_target(pitchwarden_icon_pngs ALL DEPENDS ${icon_pngs})
foreach(size IN LISTS PITCHWARDEN_ICON_SIZES)
    install(FILES ${CMAKE_BINARY_DIR}/desktop/icon-${size}.png
        DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME ${PITCHWARDEN_APP_ID}.png)
endforeach()

# The manual page, the copyright and the changelog, compressed as Debian wants them (-n: no name
# or time stamp, so the same sources give the same bytes).
function(pitchwarden_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${source} ${output}
        DEPENDS ${source} VERBATIM)
endfunction()
configure_file(${CMAKE_SOURCE_DIR}/resources/doc/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
pitchwarden_gzip(${CMAKE_SOURCE_DIR}/resources/doc/pitchwarden-ear-check.1 ${CMAKE_BINARY_DIR}/doc/pitchwarden-ear-check.1.gz)
pitchwarden_gzip(${CMAKE_BINARY_DIR}/doc/changelog ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_target(pitchwarden_docs ALL
    DEPENDS ${CMAKE_BINARY_DIR}/doc/pitchwarden-ear-check.1.gz ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/doc/pitchwarden-ear-check.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/resources/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
    DESTINATION share/doc/pitchwarden-ear-check)
