#!/usr/bin/env bash
# Times captures through the host in headless GNOME Shell and KDE Plasma sessions under Wayland
# (tests/support/gnome_session.sh, kde_session.sh), each read through the desktop's own portal:
# "/xptfull 0", and "/xptactive 0" on each way the window in front is found: an X11 window
# through Xwayland, a native Wayland window through KWin's script (KDE) or the GNOME Shell
# extension (GNOME). Each `pictoss send` is a whole process; medians of RUNS runs in one
# hyperfine run per desktop. Needs root (the sessions' namespaces) and a build.
#
#   bench/desktop_captures.sh [RUNS]        SIZE=1920x1080 BUILD=build/default by default
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD:-build/default}")
size=${SIZE:-1920x1080}
runs=${1:-10}
work=$(mktemp -d -p "$build" bench-desktops.XXXXXX)
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT

cat >"$work/inside.sh" <<'INSIDE'
set -euo pipefail
work=$1 build=$2 runs=$3 native=$4 untold=${5:-}
export PICTOSS_PREFIX=$work/store
"$build/host/pictoss" setup >/dev/null
mkdir -p "$work/out"
window() {  # opens a window and waits until test_window.py says it is on the screen
  local fd line
  exec {fd}< <(exec python3 tests/support/test_window.py --size 640x400 "$@" 2>/dev/null)
  read -r -t 60 -u "$fd" line
}
send="TMPDIR=$work/out $build/host/pictoss send"
GDK_BACKEND=x11 window --color 00c000
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/x11.json" \
  -n "/xptfull 0" "$send '/xptfull 0'" \
  -n "/xptactive 0, X11 window" "$send '/xptactive 0'" >>"$work/hyperfine.txt"
GDK_BACKEND=wayland window --color 0000c0 $untold
# GNOME Shell does not tell the window that it has the focus: its extension tells us.
while [ -n "$untold" ] && ! gdbus call --session --dest org.gnome.Shell \
  --object-path /org/brindlemoor/Pictoss --method org.brindlemoor.Pictoss.Windows.FocusedFrame |
  grep -Eq "^\(true, -?[0-9]+, -?[0-9]+, 640,"; do
  sleep 0.05
done
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/native.json" \
  -n "/xptactive 0, native window ($native)" "$send '/xptactive 0'" >>"$work/hyperfine.txt"
INSIDE

report() {
  python3 - "$1" "$work/x11.json" "$work/native.json" <<'PY'
import json, sys
print(sys.argv[1])
for path in sys.argv[2:]:
    for r in json.load(open(path))["results"]:
        print(f"  {r['command']:45s} {1000 * r['median']:8.1f} ms  (median of {len(r['times'])})")
PY
}

load() { awk '{print "load average " $1 ", " $2 ", " $3}' /proc/loadavg; }
echo "$(load) before"
tests/support/gnome_session.sh --size "$size" --extension gnome-shell-extension "$work" -- \
  bash "$work/inside.sh" "$work" "$build" "$runs" "GNOME Shell extension" --focus-untold
report "GNOME Shell 43 at $size"
rm -rf "${work:?}"/{home,store,out,*.json}
tests/support/kde_session.sh --size "$size" "$work" -- \
  bash "$work/inside.sh" "$work" "$build" "$runs" "KWin script"
report "KWin 5.27 at $size"
echo "$(load) after"
