#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: a release
# build, then a build with AddressSanitizer and UndefinedBehaviorSanitizer;
# then the tests labelled "tsan" (the library's) once more with ThreadSanitizer;
# then the fuzz targets, briefly each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TESTING=ON
ctest --test-dir build --output-on-failure -j2

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKEYCRATE_SANITIZE=ON -DKEYCRATE_TESTING=ON
# The million-event lists (label "scale") measure the store, not memory
# safety: the release pass runs them.
ctest --test-dir build-asan --output-on-failure -j2 -LE scale

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TSAN=ON -DKEYCRATE_TESTING=ON > /dev/null
cmake --build build-tsan -j2 --target tsan_tests
ctest --test-dir build-tsan --output-on-failure -j2 -L tsan

# The parsers of outside input under libFuzzer: each replays its kept corpus,
# then explores briefly.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYCRATE_FUZZ=ON \
    -DKEYCRATE_TESTING=ON > /dev/null
cmake --build build-fuzz -j2 --target fuzz_targets
ctest --test-dir build-fuzz --output-on-failure -j2 -L fuzz
