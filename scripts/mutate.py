#!/usr/bin/env python3
"""Mutation run: applies a seeded sample of simple mutants to the library's
sources, rebuilds, runs the tests and reports how many the suite kills.

  scripts/mutate.py BUILD_DIR [--count N] [--seed S] [--timeout SECONDS]
  scripts/mutate.py BUILD_DIR --replay LOG [--shard I/N]

--replay runs again the mutants an earlier run's LOG names (the same
sources give the same mutants), e.g. to compare two versions of the tests;
--shard I/N takes every Nth of them from the Ith, so N runs share the work.

BUILD_DIR is a configured build tree of this checkout (tests on). Each
mutant changes one line of liblog/ or platform/host/: a flipped comparison,
an off-by-one constant, a swapped logical operator or a dropped call
statement. A mutant that does not compile is not counted; one that makes
any test fail (or time out) is killed. The source is restored after each
mutant, also when the run is interrupted.
"""
import argparse
import pathlib
import random
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
AREAS = ("liblog", "platform/host")

SWAPS = [("==", "!="), ("!=", "=="), ("<=", "<"), (">=", ">"), ("&&", "||"), ("||", "&&")]
SKIP_LINE = re.compile(r"^\s*(#|//|\*|/\*)|static_assert|template\s*<|#include")


def candidates(path):
    lines = path.read_text().splitlines(keepends=True)
    out = []
    for number, line in enumerate(lines):
        if SKIP_LINE.search(line):
            continue
        for old, new in SWAPS:
            for match in re.finditer(re.escape(old), line):
                before = line[match.start() - 1:match.start()]
                after = line[match.end():match.end() + 1]
                # "<" and ">" only as comparisons, not template brackets or shifts.
                if old in ("<=", ">=") and (before in "<>" or after == "="):
                    continue
                out.append((number, match.start(), old, new))
        for match in re.finditer(r"(?<![\w.])([0-9]+)(?![\w.])", line):
            out.append((number, match.start(), match.group(1), str(int(match.group(1)) + 1)))
        stripped = line.strip()
        if re.match(r"^[A-Za-z_][\w:.>-]*\(.*\);$", stripped) and not stripped.startswith("return"):
            out.append((number, line.index(stripped), stripped, ";"))
    return lines, out


def apply(lines, mutant):
    number, column, old, new = mutant
    line = lines[number]
    assert line[column:column + len(old)] == old
    mutated = list(lines)
    mutated[number] = line[:column] + new + line[column + len(old):]
    return "".join(mutated)


def run(command, timeout, cwd):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


LOGGED = re.compile(r"^(?:killed|SURVIVED) +(\S+):(\d+) '(.*)' -> '(.*)' \(")


def replayed(pool, log, shard):
    """The pool's mutants that log names, in the log's order, this shard's share."""
    index, count = (int(part) for part in shard.split("/"))
    wanted = []
    for line in pathlib.Path(log).read_text().splitlines():
        match = LOGGED.match(line)
        if match:
            wanted.append((match[1], int(match[2]) - 1, match[3], match[4]))
    wanted = wanted[index::count]
    chosen = []
    for key in wanted:
        for path, lines, mutant in pool:
            if (str(path.relative_to(ROOT)), mutant[0], mutant[2], mutant[3]) == key:
                chosen.append((path, lines, mutant))
                break
        else:
            sys.exit(f"mutate.py: {key[0]}:{key[1] + 1} is not among this tree's mutants")
    return chosen, len(chosen)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=int, default=300, help="seconds for one test run")
    parser.add_argument("--replay", help="a log of an earlier run: its mutants, in its order")
    parser.add_argument("--shard", default="0/1", help="I/N: every Nth mutant from the Ith")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()

    pool = []
    for area in AREAS:
        # By name, so that the sample of a seed does not depend on the folders.
        for path in sorted((ROOT / area).rglob("*.cpp"), key=lambda p: p.name):
            lines, found = candidates(path)
            pool += [(path, lines, m) for m in found]
    random.Random(args.seed).shuffle(pool)
    if args.replay:
        pool, args.count = replayed(pool, args.replay, args.shard)

    killed = survived = invalid = 0
    for path, lines, mutant in pool:
        if killed + survived >= args.count:
            break
        original = path.read_text()
        try:
            path.write_text(apply(lines, mutant))
            if run(["cmake", "--build", str(build), "-j2"], 900, ROOT) != 0:
                invalid += 1
                continue
            start = time.time()
            # The first failing test decides: a killed mutant need not wait for the rest.
            code = run(["ctest", "-j3", "--timeout", "120", "--no-tests=error", "--stop-on-failure"],
                       args.timeout, build)
            status = "killed" if code != 0 else "SURVIVED"
            killed += code != 0
            survived += code == 0
            where = f"{path.relative_to(ROOT)}:{mutant[0] + 1}"
            print(f"{status:8} {where} '{mutant[2]}' -> '{mutant[3]}' ({time.time() - start:.0f} s)",
                  flush=True)
        finally:
            path.write_text(original)
            path.touch()
    run(["cmake", "--build", str(build), "-j2"], 900, ROOT)
    total = killed + survived
    rate = 100.0 * killed / total if total else 0.0
    print(f"mutants: {total} run, {killed} killed, {survived} survived, "
          f"{invalid} did not compile; kill rate {rate:.0f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
