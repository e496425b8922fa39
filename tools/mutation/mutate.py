#!/usr/bin/env python3
"""Mutation check: does the test suite notice when a rule of the program is broken?

Copies the work tree, uncommitted changes included, into a scratch tree, builds it as the `test`
preset does and checks that the suite passes there. Then, for each mutant of the list (one small
textual change; format at the top of tools/mutation/mutants.txt), changes the scratch copy,
rebuilds, runs the tests up to the first failure and puts the file back. Verdicts: killed (a test
failed, or did not end in time), survived (no test checks what it breaks), not viable (its text
is not in the file exactly once, or it does not build). The work tree is never written.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
KEYS = ("name", "file", "find", "replace", "breaks")
# Marks a scratch tree as this driver's, since refreshing one deletes what the work tree lacks.
MARKER = ".mutation-scratch"

# The tests that take seconds to a minute each, by name, shortest first: the injected faults
# (3 s), valgrind and strace (3 s), the random runs (5 s), the hostile surroundings (55 s). Each
# runs as a phase of its own after all the other tests (8 s together), so that a mutant the
# quick tests catch costs seconds rather than the whole suite's 75.
LONG_TESTS = (r"InjectedFaults\.", r"Descriptors\.", r"RandomRuns\.", r"Hostile\.")
# ctest's --timeout covers only tests without a timeout of their own, and the suite gives every
# test one (900 s); so each phase is bounded as a whole too, by a multiple of its time on the
# unmutated code, never below TEST_TIMEOUT: a slow machine must not pass for a caught mutant.
TEST_TIMEOUT = 300
PHASE_TIMEOUT_FACTOR = 5
UNMUTATED_PHASE_TIMEOUT = 1800
BUILD_TIMEOUT = 1800


class SetupError(Exception):
    pass


def unescape(text):
    """\\n is a line feed, \\\\ a backslash; any other backslash is a mistake in the list."""
    def one(match):
        if match.group(1) not in ("n", "\\"):
            raise ValueError(f"unknown escape \\{match.group(1)}")
        return "\n" if match.group(1) == "n" else "\\"
    return re.sub(r"\\(.?)", one, text, flags=re.DOTALL)


def read_list(path, tree):
    """The mutants of the list, and the problems found in it; `tree` holds the files they name."""
    blocks, block = [], []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines() + [""], 1):
        if not line.strip():
            if block:
                blocks.append(block)
            block = []
        elif not line.startswith("#"):
            block.append((number, line))
    mutants, names, problems = [], set(), []
    for block in blocks:
        mutant, where = {}, f"{path.name}:{block[0][0]}"
        for number, line in block:
            key, colon, value = line.partition(":")
            if not colon or key not in KEYS:
                problems.append(f"{path.name}:{number}: unknown key in '{line}'")
            elif key in mutant:
                problems.append(f"{path.name}:{number}: '{key}' given twice")
            else:
                try:
                    mutant[key] = unescape(value[1:] if value.startswith(" ") else value)
                except ValueError as error:
                    problems.append(f"{path.name}:{number}: {error}")
        name = mutant.get("name", "")
        if not re.fullmatch(r"[a-z0-9]+(-[a-z0-9]+)*", name):
            problems.append(f"{where}: name '{name}' is not short-hyphenated")
        elif name in names:
            problems.append(f"{where}: name '{name}' used twice")
        names.add(name)
        missing = [key for key in KEYS if key not in mutant]
        if missing:
            problems.append(f"{where}: missing {', '.join(missing)}")
        if "file" in mutant and not (tree / mutant["file"]).is_file():
            problems.append(f"{where}: no file {mutant['file']}")
        elif not missing:
            if not mutant["find"] or mutant["find"] == mutant["replace"]:
                problems.append(f"{where}: find is empty or the same as replace")
            found = (tree / mutant["file"]).read_text(encoding="utf-8").count(mutant["find"])
            mutant["unfit"] = None if found == 1 else f"text found {found} times"
            mutants.append(mutant)
    return mutants, problems


def refresh(tree):
    """Makes `tree` a copy of the work tree's source files, writing only those that differ so
    that the build in it stays incremental (and written ones get a new time, so ninja sees them)."""
    if tree == ROOT or ROOT.is_relative_to(tree):
        raise SetupError(f"the scratch tree {tree} would hold the work tree")
    if tree.exists() and any(tree.iterdir()) and not (tree / MARKER).exists():
        raise SetupError(f"{tree} is not empty and was not made by this driver")
    tree.mkdir(parents=True, exist_ok=True)
    (tree / MARKER).touch()
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                            check=True, capture_output=True).stdout.decode().split("\0")
    names = {name for name in listed if name and (ROOT / name).is_file()}
    for name in names:
        source, copy = ROOT / name, tree / name
        data = source.read_bytes()
        if not copy.is_file() or copy.read_bytes() != data:
            copy.parent.mkdir(parents=True, exist_ok=True)
            copy.write_bytes(data)
        shutil.copymode(source, copy)
    # Files gone from the work tree go here too; the build directory stays.
    for directory, subdirectories, files in os.walk(tree):
        if Path(directory) == tree and "build" in subdirectories:
            subdirectories.remove("build")
        for file in files:
            copy = Path(directory, file)
            if str(copy.relative_to(tree)) not in names and copy.name != MARKER:
                copy.unlink()


def run(command, cwd, timeout=None):
    """(exit status or None on timeout, output). The command runs in its own process group, so
    that a timeout or ^C ends everything it started, the program under test included."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output.decode(errors="replace")
    except BaseException as error:
        os.killpg(process.pid, 9)
        output, _ = process.communicate()
        if isinstance(error, subprocess.TimeoutExpired):
            return None, output.decode(errors="replace")
        raise


