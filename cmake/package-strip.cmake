# Run by CPack on the staged tree before it is packed: every ELF file is stripped as Debian's own
# tools strip it (symbols, comment and note sections).
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
        execute_process(COMMAND strip --remove-section=.comment --remove-section=.note "${file}"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
