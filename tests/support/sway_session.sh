#!/usr/bin/env bash
# Runs a command inside a private headless sway session: its own /tmp (a mount namespace of its
# own, since the wlroots portal always writes /tmp/out.png), an unprivileged user (sway refuses
# to run as root), a private XDG_RUNTIME_DIR and session bus, PipeWire and the desktop portals.
# The output (800 x 600 device pixels unless --size says otherwise) is solid #3060a0 around a
# gap of 20 logical pixels; two foot windows, #c00000 and #00c000, sit side by side, the right
# one focused.
#
#   sway_session.sh [--scale N] [--size WxH] [--no-portal] WORKDIR -- COMMAND...
#
# WORKDIR (outside /tmp) is made readable for the session's user; COMMAND runs as that user with
# WAYLAND_DISPLAY, SWAYSOCK and DBUS_SESSION_BUS_ADDRESS set. Exits with COMMAND's status.
# Must start as root (it makes the namespace and drops to the user `nobody`).
set -euo pipefail

scale=1
size=800x600
portal=1
while [ $# -gt 0 ]; do
  case "$1" in
    --scale) scale=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --no-portal) portal=0; shift ;;
    *) break ;;
  esac
done
work=$(realpath "$1")
shift
[ "${1:-}" = "--" ] && shift

if [ "${SWAY_SESSION_INNER:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "sway_session.sh: must start as root" >&2
    exit 2
  fi
  # The private /tmp goes with the namespace; the user reaches WORKDIR through its parents.
  chmod 0777 "$work"
  d=$work
  while [ "$d" != / ]; do chmod o+x "$d" 2>/dev/null || true; d=$(dirname "$d"); done
  self=$(realpath "$0")
  exec unshare --mount --propagation private env SWAY_SESSION_INNER=1 \
    bash -c 'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec "$@"' \
    inner "$self" --scale "$scale" --size "$size" $([ $portal = 0 ] && echo --no-portal) "$work" -- "$@"
fi

if [ "$(id -u)" -eq 0 ]; then
  home=$work/home
  mkdir -p "$home/run"
  chown -R nobody:nogroup "$home"
  chmod 0700 "$home/run"
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
    env HOME="$home" XDG_RUNTIME_DIR="$home/run" PATH=/usr/local/bin:/usr/bin:/bin \
    ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" \
    LSAN_OPTIONS="${LSAN_OPTIONS:-}" \
    SWAY_SESSION_INNER=1 "$0" --scale "$scale" --size "$size" $([ $portal = 0 ] && echo --no-portal) \
    "$work" -- "$@"
fi

# From here on: the unprivileged user inside the namespace.
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway LANG=C.UTF-8
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
log=$work/session.log
: >"$log"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# A bus that starts nothing by itself: what runs is what this script starts.
cat >"$HOME/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:path=$XDG_RUNTIME_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$HOME/bus.conf" --nofork --nopidfile >>"$log" 2>&1 &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus

wait_for() {  # wait_for SECONDS TEST...
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    if [ $SECONDS -ge $until ]; then
      echo "sway_session.sh: timed out waiting for: $*" >&2
      cat "$log" >&2
      exit 3
    fi
    sleep 0.05
  done
}
wait_for 10 test -S "$XDG_RUNTIME_DIR/bus"

mkdir -p "$HOME/.config/sway"
cat >"$HOME/.config/sway/config" <<CONF
output * bg #3060a0 solid_color
output HEADLESS-1 mode $size scale $scale
default_border normal 2
gaps outer 20
xwayland disable
font monospace 10
CONF
sway -c "$HOME/.config/sway/config" >>"$log" 2>&1 &
pids+=($!)
sway_socket() { compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" >/dev/null; }
wait_for 20 sway_socket
SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" | head -1)
export SWAYSOCK
wait_for 10 compgen -G "$XDG_RUNTIME_DIR/wayland-*" >/dev/null
WAYLAND_DISPLAY=$(basename "$(compgen -G "$XDG_RUNTIME_DIR/wayland-[0-9]" | head -1)")
export WAYLAND_DISPLAY

if [ $portal = 1 ]; then
  pipewire >>"$log" 2>&1 &
  pids+=($!)
  wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0"
  /usr/libexec/xdg-desktop-portal-wlr -r >>"$log" 2>&1 &
  pids+=($!)
  /usr/libexec/xdg-desktop-portal-gtk -r >>"$log" 2>&1 &
  pids+=($!)
  /usr/libexec/xdg-desktop-portal -r >>"$log" 2>&1 &
  pids+=($!)
  has_name() {
    dbus-send --session --dest=org.freedesktop.DBus --print-reply /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q true
  }
  for name in org.freedesktop.impl.portal.desktop.wlr org.freedesktop.impl.portal.desktop.gtk \
    org.freedesktop.portal.Desktop; do
    wait_for 20 has_name "$name"
  done
fi

# Two windows: red on the left, then green on the right, which keeps the focus.
window_count() {
  [ "$(swaymsg -t get_tree | grep -c '"app_id": "foot"')" -ge "$1" ]
}
still='printf "\\033[?25l"; exec sleep 100000'  # no cursor, and no shell to start
swaymsg "exec foot -T left -o colors.background=c00000 sh -c '$still'" >/dev/null
wait_for 20 window_count 1
swaymsg "exec foot -T right -o colors.background=00c000 sh -c '$still'" >/dev/null
wait_for 20 window_count 2
sleep 0.5  # the second window's first frame

"$@"
