#!/usr/bin/env bash
# The Windows programs write the same bytes as the Linux ones. Runs autoreindex-run.exe and
# dbtool.exe under Wine and build/bin's autoreindex-run and dbtool over copies of the same
# folders and compares every .dbf, .dbt and .mdx they leave with cmp, naming each file that
# differs:
#   1. a pass (rebuild and pack) over a `maketemplates --demo` folder, each runner with the
#      template folder it unpacks beside itself (those templates are compared too);
#   2. a second pass over the same folders with the transfer ticked as well;
#   3. a pass over a Persian folder whose name has a space and a zero-width non-joiner, holding
#      tables with mixed-case and Persian names, templates in a Persian folder, the Windows
#      runner's settings written as Windows editors save them (UTF-16 with a byte order mark,
#      Z:\ paths with backslashes);
#   4. dbtool pack, check, tags and dump over those tables, given with backslashes.
# Needs the Linux build (scripts/build.sh) and the Windows build (scripts/build-windows.sh).
# Uses $WINEPREFIX when set (scripts/test-windows.sh sets it), else a temporary prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
lin="${ARI_LINUX_BIN:-$root/build/bin}"
win="${ARI_WINDOWS_BIN:-$root/build-win/bin}"
export PATH="/usr/lib/wine:$PATH"

for f in "$lin/maketemplates" "$lin/autoreindex-run" "$lin/dbtool" \
  "$win/autoreindex-run.exe" "$win/dbtool.exe"; do
  [ -f "$f" ] || {
    echo "compare-windows-output: $f is missing (scripts/build.sh, scripts/build-windows.sh)" >&2
    exit 1
  }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/ari-compare.XXXXXX")"
own_prefix=""
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/ari-wine.XXXXXX")"
  export WINEPREFIX
  own_prefix=1
fi
cleanup() {
  if [ -n "$own_prefix" ]; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -n "$own_prefix" ] && wineserver -p

day="$(date +%F)"
failures=0
say() { printf 'compare-windows-output: %s\n' "$*"; }
fail() {
  printf 'compare-windows-output: FAIL: %s\n' "$*" >&2
  failures=$((failures + 1))
}

# The Windows spelling of an absolute path of this machine, as Wine shows it: Z:\tmp\...
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# settings FILE DEST SOURCE TRANSFER [utf16]: a settings file for one pass now (flags -1 or 0).
settings() {
  local text
  text="$(printf '[Setting]\r\nBegin=00:00:00\r\nEnd=23:59:59\r\nSource=%s\r\nDest=%s\r\nTransfer=%s\r\nReindex=-1\r\nPack=-1\r\nAutomat=0\r\n' \
    "$3" "$2" "$4")"
  if [ "${5:-}" = utf16 ]; then
    { printf '\xff\xfe'; printf '%s\r\n' "$text" | iconv -f UTF-8 -t UTF-16LE; } >"$1"
  else
    printf '%s\r\n' "$text" >"$1"
  fi
}

# run LABEL LOG COMMAND...: runs a program, keeping its output; a non-zero exit is a failure.
run() {
  local label="$1" log="$2"
  shift 2
  local rc=0
  "$@" >"$log" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ]; then
    fail "$label exited with $rc (its output follows)"
    sed 's/^/    /' "$log" >&2
    return 1
  fi
}

# same_tables A B LABEL: every .dbf, .dbt and .mdx of folder A equals the file of that name in B,
# and B has none that A lacks.
same_tables() {
  local a="$1" b="$2" label="$3" n=0 bad=0 name
  while IFS= read -r -d '' name; do
    name="${name#"$a"/}"
    n=$((n + 1))
    if [ ! -f "$b/$name" ]; then
      fail "$label: $name is in the Linux output only"
      bad=$((bad + 1))
    elif ! cmp -s "$a/$name" "$b/$name"; then
      fail "$label: $name differs ($(cmp "$a/$name" "$b/$name" 2>&1 | head -n1 | sed 's/^[^ ]* [^ ]* //'))"
      bad=$((bad + 1))
    fi
  done < <(find "$a" -maxdepth 1 -type f \( -iname '*.dbf' -o -iname '*.dbt' -o -iname '*.mdx' \) \
    -print0 | sort -z)
  while IFS= read -r -d '' name; do
    name="${name#"$b"/}"
    if [ ! -f "$a/$name" ]; then
      fail "$label: $name is in the Windows output only"
      bad=$((bad + 1))
    fi
  done < <(find "$b" -maxdepth 1 -type f \( -iname '*.dbf' -o -iname '*.dbt' -o -iname '*.mdx' \) \
    -print0 | sort -z)
  [ "$n" -gt 0 ] || fail "$label: no table files to compare in $a"
  [ "$bad" -eq 0 ] && [ "$n" -gt 0 ] && say "$label: $n files identical"
  return 0
}

