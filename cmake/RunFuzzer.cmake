# Runs one fuzzer as a test: the kept corpus is read, never written; new inputs
# and any finding go to the test's own temporary folder (its TMPDIR).
# -DFUZZER=program -DCORPUS=folder -DSECONDS=n
set(work $ENV{TMPDIR}/fuzz)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/new ${work}/findings)
execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -max_len=65536
            -print_final_stats=1 -artifact_prefix=${work}/findings/ ${work}/new ${CORPUS}
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    file(GLOB findings ${work}/findings/*)
    message(FATAL_ERROR "${FUZZER} failed (${rc}); inputs that fail: ${findings}")
endif()
