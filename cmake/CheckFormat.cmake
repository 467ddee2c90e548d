# Fails when a tracked C++ source differs from what .clang-format asks for.
execute_process(COMMAND git ls-files "*.cpp" "*.h" WORKING_DIRECTORY "${SOURCE_DIR}"
                OUTPUT_VARIABLE files OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE listed)
if(NOT listed EQUAL 0)
    message(FATAL_ERROR "cannot list the sources with git")
endif()
string(REPLACE "\n" ";" files "${files}")
execute_process(COMMAND "${CLANG_FORMAT}" --dry-run -Werror ${files}
                WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "sources differ from .clang-format; run: clang-format -i <file>")
endif()
