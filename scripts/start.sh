#!/usr/bin/env bash
# First run: installs what is missing, builds, prepares a demo live folder beside the program
# and, when there is no settings file yet, one that runs a maintenance pass within the next
# minutes; then starts the program. Under a machine without a display: xvfb-run -a scripts/start.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bash scripts/setup.sh
bash scripts/build.sh

bin="$root/build/bin"
demo="$bin/demo-live"
settings="$bin/Setting_VorelIndex.ini"

# A live folder of filled copies of the template tables: deleted records to pack, indexes
# that are current, stale (the template's empty index) or missing. Made afresh each time.
"$bin/maketemplates" --demo "$demo"
# The record of the day's pass belongs to the folder it was made over: a new demo folder has had
# none, so that its pass comes again at the next tick inside the window.
rm -f "$bin/reindexed"

if [ ! -e "$settings" ]; then
    # The time window covers the next hour (up to the end of the day when that comes first):
    # the first schedule tick, a minute after the start, falls inside it.
    begin="$(date +%H:%M:%S)"
    end="$(date -d '+1 hour' +%H:%M:%S)"
    [[ "$end" < "$begin" ]] && end="23:59:59"
    printf '[Setting]\r\nBegin=%s\r\nEnd=%s\r\nSource=%s\r\nDest=%s\r\nTransfer=0\r\nReindex=-1\r\nPack=-1\r\nAutomat=-1\r\n' \
        "$begin" "$end" "$bin/mdx/" "$demo" >"$settings"
    echo "start.sh: wrote $settings (window $begin to $end, rebuild and pack, automatic start)"
else
    echo "start.sh: keeping the existing $settings"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<EOF
start.sh: no display is available (neither DISPLAY nor WAYLAND_DISPLAY is set), so the window
cannot open. Everything is built and prepared; run it under a virtual display:

    xvfb-run -a scripts/start.sh

or start it from a desktop session:  ARI_SESSION_TOOLS=$root/build/tests-bin $bin/autoreindex
EOF
    exit 1
fi

# The session tools are built into build/tests-bin, not beside the program: the demo names them.
export ARI_SESSION_TOOLS="$root/build/tests-bin"
echo "start.sh: starting $bin/autoreindex; the maintenance run begins about a minute from now"
exec "$bin/autoreindex"
