# Run by CPack after it has built the package. CPack sizes the launcher link in /usr/bin as a
# copy of the program it leads to, which doubles the package's Installed-Size; the field is set
# again here as dpkg-gencontrol reckons it: every file and link rounded up to whole KiB, one KiB
# for each folder, over what the package unpacks to.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "\\.deb$")
        continue()
    endif()
    set(tree "${CPACK_TOPLEVEL_DIRECTORY}/installed-size")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}"
        COMMAND_ERROR_IS_FATAL ANY)

    file(GLOB_RECURSE entries LIST_DIRECTORIES true "${tree}/*")
    set(kib 0)
    foreach(entry IN LISTS entries)
        file(RELATIVE_PATH inside "${tree}" "${entry}")
        if(inside MATCHES "^DEBIAN(/|$)")
            continue()
        elseif(IS_SYMLINK "${entry}")
            file(READ_SYMLINK "${entry}" target)
            string(LENGTH "${target}" bytes)
        elseif(IS_DIRECTORY "${entry}")
            set(bytes 1)
        else()
            file(SIZE "${entry}" bytes)
        endif()
        math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
    endforeach()

    file(READ "${tree}/DEBIAN/control" control)
    string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${kib}" control "${control}")
    file(WRITE "${tree}/DEBIAN/control" "${control}")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build "${tree}" "${package}"
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
    message(STATUS "Installed-Size: ${kib} KiB")
endforeach()
