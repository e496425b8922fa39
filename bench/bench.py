#!/usr/bin/env python3
"""Whole-run benchmark: remove against the I/O floor and against standard tools.

Generates its inputs deterministically in a temporary directory and runs the commands
alternately, in a new order each round, with a warm page cache, for each standard output:
/dev/null, a pipe drained by another process (cat), and a regular file. A "single" sample is
one run with no "file.txt" before it; a "repeated" sample is five runs back to back, each
finding the "file.txt" of the run before, as a user editing and rerunning does. Prints the
median time, throughput, ratios (the median of the per-round ratios) and peak resident memory
of each. It first checks that remove and the standard tools give the same transcript and
"file.txt", and that the I/O floor makes the same system calls as remove, as many of each
(strace -c); and it can check that peak memory does not grow with the input (--rss-check).
Where the chosen kernel is AVX-512, remove is also timed with the C library told to hide
AVX-512, so that the AVX2 kernel runs. Asserts no timing: it only reports, and a remove row
under 0.95 times the floor, over 5 rounds or more, says that the floor is wrong.
"""
import argparse
import contextlib
import hashlib
import os
import random
import re
import shutil
import statistics
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = None  # the parsed command line
# A floor that the program beats by more than noise does less than the program does. Fewer
# rounds than FLOOR_JUDGED_FROM (a quick check, as in CI) are too few to tell that from noise.
FLOOR_WRONG_BELOW = 0.95
FLOOR_JUDGED_FROM = 5
# What makes the C library, and so remove's choice of kernel, pass over AVX-512.
HIDE_AVX512 = "GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512F"


def text_chunk(seed, size):
    """Source-code-like text: indentation by tabs and spaces, CRLF and LF lines, some UTF-8."""
    rng = random.Random(seed)
    words = ["int", "return", "for", "while", "count", "total", "value", "buffer", "size_t",
             "printf", "const", "char", "if", "else", "i", "j", "n", "x1", "y2", "0", "42",
             "0xFF", "caf\u00e9", "na\u00efve", "\u00fcber", "\u65e5\u672c"]
    punctuation = ["(", ")", ";", "{", "}", "=", "+", "*", ",", "<", "->", "[", "]", "\"", "//"]
    lines = []
    total = 0
    while total < size:
        indent = "\t" * rng.randint(0, 3) if rng.random() < 0.7 else " " * rng.choice([0, 2, 4, 8])
        parts = []
        for _ in range(rng.randint(0, 10)):
            parts.append(rng.choice(words) if rng.random() < 0.7 else rng.choice(punctuation))
        ending = "\r\n" if rng.random() < 0.2 else "\n"
        line = (indent + " ".join(parts) + ending).encode("utf-8")
        lines.append(line)
        total += len(line)
    return b"".join(lines)[:size]


def make_input(path, kind, size):
    chunk_size = min(size, 4 << 20)
    if kind == "text":
        chunk = text_chunk(1, chunk_size)
    else:
        chunk = random.Random(2).randbytes(chunk_size)
    with open(path, "wb") as out:
        written = 0
        rng = random.Random(3)
        while written < size:
            # Rotate the chunk each time so the input does not repeat with a short period.
            shift = rng.randrange(len(chunk))
            piece = (chunk[shift:] + chunk[:shift])[: size - written]
            out.write(piece)
            written += len(piece)


OUTPUTS = {"null": "/dev/null", "pipe": "a pipe to cat", "file": "a regular file"}
REPEATS = {"single": 1, "repeated": 5}


def split_environment(argv):
    """The environment for `argv` and the command itself: leading NAME=VALUE words are
    environment settings, as in the shell's `NAME=VALUE command`."""
    env = dict(os.environ)
    while argv and re.match(r"^[A-Z_]+=", argv[0]):
        name, value = argv[0].split("=", 1)
        env[name], argv = value, argv[1:]
    return env, argv