# --- 1 and 2: the demo folder, each runner beside its own unpacked templates ---------------
L="$work/demo-linux" W="$work/demo-windows"
mkdir -p "$L/prog" "$W/prog"
run "maketemplates --demo" "$work/maketemplates.log" "$lin/maketemplates" --demo "$L/live"
cp -a "$L/live" "$W/live"
cp "$lin/autoreindex-run" "$L/prog/"
cp "$win/autoreindex-run.exe" "$W/prog/"
settings "$L/prog/Setting_VorelIndex.ini" "$L/live/" "" 0
settings "$W/prog/Setting_VorelIndex.ini" "$(winpath "$W/live")\\" "" 0
ok=1
run "autoreindex-run --now (demo)" "$L/run1.log" "$L/prog/autoreindex-run" --now --ignore-sessions || ok=""
run "autoreindex-run.exe --now (demo)" "$W/run1.log" \
  wine64 "$W/prog/autoreindex-run.exe" --now --ignore-sessions || ok=""
same_tables "$L/prog/mdx" "$W/prog/mdx" "templates unpacked beside the runner"
[ -n "$ok" ] && same_tables "$L/live" "$W/live" "demo pass (rebuild, pack)"

settings "$L/prog/Setting_VorelIndex.ini" "$L/live/" "" -1
settings "$W/prog/Setting_VorelIndex.ini" "$(winpath "$W/live")\\" "" -1
run "autoreindex-run --now (second pass)" "$L/run2.log" "$L/prog/autoreindex-run" --now --ignore-sessions &&
  run "autoreindex-run.exe --now (second pass)" "$W/run2.log" \
    wine64 "$W/prog/autoreindex-run.exe" --now --ignore-sessions &&
  same_tables "$L/live" "$W/live" "second pass (transfer, rebuild, pack)"

