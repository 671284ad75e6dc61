#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
start=$SECONDS
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 --timeout 900)
echo "test.sh: the Linux suite took $((SECONDS - start)) s"
# The Windows programs, cross-built and tested under Wine.
start=$SECONDS
status=0
bash scripts/test-windows.sh || status=$?
echo "test.sh: the Windows suite took $((SECONDS - start)) s"
exit "$status"
