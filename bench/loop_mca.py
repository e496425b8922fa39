#!/usr/bin/env python3
"""Cost of a kernel's inner loop on CPUs that are not at hand, as llvm-mca estimates it.

Disassembles FUNCTION in OBJECT (objdump), takes its innermost vector loop (of the conditional
jumps back over a vector instruction, the one that spans the fewest bytes), and runs llvm-mca
on it for each CPU: instructions, micro-operations and cycles per iteration, and what bounds
it. For the AVX2 kernel one iteration is 64 bytes. Measures nothing: these are estimates.
"""
import argparse
import re
import subprocess


def inner_loop(object_file, function):
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", "-C", object_file],
                             capture_output=True, text=True, check=True).stdout
    body, inside = [], False
    for line in listing.splitlines():
        if re.match(r"^[0-9a-f]+ <", line):
            inside = re.match(rf"^[0-9a-f]+ <{re.escape(function)}\b", line) is not None
        elif inside and (found := re.match(r"^\s*([0-9a-f]+):\s+(.*)$", line)):
            body.append((int(found[1], 16), re.sub(r"\s*(<.*|#.*)$", "", found[2])))
    jumps = [(at - int(text.split()[1], 16), at, int(text.split()[1], 16))
             for at, text in body if re.match(r"^j(?!mp)\w+\s+[0-9a-f]+$", text)
             and int(text.split()[1], 16) < at]
    jumps = [(span, end, start) for span, end, start in jumps
             if any("%ymm" in text or "%zmm" in text or "%xmm" in text
                    for at, text in body if start <= at < end)]
    if not jumps:
        raise SystemExit(f"no loop found in {function}")
    _, end, start = min(jumps)
    loop = [text for at, text in body if start <= at < end]
    condition = next(text for at, text in body if at == end).split()[0]
    return "loop:\n" + "\n".join(loop) + f"\n{condition} loop\n", len(loop) + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--object", required=True, help="the object file, e.g. ScanAvx2.cpp.o")
    parser.add_argument("--function", default="scan_avx2", help="default scan_avx2")
    parser.add_argument("--mca", default="llvm-mca", help="the llvm-mca program")
    parser.add_argument("--cpus", default="znver3,znver4,alderlake", help="llvm-mca -mcpu names")
    args = parser.parse_args()
    source, count = inner_loop(args.object, args.function)
    version = subprocess.run([args.mca, "--version"], capture_output=True, text=True,
                             check=True).stdout
    print(f"inner loop of {args.function}: {count} instructions; "
          f"{re.search(r'LLVM version [0-9.]+', version)[0]}\n")
    print("| -mcpu | micro-operations | cycles per iteration | bound by |")
    print("|---|---:|---:|---|")
    for cpu in args.cpus.split(","):
        report = subprocess.run([args.mca, f"-mcpu={cpu}", "-iterations=1000",
                                 "-bottleneck-analysis", "-"], input=source, capture_output=True,
                                text=True, check=True).stdout
        cycles = int(re.search(r"Total Cycles:\s+(\d+)", report)[1]) / 1000
        uops = int(re.search(r"Total uOps:\s+(\d+)", report)[1]) / 1000
        pressure = re.findall(r"-\s+(\S+)\s+\[\s*([0-9.]+)%\s*\]", report)
        width = int(re.search(r"Dispatch Width:\s+(\d+)", report)[1])
        bound = ", ".join(f"{name} {share}%" for name, share in pressure if float(share) >= 90)
        bound = bound or f"dispatch: {uops / cycles:.2f} micro-operations a cycle of {width}"
        print(f"| {cpu} | {uops:.0f} | {cycles:.1f} | {bound} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
