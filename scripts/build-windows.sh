#!/usr/bin/env bash
# Cross-builds the Windows programs and their tests into build-win/ (Ninja, MinGW-w64 toolchain:
# cmake/mingw-w64-x86_64.cmake). Build-time tools and the tests run under Wine. minizip and pxlib
# for Windows are taken from ARI_WIN_DEPS (default build-win-deps/). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
extra=()
[ "${CI:-}" = "true" ] && extra+=(-DARI_WERROR=ON)
[ -n "${ARI_WIN_DEPS:-}" ] && extra+=(-DARI_WIN_DEPS="$ARI_WIN_DEPS")
# Debian's wine64 keeps its loader and server out of PATH.
export PATH="/usr/lib/wine:$PATH"
# Wine needs a prefix of its own; a temporary one unless the caller gave one.
if [ -z "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$(mktemp -d)
    export WINEPREFIX
    trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
fi
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    "${extra[@]}" "$@"
cmake --build build-win -j "${ARI_JOBS:-$(nproc)}"