def phases():
    yield "quick", ["-E", "|".join(LONG_TESTS)]
    for pattern in LONG_TESTS:
        yield pattern.replace("\\", "").rstrip("."), ["-R", pattern]


def run_tests(build, bounds, log):
    """None if every phase passes, else (whether it was a timeout, the first test that failed)."""
    for phase, selection in phases():
        command = ["ctest", "--test-dir", str(build), "-LE", "slow|emulated", "--stop-on-failure",
                   "--no-tests=error", "--timeout", str(TEST_TIMEOUT), *selection]
        started = time.monotonic()
        status, output = run(command, build, bounds.get(phase, UNMUTATED_PHASE_TIMEOUT))
        seconds = time.monotonic() - started
        bounds.setdefault(phase, max(TEST_TIMEOUT, PHASE_TIMEOUT_FACTOR * seconds))
        log.write(f"$ {' '.join(command)}\n{output}\n")
        if status is None:
            # The phase was ended from outside: the test that hung is the last one started.
            started_tests = re.findall(r"Start +\d+: (\S+)", output)
            return True, started_tests[-1] if started_tests else f"phase {phase}"
        if status != 0:
            # "  12 - Suite.Name (Failed)", a parameter's comment possibly before the status
            failed = re.findall(r"^\s*\d+ - (\S+).* \((\w+)\)$", output, re.MULTILINE)
            if failed:
                return failed[0][1] == "Timeout", failed[0][0]
            return False, f"ctest status {status} in phase {phase}"
    return None


def try_mutant(mutant, tree, build, bounds, logs):
    """(verdict, detail) of one mutant; the scratch copy of its file is the original again after."""
    if mutant["unfit"]:
        return "not viable", mutant["unfit"]
    path = tree / mutant["file"]
    original = path.read_bytes()
    mutated = original.decode("utf-8").replace(mutant["find"], mutant["replace"]).encode("utf-8")
    with open(logs / f"{mutant['name']}.log", "w", encoding="utf-8") as log:
        try:
            path.write_bytes(mutated)
            status, output = run(["cmake", "--build", str(build)], tree, BUILD_TIMEOUT)
            if status != 0:
                log.write(output)
                return "not viable", "does not build" if status else "build timed out"
            failed = run_tests(build, bounds, log)
        finally:
            path.write_bytes(original)
            os.utime(path)  # later than the mutant's objects, so that the next build redoes them
    if failed is None:
        return "survived", ""
    timed_out, test = failed
    return "killed (timeout)" if timed_out else "killed", test


