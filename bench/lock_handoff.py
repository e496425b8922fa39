#!/usr/bin/env python3
"""Lock hand-off: how long a run waiting for the lock on "file.txt" takes to finish once the
holder lets go.

The holder takes the lock, starts the run, waits until the run is seen sleeping between two
tries and has waited at least --hold seconds, then lets go; the time from letting go to the
run's exit is one sample. Letting go just as a pause starts is the worst case. Asserts no
timing: it only reports medians and maxima.
"""
import argparse
import fcntl
import os
import statistics
import subprocess
import tempfile
import time


def sample(program, hold):
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "file.c"), "w") as source:
            source.write("Hi 2\tu!\n")
        lock = os.open(os.path.join(work, "file.txt"), os.O_WRONLY | os.O_CREAT, 0o644)
        fcntl.flock(lock, fcntl.LOCK_EX)
        run = subprocess.Popen([program], cwd=work, stdout=subprocess.DEVNULL)
        started = time.monotonic()
        # A run that waits in flock itself (an older build) shows "lock" instead.
        while not any(word in open(f"/proc/{run.pid}/wchan").read() for word in ("sleep", "lock")) \
                or time.monotonic() - started < hold:
            time.sleep(0.0005)
        let_go = time.monotonic()
        os.close(lock)
        run.wait()
        return (time.monotonic() - let_go) * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--remove", required=True, help="the program")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=PATH",
                        help="another build to measure alongside")
    parser.add_argument("--runs", type=int, default=21)
    args = parser.parse_args()
    programs = [("remove", args.remove)] + [tuple(also.split("=", 1)) for also in args.also]
    programs = [(name, os.path.abspath(path)) for name, path in programs]
    print("| held s | program | median ms | max ms |\n|---:|---|---:|---:|")
    for hold in (0.0, 0.1, 1.0):
        for name, program in programs:
            samples = [sample(program, hold) for _ in range(args.runs)]
            print(f"| {hold:.1f} | {name} | {statistics.median(samples):.2f} | {max(samples):.2f} |")


if __name__ == "__main__":
    main()
