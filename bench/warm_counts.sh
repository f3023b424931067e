#!/usr/bin/env bash
# Counts what one capture costs, in numbers that do not depend on how busy the machine is: for a
# one-shot "pictoss send '/xptfull 0'" and for one more "/xptfull 0" sent to a running
# `pictoss chat` (the difference between a chat of N + 1 captures and one of a single capture,
# divided by N). On a private Xvfb screen (depth 24) with a photo-like root window, as
# bench/capture_tools.sh uses:
#   instructions      valgrind's callgrind, all threads (valgrind's own memset and memcpy count
#                     one instruction a byte or so: a large fill weighs more than it costs)
#   page faults       perf stat (minor and major)
#   context switches  perf stat
#   system calls      strace -c -f
#   peak memory       VmHWM of the chat process after its captures
# Times are left to bench/capture_tools.sh, on a quiet machine.
#
#   bench/warm_counts.sh [BUILD_DIR]          (default: build/default)
#   SIZES="1920x1080 3840x2160" N=20 bench/warm_counts.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
[[ $build = /* ]] || build=$root/$build
sizes=${SIZES:-"1920x1080"}
n=${N:-20}
host=$build/host/pictoss
for t in Xvfb convert display perf strace valgrind "$host"; do
  command -v "$t" >/dev/null || { echo "warm_counts: $t is missing (scripts/deps, build)"; exit 1; }
done

work=$(mktemp -d /tmp/pictoss-counts.XXXXXX)
. "$root/bench/xvfb.sh"
trap 'stop_xvfb; rm -rf "$work"' EXIT

export TMPDIR=$work
export PICTOSS_PREFIX=$work/store
"$host" setup >/dev/null

# Sends `count` captures to one `pictoss chat` run under the command in "$@" (perhaps none),
# each after the answer to the one before; prints the chat's VmHWM in kB when asked to.
chat() {
  local count=$1 hwm=$2
  shift 2
  coproc CHAT { exec "$@" "$host" chat 2>"$work/chat.err"; }
  local pid=$CHAT_PID line i
  for ((i = 0; i < count; i++)); do
    echo "/xptfull 0" >&"${CHAT[1]}"
    while read -r line <&"${CHAT[0]}"; do
      case $line in
        "sent file"*) break ;;
        error*) echo "warm_counts: $line" >&2; exit 1 ;;
      esac
    done
  done
  # Under a wrapper the chat is the wrapper's child.
  if [ "$hwm" = 1 ]; then
    local p=$pid
    [ $# -gt 0 ] && p=$(pgrep -P "$pid" -x pictoss || echo "$pid")
    awk '/^VmHWM/ { print $2 }' "/proc/$p/status"
  fi
  exec {CHAT[1]}>&-
  wait "$pid" || true
}

# perf stat's count of an event in a file of its -x, output.
event() { awk -F, -v e="$2" '$3 == e { print $1 }' "$1"; }
# The calls in a strace -c summary.
calls() { awk '$NF == "total" { print $4 }' "$1"; }
# The instructions in a callgrind output file.
instructions() { awk '/^(summary|totals):/ { print $2; exit }' "$1"; }
per() { awk -v a="$1" -v b="$2" -v n="$3" -v f="${4:-%.1f}" 'BEGIN { printf f, (b - a) / n }'; }

for size in $sizes; do
  start_xvfb "$size"
  photo_background "$size"

  perf stat -x, -e page-faults,context-switches -o "$work/cold.perf" "$host" send "/xptfull 0" >/dev/null
  strace -f -c -o "$work/cold.strace" "$host" send "/xptfull 0" >/dev/null
  valgrind --tool=callgrind --callgrind-out-file="$work/cold.cg" "$host" send "/xptfull 0" \
    >/dev/null 2>&1
  echo "$size one-shot send: $(instructions "$work/cold.cg") instructions," \
    "$(event "$work/cold.perf" page-faults) page faults," \
    "$(event "$work/cold.perf" context-switches) context switches," \
    "$(calls "$work/cold.strace") system calls"

  for k in 1 $((n + 1)); do
    chat "$k" 0 perf stat -x, -e page-faults,context-switches -o "$work/warm$k.perf" >/dev/null
    chat "$k" 0 strace -f -c -o "$work/warm$k.strace" >/dev/null
    chat "$k" 0 valgrind --tool=callgrind --callgrind-out-file="$work/warm$k.cg" >/dev/null 2>&1
  done
  hwm=$(chat "$n" 1)
  a=1 b=$((n + 1))
  echo "$size warm capture: $(per "$(instructions "$work/warm$a.cg")" \
    "$(instructions "$work/warm$b.cg")" "$n" %.0f) instructions," \
    "$(per "$(event "$work/warm$a.perf" page-faults)" "$(event "$work/warm$b.perf" page-faults)" \
      "$n") page faults," \
    "$(per "$(event "$work/warm$a.perf" context-switches)" \
      "$(event "$work/warm$b.perf" context-switches)" "$n") context switches," \
    "$(per "$(calls "$work/warm$a.strace")" "$(calls "$work/warm$b.strace")" "$n") system calls;" \
    "peak memory after $n captures $((hwm / 1024)) MiB"
  stop_xvfb
done
