# keycrate_add_test(NAME SOURCES a.cpp ... LIBS target ... [TIMEOUT s] [LABELS l ...])
#
# Every test runs in a fresh home of its own (config, data, cache, temp), so it
# never touches the real settings and tests may run side by side.
#
# Labels: a test labelled "tsan" also runs in the ThreadSanitizer build, which
# builds only the target tsan_tests (every such test and what it needs). A
# folder may set KEYCRATE_TEST_LABELS for all tests below it.
add_custom_target(tsan_tests)

# Seconds the long tests took in a release run (the longer of two runs). CTest
# starts the costliest first, but it learns costs only from a previous run: in
# a new build folder, as on CI, it would start them in the order they are
# declared and could end with the longest running alone.
set(KEYCRATE_TEST_COSTS
    test_packaging_debian=96 test_server_commitfaults=65 test_server_backupserver_postgresql=62
    test_server_largelists_million=55 test_server_lostcommit=49 test_server_backupserver_s3=47
    test_server_severalservers_s3=42 test_server_backupserver=37 test_server_severalservers=32
    test_server_objectstorage=31 test_server_storecommands=28 test_server_largelists=27
    test_tools_quorvaneencryption=26 test_server_defences=25 test_lockd_service=24
    test_tools_quorvanesnapshots=23 test_tools_quorvanecli=17 test_app_upload=16
    test_server_loadbalancer=13 test_tools_quorvaneclithreads=11 test_app_restore=10
    test_library_pipeendtoend=9 test_library_logconnectionreference=9 test_library_logconnection=7
    test_server_loginthrottle=6 test_tools_quorvanelargelist=6 test_server_s3cluster=5
    test_tools_keycratesend=4 test_app_startup=4)

function(keycrate_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    keycrate_register_test(${name} $<TARGET_FILE:${name}> TIMEOUT ${T_TIMEOUT} LABELS ${T_LABELS})
endfunction()

# keycrate_register_test(NAME COMMAND... [TIMEOUT s] [LABELS l ...]): any command,
# same fresh home. A target of the same name is the test's program.
function(keycrate_register_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set(labels ${T_LABELS} ${KEYCRATE_TEST_LABELS})
    set(home ${CMAKE_BINARY_DIR}/test-home/${name})
    # After "--" cmake leaves the command to the script: else a command that
    # is itself "cmake -D... -P script" would also run in the wrapper's cmake.
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DHOME_DIR=${home} -P ${PROJECT_SOURCE_DIR}/cmake/RunInFreshHome.cmake
                     -- ${T_UNPARSED_ARGUMENTS})
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
    if(KEYCRATE_TSAN)
        # Any report fails the test; Qt itself is not instrumented, so what it
        # does inside is known to the suppressions, never our own code. Qt's
        # own event dispatcher instead of GLib's, which is not instrumented
        # either.
        list(APPEND env QT_NO_GLIB=1
             "TSAN_OPTIONS=halt_on_error=1 exitcode=66 die_after_fork=0 second_deadlock_stack=1 suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp")
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT})
    list(FILTER KEYCRATE_TEST_COSTS INCLUDE REGEX "^${name}=")
    if(KEYCRATE_TEST_COSTS)
        string(REPLACE "${name}=" "" cost "${KEYCRATE_TEST_COSTS}")
        set_tests_properties(${name} PROPERTIES COST ${cost})
    endif()
    if(labels)
        set_tests_properties(${name} PROPERTIES LABELS "${labels}")
        if("tsan" IN_LIST labels AND TARGET ${name})
            add_dependencies(tsan_tests ${name})
        endif()
    endif()
endfunction()
