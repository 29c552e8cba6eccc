"""Timing of workload pairs: each pair runs its Tessary side and its raw
side interleaved in one process, after the same untimed preparation and a
gc.collect(), and both sides must report the same work."""

import gc
import statistics
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional


class WorkMismatch(AssertionError):
    """The two sides of a pair did not do the same work."""


@dataclass
class Pair:
    key: str                     # "W3"
    backend: str                 # "SQLite", "MariaDB", "SQLite asyncio"
    work: str                    # what is timed, in a few words
    size: str                    # "100,000 rows"
    ops: int                     # operations per timed run (for the time per operation)
    tessary: Callable[[], Any]
    raw: Callable[[], Any]
    # Reduces a side's result to what both must agree on (row counts, sums of ids, a sample row).
    tessary_digest: Callable[[Any], Any]
    raw_digest: Callable[[Any], Any]
    before: Optional[Callable[[], None]] = None   # untimed, before every timed run of either side
    # Untimed, once the pair is done: puts back what the runs changed (rows a
    # write workload added), so that the next pair reads the table as filled.
    after: Optional[Callable[[], None]] = None
    target_ratio: Optional[float] = None
    target_us_per_op: Optional[float] = None


@dataclass
class Result:
    pair: Pair
    tessary_s: list = field(default_factory=list)     # wall-clock seconds per timed run
    raw_s: list = field(default_factory=list)
    tessary_cpu: list = field(default_factory=list)   # CPU seconds of this process (all its threads)
    raw_cpu: list = field(default_factory=list)
    digest: Any = None
    driver: str = "default"   # the engine asked for (--driver)
    engine: str = ""          # the connection type Tessary really ran on

    @property
    def tessary_median(self):
        return statistics.median(self.tessary_s)

    @property
    def raw_median(self):
        return statistics.median(self.raw_s)

    @property
    def ratio(self):
        return self.tessary_median / self.raw_median

    @property
    def cpu_ratio(self):
        """The same ratio in CPU time: steadier on a machine others use too
        (it leaves out time spent waiting for a core, and a database server's
        own work)."""
        if not self.tessary_cpu or not self.raw_cpu:
            return None
        return statistics.median(self.tessary_cpu) / statistics.median(self.raw_cpu)

    def us_per_op(self, seconds):
        return seconds / self.pair.ops * 1e6

    @property
    def meets_target(self):
        p = self.pair
        if p.target_us_per_op is not None:
            return self.us_per_op(self.tessary_median) <= p.target_us_per_op
        if p.target_ratio is not None:
            return self.ratio <= p.target_ratio
        return None


def timed(pair, side):
    if pair.before is not None:
        pair.before()
    gc.collect()
    cpu_start = time.process_time()
    start = time.perf_counter()
    result = side()
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    return elapsed, cpu, result


def measure(pair, repeats=5, warmups=1):
    """Runs warm-ups, then `repeats` timed runs of each side; the sides take
    turns going first so that neither always inherits the other's caches."""
    try:
        return measure_runs(pair, repeats, warmups)
    finally:
        if pair.after is not None:
            pair.after()


def measure_runs(pair, repeats, warmups):
    result = Result(pair)
    sides = (("Tessary", pair.tessary, pair.tessary_digest, result.tessary_s, result.tessary_cpu),
             ("raw", pair.raw, pair.raw_digest, result.raw_s, result.raw_cpu))
    for run in range(warmups + repeats):
        for name, side, digest, times, cpu_times in (sides if run % 2 == 0 else sides[::-1]):
            elapsed, cpu, value = timed(pair, side)
            got = digest(value)
            del value
            if result.digest is None:
                result.digest = got
            elif got != result.digest:
                raise WorkMismatch(f"{pair.key} {pair.backend}: the {name} side reported {got!r}, "
                                   f"expected {result.digest!r}")
            if run >= warmups:
                times.append(elapsed)
                cpu_times.append(cpu)
    return result


def format_seconds(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} µs"


def format_target(pair):
    if pair.target_us_per_op is not None:
        return f"≤ {pair.target_us_per_op:g} µs/op"
    if pair.target_ratio is not None:
        return f"≤ {pair.target_ratio:g}×"
    return "—"


def rows_of(results):
    for r in results:
        p = r.pair
        met = r.meets_target
        cpu = r.cpu_ratio
        yield (p.key, p.backend, p.work, p.size,
               format_seconds(r.tessary_median), format_seconds(r.raw_median),
               f"{r.us_per_op(r.tessary_median):.2f}", f"{r.us_per_op(r.raw_median):.2f}",
               f"{r.ratio:.2f}×", "—" if cpu is None else f"{cpu:.2f}×",
               format_target(p), "—" if met is None else ("yes" if met else "NO"))


HEADER = ("id", "backend", "timed work", "size", "Tessary", "raw", "Tessary µs/op", "raw µs/op",
          "ratio", "CPU ratio", "target", "met")


def text_table(results):
    rows = [HEADER, *rows_of(results)]
    widths = [max(len(row[i]) for row in rows) for i in range(len(HEADER))]
    lines = []
    for n, row in enumerate(rows):
        lines.append("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(results):
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    lines += ["| " + " | ".join(row) + " |" for row in rows_of(results)]
    return "\n".join(lines)
