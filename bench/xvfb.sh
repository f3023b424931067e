# Sourced by the bench scripts: a private Xvfb screen of depth 24, and a photo-like picture on
# it. Needs $work, a folder of the caller's.

xvfb_pid=""

start_xvfb() {  # WxH: starts a private server, sets DISPLAY
  local fifo=$work/displayfd
  rm -f "$fifo"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  local n
  read -r n <"$fifo"
  export DISPLAY=:$n
}

stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  xvfb_pid=""
}

# ImageMagick's plasma fractal (fixed seed) as the root window's background.
photo_background() {  # WxH
  local img=$work/photo-$1.png
  [ -f "$img" ] || convert -seed 7 -size "$1" plasma:fractal -blur 0x1 "$img"
  # display sets the background and exits with 1 when it has no window of its own to keep.
  display -window root "$img" || true
}
