# cmake -DNM=nm -DLIBRARY=libQuorvane.so -P CheckExports.cmake
#
# The library exports GetQuorvanePointer under its plain C name and none of
# its own C++ symbols.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
if(NOT symbols MATCHES "(^|\n)[0-9a-f]+ T GetQuorvanePointer\n")
    message(FATAL_ERROR "GetQuorvanePointer is not exported undecorated:\n${symbols}")
endif()
string(REGEX MATCHALL "[^\n]*Quorvane[^\n]*" ours "${symbols}")
list(FILTER ours EXCLUDE REGEX " T GetQuorvanePointer$")
if(ours)
    message(FATAL_ERROR "Library symbols leak out of libQuorvane.so:\n${ours}")
endif()