def run_once(argv, cwd, output="null"):
    """Seconds and peak RSS in KiB of one run, as measured by run_measured.

    `output` is "null", "pipe", "file" (a transcript file beside the work directory, emptied
    for each run as `>` does) or an open file."""
    env, argv = split_environment(argv)
    reader = None
    if output == "null":
        stdout = subprocess.DEVNULL
    elif output == "pipe":
        reader = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        stdout = reader.stdin
    elif output == "file":
        stdout = open(os.path.join(cwd, "..", "transcript"), "wb")
    else:
        stdout = output
    done = subprocess.run([ARGS.measure] + argv, cwd=cwd, stdout=stdout, env=env,
                          stderr=subprocess.PIPE, check=False)
    if output in ("pipe", "file"):
        stdout.close()
    if reader:
        reader.wait()
    if done.returncode != 0:
        raise SystemExit(f"{argv[0]} exited with {done.returncode}")
    seconds, peak = done.stderr.split()[-2:]
    return float(seconds), int(peak)


def sample(argv, cwd, output, repeats):
    """Seconds and peak RSS of `repeats` runs back to back. A single run starts with no
    file.txt; repeated runs each find the one the run before left."""
    if repeats == 1:
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(cwd, "file.txt"))
    seconds, peak = 0.0, 0
    for _ in range(repeats):
        elapsed, rss = run_once(argv, cwd, output)
        seconds, peak = seconds + elapsed, max(peak, rss)
    return seconds, peak


def digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            sha.update(block)
    return sha.hexdigest()


def kept_count(path):
    keep = bytes(range(48, 58)) + bytes(range(65, 91)) + bytes(range(97, 123))
    count = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 24), b""):
            count += len(block) - len(block.translate(None, keep))
    return count


def check_same_output(commands, work):
    """remove and the standard tools must agree byte for byte before their times mean anything."""
    seen = {}
    for name in commands:
        if name == "io floor":
            continue
        transcript = os.path.join(work, "..", f"transcript.{name}")
        with open(transcript, "wb") as out:
            run_once(commands[name], work, out)
        seen[name] = (digest(transcript), digest(os.path.join(work, "file.txt")))
        os.remove(transcript)
    reference = seen.get("tools", seen["remove"])
    for name, outputs in seen.items():
        if outputs != reference:
            raise SystemExit(f"{name} and the standard tools disagree on the transcript or file.txt")


def system_calls(argv, work, output):
    """How many times `argv` made each system call, and how many failed: strace -c -f."""
    env, argv = split_environment(argv)
    log = os.path.join(work, "..", "strace.log")
    with open(output, "wb") as out:
        subprocess.run(["strace", "-c", "-f", "-o", log] + argv, cwd=work, stdout=out, env=env,
                       check=True)
    counts = {}
    with open(log) as lines:
        for line in lines:
            fields = line.split()
            if len(fields) in (5, 6) and re.match(r"^[0-9.]+$", fields[0]) and \
                    fields[-1] != "total":
                counts[fields[-1]] = (int(fields[3]), int(fields[4]) if len(fields) == 6 else 0)
    os.remove(log)
    return counts


def check_floor_calls(commands, work, only_report):
    """The floor must make remove's system calls, as many of each, with or without a file.txt
    before it, into /dev/null (the read-back by sendfile) and into a regular file (by pread).
    Pipes are left out: the check gives each command a named file as its standard output."""
    if not shutil.which("strace"):
        print("strace not found: the floor's system calls are not checked against remove's")
        return
    transcript = os.path.join(work, "..", "transcript")
    for output in ("/dev/null", transcript):
        for file_txt_before in (False, True):
            seen = {}
            for name in ("remove", "io floor"):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(os.path.join(work, "file.txt"))
                if file_txt_before:
                    run_once(commands["remove"], work)
                seen[name] = system_calls(commands[name], work, output)
            if seen["remove"] != seen["io floor"]:
                differ = sorted(name for name in set(seen["remove"]) | set(seen["io floor"])
                                if seen["remove"].get(name) != seen["io floor"].get(name))
                details = ", ".join(f"{name} {seen['remove'].get(name, (0, 0))} against "
                                    f"{seen['io floor'].get(name, (0, 0))}" for name in differ)
                before = "a" if file_txt_before else "no"
                finding = (f"the I/O floor makes other system calls than remove (stdout {output}, "
                           f"{before} file.txt before; calls and failures, remove against floor): "
                           f"{details}")
                if not only_report:
                    raise SystemExit(finding)
                print(f"{finding}; timed all the same (--no-call-check)")
                return
    with contextlib.suppress(FileNotFoundError):
        os.remove(transcript)
    print("the I/O floor makes the same system calls as remove, as many of each (strace -c)")


