#!/usr/bin/env python3
"""Runs commands side by side, one run of each in turn, and prints for each the medians of its
wall time, its CPU time (user + system, from wait4's resource usage) and its peak resident
memory, as CSV: name,wall_ms,cpu_ms,peak_kb.

    side_by_side.py RUNS WARMUP MEMRUNS NAME=COMMAND ...

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
    runs, warmup, memruns = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    tools = [(arg.split("=", 1)[0], shlex.split(arg.split("=", 1)[1])) for arg in sys.argv[4:]]
    samples = {name: [] for name, _ in tools}
    peaks = {name: [] for name, _ in tools}
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
        print(f"{name},{statistics.median(columns[0]):.3f},{statistics.median(columns[1]):.3f},"
              f"{statistics.median(peaks[name]):.0f}")


if __name__ == "__main__":
    main()
