#!/usr/bin/env bash
# Builds the Debian package into build/ (autoreindex_<version>_<arch>.deb): everything into
# /opt/autoreindex, the systemd units into /lib/systemd/system, dbtool and autoreindex-run
# linked into /usr/bin. Configures build/ first when it is not configured yet.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build -G Ninja
cmake --build build -j "${JOBS:-2}"
cd build
cpack -G DEB
