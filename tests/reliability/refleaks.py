"""Reference-leak mode for any test module: `-p refleaks --leaks`.

    PYTHONPATH=tests/reliability:$PYTHONPATH $PY -m pytest -p refleaks --leaks tests/executor

Every selected test runs its whole protocol (setup, call, teardown of its
function-scoped fixtures) `--leaks-warmup` + `--leaks-rounds` extra times
before its reported run. Module- and session-scoped fixtures stay up, so a
round costs what the test costs. tracemalloc traces the repetitions (started
anew for each test, so its list stays short); after each measured round the
collector runs, and two numbers are taken over what was allocated outside the
test harness (pytest, pluggy, this file), judged by the innermost Python frame
at allocation: an object leaked by an extension function is charged to the
line that called it.

- live objects: the objects the collector tracks;
- traced memory: the bytes of every live allocation.

A test leaks when its live objects grew in every measured round, or its
traced memory did, by at least `--leaks-bytes` / rounds in each round (the
rule of the interpreter's own reference-leak hunter: warm-up rounds fill
caches and free lists, a real leak grows each time; a one-off allocation in
one round, such as a cache growing, is not steady growth). Cycles through extension types are
freed by the collector only when their tp_traverse/tp_clear are right, so a
missing visit shows up here as growth.

A test whose repetition fails (it depends on state made once, such as the
seeding registry) cannot be measured: it is listed as not repeatable, and
its reported run shows what the repetition did to it. Property-based tests
(hypothesis) draw other inputs each round, so their rounds do not compare:
they run once, unmeasured.
"""

import gc
import os
import tracemalloc
from pathlib import Path

import pytest
from _pytest.runner import runtestprotocol

# pytest sets PYTEST_CURRENT_TEST in os.environ at every phase: "<frozen os>".
HARNESS_PARTS = (f"{os.sep}_pytest{os.sep}", f"{os.sep}pluggy{os.sep}", f"{os.sep}tracemalloc.py",
                 "<frozen importlib", f"{os.sep}importlib{os.sep}", "<frozen os>", str(Path(__file__).resolve()))


def pytest_addoption(parser):
    group = parser.getgroup("refleaks", "reference-leak mode")
    group.addoption("--leaks", action="store_true", default=False,
                    help="repeat each test and fail when live objects or traced memory grow every round")
    group.addoption("--leaks-warmup", type=int, default=2, metavar="N",
                    help="unmeasured repetitions before measuring (default 2)")
    group.addoption("--leaks-rounds", type=int, default=4, metavar="N",
                    help="measured repetitions (default 4)")
    group.addoption("--leaks-bytes", type=int, default=8192, metavar="B",
                    help="steady traced growth over all measured rounds tolerated (default 8192)")
    group.addoption("--leaks-sample", action="store_true", default=False,
                    help="measure one test of each family: of a parametrized test, the first case "
                         "on each connector it runs on")


def pytest_configure(config):
    if config.getoption("leaks"):
        config.pluginmanager.register(LeakHunter(config), "refleaks-hunter")


# The connectors a case can name in its parameter ids, the asyncio ones first
# ("aiosqlite" also contains "sqlite").
CONNECTORS = ("aiosqlite", "aiomysql", "sqlite", "mariadb")


def family(item):
    """(test function, connector) of an item: the cases of one parametrized
    test on one connector exercise the same native paths."""
    callspec = getattr(item, "callspec", None)
    ids = callspec.id.split("-") if callspec else []
    connector = next((name for name in CONNECTORS if name in ids), None)
    return item.path, item.cls, getattr(item, "originalname", item.name), connector


def pytest_collection_modifyitems(config, items):
    if not (config.getoption("leaks") and config.getoption("leaks_sample")):
        return
    seen, kept, dropped = set(), [], []
    for item in items:
        key = family(item)
        (dropped if key in seen else kept).append(item)
        seen.add(key)
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = kept


class _ParentsOnly:
    """Stands for "the next item" in the teardown of a repetition: it shares
    the item's parents, so only the item's own fixtures are torn down."""

    def __init__(self, item):
        self._chain = item.listchain()[:-1]

    def listchain(self):
        return self._chain


def outside_harness(filename, verdicts={}):
    verdict = verdicts.get(filename)
    if verdict is None:
        verdict = verdicts[filename] = not any(part in filename for part in HARNESS_PARTS)
    return verdict