# --- 3: Persian and mixed-case names, backslashes, a UTF-16 settings file ---------------------
# Three tables of a fresh demo folder (one with memos, one without an index) under new names,
# their templates likewise.
persian_folder='داده‌ها/پوشه زنده'
templates_folder='الگوها'
make_names() {
  local base="$1" src="$work/fresh" tpl="$L/prog/mdx"
  mkdir -p "$base/$persian_folder" "$base/$templates_folder"
  local live="$base/$persian_folder" t="$base/$templates_folder"
  cp "$src/CUSTOMER.DBF" "$live/Customer.Dbf"
  cp "$src/CUSTOMER.DBT" "$live/Customer.dbt"
  [ -f "$src/CUSTOMER.mdx" ] && cp "$src/CUSTOMER.mdx" "$live/Customer.mdx"
  cp "$src/PRODUCT.DBF" "$live/کالا.DBF"
  cp "$src/PRODUCT.DBT" "$live/کالا.DBT"
  [ -f "$src/PRODUCT.mdx" ] && cp "$src/PRODUCT.mdx" "$live/کالا.mdx"
  cp "$src/ACCOUNT.DBF" "$live/حساب‌ها.dbf"
  cp "$tpl/CUSTOMER.DBF" "$t/Customer.Dbf"
  cp "$tpl/CUSTOMER.MDX" "$t/Customer.MDX"
  [ -f "$tpl/CUSTOMER.DBT" ] && cp "$tpl/CUSTOMER.DBT" "$t/Customer.dbt"
  cp "$tpl/PRODUCT.DBF" "$t/کالا.DBF"
  cp "$tpl/PRODUCT.MDX" "$t/کالا.MDX"
  [ -f "$tpl/PRODUCT.DBT" ] && cp "$tpl/PRODUCT.DBT" "$t/کالا.DBT"
  cp "$tpl/ACCOUNT.DBF" "$t/حساب‌ها.dbf"
  cp "$tpl/ACCOUNT.MDX" "$t/حساب‌ها.MDX"
}
run "maketemplates --demo (fresh)" "$work/maketemplates2.log" "$lin/maketemplates" --demo "$work/fresh"
if [ -f "$L/prog/mdx/CUSTOMER.DBF" ]; then
  NL="$work/names-linux" NW="$work/names-windows"
  make_names "$NL"
  make_names "$NW"
  cp -a "$NL/$persian_folder" "$NL/unpacked"
  cp -a "$NW/$persian_folder" "$NW/unpacked"
  mkdir -p "$NL/prog" "$NW/prog"
  cp "$lin/autoreindex-run" "$NL/prog/"
  cp "$win/autoreindex-run.exe" "$NW/prog/"
  settings "$NL/prog/Setting_VorelIndex.ini" "$NL/$persian_folder/" "$NL/$templates_folder/" -1
  settings "$NW/prog/Setting_VorelIndex.ini" "$(winpath "$NW/$persian_folder")\\" \
    "$(winpath "$NW/$templates_folder")\\" -1 utf16
  run "autoreindex-run --now (Persian names)" "$NL/run.log" "$NL/prog/autoreindex-run" --now --ignore-sessions &&
    run "autoreindex-run.exe --now (Persian names)" "$NW/run.log" \
      wine64 "$NW/prog/autoreindex-run.exe" --now --ignore-sessions &&
    same_tables "$NL/$persian_folder" "$NW/$persian_folder" "pass over Persian and mixed-case names"

  # --- 4: dbtool over the same tables, as they were before the pass --------------------------
  for t in Customer.Dbf کالا.DBF حساب‌ها.dbf; do
    # A table whose production index is missing has no tags to list and fails its check, on
    # both systems alike; its dump and pack are compared all the same.
    cmds=(dump)
    indexed=""
    if [ -n "$(find "$NL/unpacked" -maxdepth 1 -iname "${t%.*}.mdx" -print -quit)" ]; then
      cmds=(tags dump)
      indexed=1
    fi
    for cmd in "${cmds[@]}"; do
      if run "dbtool $cmd $t" "$work/l-$cmd.txt" "$lin/dbtool" "$cmd" "$NL/unpacked/$t" &&
        run "dbtool.exe $cmd $t" "$work/w-$cmd.txt" wine64 "$win/dbtool.exe" "$cmd" \
          "$(winpath "$NW/unpacked/$t")"; then
        tr -d '\r' <"$work/w-$cmd.txt" >"$work/w-$cmd.lf"
        if cmp -s "$work/l-$cmd.txt" "$work/w-$cmd.lf"; then
          say "dbtool $cmd $t: same output"
        else
          fail "dbtool $cmd $t: the outputs differ"
          diff "$work/l-$cmd.txt" "$work/w-$cmd.lf" | head -n 10 >&2 || true
        fi
      fi
    done
    run "dbtool pack $t" "$work/l-pack.txt" "$lin/dbtool" pack "$NL/unpacked/$t" || true
    run "dbtool.exe pack $t" "$work/w-pack.txt" wine64 "$win/dbtool.exe" pack "$(winpath "$NW/unpacked/$t")" || true
    if [ -n "$indexed" ]; then
      run "dbtool.exe check $t" "$work/w-check.txt" wine64 "$win/dbtool.exe" check \
        "$(winpath "$NW/unpacked/$t")" || true
      run "dbtool check $t" "$work/l-check.txt" "$lin/dbtool" check "$NL/unpacked/$t" || true
    fi
  done
  same_tables "$NL/unpacked" "$NW/unpacked" "dbtool pack over Persian and mixed-case names"
else
  fail "the Linux runner unpacked no templates into $L/prog/mdx"
fi

if [ "$(date +%F)" != "$day" ]; then
  say "the date changed during the comparison (the tables carry the day of their last change): run it again"
fi
if [ "$failures" -ne 0 ]; then
  say "$failures failed"
  exit 1
fi
say "the Windows programs wrote the same bytes as the Linux ones"
