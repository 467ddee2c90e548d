# Where things go on `cmake --install` and in the package.
include(GNUInstallDirs)

# keycrate loads its library from a private folder, found from the program's
# own folder.
set(KEYCRATE_PRIVATE_LIBDIR lib/keycrate)
file(RELATIVE_PATH KEYCRATE_PRIVATE_LIBDIR_FROM_BIN /prefix/${CMAKE_INSTALL_BINDIR}
     /prefix/${KEYCRATE_PRIVATE_LIBDIR})
set(KEYCRATE_DATADIR ${CMAKE_INSTALL_DATADIR}/keycrate)

find_program(GZIP_PROGRAM gzip REQUIRED)

# keycrate_install_gzipped(SOURCE DESTINATION [RENAME name]): configured with
# @PROJECT_VERSION@ and friends, compressed the reproducible way, installed.
function(keycrate_install_gzipped source destination)
    cmake_parse_arguments(G "" "RENAME" "" ${ARGN})
    get_filename_component(name ${source} NAME)
    if(G_RENAME)
        set(name ${G_RENAME})
    endif()
    set(configured ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name})
    configure_file(${source} ${configured} @ONLY)
    add_custom_command(OUTPUT ${configured}.gz
                       COMMAND ${GZIP_PROGRAM} -9nf -k ${configured}
                       DEPENDS ${configured}
                       COMMENT "Compressing ${name}")
    string(MAKE_C_IDENTIFIER "gzip_${CMAKE_CURRENT_SOURCE_DIR}_${name}" target)
    add_custom_target(${target} ALL DEPENDS ${configured}.gz)
    install(FILES ${configured}.gz DESTINATION ${destination})
endfunction()

# keycrate_install_manpage(SOURCE SECTION)
function(keycrate_install_manpage source section)
    keycrate_install_gzipped(${source} ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
