#!/usr/bin/env bash
# Times one "/xptfull 0" through the host read through the desktop portal (a headless sway
# session, tests/support/sway_session.sh) beside the same through X11 (a private Xvfb of the
# same size, in the same session), side by side in one hyperfine run, and grim alone (what the
# wlroots portal runs to take its picture). Needs root (the session's namespace) and a build.
#
#   bench/portal_capture.sh [RUNS]        SIZE=1920x1080 BUILD=build/default by default
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD:-build/default}")
size=${SIZE:-1920x1080}
runs=${1:-20}
work=$(mktemp -d -p "$build" bench-portal.XXXXXX)
trap 'rm -rf "$work"' EXIT

cat >"$work/inside.sh" <<'INSIDE'
set -euo pipefail
work=$1 build=$2 size=$3 runs=$4
export PICTOSS_PREFIX=$work/store
"$build/host/pictoss" setup >/dev/null
exec 5< <(Xvfb -displayfd 1 -noreset -screen 0 "${size}x24" -nolisten tcp 2>/dev/null)
xvfb=$!
read -r display <&5
mkdir -p "$work/out"
send="$build/host/pictoss send '/xptfull 0'"
hyperfine --style basic --warmup 2 --runs "$runs" --export-json "$work/times.json" \
  -n portal "TMPDIR=$work/out PICTOSS_CAPTURE=portal $send" \
  -n x11 "TMPDIR=$work/out PICTOSS_CAPTURE=x11 DISPLAY=:$display $send" \
  -n grim "grim $work/out/grim.png" >"$work/hyperfine.txt"
kill "$xvfb"
INSIDE
tests/support/sway_session.sh --size "$size" "$work" -- \
  bash "$work/inside.sh" "$work" "$build" "$size" "$runs"

python3 - "$work/times.json" "$size" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ms = {name: 1000 * r["median"] for name, r in results.items()}
print(f"one /xptfull 0 at {sys.argv[2]}, median of {len(results['portal']['times'])} runs:")
for name in ("portal", "x11", "grim"):
    print(f"  {name:7s} {ms[name]:8.1f} ms")
print(f"  portal / x11: {ms['portal'] / ms['x11']:.1f}x")
PY
