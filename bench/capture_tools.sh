#!/usr/bin/env bash
# Compares whole-process screen-to-JPEG times and peak memory, side by side on the same private
# Xvfb screen: pictoss (through the host), scrot, maim, ImageMagick's import, ffmpeg's x11grab,
# and the floor program (bench/floor_tool) in its two grab variants. Every tool writes a JPEG of
# quality 90 (or its closest setting, see below). Two screens at each size: windows with small
# text, and a photo-like picture on the root window.
#
#   bench/capture_tools.sh [BUILD_DIR]      (default: build/default)
#   RUNS=30 SIZES="1920x1080" CONTENTS="photo" bench/capture_tools.sh build-p
#
# Quality settings: scrot -q 90; maim -m 9 (maim's 1-10 scale; -m 9 gives tables that
# ImageMagick estimates as quality 88, -m 10 gives 100); import -quality 90; ffmpeg mjpeg
# -q:v 3 (estimated quality 90; -q:v 2 and 1 both give 94). The median comes from hyperfine,
# the peak memory is the median of /usr/bin/time's maximum resident set size over MEMRUNS runs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
[[ $build = /* ]] || build=$root/$build
runs=${RUNS:-20}
memruns=${MEMRUNS:-5}
sizes=${SIZES:-"1920x1080 3840x2160"}
contents=${CONTENTS:-"windows photo"}

floor=$build/bench/floor_tool
host=$build/host/pictoss
for t in Xvfb hyperfine scrot maim import ffmpeg xterm xclock /usr/bin/time "$floor"; do
  command -v "$t" >/dev/null || { echo "capture_tools: $t is missing (scripts/deps, build)"; exit 1; }
done

work=$(mktemp -d /tmp/pictoss-bench.XXXXXX)
pids=()
xvfb_pid=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  pids=()
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  xvfb_pid=""
}
trap 'cleanup; rm -rf "$work"' EXIT

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

# Windows and small text: xterms tiled over the screen, each listing text, plus xclock.
fill_windows() {
  local w=$1 h=$2 x y
  for ((y = 0; y + 300 <= h; y += 360)); do
    for ((x = 0; x + 600 <= w; x += 640)); do
      xterm -fa "DejaVu Sans Mono" -fs 7 -geometry 100x28+$x+$y -hold \
        -e sh -c "ls -l /usr/bin | head -n 40; cat /usr/share/common-licenses/GPL-3 | head -n 20" &
      pids+=($!)
    done
  done
  xclock -geometry 200x200+$((w - 220))+$((h - 220)) &
  pids+=($!)
  sleep 3
}

# A photo-like picture (ImageMagick's plasma fractal, fixed seed) as the root window's background.
fill_photo() {
  local img=$work/photo-$1x$2.png
  [ -f "$img" ] || convert -seed 7 -size "$1x$2" plasma:fractal -blur 0x1 "$img"
  # display sets the background and exits with 1 when it has no window of its own to keep.
  display -window root "$img" || true
  sleep 1
}

declare -A commands
tool_order=()
set_tools() {  # WxH
  commands=()
  tool_order=(floor floor-band64)
  commands[floor]="$floor $work/floor.jpg"
  commands[floor-band64]="$floor --band 64 $work/floor-band.jpg"
  if [ -x "$host" ]; then
    tool_order+=(pictoss)
    commands[pictoss]="$host send '/xptfull 0'"
  fi
  tool_order+=(scrot maim import ffmpeg)
  commands[scrot]="scrot -o -q 90 $work/scrot.jpg"
  commands[maim]="maim -m 9 -f jpg $work/maim.jpg"
  commands[import]="import -window root -quality 90 $work/import.jpg"
  commands[ffmpeg]="ffmpeg -loglevel error -y -f x11grab -video_size $1 -i $DISPLAY -frames:v 1 -q:v 3 $work/ffmpeg.jpg"
}

peak_kb() {  # median of memruns peak RSS readings, in kB
  local cmd=$1 i
  for ((i = 0; i < memruns; i++)); do
    /usr/bin/time -f "%M" -o "$work/rss" sh -c "$cmd" >/dev/null 2>&1
    cat "$work/rss"
  done | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

# pictoss writes into TMPDIR under its stored file name; its settings live in a store of this run.
export TMPDIR=$work
export PICTOSS_PREFIX=$work/store
if [ -x "$host" ]; then "$host" setup >/dev/null; fi
inhost=$build/bench/pipeline_bench

# Inside running processes on the same screen: the floor with reused buffers against the second
# and later captures of a running `pictoss chat`, and the host's CPU share during a 3-s delay.
run_inhost() {  # size content
  [ -x "$host" ] && [ -x "$inhost" ] || return 0
  "$inhost" --benchmark_filter='Floor|HostCapture' --benchmark_repetitions="${INHOST_REPS:-10}" \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null >"$work/inhost.csv"
  "$inhost" --benchmark_filter=WaitCpu --benchmark_format=csv 2>/dev/null >"$work/wait.csv"
  awk -F, -v size="$1" -v content="$2" '
    $1 ~ /_median"?$/ { n = $1; gsub(/"/, "", n); sub(/\/real_time_median/, "", n); t[n] = $3 }
    END {
      printf "%-10s %-8s in-process: floor %.2f ms, floor-band64 %.2f ms, pictoss chat %.2f ms (%.2f x floor)\n",
        size, content, t["Floor/0"], t["Floor/64"], t["HostCapture"], t["HostCapture"] / t["Floor/0"]
    }' "$work/inhost.csv"
  awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i }
    NR == 2 { printf "%21s cpu during a 3-s delay: %.2f%% of the wall time\n", "", $col["\"cpu_share_percent\""] }' \
    "$work/wait.csv"
}

printf "%-10s %-8s %-13s %10s %8s %10s\n" size content tool "median ms" ratio "peak MB"
for size in $sizes; do
  w=${size%x*}
  h=${size#*x}
  for content in $contents; do
    start_xvfb "$size"
    "fill_$content" "$w" "$h"
    set_tools "$size"
    args=()
    for t in "${tool_order[@]}"; do args+=(-n "$t" "${commands[$t]}"); done
    hyperfine -N --style none --warmup 3 --runs "$runs" --export-csv "$work/times.csv" \
      "${args[@]}" >/dev/null 2>&1
    floor_ms=$(awk -F, '$1 == "floor" {printf "%.3f", $4 * 1000}' "$work/times.csv")
    for t in "${tool_order[@]}"; do
      ms=$(awk -F, -v t="$t" '$1 == t {printf "%.3f", $4 * 1000}' "$work/times.csv")
      kb=$(peak_kb "${commands[$t]}")
      printf "%-10s %-8s %-13s %10.1f %8.2f %10.1f\n" "$size" "$content" "$t" "$ms" \
        "$(awk -v a="$ms" -v b="$floor_ms" 'BEGIN {print a / b}')" \
        "$(awk -v k="$kb" 'BEGIN {print k / 1024}')"
    done
    run_inhost "$size" "$content"
    cleanup
  done
done
