#!/usr/bin/env bash
# Compares whole-process screen-to-JPEG captures side by side on the same private Xvfb screen
# (depth 24): pictoss (through the host), scrot, maim, and the floor program (bench/floor_tool:
# XShmGetImage of the whole root into a fresh segment, tjCompress2 from BGRX at quality 90 4:2:0,
# fopen/fwrite), optionally ImageMagick's import and ffmpeg's x11grab. Every tool writes a JPEG
# of quality 90 (or its closest setting, see below). Two screens at each size: windows with small
# text, and a photo-like picture on the root window.
#
# One run of each tool in turn (bench/side_by_side.py), so that a busy machine slows all alike;
# for each: the median wall time, the median CPU time (user + system) and the median peak
# resident memory (of MEMRUNS further runs under /usr/bin/time), each also as a ratio to the
# floor's and to scrot's. Then, inside running processes, the floor's capture loop with its
# buffers reused against "/xptfull 0" sent to a running `pictoss chat`, in turn (pipeline_bench's
# WarmSideBySide). Every measurement waits for a quiet machine first (three one-second samples
# of /proc/stat at least 85 % idle; QUIET_WAIT, QUIET_IDLE and QUIET_SAMPLES in side_by_side.py)
# and prints how idle the machine was while it ran. The shared objects that one capture loads
# (LD_DEBUG=files) are counted for pictoss and the floor. At the end, each target as a ratio:
#   whole process   pictoss / floor, wall time      (goal <= 0.5 at 1920x1080, <= 0.35 at 3840x2160)
#   warm            pictoss chat / floor loop        (goal <= 0.6)
#   peak memory     pictoss / scrot, max RSS         (goal <= 0.8)
#   CPU             pictoss / floor, user + system   (goal <= 1.0)
#   shared objects  loaded by one pictoss capture     (goal <= 16)
#
#   bench/capture_tools.sh [BUILD_DIR]      (default: build/default)
#   RUNS=30 MEMRUNS=5 SIZES="1920x1080" CONTENTS="photo" EXTRA="import ffmpeg" bench/capture_tools.sh
#
# Quality settings: scrot -q 90; maim -m 9 (maim's 1-10 scale; -m 9 gives tables that
# ImageMagick estimates as quality 88, -m 10 gives 100); import -quality 90; ffmpeg mjpeg
# -q:v 3 (estimated quality 90; -q:v 2 and 1 both give 94).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
[[ $build = /* ]] || build=$root/$build
runs=${RUNS:-20}
warmup=${WARMUP:-3}
memruns=${MEMRUNS:-5}
extra=${EXTRA:-}
sizes=${SIZES:-"1920x1080 3840x2160"}
contents=${CONTENTS:-"windows photo"}

floor=$build/bench/floor_tool
host=$build/host/pictoss
for t in Xvfb python3 /usr/bin/time scrot maim convert display xterm xclock $extra "$floor"; do
  command -v "$t" >/dev/null || { echo "capture_tools: $t is missing (scripts/deps, build)"; exit 1; }
done

work=$(mktemp -d /tmp/pictoss-bench.XXXXXX)
pids=()
. "$(dirname "$0")/xvfb.sh"
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  pids=()
  stop_xvfb
}
trap 'cleanup; rm -rf "$work"' EXIT

# Windows and small text: xterms tiled over the screen, each listing text, plus xclock. Each
# xterm's shell stays (sleeping) once it has listed its text, so that the windows sit idle as a
# desktop's do: xterm -hold, whose child has ended, polls about 870 times a second, and the 36
# of a 3840x2160 screen took about half of one of this machine's two cores from every tool.
fill_windows() {
  local w=$1 h=$2 x y
  for ((y = 0; y + 300 <= h; y += 360)); do
    for ((x = 0; x + 600 <= w; x += 640)); do
      xterm -fa "DejaVu Sans Mono" -fs 7 -geometry 100x28+$x+$y -e sh -c \
        "ls -l /usr/bin | head -n 40; cat /usr/share/common-licenses/GPL-3 | head -n 20; exec sleep infinity" &
      pids+=($!)
    done
  done
  xclock -geometry 200x200+$((w - 220))+$((h - 220)) &
  pids+=($!)
  sleep 3
}

# A photo-like picture as the root window's background.
fill_photo() {
  photo_background "$1x$2"
  sleep 1
}

declare -A commands
tool_order=()
set_tools() {  # WxH
  commands=()
  tool_order=(floor)
  commands[floor]="$floor $work/floor.jpg"
  if [ -x "$host" ]; then
    tool_order+=(pictoss)
    commands[pictoss]="$host send '/xptfull 0'"
  fi
  tool_order+=(scrot maim)
  commands[scrot]="scrot -o -q 90 $work/scrot.jpg"
  commands[maim]="maim -m 9 -f jpg $work/maim.jpg"
  for t in $extra; do tool_order+=("$t"); done
  commands[import]="import -window root -quality 90 $work/import.jpg"
  commands[ffmpeg]="ffmpeg -loglevel error -y -f x11grab -video_size $1 -i $DISPLAY -frames:v 1 -q:v 3 $work/ffmpeg.jpg"
}

# pictoss writes into TMPDIR under its stored file name; its settings live in a store of this run.
export TMPDIR=$work
export PICTOSS_PREFIX=$work/store
if [ -x "$host" ]; then "$host" setup >/dev/null; fi
inhost=$build/bench/pipeline_bench

# The floor's in-process loop and a running `pictoss chat`, in turn: prints "floor_ms host_ms".
run_warm() {
  [ -x "$host" ] && [ -x "$inhost" ] || { echo "- -"; return 0; }
  "$inhost" --benchmark_filter=WarmSideBySide --benchmark_format=csv 2>/dev/null >"$work/warm.csv"
  awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i }
    NR == 2 { printf "%.3f %.3f\n", $col["\"floor_ms\""], $col["\"host_ms\""] }' "$work/warm.csv"
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0 && a != "-" && a != "") printf "%.2f", a / b; else printf "-" }'
}

# The shared objects that a command maps (not counting the program itself and the loader).
objects() {
  LD_DEBUG=files "$@" 2>&1 >/dev/null | grep -c 'generating link map' || true
}

targets=()
printf "%-10s %-8s %-9s %8s %6s %6s %7s %6s %6s %7s %6s %6s\n" size content tool \
  "wall ms" "/floor" "/scrot" "cpu ms" "/floor" "/scrot" "peak MB" "/floor" "/scrot"
for size in $sizes; do
  w=${size%x*}
  h=${size#*x}
  for content in $contents; do
    start_xvfb "$size"
    "fill_$content" "$w" "$h"
    set_tools "$size"
    args=()
    for t in "${tool_order[@]}"; do args+=("$t=${commands[$t]}"); done
    python3 "$root/bench/side_by_side.py" "$runs" "$warmup" "$memruns" "${args[@]}" >"$work/runs.csv"
    declare -A wall=() cpu=() peak=()
    idle=-
    while IFS=, read -r t ms c kb; do
      if [ "$t" = idle ]; then idle=$ms; else wall[$t]=$ms cpu[$t]=$c peak[$t]=$kb; fi
    done <"$work/runs.csv"
    for t in "${tool_order[@]}"; do
      printf "%-10s %-8s %-9s %8.1f %6s %6s %7.1f %6s %6s %7.1f %6s %6s\n" "$size" "$content" "$t" \
        "${wall[$t]}" "$(ratio "${wall[$t]}" "${wall[floor]}")" "$(ratio "${wall[$t]}" "${wall[scrot]}")" \
        "${cpu[$t]}" "$(ratio "${cpu[$t]}" "${cpu[floor]}")" "$(ratio "${cpu[$t]}" "${cpu[scrot]}")" \
        "$(awk -v k="${peak[$t]}" 'BEGIN {print k / 1024}')" \
        "$(ratio "${peak[$t]}" "${peak[floor]}")" "$(ratio "${peak[$t]}" "${peak[scrot]}")"
    done
    echo "           (machine ${idle} % idle during these runs)"
    python3 "$root/bench/side_by_side.py" --wait-quiet
    read -r warm_floor warm_host <<<"$(run_warm)"
    printf "%-10s %-8s %-9s %8s %6s   in a running process: floor loop %s ms, pictoss chat %s ms\n" \
      "$size" "$content" warm "" "$(ratio "$warm_host" "$warm_floor")" "$warm_floor" "$warm_host"
    goal=0.5
    [ "$size" = 3840x2160 ] && goal=0.35
    targets+=("$size $content whole-process $(ratio "${wall[pictoss]:--}" "${wall[floor]}") $goal")
    targets+=("$size $content warm $(ratio "$warm_host" "$warm_floor") 0.6")
    targets+=("$size $content peak-memory-vs-scrot $(ratio "${peak[pictoss]:--}" "${peak[scrot]}") 0.8")
    targets+=("$size $content cpu $(ratio "${cpu[pictoss]:--}" "${cpu[floor]}") 1.0")
    if [ -z "${objects_counted:-}" ] && [ -x "$host" ]; then
      objects_counted=1
      pictoss_objects=$(objects "$host" send "/xptfull 0")
      echo "shared objects loaded by one capture under X11: pictoss $pictoss_objects," \
        "floor $(objects "$floor" "$work/floor.jpg")"
      targets+=("any any shared-objects $pictoss_objects 16")
    fi
    cleanup
  done
done
echo
printf "%-10s %-8s %-22s %7s %6s\n" size content target ratio goal
for line in "${targets[@]}"; do
  read -r sz ct name r g <<<"$line"
  printf "%-10s %-8s %-22s %7s %6s %s\n" "$sz" "$ct" "$name" "$r" "<= $g" \
    "$(awk -v r="$r" -v g="$g" 'BEGIN { if (r == "-") print ""; else print (r + 0 <= g + 0 ? "met" : "NOT met") }')"
done
