#!/usr/bin/env python3
"""Start-up benchmark: whole-process wall time of remove against a C floor on small files.

The floor (startup_floor.c) makes the same system calls as remove with no per-byte work and
loads libc alone. For each size of "file.c" the commands run interleaved (A B A B ..., in a new order each round), each
run timed by run_measured from fork to exit, with standard output to /dev/null, and the table
gives the medians and the ratio to the floor. Asserts no timing: it only reports.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import kept_count, text_chunk  # noqa: E402


def timed(measure, argv, cwd):
    done = subprocess.run([measure] + argv, cwd=cwd, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, check=False)
    if done.returncode != 0:
        raise SystemExit(f"{argv[0]} exited with {done.returncode}")
    return float(done.stderr.split()[-2])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--remove", required=True, help="the remove program")
    parser.add_argument("--floor", required=True, help="the startup_floor program")
    parser.add_argument("--measure", required=True, help="the run_measured program")
    parser.add_argument("--runs", type=int, default=300, help="runs of each (default 300)")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=PATH",
                        help="another program doing the same job, timed alongside")
    args = parser.parse_args()
    measure = os.path.abspath(args.measure)

    print(f"whole-process wall time, median of {args.runs} interleaved runs, "
          "stdout to /dev/null\n")
    print("| file.c | command | median ms | x floor |")
    print("|---:|---|---:|---:|")
    for size in (0, 2 << 10, 64 << 10):
        with tempfile.TemporaryDirectory(prefix="remove-startup-") as work:
            source = os.path.join(work, "file.c")
            with open(source, "wb") as out:
                out.write(text_chunk(1, size)[:size])
            commands = {"remove": [os.path.abspath(args.remove)],
                        "floor": [os.path.abspath(args.floor), str(kept_count(source))]}
            for other in args.also:
                name, path = other.split("=", 1)
                commands[name] = [os.path.abspath(path)]
            names = list(commands)
            times = {name: [] for name in names}
            for name in names * 5:  # warm the caches
                timed(measure, commands[name], work)
            order = random.Random(size)
            for _ in range(args.runs):
                for name in order.sample(names, len(names)):  # no fixed neighbours
                    times[name].append(timed(measure, commands[name], work))
            floor = statistics.median(times["floor"])
            label = f"{size >> 10} KiB" if size else "0 B"
            for name in names:
                median = statistics.median(times[name])
                print(f"| {label} | {name} | {median * 1000:.3f} | {median / floor:.2f} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
