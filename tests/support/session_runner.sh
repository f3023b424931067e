#!/usr/bin/env bash
# Serves a test fixture from inside a desktop session (gnome_session.sh, kde_session.sh), so that
# one session serves many cases: sets Pictoss up with a private store, then reads shell commands
# from standard input, one a line, runs each in this shell with the functions below, and answers
# on standard output: "ready" once, then "done STATUS" after each command. A command's output
# goes to DIR/stdout and DIR/stderr.
#
#   session_runner.sh DIR HOST
#
#   window [test_window.py options]  opens a GTK 3 window (GDK_BACKEND picks X11 or Wayland),
#                                    returns once it is on the screen (under GNOME Shell, once
#                                    the shell shows it as drawn) and (an X11 window) named by
#                                    _NET_ACTIVE_WINDOW, and prints what test_window.py says
#                                    ("x11 XID" or "wayland")
#   wait_until COMMAND...            runs COMMAND until it succeeds (30 s at most)
#   shell_focus WIDTH                whether GNOME Shell's focus is on a window WIDTH pixels wide
#                                    (asked through the Pictoss extension)
#   shell_shows PID                  whether GNOME Shell shows the window of process PID as drawn
#                                    (asked through the tests' extension)
#   close_windows                    closes the windows opened so far
#   capture LINE                     `pictoss send LINE`, its pictures in DIR/out (emptied first)
set -uo pipefail
dir=$1
host=$2
here=$(dirname "$(realpath "$0")")
mkdir -p "$dir"
export PICTOSS_PREFIX=$dir/store
windows=()

window() {
  local fd line pid
  exec {fd}< <(exec python3 "$here/test_window.py" "$@" 2>>"$dir/windows.log")
  pid=$!
  windows+=("$pid")
  if ! read -r -t 60 -u "$fd" line; then
    echo "the test window did not come up: $*" >&2
    return 1
  fi
  echo "$line"
  case $line in
    x11\ *) wait_until active_x11_window "${line#x11 }" || return 1 ;;
  esac
  if [ "${XDG_CURRENT_DESKTOP:-}" = GNOME ]; then wait_until shell_shows "$pid"; fi
}

active_x11_window() {
  [ "$(xprop -root -notype _NET_ACTIVE_WINDOW | awk '{print $NF}')" = \
    "$(printf '0x%x' "$1")" ]
}

# GNOME Shell maps a new window in from transparent after the window's first frame.
shell_shows() {
  gdbus call --session --dest org.gnome.Shell --object-path /org/brindlemoor/PictossTests \
    --method org.brindlemoor.PictossTests.Windows.Shown "$1" 2>/dev/null | grep -q "^(true,)"
}

shell_focus() {
  gdbus call --session --dest org.gnome.Shell --object-path /org/brindlemoor/Pictoss \
    --method org.brindlemoor.Pictoss.Windows.FocusedFrame 2>/dev/null |
    grep -Eq "^\(true, -?[0-9]+, -?[0-9]+, $1,"
}

wait_until() {
  local until=$((SECONDS + 30))
  until "$@"; do
    if [ $SECONDS -ge $until ]; then
      echo "timed out waiting for: $*" >&2
      return 1
    fi
    sleep 0.05
  done
}

close_windows() {
  local p
  for p in "${windows[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  windows=()
}

capture() {
  rm -rf "$dir/out"
  mkdir -p "$dir/out"
  TMPDIR=$dir/out "$host" send "$1"
}

"$host" setup >"$dir/setup.log" 2>&1 || { cat "$dir/setup.log" >&2; exit 9; }
echo ready
while IFS= read -r line; do
  eval "$line" </dev/null >"$dir/stdout" 2>"$dir/stderr"
  echo "done $?"
done
