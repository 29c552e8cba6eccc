"""The cost of one run of a workload side: two callgrind profiles of the
same side run a different number of times (bench/profile_side.py), their
inclusive instruction counts subtracted function by function.

    $PY bench/callgrind_diff.py fewer.out more.out --per 2 [--top 40]

--per is the difference of the two run counts; what is printed is per run
(divide by the operations of one run, e.g. 5,000 queries, for a figure
per operation).
"""

import argparse
import re
import subprocess
import sys

LINE = re.compile(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*$")


def inclusive_counts(path):
    """{function: inclusive instructions} of one profile, and its total."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                          capture_output=True, text=True, check=True).stdout
    counts, total = {}, 0
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        value = int(m.group(1).replace(",", ""))
        name = m.group(2)
        if name.startswith("PROGRAM TOTALS"):
            total = value
        else:
            # One name may appear under several objects: keep the largest.
            name = re.sub(r"\s*\[.*\]$", "", name)
            counts[name] = max(counts.get(name, 0), value)
    return counts, total


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("fewer")
    p.add_argument("more")
    p.add_argument("--per", type=float, default=1.0, help="runs more in the second profile")
    p.add_argument("--top", type=int, default=40)
    p.add_argument("--match", help="only functions whose name matches this regular expression "
                                   "(e.g. 'tsy::|sqlite3_|mysql_')")
    args = p.parse_args(argv)
    a, a_total = inclusive_counts(args.fewer)
    b, b_total = inclusive_counts(args.more)
    print(f"total per run: {(b_total - a_total) / args.per:,.0f} instructions")
    names = [k for k in set(a) | set(b) if not args.match or re.search(args.match, k)]
    diffs = sorted(((b.get(k, 0) - a.get(k, 0)) / args.per, k) for k in names)
    for value, name in reversed(diffs[len(diffs) - args.top:] if args.top > 0 else []):
        print(f"{value:>16,.0f}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
