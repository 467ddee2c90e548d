#!/usr/bin/env bash
# build.sh BUILD_DIR [--target NAME]... [cmake options...]: configure and build
# with two jobs. A new build folder gets Ninja where it is installed; one that
# exists keeps the generator it was made with.
set -euo pipefail
dir=$1
shift
targets=()
while [[ ${1:-} == --target ]]; do
    targets+=(--target "$2")
    shift 2
done
generator=()
if [[ ! -f $dir/CMakeCache.txt ]] && command -v ninja > /dev/null; then
    generator=(-G Ninja)
fi
cmake -S "$(dirname "$0")/.." -B "$dir" "${generator[@]}" "$@" > /dev/null
cmake --build "$dir" -j2 "${targets[@]}"
