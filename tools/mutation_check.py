#!/usr/bin/env python3
"""How many faults the tests catch: applies a fixed, seeded sample of single-token mutations to src/
(flipped comparisons, off-by-one constants, dropped bounds checks, swapped byte orders), rebuilds
incrementally, runs the suite and counts the mutants it kills.

usage: tools/mutation_check.py [--count N] [--seed S] [--build DIR] [--list]
The same seed and the same src/ give the same mutants, so runs before and after a change to the
tests compare."""
import argparse, pathlib, random, re, subprocess, sys, time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# (name, pattern, replacement): each match of the pattern in a line is one candidate mutant.
OPERATORS = [
    ("flip <", r"(?<=[\w)\]] )<(?= [\w(])", "<="),
    ("flip <=", r"(?<= )<=(?= )", "<"),
    ("flip >", r"(?<=[\w)\]] )>(?= [\w(])", ">="),
    ("flip >=", r"(?<= )>=(?= )", ">"),
    ("flip ==", r"(?<= )==(?= )", "!="),
    ("flip !=", r"(?<= )!=(?= )", "=="),
    ("flip &&", r"(?<= )&&(?= )", "||"),
    ("flip ||", r"(?<= )\|\|(?= )", "&&"),
    ("off by one", r"(?<=[ (\[])([1-9]\d{0,3})(?=[ )\];,])", lambda m: str(int(m.group(1)) + 1)),
    ("drop bounds check", r"(?<=[(!])(\w+)\.has\(", r"true || \1.has("),
    ("swap byte order 16", r"\.be16\(", ".le16("),
    ("swap byte order 32", r"\.be32\(", ".le32("),
    ("swap byte order le32", r"\.le32\(", ".be32("),
]


def candidates():
    sites = []
    for path in sorted((ROOT / "src").rglob("*.cpp")):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = line.split("//")[0]
            if code.lstrip().startswith(("#", "*")) or '"' in code:
                continue
            for name, pattern, replacement in OPERATORS:
                for match in re.finditer(pattern, code):
                    sites.append((path, number, match.start(), match.end(), name, pattern, replacement))
    return sites


def mutate(site):
    path, number, start, end, name, pattern, replacement = site
    lines = path.read_text().split("\n")
    line = lines[number - 1]
    match = next(m for m in re.finditer(pattern, line) if m.start() == start)
    new = replacement(match) if callable(replacement) else match.expand(replacement)
    lines[number - 1] = line[:start] + new + line[end:]
    return "\n".join(lines), line.strip(), lines[number - 1].strip()


def run(command, timeout):
    try:
        return subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def suite_fails(build):
    """A failure must repeat to count: one that does not (a clash over a shared /tmp file with another
    run) says nothing of the tests stopped after it, so the suite runs again."""
    for attempt in range(2):
        if run(["ctest", "--test-dir", build, "-j2", "--stop-on-failure", "--timeout", "120"], 3600) == 0:
            return 0
        if run(["ctest", "--test-dir", build, "--rerun-failed", "--timeout", "120"], 3600) != 0:
            return 1
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=60)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--build", default="build-mutate")
    parser.add_argument("--list", action="store_true", help="only show the sample")
    args = parser.parse_args()
    sites = candidates()
    random.Random(args.seed).shuffle(sites)
    build = ROOT / args.build
    if not args.list:
        if not (build / "build.ninja").exists():
            subprocess.run(["cmake", "-S", ".", "-B", args.build, "-G", "Ninja"], cwd=ROOT, check=True,
                           stdout=subprocess.DEVNULL)
        if run(["cmake", "--build", args.build], 3600) != 0:
            sys.exit("the unmutated tree does not build")
    killed = tried = 0
    survivors = []
    for site in sites:
        if tried == args.count:
            break
        path = site[0]
        original = path.read_text()
        text, before, after = mutate(site)
        where = f"{path.relative_to(ROOT)}:{site[1]} ({site[4]})"
        if args.list:
            print(f"{where}: {before}  ->  {after}")
            tried += 1
            continue
        started = time.time()
        try:
            path.write_text(text)
            if run(["cmake", "--build", args.build], 1800) != 0:
                continue   # does not compile: not a mutant the tests could see
            tried += 1
            status = suite_fails(args.build)
        finally:
            path.write_text(original)
        dead = status != 0
        killed += dead
        if not dead:
            survivors.append(f"{where}: {before}  ->  {after}")
        print(f"[{tried}/{args.count}] {'killed ' if dead else 'SURVIVED'} {where} ({time.time() - started:.0f} s)",
              flush=True)
    if not args.list:
        run(["cmake", "--build", args.build], 3600)   # leave the build matching the tree
        print(f"\n{killed} of {tried} mutants killed")
        for line in survivors:
            print("survived:", line)


if __name__ == "__main__":
    main()
