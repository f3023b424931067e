#!/usr/bin/env bash
# Counts what one whole-process "/xptfull 0" costs under X11, in measures that a busy machine does
# not change: the shared objects it maps (LD_DEBUG=files), its minor page faults (/usr/bin/time),
# its system calls (strace -c -f, all threads) and its instructions (valgrind's callgrind, all
# threads). For comparing two builds side by side (before and after a change) while other work
# runs; times need a quiet machine and bench/capture_tools.sh instead.
#
#   bench/capture_counts.sh [BUILD_DIR...]      (default: build/default)
#   RUNS=9 SIZE=3840x2160 bench/capture_counts.sh /tmp/before/build/default build/default
#
# Each build gets a fresh private Xvfb screen of SIZE (depth 24, default 1920x1080) and a private
# store; the first capture is not counted. Faults and system calls are the median of RUNS runs
# (default 5); system calls also without futex, which the threads' timing changes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
size=${SIZE:-1920x1080}
[ $# -gt 0 ] || set -- "$root/build/default"
for t in Xvfb /usr/bin/time strace valgrind; do
  command -v "$t" >/dev/null || { echo "capture_counts: $t is missing"; exit 1; }
done

work=$(mktemp -d /tmp/pictoss-counts.XXXXXX)
. "$root/bench/xvfb.sh"
trap 'stop_xvfb; rm -rf "$work"' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf "%-40s %7s %7s %9s %9s %13s\n" build objects faults syscalls "w/o futex" instructions
for build in "$@"; do
  [[ $build = /* ]] || build=$root/$build
  host=$build/host/pictoss
  [ -x "$host" ] || { echo "capture_counts: no $host"; exit 1; }
  start_xvfb "$size"
  run=$work/run
  rm -rf "$run"
  mkdir -p "$run/tmp"
  # The build's own platform library first, also for a copy of a build (whose search path still
  # names the folder it was built in).
  export PICTOSS_PREFIX=$run/prefix TMPDIR=$run/tmp LD_LIBRARY_PATH=$build/platform
  "$host" setup >/dev/null 2>&1
  "$host" send "/xptfull 0" >/dev/null 2>&1
  objects=$(LD_DEBUG=files "$host" send "/xptfull 0" 2>&1 >/dev/null |
    grep 'generating link map' | sed 's/.*file=\([^ ]*\).*/\1/' | sort -u)
  faults=$(for _ in $(seq "$runs"); do
    /usr/bin/time -o "$work/time" -f "%R" "$host" send "/xptfull 0" >/dev/null 2>&1
    cat "$work/time"
  done | median)
  calls=""
  quiet=""
  for _ in $(seq "$runs"); do
    strace -f -c -o "$work/strace" "$host" send "/xptfull 0" >/dev/null 2>&1
    # strace's columns: % time, seconds, usecs/call, calls, errors (left empty for none), name.
    calls+="$(awk '$NF == "total" { print $4 }' "$work/strace") "
    quiet+="$(awk '$NF == "futex" { f = $4 } $NF == "total" { t = $4 } END { print t - f }' \
      "$work/strace") "
  done
  calls=$(echo "$calls" | tr ' ' '\n' | grep . | median)
  quiet=$(echo "$quiet" | tr ' ' '\n' | grep . | median)
  rm -f "$work"/callgrind.*
  valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.%p" "$host" send "/xptfull 0" \
    >/dev/null 2>&1 || true
  instructions=$(grep -h '^summary:' "$work"/callgrind.* | awk '{ s += $2 } END { print s }')
  printf "%-40s %7s %7s %9s %9s %13s\n" "${build#$root/}" "$(echo "$objects" | wc -l)" \
    "$faults" "$calls" "$quiet" "$instructions"
  echo "  objects: $(echo "$objects" | xargs -n1 basename | tr '\n' ' ')"
  stop_xvfb
done
