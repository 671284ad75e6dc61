#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need (Debian 12).
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libminizip-dev zlib1g-dev
  libgtest-dev googletest
  clang libclang-rt-14-dev
  # formatting, checked by a test
  clang-format
  pxlib-dev
  # running: a display server for machines without one, fonts with Persian glyphs
  xvfb xauth fonts-dejavu-core fonts-noto-core fonts-noto-ui-core
  # independent readers used by the tests
  python3 python3-dbfread python3-dbf libdbd-xbase-perl fpc fp-units-db
  # screenshots
  imagemagick x11-apps
  # the window caption test reads the title the X server holds
  x11-utils
  # the Debian packages: manual pages made from --help, the package checks of the packaging test
  help2man lintian
  # the units' verifier and sandbox rating of the packaging test (systemd-analyze)
  systemd
  # the Windows build: cross compiler, zlib for it, Wine to run its tests; dpkg-source unpacks
  # the Debian sources of minizip and pxlib that scripts/setup-windows-deps.sh cross-builds
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 dpkg-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

bash "$(dirname "$0")/setup-windows-deps.sh"
