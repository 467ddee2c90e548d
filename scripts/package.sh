#!/usr/bin/env bash
# Installs what is missing, makes a release build and from it the Debian
# package build-package/keycrate_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# A build of its own: a test build carries switches only tests may use.
bash scripts/build.sh build-package -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TESTING=OFF
(cd build-package && cpack -G DEB > /dev/null)
ls build-package/keycrate_*_amd64.deb
