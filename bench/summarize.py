"""Medians over several runs of the suite, as one Markdown table.

    $PY bench/summarize.py run1.json run2.json run3.json [--before module.json]

Each JSON file is what `bench/run.py --json` wrote. The runs must hold the
same workloads in the same order (the same --only, --backends and --scale).
The table gives each pair's target, the median over the runs of its CPU and
wall-clock ratios (W1: microseconds per statement) with every run's value,
and, given --before, the ratios of that run (the suite on the driver
modules, `--driver module`) beside them.
"""

import argparse
import json
import statistics
import sys


def load(path):
    with open(path) as f:
        return json.load(f)["results"]


def plain_backend(result):
    """The backend without the engine's name that --driver adds to it."""
    return result["backend"].split(", ")[0]


def same_workloads(runs):
    keys = [[(r["id"], plain_backend(r)) for r in run] for run in runs]
    for n, run_keys in enumerate(keys[1:], 2):
        if run_keys != keys[0]:
            raise SystemExit(f"run {n} holds other workloads than run 1: {run_keys} vs {keys[0]}")


def per_op_us(result):
    return statistics.median(result["tessary_s"]) / result["ops"] * 1e6


def figures(result):
    """(CPU figure, wall figure) of one run: ratios, or µs per statement for
    a pair whose target is a time per operation."""
    if result.get("target_us_per_op") is not None:
        wall = per_op_us(result)
        cpu = statistics.median(result["tessary_cpu_s"]) / result["ops"] * 1e6
        return cpu, wall
    return result["cpu_ratio"], result["ratio"]


def shown(value, per_op):
    if value is None:
        return "—"
    return f"{value:.2f} µs" if per_op else f"{value:.2f}×"


def target_of(result):
    if result.get("target_us_per_op") is not None:
        return f"≤ {result['target_us_per_op']:g} µs", result["target_us_per_op"]
    if result.get("target") is not None:
        return f"≤ {result['target']:g}×", result["target"]
    return "—", None


def verdict(value, limit):
    if limit is None or value is None:
        return "—"
    return "yes" if value <= limit else "no"


def row(results, before):
    first = results[0]
    per_op = first.get("target_us_per_op") is not None
    cpu = [figures(r)[0] for r in results]
    wall = [figures(r)[1] for r in results]
    cpu_median = statistics.median(c for c in cpu if c is not None) if any(c is not None for c in cpu) else None
    wall_median = statistics.median(wall)
    target_text, limit = target_of(first)
    name = first["id"] + (" ref" if first["work"].startswith("reference") else "")
    cells = [name, plain_backend(first), first["size"], target_text,
             f"**{shown(cpu_median, per_op)}** ({', '.join(shown(c, per_op) for c in cpu)})",
             f"**{shown(wall_median, per_op)}** ({', '.join(shown(w, per_op) for w in wall)})"]
    if before is not None:
        b_cpu, b_wall = figures(before)
        cells.append(f"{shown(b_cpu, per_op)} / {shown(b_wall, per_op)}")
    cells.append(f"{verdict(cpu_median, limit)} / {verdict(wall_median, limit)}")
    return cells


def table(runs, before):
    header = ["id", "backend", "size", "target", "CPU ratio: median (runs)", "wall ratio: median (runs)"]
    if before is not None:
        header.append("module path: CPU / wall")
    header.append("met: CPU / wall")
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for n, results in enumerate(zip(*runs)):
        lines.append("| " + " | ".join(row(results, before[n] if before else None)) + " |")
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("runs", nargs="+", help="JSON files of the runs to take the medians of")
    p.add_argument("--before", help="JSON file of a run on the driver modules, shown beside")
    args = p.parse_args(argv)
    runs = [load(path) for path in args.runs]
    before = load(args.before) if args.before else None
    same_workloads(runs + ([before] if before else []))
    print(table(runs, before))
    return 0


if __name__ == "__main__":
    sys.exit(main())
