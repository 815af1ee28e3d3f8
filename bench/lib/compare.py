#!/usr/bin/env python3
"""Times our command and a baseline in turns and prints medians and their ratio.

Each run is one `bash -c COMMAND` (a single command is exec'd by bash, so both sides pay the
same start-up), or with --direct the command's words run without a shell; its wall time comes from the monotonic clock, its CPU time (user + system, the
command and every process it waited for) and peak resident memory from wait4. A prepare command
runs untimed before each timed run, a check command untimed after it (a non-zero check stops
the benchmark: a fast run that did not do the work is no result). Rounds alternate the order:
ours first in odd rounds, the baseline first in even ones. A floor command, when given, runs in
the same rounds (last in odd rounds, first in even ones) and is printed with both sides' ratios
to it.
"""
import argparse
import os
import shlex
import statistics
import subprocess
import sys
import time


def direct_command(command):
    """The words of COMMAND, run without a shell: leading NAME=VALUE words set the environment."""
    words = shlex.split(command)
    environment = dict(os.environ)
    while words and "=" in words[0] and not words[0].startswith("="):
        name, value = words.pop(0).split("=", 1)
        environment[name] = value
    return words, environment


def run(command, direct):
    if direct:
        words, environment = direct_command(command)
    else:
        words, environment = ["bash", "-c", command], None
    start = time.perf_counter_ns()
    process = subprocess.Popen(words, env=environment, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = (time.perf_counter_ns() - start) / 1e9
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"benchmark command failed ({process.returncode}): {command}")
    return wall, usage.ru_utime, usage.ru_stime, usage.ru_maxrss


def untimed(command):
    if command and subprocess.run(["bash", "-c", command]).returncode != 0:
        sys.exit(f"benchmark step failed: {command}")


class Side:
    def __init__(self, name, command, prepare, check, direct):
        self.name, self.command, self.prepare, self.check = name, command, prepare, check
        self.direct = direct
        self.walls, self.cpus, self.users, self.systems, self.peaks = [], [], [], [], []

    def measure(self):
        untimed(self.prepare)
        wall, user, system, peak = run(self.command, self.direct)
        untimed(self.check)
        self.walls.append(wall)
        self.users.append(user)
        self.systems.append(system)
        self.cpus.append(user + system)
        self.peaks.append(peak)

    def line(self, width, scale, unit):
        med = statistics.median
        return (f"  {self.name:<{width}}  wall {med(self.walls) * scale:8.3f} {unit}  "
                f"(min {min(self.walls) * scale:.3f}, max {max(self.walls) * scale:.3f})  "
                f"cpu {med(self.cpus) * scale:8.3f} {unit}  "
                f"(user {med(self.users) * scale:.3f} + sys {med(self.systems) * scale:.3f})")


def load_average():
    return os.getloadavg()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--title", required=True)
    parser.add_argument("--target", default="", help="printed after the ratio, e.g. '<= 1.0'")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--ours-name", required=True)
    parser.add_argument("--ours", required=True)
    parser.add_argument("--ours-prepare", default="")
    parser.add_argument("--ours-check", default="")
    parser.add_argument("--base-name", required=True)
    parser.add_argument("--base", required=True)
    parser.add_argument("--base-prepare", default="")
    parser.add_argument("--base-check", default="")
    parser.add_argument("--floor-name", default="",
                        help="a third command, the least the work can cost, timed in the same rounds")
    parser.add_argument("--floor", default="")
    parser.add_argument("--floor-prepare", default="")
    parser.add_argument("--floor-check", default="")
    parser.add_argument("--direct", action="store_true",
                        help="run each command without a shell (for start-up times of a few ms)")
    parser.add_argument("--rss-limit-kib", type=int, default=0,
                        help="print our peak resident memory against this limit")
    args = parser.parse_args()

    ours = Side(args.ours_name, args.ours, args.ours_prepare, args.ours_check, args.direct)
    base = Side(args.base_name, args.base, args.base_prepare, args.base_check, args.direct)
    floor = None
    if args.floor:
        floor = Side(args.floor_name, args.floor, args.floor_prepare, args.floor_check, args.direct)
    sides = [ours, base] + ([floor] if floor else [])
    load_before = load_average()
    for round_number in range(1, args.runs + 1):
        for side in sides if round_number % 2 else reversed(sides):
            side.measure()
    load_after = load_average()

    width = max(max(len(side.name) for side in sides), len("ratio ours/baseline"))
    print(f"{args.title}: median of {args.runs} runs each, alternating "
          f"(load average {load_before:.2f} before, {load_after:.2f} after)")
    med = statistics.median
    scale, unit = (1, "s") if max(med(ours.walls), med(base.walls)) >= 1 else (1000, "ms")
    for side in sides:
        print(side.line(width, scale, unit))

    def ratio(title, a, b, note=""):
        print(f"  {title:<{width}}  wall {med(a.walls) / med(b.walls):8.2f}"
              f"    cpu {med(a.cpus) / med(b.cpus):.2f}{note}")

    ratio("ratio ours/baseline", ours, base, f"  (target {args.target})" if args.target else "")
    if floor:
        ratio("ratio ours/floor", ours, floor)
        ratio("ratio baseline/floor", base, floor)
    if args.rss_limit_kib:
        peak = max(ours.peaks)
        verdict = "within" if peak <= args.rss_limit_kib else "OVER"
        print(f"  {'our peak resident memory':<{width}}  {peak // 1024} MiB ({verdict} the limit of "
              f"{args.rss_limit_kib // 1024} MiB)")


if __name__ == "__main__":
    main()
