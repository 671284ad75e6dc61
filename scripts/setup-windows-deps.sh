#!/usr/bin/env bash
# Cross-builds the two libraries that Debian does not package for x86_64-w64-mingw32 —
# minizip (contrib/minizip of the zlib source package) and pxlib — as static libraries from
# Debian's source packages, and installs them into build-win-deps/ (or $ARI_WIN_DEPS):
#   include/minizip/{unzip.h,zip.h,ioapi.h,iowin32.h}  lib/libminizip.a
#   include/{paradox.h,paradox-mp.h,paradox-gsf.h,pxversion.h}  lib/libpx.a
#   lib/pkgconfig/{minizip,pxlib}.pc
# zlib itself comes from libz-mingw-w64-dev; a copy of its static library and headers goes into
# the prefix too, so that the prefix alone serves a build on a Windows machine (-DZLIB_ROOT=). Idempotent: returns at once when the prefix was
# built by this same script from the same sources. Run as root (or with sudo at hand): it may
# add a deb-src entry for the archive the machine already uses and run apt-get update.
set -euo pipefail
self="$(realpath "$0")"
cd "$(dirname "$self")/.."
root="$PWD"
prefix="${ARI_WIN_DEPS:-$root/build-win-deps}"
work="$prefix/work"
stamp="$prefix/.built"
host=x86_64-w64-mingw32
cc="$host-gcc"
ar="$host-ar"
cflags=(-O2 -g0 -Wno-unused-parameter)

recipe="$(sha256sum "$self" | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(head -n1 "$stamp")" = "$recipe" ] &&
  [ -f "$prefix/lib/libminizip.a" ] && [ -f "$prefix/lib/libpx.a" ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"

log() { printf 'setup-windows-deps: %s\n' "$*"; }
die() {
  printf 'setup-windows-deps: %s\n' "$*" >&2
  exit 1
}

command -v "$cc" >/dev/null || die "$cc is missing (package gcc-mingw-w64-x86-64-posix)"
command -v dpkg-source >/dev/null || die "dpkg-source is missing (package dpkg-dev)"
[ -f "/usr/$host/include/zlib.h" ] || die "zlib for $host is missing (package libz-mingw-w64-dev)"

# The deb822 stanzas (Types: deb, not disabled) of a .sources file, retyped as deb-src.
deb822_to_src() {
  awk 'BEGIN { RS = ""; ORS = "\n\n"; FS = "\n" }
    { types = ""; on = 1
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^Types:/) { types = $i; $i = "Types: deb-src" }
        if ($i ~ /^Enabled:[ \t]*[Nn]o/) on = 0
      }
      if (on && types ~ /[: \t]deb([ \t]|$)/) {
        s = $1; for (i = 2; i <= NF; i++) s = s "\n" $i; print s
      } }' "$1"
}

# apt-get source needs deb-src entries; add them for the very archives and suites the machine
# installs from, once.
ensure_deb_src() {
  if grep -rqsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
    # Entries without their index yet (no apt-get update since they were added).
    apt-cache showsrc zlib 2>/dev/null | grep -q '^Package:' || $SUDO apt-get update -qq
    return
  fi
  log "adding deb-src entries for the configured Debian archive"
  local f tmp
  tmp="$(mktemp)"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && deb822_to_src "$f" >>"$tmp"
  done
  if [ -s "$tmp" ]; then
    $SUDO install -m 644 "$tmp" /etc/apt/sources.list.d/ari-deb-src.sources
  fi
  : >"$tmp"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >>"$tmp"
  done
  if [ -s "$tmp" ]; then
    $SUDO install -m 644 "$tmp" /etc/apt/sources.list.d/ari-deb-src.list
  fi
  rm -f "$tmp"
  $SUDO apt-get update -qq
}

