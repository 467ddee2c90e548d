#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: a release
# build, then a build with AddressSanitizer and UndefinedBehaviorSanitizer;
# then the tests labelled "tsan" (the library's) once more with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TESTING=ON
ctest --test-dir build --output-on-failure -j2

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKEYCRATE_SANITIZE=ON -DKEYCRATE_TESTING=ON
ctest --test-dir build-asan --output-on-failure -j2

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TSAN=ON -DKEYCRATE_TESTING=ON > /dev/null
cmake --build build-tsan -j2 --target tsan_tests
ctest --test-dir build-tsan --output-on-failure -j2 -L tsan
