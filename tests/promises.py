#!/usr/bin/env python3
"""Checks that every promise of the manual page is marked, unchanged, and cited by a test.

In man/remove.1 a roff comment line `.\\" promise: NAME HASH` stands before each promise that a
test can check, and `.\\" caveat: NAME HASH` before each limit that no test can show. NAME is a
few lowercase words joined by hyphens; HASH is the first 8 hex digits of the SHA-256 of the
promise's words (see words_of), which run from the mark to the next mark, section heading (.SH,
.SS) or the end of the page. A test cites promises with a comment that begins `promise:` and
goes on with one or more NAMEs, separated by spaces or commas, in a file of tests/ (*.cpp, *.hpp,
*.c, *.py) or .ci/.

    python3 tests/promises.py         # check; exit status 1 and a line for each problem
    python3 tests/promises.py --map   # also print each mark with the places that cite it
"""
import argparse
import hashlib
import re
import signal
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PAGE = ROOT / "man" / "remove.1"
COMMENT = re.compile(r"""^[.']\s*\\["#]""")
MARK = re.compile(r"""^[.']\s*\\"\s*(promise|caveat): *([a-z0-9]+(?:-[a-z0-9]+)*) ([0-9a-f]{8})$""")
MARK_LIKE = re.compile(r"""^[.']\s*\\".*\b(promise|caveat):""")
HEADING = re.compile(r"""^[.']\s*S[HS](\s|$)""")
REQUEST_NAME = re.compile(r"""^[.']\s*\S*""")
CITATION = re.compile(r"(?://|/\*|#|^\s*\*)\s*promise:([a-z0-9, -]*)")


def words_of(lines):
    """A promise's words: its source lines without roff comment lines, each request line without
    its request name (the leading `.XX` or `'XX`; its arguments stay), whitespace collapsed to
    single spaces, stripped."""
    kept = [REQUEST_NAME.sub("", line) for line in lines if not COMMENT.match(line)]
    return " ".join(" ".join(kept).split())


def hash_of(lines):
    return hashlib.sha256(words_of(lines).encode("utf-8")).hexdigest()[:8]


def read_marks(problems):
    """The page's marks in order, each a dict: kind, name, hash, line, words (source lines)."""
    marks = []
    current = None
    for number, line in enumerate(PAGE.read_text(encoding="utf-8").splitlines(), 1):
        match = MARK.match(line)
        if match:
            current = {"kind": match[1], "name": match[2], "hash": match[3], "line": number,
                       "words": []}
            marks.append(current)
        elif MARK_LIKE.match(line):
            problems.append(f"man/remove.1:{number}: malformed mark, not `.\\\" promise: NAME HASH`"
                            f" or `.\\\" caveat: NAME HASH`: {line}")
        elif HEADING.match(line):
            current = None
        elif current:
            current["words"].append(line)
    return marks


def read_citations():
    """Each NAME cited, with the places (file:line) that cite it."""
    files = {path for pattern in ("*.cpp", "*.hpp", "*.c", "*.py")
             for path in (ROOT / "tests").rglob(pattern)}
    files |= {path for path in (ROOT / ".ci").glob("*") if path.is_file()}
    files.discard(Path(__file__).resolve())
    cited = {}
    for path in sorted(files):
        text = path.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            match = CITATION.search(line)
            for name in re.split(r"[,\s]+", match[1].strip()) if match else []:
                cited.setdefault(name, []).append(f"{path.relative_to(ROOT)}:{number}")
    return cited


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--map", action="store_true",
                        help="print every promise and caveat with the places that cite it")
    arguments = parser.parse_args()
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `--map | head` ends quietly
    # The hash rule on a small case: comment out, request names out, arguments and text kept.
    assert words_of(['.\\" x', ".I file.c ,", "  two  words ", ".PP"]) == "file.c , two words"

    problems = []
    marks = read_marks(problems)
    cited = read_citations()
    first_line = {}
    for mark in marks:
        kind, name, line = mark["kind"], mark["name"], mark["line"]
        if name in first_line:
            problems.append(f"man/remove.1:{line}: {name} is marked twice (first on line"
                            f" {first_line[name]})")
        first_line.setdefault(name, line)
        actual = hash_of(mark["words"])
        if actual != mark["hash"]:
            places = ", ".join(cited.get(name, [])) or "none"
            problems.append(f"man/remove.1:{line}: the words of {kind} {name} changed; look again"
                            f" at the tests that cite it ({places}), then write the new hash:"
                            f" {actual}")
        if kind == "promise" and name not in cited:
            problems.append(f"man/remove.1:{line}: promise {name} is cited by no test")
    for name, places in sorted(cited.items()):
        if name not in first_line:
            problems += [f"{place}: cites {name}, which no mark of man/remove.1 has"
                         for place in places]

    if arguments.map:
        for mark in marks:
            print(f"{mark['kind']} {mark['name']} (man/remove.1:{mark['line']})")
            for place in cited.get(mark["name"], []):
                print(f"    {place}")
    for problem in problems:
        print(problem)
    promises = sum(mark["kind"] == "promise" for mark in marks)
    print(f"{promises} promises and {len(marks) - promises} caveats,"
          f" {sum(map(len, cited.values()))} citations:"
          f" {len(problems)} problem{'' if len(problems) == 1 else 's'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
