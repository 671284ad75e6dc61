#!/usr/bin/env bash
# Builds the two Debian packages into build/: autoreindex-server_<version>_<arch>.deb (the
# runner, dbtool, the session tools, the units; no Qt) and autoreindex_<version>_<arch>.deb (the
# window, which depends on the first). Configures build/ first when it is not configured yet.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build -G Ninja
cmake --build build -j "${JOBS:-2}"
cd build
cpack -G DEB
