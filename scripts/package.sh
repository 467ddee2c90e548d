#!/usr/bin/env bash
# Installs what is missing, makes a release build and from it the Debian
# package build/keycrate_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
(cd build && cpack -G DEB > /dev/null)
ls build/keycrate_*_amd64.deb
