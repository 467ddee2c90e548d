#!/usr/bin/env bash
# build.sh BUILD_DIR [cmake options...]: configure and build with two jobs.
set -euo pipefail
dir=$1
shift
cmake -S "$(dirname "$0")/.." -B "$dir" "$@" > /dev/null
cmake --build "$dir" -j2
