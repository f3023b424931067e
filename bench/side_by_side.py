#!/usr/bin/env python3
"""Runs commands side by side, one run of each in turn, and prints for each the medians of its
wall time, its CPU time (user + system, from wait4's resource usage) and its peak resident
memory, as CSV: name,wall_ms,cpu_ms,peak_kb (peak_kb "-" when MEMRUNS is 0). A last line
"idle,PERCENT" gives the share of the machine's CPU time that was idle while the runs took place
(all cores, from /proc/stat), so that a figure taken on a busy machine shows as such.

    side_by_side.py RUNS WARMUP MEMRUNS NAME=COMMAND ...
    side_by_side.py --wait-quiet

Before the runs, and with --wait-quiet alone, it waits until the machine is quiet: QUIET_SAMPLES
(3) one-second samples of /proc/stat in a row, each at least QUIET_IDLE (85) percent idle. It
waits at most QUIET_WAIT (900) seconds, then goes on and says so on standard error; QUIET_WAIT=0
does not wait at all.

The commands are split like a shell would split them and started directly (no shell), so the
times are those of the program alone. The peak memory comes from MEMRUNS further rounds under
/usr/bin/time: a process started from this one would report this interpreter's size as its
peak, since Linux keeps the larger of the two across exec."""
import os
import shlex
import statistics
import sys
import tempfile
import time


def cpu_times():
    """(idle, total) jiffies of all cores."""
    with open("/proc/stat") as stat:
        fields = [int(f) for f in stat.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)  # idle + iowait
    return idle, sum(fields[:8])


def idle_share(before, after):
    total = after[1] - before[1]
    return (after[0] - before[0]) / total if total > 0 else 1.0


def wait_quiet():
    limit = float(os.environ.get("QUIET_WAIT", "900"))
    if limit <= 0:
        return
    want = float(os.environ.get("QUIET_IDLE", "85")) / 100
    samples = int(os.environ.get("QUIET_SAMPLES", "3"))
    start = time.monotonic()
    quiet, last = 0, cpu_times()
    while quiet < samples:
        time.sleep(1)  # one sample of the machine's load, not a wait for an event of ours
        now = cpu_times()
        share = idle_share(last, now)
        last = now
        quiet = quiet + 1 if share >= want else 0
        if quiet < samples and time.monotonic() - start > limit:
            print(f"side_by_side: the machine did not become quiet in {limit:.0f} s "
                  f"({quiet} of {samples} seconds in a row at least {100 * want:.0f} % idle, "
                  f"the last {100 * share:.0f} %); measuring anyway", file=sys.stderr)
            return


def run(argv):
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ,
                          file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"side_by_side: {' '.join(argv)} failed with status {status}")
    return wall * 1000, (usage.ru_utime + usage.ru_stime) * 1000


def peak_kb(argv):
    with tempfile.NamedTemporaryFile("r") as out:
        run(["/usr/bin/time", "-f", "%M", "-o", out.name] + argv)
        return int(out.read().split()[-1])


def main():
    if sys.argv[1:] == ["--wait-quiet"]:
        wait_quiet()
        return
    runs, warmup, memruns = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    tools = [(arg.split("=", 1)[0], shlex.split(arg.split("=", 1)[1])) for arg in sys.argv[4:]]
    samples = {name: [] for name, _ in tools}
    peaks = {name: [] for name, _ in tools}
    wait_quiet()
    before = cpu_times()
    for i in range(warmup + runs):
        for name, argv in tools:
            result = run(argv)
            if i >= warmup:
                samples[name].append(result)
    for _ in range(memruns):
        for name, argv in tools:
            peaks[name].append(peak_kb(argv))
    for name, _ in tools:
        columns = list(zip(*samples[name]))
        peak = f"{statistics.median(peaks[name]):.0f}" if peaks[name] else "-"
        print(f"{name},{statistics.median(columns[0]):.3f},{statistics.median(columns[1]):.3f},{peak}")
    print(f"idle,{100 * idle_share(before, cpu_times()):.0f}")


if __name__ == "__main__":
    main()