def commands_for(work, args, output="null"):
    commands = {"remove": [args.remove]}
    if args.avx2_forced:
        commands["remove, AVX2 forced"] = [HIDE_AVX512, args.remove]
    for other in args.also:
        name, path = other.split("=", 1)
        commands[f"remove {name}"] = [os.path.abspath(path)]
    commands["io floor"] = [args.floor, str(kept_count(os.path.join(work, "file.c")))]
    # The tools are 20-30 times slower: timed with /dev/null only, where they are the reference.
    if not args.no_tools and output == "null":
        commands["tools"] = ["sh", os.path.join(HERE, "tools.sh")]
    return commands


def measure(work, kind, output, mode, args):
    size = args.mib << 20
    commands = commands_for(work, args, output)
    repeats = REPEATS[mode]
    times = {name: [] for name in commands}
    rss = {name: 0 for name in commands}
    for name, argv in commands.items():
        run_once(argv, work, output)  # warm the page cache and the file system
    names = list(commands)
    order = random.Random(4)
    for _ in range(args.runs):
        # A new order each round: whatever follows the tools' run pays for the large file.txt
        # they left, so no command may always take that place. (Rotating the order would keep
        # the same command after the tools every round.)
        order.shuffle(names)
        for name in names:
            elapsed, peak = sample(commands[name], work, output, repeats)
            times[name].append(elapsed / repeats)
            rss[name] = max(rss[name], peak)
    medians = {name: statistics.median(values) for name, values in times.items()}

    def ratio(name, reference):
        """The median of the per-round ratios: each round's samples were taken close together,
        so a load that comes and goes on the machine moves both alike."""
        return statistics.median(times[name][i] / reference(i) for i in range(args.runs))

    rows = []
    for name in commands:
        tools = "-"
        if "tools" in times:
            tools = f"{ratio(name, lambda i: times['tools'][i]):.3f}"
        floor = ratio(name, lambda i: times["io floor"][i])
        floor_text = f"{floor:.2f}"
        if name.startswith("remove") and floor < FLOOR_WRONG_BELOW and \
                args.runs >= FLOOR_JUDGED_FROM:
            floor_text = f"floor wrong: {floor:.2f}"
        model = "-"
        if name in args.model:
            # The floor's time plus one pass of the kernel over the input at its speed in cache.
            kernel_seconds = size / args.model[name] / 1e9
            model = f"{ratio(name, lambda i: times['io floor'][i] + kernel_seconds):.2f}"
        rows.append((OUTPUTS[output], mode, kind, name, medians[name],
                     size / (1 << 20) / medians[name], floor_text, model, tools, rss[name]))
    return rows


