#!/usr/bin/env bash
# Configures and builds into build/ (programs in build/bin). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
extra=()
[ "${CI:-}" = "true" ] && extra+=(-DARI_WERROR=ON)
cmake -S . -B build -G Ninja "${extra[@]}" "$@"
cmake --build build -j "$(nproc)"
