#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: a release
# build, then a build with AddressSanitizer and UndefinedBehaviorSanitizer;
# then the tests labelled "tsan" (the library's) once more with ThreadSanitizer;
# then the fuzz targets, briefly each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TESTING=ON
# Most tests wait on servers and child processes more than they compute: a
# third at once keeps both cores busy.
ctest --test-dir build --output-on-failure -j3

# The sanitizer passes build only what their tests run. Line tables are all
# the debug information a sanitizer's report needs.
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKEYCRATE_SANITIZE=ON -DKEYCRATE_TESTING=ON \
    -DKEYCRATE_EXTRAS=OFF -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1
# The million-event lists (label "scale") measure the store, not memory
# safety: the release pass runs them.
ctest --test-dir build-asan --output-on-failure -j3 -LE scale

bash scripts/build.sh build-tsan --target tsan_tests -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TSAN=ON \
    -DKEYCRATE_TESTING=ON
# One at a time: Qt hands queued calls between threads under a futex lock the
# checker cannot see, and a receiver kept awake by a competing test makes it
# report Qt's own event deletion as a race.
ctest --test-dir build-tsan --output-on-failure -j1 -L tsan

# The parsers of outside input under libFuzzer: each replays its kept corpus,
# then explores briefly.
CC=clang CXX=clang++ bash scripts/build.sh build-fuzz --target fuzz_targets \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYCRATE_FUZZ=ON -DKEYCRATE_TESTING=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
ctest --test-dir build-fuzz --output-on-failure -j2 -L fuzz
