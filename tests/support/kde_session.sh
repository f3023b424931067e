#!/usr/bin/env bash
# Runs a command inside a private headless KDE Plasma session: KWin on its virtual back end with
# Xwayland, in its own /tmp and network namespace (Xwayland's sockets), as an unprivileged user
# with a private XDG_RUNTIME_DIR and session bus, and KDE's desktop portal. One output (1024 x 768
# unless --size says otherwise), no window.
#
#   kde_session.sh [--size WxH] [--no-pictures] WORKDIR -- COMMAND...
#
# KDE's portal writes its pictures into ~/Pictures, which is made unless --no-pictures says
# otherwise. COMMAND runs as that user with WAYLAND_DISPLAY, DISPLAY and
# DBUS_SESSION_BUS_ADDRESS set; exits with COMMAND's status. Must start as root.
set -euo pipefail

size=1024x768
pictures=1
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --no-pictures) pictures=0; shift ;;
    *) break ;;
  esac
done
options=(--size "$size")
[ $pictures = 0 ] && options+=(--no-pictures)
work=$(realpath "$1")
shift
[ "${1:-}" = "--" ] && shift

. "$(dirname "$(realpath "$0")")/session_common.sh"
SESSION_NET=1
session_enter kde_session.sh "$work" "$0" "${options[@]}" "$work" -- "$@"

export XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5 QT_QPA_PLATFORM=wayland
session_bus
[ $pictures = 1 ] && mkdir -p "$HOME/Pictures"

# The installed kwin_wayland carries a file capability (cap_sys_resource) that this container
# cannot grant, so exec refuses it; a plain copy runs without.
cp /usr/bin/kwin_wayland "$HOME/kwin_wayland"
export WAYLAND_DISPLAY=wayland-1
start "$HOME/kwin_wayland" --virtual --width "${size%x*}" --height "${size#*x}" \
  --no-lockscreen --no-global-shortcuts --no-kactivities --socket "$WAYLAND_DISPLAY" --xwayland
wait_for 30 test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY"
wait_for 30 has_name org.kde.KWin
# Xwayland: its socket in the private /tmp (KWin's Xwayland asks for no authority).
wait_for 30 compgen -G "/tmp/.X11-unix/X*" >/dev/null
DISPLAY=:$(basename "$(compgen -G "/tmp/.X11-unix/X*" | head -1)" | tr -d X)
export DISPLAY
wait_for 30 window_manager_ready

start /usr/libexec/xdg-permission-store -r
start /usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde
wait_for 20 has_name org.freedesktop.impl.portal.desktop.kde
start /usr/libexec/xdg-desktop-portal -r
wait_for 20 has_name org.freedesktop.portal.Desktop

"$@"