def traced_outside_harness():
    """Live allocations made since tracing started, outside the harness:
    {(file, line): [bytes, blocks]}. Tracing starts anew for each test, so
    the list is short."""
    lines = {}
    for _domain, size, frames, *_ in tracemalloc._get_traces():
        if frames and outside_harness(frames[0][0]):
            entry = lines.setdefault(frames[0], [0, 0])
            entry[0] += size
            entry[1] += 1
    return lines


def objects_outside_harness():
    """Objects the collector tracks that were made, since tracing started,
    outside the harness. The objects older than the test are frozen (see
    LeakHunter.series), so only the test's own are listed and asked about."""
    count = 0
    for obj in gc.get_objects():
        where = tracemalloc.get_object_traceback(obj)
        if where is not None and outside_harness(where[0].filename):
            count += 1
    return count


def top_growth(first, last, limit=5):
    grown = sorted(((entry[0] - first.get(line, (0, 0))[0], line) for line, entry in last.items()), reverse=True)
    return ", ".join(f"{file}:{lineno} {size:+d} B" for size, (file, lineno) in grown[:limit] if size > 0)


def grew_every_round(values):
    return all(later > earlier for earlier, later in zip(values, values[1:]))


def deltas(values):
    return " ".join(f"{b - a:+d}" for a, b in zip(values, values[1:]))


class LeakHunter:
    def __init__(self, config):
        self.warmup = max(0, config.getoption("leaks_warmup"))
        self.rounds = max(2, config.getoption("leaks_rounds"))
        self.tolerated = config.getoption("leaks_bytes")
        self.unmeasured = []
        self.property_based = 0
        self.leaks = {}

    def repeat(self, item):
        """One silent run of the item's protocol: "passed", "skipped" or "failed"."""
        reports = runtestprotocol(item, log=False, nextitem=_ParentsOnly(item))
        item._report_sections.clear()
        if any(report.failed for report in reports):
            return "failed"
        return "skipped" if any(report.skipped for report in reports) else "passed"

    def series(self, item):
        """The traced allocations after each measured round, or None when a
        repetition did not pass."""
        # Objects older than the series cannot have been made by it: frozen,
        # the collector neither lists nor examines them, which makes each
        # count cost what the test allocated, not what the process holds.
        gc.collect()
        gc.freeze()
        try:
            measured = []
            for index in range(self.warmup + self.rounds + 1):
                if index >= self.warmup:
                    gc.collect()
                    measured.append((traced_outside_harness(), objects_outside_harness()))
                if index == self.warmup + self.rounds:
                    return measured
                outcome = self.repeat(item)
                if outcome != "passed":
                    if outcome == "failed":
                        self.unmeasured.append(item.nodeid)
                    return None
        finally:
            gc.unfreeze()

    def verdict(self, measured):
        memory = [sum(entry[0] for entry in lines.values()) for lines, _ in measured]
        objects = [count for _, count in measured]
        found = []
        steps = [b - a for a, b in zip(memory, memory[1:])]
        if min(steps) * len(steps) >= self.tolerated:
            found.append(f"traced memory grew every round by {memory[-1] - memory[0]} bytes ({deltas(memory)})")
        if grew_every_round(objects):
            found.append(f"live objects grew every round by {objects[-1] - objects[0]} ({deltas(objects)})")
        if found:
            found.append(f"most at {top_growth(measured[0][0], measured[-1][0])}")
        return found

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        if getattr(getattr(item, "obj", None), "is_hypothesis_test", False):
            self.property_based += 1
            return None
        tracemalloc.start(1)
        try:
            measured = self.series(item)
        finally:
            tracemalloc.stop()
        if measured is not None:
            found = self.verdict(measured)
            if found:
                self.leaks[item.nodeid] = found
        return None  # the normal protocol makes the reported run

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        found = self.leaks.get(item.nodeid)
        report = outcome.get_result()
        if found and call.when == "call" and report.passed:
            report.outcome = "failed"
            report.longrepr = "reference leak: " + "; ".join(found)

    def pytest_terminal_summary(self, terminalreporter):
        write = terminalreporter.write_line
        terminalreporter.section("reference-leak mode")
        write(f"{self.warmup} warm-up and {self.rounds} measured repetitions per test; "
              f"{len(self.leaks)} leaking, {len(self.unmeasured)} not repeatable, "
              f"{self.property_based} property-based (not measured)")
        for nodeid, found in self.leaks.items():
            write(f"LEAK {nodeid}: {'; '.join(found)}")
        for nodeid in self.unmeasured:
            write(f"not repeatable (not measured): {nodeid}")