def rss_check(args, scratch):
    peaks = []
    for size in (16 << 20, 1 << 30):
        work = os.path.join(scratch, f"rss{size}")
        os.makedirs(work)
        make_input(os.path.join(work, "file.c"), "text", size)
        peaks.append((size, run_once([args.remove], work)[1]))
        shutil.rmtree(work)
    (small, small_kib), (large, large_kib) = peaks
    verdict = "ok" if large_kib - small_kib <= 1024 else "GROWS"
    print(f"\npeak RSS of remove: {small >> 20} MiB input {small_kib} KiB, "
          f"{large >> 20} MiB input {large_kib} KiB: {verdict}")
    return verdict == "ok"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--remove", required=True, help="the remove program")
    parser.add_argument("--floor", required=True, help="the io_floor program")
    parser.add_argument("--measure", required=True, help="the run_measured program")
    parser.add_argument("--mib", type=int, default=256, help="input size in MiB (default 256)")
    parser.add_argument("--runs", type=int, default=7, help="timed runs of each (default 7)")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=PATH",
                        help="another build of remove, timed alongside (repeatable)")
    parser.add_argument("--outputs", default=",".join(OUTPUTS),
                        help="standard outputs to measure: null, pipe, file (default all)")
    parser.add_argument("--modes", default=",".join(REPEATS),
                        help="single, repeated (five runs back to back), or both (default)")
    parser.add_argument("--no-tools", action="store_true", help="leave out the standard tools")
    parser.add_argument("--kernel", help="the chosen_kernel program, to report the kernel (and to "
                        "time the AVX2 kernel beside the AVX-512 one, where that is chosen)")
    parser.add_argument("--model", action="append", default=[], metavar="COMMAND=GB/s",
                        help="compare COMMAND (remove, or remove, AVX2 forced) with the floor's "
                        "time plus the input over its kernel's speed in cache (repeatable)")
    parser.add_argument("--no-call-check", action="store_true",
                        help="time even if the floor's system calls differ from remove's")
    parser.add_argument("--rss-check", action="store_true",
                        help="also compare peak RSS for 16 MiB and 1 GiB inputs")
    args = parser.parse_args()
    for name in ("remove", "floor", "measure"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    outputs, modes = args.outputs.split(","), args.modes.split(",")
    args.model = {name: float(speed) for name, speed in
                  (given.rsplit("=", 1) for given in args.model)}
    if not set(outputs) <= set(OUTPUTS) or not set(modes) <= set(REPEATS):
        parser.error("unknown output or mode")
    global ARGS
    ARGS = args

    cpu = {}
    with open("/proc/cpuinfo") as info:
        for line in info:
            key, _, value = line.partition(":")
            cpu.setdefault(key.strip(), value.strip())
    kernel = "not reported (no --kernel)"
    args.avx2_forced = False
    if args.kernel:
        kernel = subprocess.run([args.kernel], capture_output=True, text=True,
                                check=True).stdout.strip()
        env, argv = split_environment([HIDE_AVX512, args.kernel])
        hidden = subprocess.run(argv, env=env, capture_output=True, text=True, check=True)
        args.avx2_forced = kernel == "avx512" and hidden.stdout.strip() == "avx2"
    print(f"{args.mib} MiB inputs, median of {args.runs} alternating samples; "
          f"CPU: {cpu.get('model name', 'unknown')} (cpu family {cpu.get('cpu family', '?')}, "
          f"model {cpu.get('model', '?')}), {os.cpu_count()} cores; Linux {os.uname().release}; "
          f"kernel: {kernel}" + (f"; AVX2 forced by {HIDE_AVX512}" if args.avx2_forced else ""))
    with tempfile.TemporaryDirectory(prefix="remove-bench-") as scratch:
        rows = []
        for kind in ("text", "random"):
            work = os.path.join(scratch, kind)
            os.makedirs(work)
            make_input(os.path.join(work, "file.c"), kind, args.mib << 20)
            check_same_output(commands_for(work, args), work)
            check_floor_calls(commands_for(work, args), work, args.no_call_check)
            for output in outputs:
                for mode in modes:
                    rows += measure(work, kind, output, mode, args)
            shutil.rmtree(work)
        print("\n| stdout | runs | input | command | median s a run | MiB/s | x floor | x model "
              "| x tools | peak RSS KiB |")
        print("|---|---|---|---|---:|---:|---:|---:|---:|---:|")
        for output, mode, kind, name, median, speed, floor, model, tools, peak in rows:
            print(f"| {output} | {mode} | {kind} | {name} | {median:.4f} | {speed:.0f} "
                  f"| {floor} | {model} | {tools} | {peak} |")
        if args.runs < FLOOR_JUDGED_FROM:
            print(f"\nWith fewer than {FLOOR_JUDGED_FROM} rounds no row is judged against the "
                  "floor: the noise could put one under it.")
        if any(row[6].startswith("floor wrong") for row in rows):
            print(f"\nThe floor is wrong: remove took under {FLOOR_WRONG_BELOW} times as long as "
                  "the I/O floor, which makes its system calls with no per-byte work. Look at "
                  "bench/io_floor.cpp, or at the noise (more --runs, a larger --mib).")
        ok = rss_check(args, scratch) if args.rss_check else True
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
