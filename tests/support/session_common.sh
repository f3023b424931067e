# What the private desktop sessions (sway_session.sh, gnome_session.sh, kde_session.sh) share;
# sourced, not run. A session script calls, in this order:
#
#   session_enter NAME WORKDIR SCRIPT ARGS...   as root: re-runs SCRIPT ARGS in a mount namespace
#                                               with a private /tmp (and with --net, a private
#                                               network namespace too), then as the user nobody
#                                               with HOME=WORKDIR/home and a private
#                                               XDG_RUNTIME_DIR; returns only in that last run
#   session_bus                                 a private session bus that starts nothing itself
#   session_system_bus                          a private bus standing in as the system bus
#
# and may use wait_for, has_name, start (a background process ended with the session), and
# $session_log. Set SESSION_NET=1 before session_enter for the private network namespace: X
# servers listen on abstract sockets, which a mount namespace does not keep apart.

session_log=""
session_pids=()

session_cleanup() {
  local i
  for ((i = ${#session_pids[@]} - 1; i >= 0; i--)); do
    kill "${session_pids[i]}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}

# start COMMAND...: runs it in the background, its output into the session log.
start() {
  "$@" >>"$session_log" 2>&1 &
  session_pids+=($!)
}

wait_for() {  # wait_for SECONDS TEST...
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    if [ $SECONDS -ge $until ]; then
      echo "$session_name: timed out waiting for: $*" >&2
      cat "$session_log" >&2
      exit 3
    fi
    sleep 0.05
  done
}

has_name() {  # has_name BUS-NAME [--system]
  dbus-send "${2:---session}" --dest=org.freedesktop.DBus --print-reply /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q true
}

# Whether the window manager of the X server in DISPLAY has announced itself.
window_manager_ready() {
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"
}

session_portals() {  # session_portals BACKEND...: the portal's back ends first, then the portal
  local b
  # The portal looks for its back ends when it starts.
  for b in "$@"; do start "/usr/libexec/xdg-desktop-portal-$b" -r; done
  for b in "$@"; do wait_for 20 has_name "org.freedesktop.impl.portal.desktop.$b"; done
  start /usr/libexec/xdg-desktop-portal -r
  wait_for 20 has_name org.freedesktop.portal.Desktop
}

session_enter() {
  session_name=$1
  local work=$2 self
  self=$(realpath "$3")
  shift 3
  if [ "${SESSION_INNER:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "$session_name: must start as root" >&2
      exit 2
    fi
    # The private /tmp goes with the namespace; the user reaches WORKDIR (and the build beside
    # it) through its parents, which are made traversable where they are not.
    chmod 0777 "$work"
    local d keep
    d=$(dirname "$work")
    while [ "$d" != / ]; do
      case $(stat -c %A "$d") in
        *[xt]) ;;
        *) chmod o+x "$d" && echo "$session_name: made $d traversable for others" >&2 ;;
      esac
      d=$(dirname "$d")
    done
    # A source tree (and its build) below /tmp stays reachable through the private /tmp: the
    # old /tmp is held at a point in /run while the tree is bound back at its own path.
    keep=$(cd "$(dirname "$self")/../.." && pwd)
    case $keep in /tmp/*) ;; *) keep="" ;; esac
    local spaces=(--mount)
    [ "${SESSION_NET:-0}" = 1 ] && spaces+=(--net)
    exec unshare "${spaces[@]}" --propagation private env SESSION_INNER=1 KEEP="$keep" \
      bash -c 'set -e
        if [ -n "$KEEP" ]; then old=$(mktemp -d /run/pictoss-tmp.XXXXXX); mount --bind /tmp "$old"; fi
        mount -t tmpfs -o mode=1777 tmpfs /tmp
        mkdir -m 1777 /tmp/.X11-unix  # as X servers expect it: made by root
        if [ -n "$KEEP" ]; then
          mkdir -p "$KEEP"
          mount --bind "$old/${KEEP#/tmp/}" "$KEEP"
          umount -l "$old" && rmdir "$old"
        fi
        exec "$@"' \
      inner "$self" "$@"
  fi
  if [ "$(id -u)" -eq 0 ]; then
    local home=$work/home
    mkdir -p "$home/run"
    chown -R nobody:nogroup "$home"
    chmod 0700 "$home/run"
    exec setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
      env HOME="$home" XDG_RUNTIME_DIR="$home/run" PATH=/usr/local/bin:/usr/bin:/bin \
      ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" \
      LSAN_OPTIONS="${LSAN_OPTIONS:-}" SESSION_INNER=1 "$self" "$@"
  fi
  # From here on: the unprivileged user inside the namespace.
  export LANG=C.UTF-8 XDG_SESSION_TYPE=wayland
  session_log=$work/session.log
  : >"$session_log"
  trap session_cleanup EXIT
}

# A bus of this session's own; `type` is session or system.
session_private_bus() {
  local type=$1 socket=$2
  cat >"$HOME/$type-bus.conf" <<CONF
<busconfig>
  <type>$type</type>
  <listen>unix:path=$socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  start dbus-daemon --config-file="$HOME/$type-bus.conf" --nofork --nopidfile
  wait_for 10 test -S "$socket"
}

session_bus() {
  session_private_bus session "$XDG_RUNTIME_DIR/bus"
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
}

session_system_bus() {
  session_private_bus system "$XDG_RUNTIME_DIR/system_bus"
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/system_bus
}

# The permission store, and the desktop portal's screenshot permission for every unsandboxed
# program (app id "") set to ANSWER (yes or no), as the portal stores a person's answer.
session_screenshot_permission() {
  dbus-send --session --print-reply --dest=org.freedesktop.impl.portal.PermissionStore \
    /org/freedesktop/impl/portal/PermissionStore \
    org.freedesktop.impl.portal.PermissionStore.SetPermission \
    string:screenshot boolean:true string:screenshot string: "array:string:$1" >/dev/null
}
