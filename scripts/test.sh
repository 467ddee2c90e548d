#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: a release
# build, then a clang build with AddressSanitizer and UndefinedBehaviorSanitizer
# that also makes the fuzz targets, which run briefly each beside its tests;
# then the tests labelled "tsan" (the library's) once more with
# ThreadSanitizer.
#
# The tests mostly wait on servers and child processes: the builds follow one
# another without waiting for them, at a lower priority, and take the
# processor time the tests leave.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every phase says when it ended, how long it took and the processor time it
# took, in one line on the script's own output (fd 9) even when its output
# goes to a log. On a machine shared with other work the clock says little;
# the processor time says what the phase costs.
exec 9>&1
export KEYCRATE_TEST_START=$EPOCHSECONDS
# children_cpu VAR: sets VAR to the processor seconds, user and system, of
# this shell's finished children. Asked of this shell itself: a subshell has
# no children of its own.
children_cpu() {
    local file
    file=$(mktemp)
    times > "$file"
    printf -v "$1" %s "$(awk 'NR == 2 { n = split($0, t, /[ms ]+/)
        for (i = 1; i < n; i += 2) s += t[i] * 60 + t[i + 1]; printf "%d", s }' "$file")"
    rm -f "$file"
}
export -f children_cpu
# timed NAME COMMAND...: runs the command and says how long it took. The
# command does without fd 9: a test's server must not hold the script's
# output open.
timed() {
    local name=$1 begun=$EPOCHSECONDS rc=0 cpu_before cpu_after
    shift
    children_cpu cpu_before
    "$@" 9>&- || rc=$?
    children_cpu cpu_after
    printf '== %(%H:%M:%S)T %-16s %4d s, %4d s processor, ended at %4d s%s\n' -1 "$name" \
        $((EPOCHSECONDS - begun)) $((cpu_after - cpu_before)) $((EPOCHSECONDS - KEYCRATE_TEST_START)) \
        "$( ((rc == 0)) || echo ", failed ($rc)")" >&9
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

# beside NAME [--quiet | --log] COMMAND...: starts the command in a process
# group of its own, printing as it goes; --log keeps its output apart, --quiet
# also runs it at a lower priority (a build beside the tests).
beside() {
    local name=$1
    shift
    case $1 in
    --quiet)
        shift
        setsid --wait nice -n 10 bash -c 'timed "$@"' timed "$name" "$@" > "$logs/$name" 2>&1 &
        ;;
    --log)
        shift
        setsid --wait bash -c 'timed "$@"' timed "$name" "$@" > "$logs/$name" 2>&1 &
        ;;
    *)
        setsid --wait bash -c 'timed "$@"' timed "$name" "$@" &
        ;;
    esac
    background+=($!)
    pids[$name]=$!
}
# joined NAME [--show]: waits for it; output kept apart follows where it
# failed, or always with --show.
joined() {
    local rc=0
    wait "${pids[$1]}" || rc=$?
    if [[ ($rc != 0 || ${2:-} == --show) && -f $logs/$1 ]]; then
        cat "$logs/$1"
    fi
    return $rc
}

# The benchmarks and the screenshot tool run no test: the release build
# leaves them out, and the sanitizer build, which compiles at -O1 eight
# sources to a unit, compiles them for less, so that one that no longer builds
# still fails the run.
timed "release build" bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TESTING=ON -DKEYCRATE_EXTRAS=OFF

# The sanitizer passes build what their tests run, and this one the extras
# too. Line tables are all the debug information a sanitizer's report needs.
# One clang build serves the sanitizer tests and the fuzzers, so the product
# code compiles once for both; at -O1, where the sanitizers' checks stay whole
# and the fuzzers run fast. Sources compile eight to a unit, as in the
# ThreadSanitizer build below.
beside "asan build" --quiet env CC=clang CXX=clang++ bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_UNITY_BUILD=ON -DKEYCRATE_SANITIZE=ON -DKEYCRATE_FUZZ=ON -DKEYCRATE_TESTING=ON -DKEYCRATE_EXTRAS=ON \
    "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1"
# Most tests wait on servers and child processes more than they compute: a
# third at once keeps both cores busy.
beside "release tests" ctest --test-dir build --output-on-failure -j3

# The ThreadSanitizer build as soon as the sanitizer build is done, so that it
# too compiles while tests run. At -O1, the checker's usual level: it finds
# the same races, and the build costs less than at -O3. Sources compile eight
# to a unit: the headers they share are read once (a quarter to a third less
# processor time than one by one, beside the precompiled headers).
joined "asan build"
beside "tsan build" --quiet bash scripts/build.sh build-tsan --target tsan_tests -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_UNITY_BUILD=ON -DKEYCRATE_TSAN=ON -DKEYCRATE_TESTING=ON "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" \
    "-DCMAKE_C_FLAGS_RELEASE=-O1 -DNDEBUG"
joined "release tests"
cat "$logs/asan build"
# The million-event lists (label "scale") measure the store, not memory
# safety: the release pass runs them.
beside "asan tests" ctest --test-dir build-asan --output-on-failure -j3 -LE "scale|fuzz"
# The parsers of outside input under libFuzzer: each replays its kept corpus,
# then explores for a set time by the clock. One at a time and at the tests'
# priority, a fuzzer has a core to itself: the build beside it yields.
beside "fuzz tests" --log ctest --test-dir build-asan --output-on-failure -j1 -L fuzz
joined "asan tests"
joined "fuzz tests" --show
joined "tsan build"
cat "$logs/tsan build"

# One at a time, and alone: Qt hands queued calls between threads under a
# futex lock the checker cannot see, and a receiver kept awake by a competing
# test makes it report Qt's own event deletion as a race.
timed "tsan tests" ctest --test-dir build-tsan --output-on-failure -j1 -L tsan

# The processor time of every phase together, which on a busy machine says
# more than the wall clock; asked of this shell, as a subshell has no
# children of its own.
times > "$logs/times"
{
    read -r _
    read -r user system
} < "$logs/times"
echo "== processor time: $user user, $system system"
