#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/build-windows.sh into build-win/) and runs their
# tests under Wine: ctest in build-win/, then the byte comparison of what the Windows and the
# Linux programs write (scripts/compare-windows-output.sh, which needs the Linux build in build/).
# Wine gets a prefix of its own in a temporary folder (removed at exit), no display, and one
# wineserver kept running for the whole run (a process then starts in a fraction of a second).
# Fails when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's wine64 keeps its loader and server out of PATH.
export PATH="/usr/lib/wine:$PATH"
for tool in wine64 wineserver; do
  command -v "$tool" >/dev/null || {
    echo "test-windows: $tool is missing (scripts/setup.sh installs wine64)" >&2
    exit 1
  }
done

WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/ari-wine.XXXXXX")"
export WINEPREFIX
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
unset DISPLAY WAYLAND_DISPLAY
# No debug chatter; no offer to install Mono or Gecko into the prefix.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

start=$SECONDS
wineserver -p
wine64 wineboot -i >/dev/null 2>&1
echo "test-windows: Wine prefix $WINEPREFIX ready in $((SECONDS - start)) s"

bash scripts/build-windows.sh -DARI_BUILD_TESTS=ON
echo "test-windows: built in $((SECONDS - start)) s"

status=0
(cd build-win && ctest --output-on-failure --no-tests=error -j 2 --timeout 900) || status=1
bash scripts/compare-windows-output.sh || status=1
echo "test-windows: done in $((SECONDS - start)) s"
if [ "$status" -ne 0 ]; then
  echo "test-windows: FAILED" >&2
fi
exit "$status"
