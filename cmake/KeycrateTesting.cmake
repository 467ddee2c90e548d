# keycrate_add_test(NAME SOURCES a.cpp ... LIBS target ... [TIMEOUT s])
#
# Every test runs in a fresh home of its own (config, data, cache, temp), so it
# never touches the real settings and tests may run side by side.
function(keycrate_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    keycrate_register_test(${name} $<TARGET_FILE:${name}> TIMEOUT ${T_TIMEOUT})
endfunction()

# keycrate_register_test(NAME COMMAND... [TIMEOUT s]): any command, same fresh home.
function(keycrate_register_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set(home ${CMAKE_BINARY_DIR}/test-home/${name})
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DHOME_DIR=${home} -P ${PROJECT_SOURCE_DIR}/cmake/RunInFreshHome.cmake
                     ${T_UNPARSED_ARGUMENTS})
    set(env
        QT_QPA_PLATFORM=offscreen
        HOME=${home}
        XDG_CONFIG_HOME=${home}/config
        XDG_DATA_HOME=${home}/data
        XDG_CACHE_HOME=${home}/cache
        TMPDIR=${home}/tmp
        KEYCRATE_BIN_DIR=${CMAKE_BINARY_DIR}/bin
        KEYCRATE_SOURCE_DIR=${PROJECT_SOURCE_DIR})
    if(KEYCRATE_SANITIZE)
        # Qt keeps process-lifetime allocations that LeakSanitizer reports.
        list(APPEND env ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1)
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT})
endfunction()
