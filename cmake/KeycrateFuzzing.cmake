# keycrate_add_fuzzer(NAME SOURCES a.cpp ... LIBS target ...)
#
# libFuzzer targets for the parsers of outside input. They are built only with
# -DKEYCRATE_FUZZ=ON and clang (AddressSanitizer and UndefinedBehaviorSanitizer
# on everything), by the target fuzz_targets. With -DKEYCRATE_SANITIZE=ON as
# well, one build serves both the sanitizer tests and the fuzzers: the product
# code carries the fuzzers' coverage hooks, which the sanitizers' runtime
# answers cheaply in every other program. Each fuzzer is also a test labelled
# "fuzz" that replays its kept corpus (corpus/NAME beside the target's
# sources) and then explores for KEYCRATE_FUZZ_SECONDS. What it finds is
# written to the test's TMPDIR; a finding is mended and its input added to the
# corpus, where every later run replays it.
option(KEYCRATE_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
set(KEYCRATE_FUZZ_SECONDS 6 CACHE STRING "How long each fuzzer explores when run as a test")
add_custom_target(fuzz_targets)

if(KEYCRATE_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "KEYCRATE_FUZZ needs clang: configure with CC=clang CXX=clang++")
    endif()
    if(KEYCRATE_TSAN)
        message(FATAL_ERROR "KEYCRATE_FUZZ brings AddressSanitizer, which ThreadSanitizer excludes")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
    if(NOT KEYCRATE_SANITIZE)
        add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        add_link_options(-fsanitize=address,undefined)
    endif()
endif()

function(keycrate_add_fuzzer name)
    if(NOT KEYCRATE_FUZZ)
        return()
    endif()
    cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz_targets ${name})
    set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
    if(NOT IS_DIRECTORY ${corpus})
        message(FATAL_ERROR "${name}: keep at least one seed input in ${corpus}")
    endif()
    keycrate_register_test(${name}
        ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}> -DCORPUS=${corpus}
                         -DSECONDS=${KEYCRATE_FUZZ_SECONDS}
                         -P ${PROJECT_SOURCE_DIR}/cmake/RunFuzzer.cmake
        TIMEOUT 600 LABELS fuzz)
    # The sanitizer tests leave Qt's lifelong allocations unreported; a
    # fuzzer keeps libFuzzer's leak search, as in a build of its own.
    get_test_property(${name} ENVIRONMENT env)
    list(FILTER env EXCLUDE REGEX "^ASAN_OPTIONS=")
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
endfunction()
