#!/usr/bin/env bash
# Runs a command inside a private headless GNOME Shell session (Wayland, with Xwayland): its own
# /tmp and network namespace (Xwayland's sockets), an unprivileged user, a private
# XDG_RUNTIME_DIR, session bus and a bus standing in as the system bus (GNOME Shell gives up
# without one), the permission store and the desktop portals (GNOME's, and GTK's for what
# GNOME's leaves out). The shell shows one virtual monitor (1024 x 768 unless --size says
# otherwise), out of the overview, with no window.
#
#   gnome_session.sh [--size WxH] [--permission yes|no|unset] [--extension DIR] WORKDIR -- COMMAND...
#
# --permission seeds the portal's screenshot permission for unsandboxed programs (default yes,
# as after a person allowed it once). --extension installs and enables the GNOME Shell extension
# in DIR for the session's user, beside the tests' own (gnome_test_extension/: whether the shell
# shows a process's window as drawn). COMMAND runs as that user with WAYLAND_DISPLAY, DISPLAY,
# XAUTHORITY and DBUS_SESSION_BUS_ADDRESS set; exits with COMMAND's status. Must start as root.
set -euo pipefail

size=1024x768
permission=yes
extension=""
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --permission) permission=$2; shift 2 ;;
    --extension) extension=$(realpath "$2"); shift 2 ;;
    *) break ;;
  esac
done
options=(--size "$size" --permission "$permission")
[ -n "$extension" ] && options+=(--extension "$extension")
work=$(realpath "$1")
shift
[ "${1:-}" = "--" ] && shift

. "$(dirname "$(realpath "$0")")/session_common.sh"
SESSION_NET=1
session_enter gnome_session.sh "$work" "$0" "${options[@]}" "$work" -- "$@"

# Settings in a file of the session's own: no dconf service runs here.
export XDG_CURRENT_DESKTOP=GNOME GSETTINGS_BACKEND=keyfile
# No banners: one says that the screen cannot be locked here, over the windows. No animations:
# a window that has drawn its first frame is on the screen as drawn, not fading or growing in,
# and leaving the overview leaves it at once.
settings=$HOME/.config/glib-2.0/settings/keyfile
mkdir -p "$(dirname "$settings")"
printf "[org/gnome/desktop/notifications]\nshow-banners=false\n" >"$settings"
printf "[org/gnome/desktop/interface]\nenable-animations=false\n" >>"$settings"
# The tests' own extension, which tells when a new window is shown as drawn, and --extension's.
extensions=("$(dirname "$(realpath "$0")")/gnome_test_extension")
[ -n "$extension" ] && extensions+=("$extension")
uuids=""
mkdir -p "$HOME/.local/share/gnome-shell/extensions"
for e in "${extensions[@]}"; do
  uuid=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["uuid"])' \
    "$e/metadata.json")
  cp -r "$e" "$HOME/.local/share/gnome-shell/extensions/$uuid"
  uuids+="${uuids:+, }'$uuid'"
done
printf "[org/gnome/shell]\nenabled-extensions=[%s]\ndisable-user-extensions=false\n" \
  "$uuids" >>"$settings"
session_bus
session_system_bus

export WAYLAND_DISPLAY=wayland-1
start gnome-shell --headless --wayland --wayland-display "$WAYLAND_DISPLAY" \
  --virtual-monitor "$size"
wait_for 60 has_name org.gnome.Shell
# Xwayland: its socket in the private /tmp, and the authority file mutter writes.
wait_for 30 compgen -G "/tmp/.X11-unix/X*" >/dev/null
wait_for 30 compgen -G "$XDG_RUNTIME_DIR/.mutter-Xwaylandauth.*" >/dev/null
DISPLAY=:$(basename "$(compgen -G "/tmp/.X11-unix/X*" | head -1)" | tr -d X)
XAUTHORITY=$(compgen -G "$XDG_RUNTIME_DIR/.mutter-Xwaylandauth.*" | head -1)
export DISPLAY XAUTHORITY
wait_for 30 window_manager_ready

start /usr/libexec/xdg-permission-store -r
wait_for 20 has_name org.freedesktop.impl.portal.PermissionStore
[ "$permission" = unset ] || session_screenshot_permission "$permission"
session_portals gnome gtk

# The shell starts in the overview, which would cover every window.
overview() {
  dbus-send --session --print-reply --dest=org.gnome.Shell /org/gnome/Shell \
    org.freedesktop.DBus.Properties."$@"
}
leave_overview() {
  overview Set string:org.gnome.Shell string:OverviewActive variant:boolean:false >/dev/null
  overview Get string:org.gnome.Shell string:OverviewActive | grep -q "boolean false"
}
wait_for 20 leave_overview

"$@"