# Fetches and unpacks a source package of the machine's suites into $work/<name>/, trying each
# given selector (newest first); prints the unpacked folder.
fetch_source() {
  local name="$1" sel dir
  shift
  rm -rf "$work/$name"
  mkdir -p "$work/$name"
  for sel in "$@"; do
    if (cd "$work/$name" && apt-get source -qq "$sel" >"$work/$name.log" 2>&1); then
      dir="$(find "$work/$name" -mindepth 1 -maxdepth 1 -type d | head -n1)"
      [ -n "$dir" ] && {
        echo "$dir"
        return 0
      }
    fi
    log "apt-get source $sel failed: $(grep -E '^(E|Err):' "$work/$name.log" | head -n1)" >&2
    rm -rf "${work:?}/$name"/*
  done
  return 1
}

# Last resort for pxlib: the upstream tarball that Debian's next release ships as its
# .orig.tar.gz, looked up through a private apt configuration (deb-src of the same archive URI,
# signed index, nothing added to the machine's own sources) and checked against the index's
# SHA256 by apt-helper. Used where the archive serves the stable suite's pxlib source no more.
fetch_pxlib_orig() {
  local suite=trixie uri apt_dir line url file sum dir
  uri="$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
    grep -m1 -E '/debian/?$' || true)"
  [ -n "$uri" ] || uri="http://deb.debian.org/debian/"
  apt_dir="$work/apt-$suite"
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/lists/partial"
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$uri" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg >"$apt_dir/src.sources"
  local opts=(-o "Dir::Etc::SourceList=$apt_dir/src.sources" -o "Dir::Etc::SourceParts=$apt_dir/none"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir")
  apt-get "${opts[@]}" update -qq >"$apt_dir/update.log" 2>&1 ||
    die "cannot read the $suite source index: $(tail -n1 "$apt_dir/update.log")"
  line="$(apt-get "${opts[@]}" source --print-uris -qq "pxlib/$suite" 2>/dev/null |
    grep -E "\.orig\.tar\.[a-z0-9]+' " | head -n1)"
  [ -n "$line" ] || die "no pxlib source in $suite"
  url="$(echo "$line" | awk '{ print $1 }' | tr -d "'")"
  file="$(echo "$line" | awk '{ print $2 }')"
  sum="$(echo "$line" | awk '{ print $4 }')"
  case "$sum" in SHA256:*) ;; *) die "no SHA256 for $file in the $suite index" ;; esac
  rm -rf "$work/pxlib"
  mkdir -p "$work/pxlib"
  /usr/lib/apt/apt-helper download-file "$url" "$work/pxlib/$file" "$sum" >"$work/pxlib.log" 2>&1 ||
    die "cannot fetch $file: $(tail -n1 "$work/pxlib.log")"
  tar -xf "$work/pxlib/$file" -C "$work/pxlib"
  dir="$(find "$work/pxlib" -mindepth 1 -maxdepth 1 -type d | head -n1)"
  [ -n "$dir" ] || die "$file holds no folder"
  log "pxlib from $file ($suite, upstream tarball without Debian's packaging)" >&2
  echo "$dir"
}

ensure_deb_src
rm -rf "$prefix"
mkdir -p "$work" "$prefix/include/minizip" "$prefix/lib/pkgconfig"

# minizip: Debian's zlib source (newest, else the release's own).
zsrc="$(fetch_source zlib zlib "zlib/$codename")" || die "cannot fetch Debian's zlib source"
zver="$(cd "$zsrc" && dpkg-parsechangelog -S Version)"
log "minizip from zlib $zver"
mz="$zsrc/contrib/minizip"
mkdir -p "$work/obj/minizip"
for f in ioapi unzip zip iowin32; do
  "$cc" "${cflags[@]}" -I"$mz" -c "$mz/$f.c" -o "$work/obj/minizip/$f.o"
done
"$ar" rcs "$prefix/lib/libminizip.a" "$work/obj/minizip/"*.o
install -m 644 "$mz"/{unzip.h,zip.h,ioapi.h,iowin32.h} "$prefix/include/minizip/"
cat >"$prefix/lib/pkgconfig/minizip.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include/minizip

Name: minizip
Description: Minizip zip file manipulation library (from Debian's zlib $zver, static, $host)
Version: ${zver#*:}
Libs: -L\${libdir} -lminizip -lz
Cflags: -I\${includedir}
EOF

# pxlib: Debian's source, without iconv, recode, gsf or gettext.
if ! psrc="$(fetch_source pxlib pxlib)"; then
  psrc="$(fetch_pxlib_orig)"
  pver="$(basename "$psrc" | sed 's/^pxlib-//')"
else
  pver="$(cd "$psrc" && dpkg-parsechangelog -S Version)"
fi
log "pxlib $pver"
pinc="$work/obj/pxlib-include"
mkdir -p "$work/obj/pxlib" "$pinc"
# paradox.c spells the Windows headers with capitals; the MinGW headers are lower case.
printf '#include <windows.h>\n' >"$pinc/Windows.h"
printf '#include <winbase.h>\n' >"$pinc/Winbase.h"
sed -e 's/@PX_HAVE_RECODE@/0/; s/@PX_HAVE_ICONV@/0/' "$psrc/include/paradox.h.in" >"$pinc/paradox.h"
pdotted="$(sed -n 's/^#define PXLIB_\(MAJOR\|MINOR\|MICRO\)_VERSION \([0-9]*\).*/\2/p' \
  "$psrc/include/pxversion.h" | paste -sd.)"
sed -e "s/@PXLIB_DOTTED_VERSION@/$pdotted/" "$psrc/include/pxversion.h" >"$pinc/pxversion.h"
cp "$psrc/include/paradox-mp.h" "$pinc/"
if [ -f "$psrc/include/paradox-gsf.h.in" ]; then
  sed -e 's/@PX_HAVE_GSF@/0/; s/@HAVE_GSF@/0/' "$psrc/include/paradox-gsf.h.in" >"$pinc/paradox-gsf.h"
else
  cp "$psrc/include/paradox-gsf.h" "$pinc/"
fi
grep -qE '@[A-Z_]+@' "$pinc"/*.h && die "unsubstituted pxlib header"
# What configure would find on MinGW, less gettext (whose libintl.h brings locale.h in).
cat >"$pinc/config.h" <<EOF
#define HAVE_FCNTL_H 1
#define HAVE_INTTYPES_H 1
#define HAVE_LOCALE_H 1
#define HAVE_STDARG_H 1
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_UNISTD_H 1
#define HAVE_GSF 0
#define PACKAGE "pxlib"
#define VERSION "$pdotted"
#include <locale.h>
EOF
for f in "$psrc"/src/*.c; do
  "$cc" "${cflags[@]}" -Wno-pointer-sign -Wno-format -Wno-overflow -DHAVE_CONFIG_H \
    -I"$pinc" -I"$psrc/src" -c "$f" -o "$work/obj/pxlib/$(basename "$f" .c).o"
done
"$ar" rcs "$prefix/lib/libpx.a" "$work/obj/pxlib/"*.o
install -m 644 "$pinc"/{paradox.h,paradox-mp.h,paradox-gsf.h,pxversion.h} "$prefix/include/"
cat >"$prefix/lib/pkgconfig/pxlib.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libpx
Description: A library for reading Paradox files (from Debian's pxlib $pver, static, $host)
Version: $pver
Libs: -L\${libdir} -lpx
Cflags: -I\${includedir}
EOF

# zlib, for a build elsewhere that has the prefix alone.
install -m 644 "/usr/$host/include/zlib.h" "/usr/$host/include/zconf.h" "$prefix/include/"
install -m 644 "/usr/$host/lib/libz.a" "$prefix/lib/"

# Both link into a program.
cat >"$work/linkcheck.c" <<'EOF'
#include <stdio.h>
#include <unzip.h>
#include <paradox.h>
int main(void) {
    pxdoc_t* px = PX_new();
    unzFile z = unzOpen64("missing.zip");
    printf("minizip and pxlib %d.%d linked: %s %s\n", PX_get_majorversion(),
           PX_get_minorversion(), px ? "px" : "-", z ? "zip?" : "nozip");
    if (px) PX_delete(px);
    return px && !z ? 0 : 1;
}
EOF
"$cc" -I"$prefix/include" -I"$prefix/include/minizip" "$work/linkcheck.c" -o "$work/linkcheck.exe" \
  -L"$prefix/lib" -lminizip -lpx -lz -static ||
  die "the built libraries do not link"

printf '%s\nzlib %s\npxlib %s\n' "$recipe" "$zver" "$pver" >"$stamp"
rm -rf "$work/zlib" "$work/pxlib" "$work"/apt-*
log "installed into $prefix"