def set_up(tree, selected):
    """Builds the scratch tree and checks that the unmutated suite passes; returns the time
    bound of each test phase."""
    build = tree / "build" / "test"
    started = time.monotonic()
    for command in (["cmake", "--preset", "test"], ["cmake", "--build", str(build)]):
        status, output = run(command, tree, BUILD_TIMEOUT)
        if status != 0:
            raise SetupError(f"{' '.join(command)} failed in {tree}:\n{output[-3000:]}")
    print(f"built {tree} in {time.monotonic() - started:.0f} s", flush=True)
    started, bounds = time.monotonic(), {}
    with open(tree / "build" / "mutation-logs" / "unmutated.log", "w", encoding="utf-8") as log:
        failed = run_tests(build, bounds, log)
    if failed:
        raise SetupError(f"the unmutated suite fails ({failed[1]}); see {log.name}")
    print(f"unmutated suite passes in {time.monotonic() - started:.0f} s; "
          f"{len(selected)} mutants to try", flush=True)
    return build, bounds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", type=Path, default=ROOT / "tools/mutation/mutants.txt",
                        help="the mutants (default: %(default)s)")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="a mutant's name or a regular expression for names; repeatable")
    parser.add_argument("--scratch", type=Path, default=ROOT / "build/mutation/tree",
                        help="where the copy is built (default: %(default)s)")
    parser.add_argument("--fail-under", type=float, metavar="PERCENT",
                        help="exit with status 1 if fewer of the viable mutants are killed")
    args = parser.parse_args()
    os.nice(19)
    tree = args.scratch.resolve()
    refresh(tree)
    mutants, problems = read_list(args.list, tree)
    chosen = {only: [m for m in mutants if re.fullmatch(only, m["name"])]
              for only in args.only or []}
    problems += [f"--only {only}: no such mutant" for only, found in chosen.items() if not found]
    if problems:
        raise SetupError("problems in the list:\n  " + "\n  ".join(problems))
    for mutant in mutants:
        if mutant["unfit"]:
            print(f"{mutant['name']}: not viable: {mutant['unfit']} in {mutant['file']}")
    selected = [m for m in mutants if not chosen or any(m in found for found in chosen.values())]
    logs = tree / "build" / "mutation-logs"
    logs.mkdir(parents=True, exist_ok=True)
    build, bounds = set_up(tree, selected)

    results, width = [], max((len(m["name"]) for m in selected), default=0)
    for mutant in selected:
        started = time.monotonic()
        verdict, detail = try_mutant(mutant, tree, build, bounds, logs)
        results.append((mutant, verdict))
        print(f"{mutant['name']:<{width}}  {verdict:<16} {time.monotonic() - started:6.1f} s  "
              f"{detail}", flush=True)

    killed = sum(verdict.startswith("killed") for _, verdict in results)
    survivors = [mutant for mutant, verdict in results if verdict == "survived"]
    viable = killed + len(survivors)
    share = 100.0 * killed / viable if viable else 100.0
    print(f"\n{len(results)} mutants: {killed} killed, {len(survivors)} survived, "
          f"{len(results) - viable} not viable")
    print(f"killed {killed} of {viable} viable: {share:.0f}%" if viable else "no viable mutant")
    for mutant in survivors:
        print(f"  survived {mutant['name']} ({mutant['file']}): {mutant['breaks']}")
    print(f"logs: {logs}")
    return 1 if args.fail_under is not None and share < args.fail_under else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except SetupError as error:
        print(f"mutate.py: {error}", file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        print("mutate.py: interrupted; the scratch copy of the last mutant's file is the original",
              file=sys.stderr)
        sys.exit(130)
