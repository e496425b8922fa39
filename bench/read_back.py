#!/usr/bin/env python3
"""Read-back into a regular file: sendfile, copy_file_range and pread with write, side by side.

Runs the I/O floor (io_floor.cpp) with each way of reading "file.txt" back into a regular
standard output, in a new order each round, with no "file.txt" before each run and the
transcript file emptied as `>` does; the work directory is made under --dir, so that the file
system under test is the one there. Prints the median of each way and the median of the
per-round ratios to pread with write, with their quartiles as the noise. Asserts no timing: it
only reports.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import kept_count, make_input  # noqa: E402

WAYS = ("pread", "sendfile", "copy_file_range")


def timed(measure, argv, work):
    with open(os.path.join(work, "..", "transcript"), "wb") as out:
        done = subprocess.run([measure] + argv, cwd=work, stdout=out, stderr=subprocess.PIPE,
                              check=False)
    if done.returncode != 0:
        raise SystemExit(f"{argv[0]} exited with {done.returncode}")
    return float(done.stderr.split()[-2])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", required=True, help="the io_floor program")
    parser.add_argument("--measure", required=True, help="the run_measured program")
    parser.add_argument("--dir", default=None, help="where to work (default: the temporary "
                        "directory), e.g. /dev/shm for tmpfs")
    parser.add_argument("--mib", type=int, default=256, help="input size in MiB (default 256)")
    parser.add_argument("--runs", type=int, default=15, help="rounds (default 15)")
    args = parser.parse_args()
    floor, measure = os.path.abspath(args.floor), os.path.abspath(args.measure)

    with tempfile.TemporaryDirectory(prefix="remove-read-back-", dir=args.dir) as scratch:
        work = os.path.join(scratch, "work")
        os.makedirs(work)
        source = os.path.join(work, "file.c")
        make_input(source, "text", args.mib << 20)
        kept = str(kept_count(source))
        file_system = subprocess.run(["df", "--output=fstype", scratch], capture_output=True,
                                     text=True, check=True).stdout.split()[-1]
        times = {way: [] for way in WAYS}

        def run(way):
            os.remove(os.path.join(work, "file.txt"))
            return timed(measure, [floor, kept, way], work)

        for way in WAYS:
            timed(measure, [floor, kept, way], work)  # warm the page cache
        order = random.Random(5)
        names = list(WAYS)
        for _ in range(args.runs):
            order.shuffle(names)
            for way in names:
                times[way].append(run(way))
        print(f"{args.mib} MiB text, {file_system}, Linux {os.uname().release}, "
              f"median of {args.runs} rounds, in a new order each round\n")
        print("| read-back | median s | ÷ pread, median of rounds | quartiles of the ratio |")
        print("|---|---:|---:|---:|")
        for way in WAYS:
            ratios = [mine / base for mine, base in zip(times[way], times["pread"])]
            low, _, high = statistics.quantiles(ratios, n=4)
            print(f"| {way} | {statistics.median(times[way]):.4f} | "
                  f"{statistics.median(ratios):.3f} | {low:.3f}-{high:.3f} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
