#!/usr/bin/env bash
# Runs a command inside a private headless sway session: its own /tmp (a mount namespace of its
# own, since the wlroots portal always writes /tmp/out.png), an unprivileged user (sway refuses
# to run as root), a private XDG_RUNTIME_DIR and session bus, PipeWire and the desktop portals.
# The output (800 x 600 device pixels unless --size says otherwise) is solid #3060a0 around a
# gap of 20 logical pixels; two foot windows, #c00000 and #00c000, sit side by side, the right
# one focused. With --second-output a second output of 640 x 480 sits right of the first, and
# the green window moves there, with the focus.
#
#   sway_session.sh [--scale N] [--size WxH] [--second-output] [--no-portal] WORKDIR -- COMMAND...
#
# WORKDIR (outside /tmp) is made readable for the session's user; COMMAND runs as that user with
# WAYLAND_DISPLAY, SWAYSOCK and DBUS_SESSION_BUS_ADDRESS set. Exits with COMMAND's status.
# Must start as root (it makes the namespace and drops to the user `nobody`).
set -euo pipefail

scale=1
size=800x600
outputs=1
portal=1
while [ $# -gt 0 ]; do
  case "$1" in
    --scale) scale=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --second-output) outputs=2; shift ;;
    --no-portal) portal=0; shift ;;
    *) break ;;
  esac
done
options=(--scale "$scale" --size "$size")
[ $outputs = 2 ] && options+=(--second-output)
[ $portal = 0 ] && options+=(--no-portal)
work=$(realpath "$1")
shift
[ "${1:-}" = "--" ] && shift

. "$(dirname "$(realpath "$0")")/session_common.sh"
session_enter sway_session.sh "$work" "$0" "${options[@]}" "$work" -- "$@"

export XDG_CURRENT_DESKTOP=sway
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
export WLR_HEADLESS_OUTPUTS=$outputs
session_bus

mkdir -p "$HOME/.config/sway"
cat >"$HOME/.config/sway/config" <<CONF
output * bg #3060a0 solid_color
output HEADLESS-1 mode $size scale $scale pos 0 0
output HEADLESS-2 mode 640x480 pos 800 0
default_border normal 2
gaps outer 20
xwayland disable
font monospace 10
CONF
start sway -c "$HOME/.config/sway/config"
sway_socket() { compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" >/dev/null; }
wait_for 20 sway_socket
SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" | head -1)
export SWAYSOCK
wait_for 10 compgen -G "$XDG_RUNTIME_DIR/wayland-*" >/dev/null
WAYLAND_DISPLAY=$(basename "$(compgen -G "$XDG_RUNTIME_DIR/wayland-[0-9]" | head -1)")
export WAYLAND_DISPLAY

if [ $portal = 1 ]; then
  start pipewire
  wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0"
  session_portals wlr gtk
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
if [ $outputs = 2 ]; then
  swaymsg "move container to output HEADLESS-2; focus output HEADLESS-2" >/dev/null
fi
# Ready once the screen shows each window's own colour in the middle of its content: foot
# draws again after every resize, and the move above resizes the green one.
windows_shown() {
  python3 - <<'PY'
import json, subprocess, sys
tree = json.loads(subprocess.run(["swaymsg", "-t", "get_tree"], capture_output=True, check=True).stdout)
colours = {"left": (0xc0, 0, 0), "right": (0, 0xc0, 0)}
def views(node, output=None):
    if node.get("type") == "output":
        output = node
    if node.get("app_id") == "foot":
        yield node, output
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        yield from views(child, output)
for view, output in views(tree):
    frame = subprocess.run(["grim", "-o", output["name"], "-t", "ppm", "-"], capture_output=True, check=True).stdout
    header = frame.split(b"\n", 3)  # P6, width and height, 255, pixels
    width, pixels = int(header[1].split()[0]), header[3]
    scale = output.get("scale") or 1
    x = int((view["rect"]["x"] + view["window_rect"]["x"] + view["window_rect"]["width"] // 2 - output["rect"]["x"]) * scale)
    y = int((view["rect"]["y"] + view["window_rect"]["y"] + view["window_rect"]["height"] // 2 - output["rect"]["y"]) * scale)
    at = (y * width + x) * 3
    if tuple(pixels[at:at + 3]) != colours[view["name"]]:
        sys.exit(1)
PY
}
wait_for 20 windows_shown

"$@"
