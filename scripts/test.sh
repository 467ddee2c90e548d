#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: a release
# build, then a build with AddressSanitizer and UndefinedBehaviorSanitizer;
# then the tests labelled "tsan" (the library's) once more with ThreadSanitizer;
# then the fuzz targets, briefly each.
#
# The tests mostly wait on servers and child processes: the builds follow one
# another without waiting for them, at a lower priority, and take the
# processor time the tests leave.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every phase says when it ended and how long it took, in one line on the
# script's own output (fd 9) even when its output goes to a log.
exec 9>&1
export KEYCRATE_TEST_START=$EPOCHSECONDS
# timed NAME [--keep-fd] COMMAND...: runs the command and says how long it
# took. Only a command that times phases of its own keeps fd 9: a test's
# server must not hold the script's output open.
timed() {
    local name=$1 begun=$EPOCHSECONDS rc=0
    shift
    if [[ $1 == --keep-fd ]]; then
        shift
        "$@" || rc=$?
    else
        "$@" 9>&- || rc=$?
    fi
    printf '== %(%H:%M:%S)T %-16s %4d s, ended at %4d s%s\n' -1 "$name" $((EPOCHSECONDS - begun)) \
        $((EPOCHSECONDS - KEYCRATE_TEST_START)) "$( ((rc == 0)) || echo ", failed ($rc)")" >&9
    return $rc
}
export -f timed

timed dependencies bash scripts/install-deps.sh

logs=$(mktemp -d)
background=()
declare -A pids
# On any way out, a build still running beside the tests goes too.
stop_beside() {
    local pid
    for pid in "${background[@]}"; do
        kill -- -"$pid" 2> /dev/null || true
    done
    rm -rf "$logs"
}
trap stop_beside EXIT
trap 'exit 130' INT TERM

# beside NAME [--quiet] COMMAND...: starts the command in a process group of
# its own; quiet, at a lower priority and with its output kept apart (a build
# beside the tests), or else printing as it goes (the tests).
beside() {
    local name=$1
    shift
    if [[ $1 == --quiet ]]; then
        shift
        setsid --wait nice -n 10 bash -c 'timed "$@"' timed "$name" "$@" > "$logs/$name" 2>&1 &
    else
        setsid --wait bash -c 'timed "$@"' timed "$name" "$@" &
    fi
    background+=($!)
    pids[$name]=$!
}
# joined NAME: waits for it; a quiet one's output follows where it failed.
joined() {
    local rc=0
    wait "${pids[$1]}" || rc=$?
    if ((rc != 0)) && [[ -f $logs/$1 ]]; then
        cat "$logs/$1"
    fi
    return $rc
}

timed "release build" bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TESTING=ON

# The sanitizer passes build only what their tests run. Line tables are all
# the debug information a sanitizer's report needs.
beside "asan build" --quiet bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKEYCRATE_SANITIZE=ON \
    -DKEYCRATE_TESTING=ON -DKEYCRATE_EXTRAS=OFF -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1
# Most tests wait on servers and child processes more than they compute: a
# third at once keeps both cores busy.
beside "release tests" ctest --test-dir build --output-on-failure -j3

# The ThreadSanitizer build, then the fuzzers' (clang), as soon as the
# AddressSanitizer build is done.
sanitizer_builds() {
    timed "tsan build" bash scripts/build.sh build-tsan --target tsan_tests -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TSAN=ON \
        -DKEYCRATE_TESTING=ON
    CC=clang CXX=clang++ timed "fuzz build" bash scripts/build.sh build-fuzz --target fuzz_targets \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYCRATE_FUZZ=ON -DKEYCRATE_TESTING=ON \
        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
}
export -f sanitizer_builds
joined "asan build"
beside "tsan+fuzz builds" --quiet --keep-fd bash -c 'set -euo pipefail; sanitizer_builds'
joined "release tests"
cat "$logs/asan build"
# The million-event lists (label "scale") measure the store, not memory
# safety: the release pass runs them.
timed "asan tests" ctest --test-dir build-asan --output-on-failure -j3 -LE scale
joined "tsan+fuzz builds"
cat "$logs/tsan+fuzz builds"

# One at a time, and alone: Qt hands queued calls between threads under a
# futex lock the checker cannot see, and a receiver kept awake by a competing
# test makes it report Qt's own event deletion as a race.
timed "tsan tests" ctest --test-dir build-tsan --output-on-failure -j1 -L tsan

# The parsers of outside input under libFuzzer: each replays its kept corpus,
# then explores briefly.
timed "fuzz tests" ctest --test-dir build-fuzz --output-on-failure -j2 -L fuzz
# The processor time of every phase together: on a busy machine it says more
# than the wall clock.
cpu=($(times))
echo "== processor time: ${cpu[2]} user, ${cpu[3]} system"
