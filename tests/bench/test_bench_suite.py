"""The benchmark suite runs end to end at a tiny size and both sides of every
pair report the same work; the harness's own rules. No timing is asserted."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import harness  # noqa: E402


def pair(tessary, raw, digest=lambda r: r, before=None):
    return harness.Pair("W0", "test", "work", "1 op", 1, tessary, raw, digest, digest, before=before,
                        target_ratio=1.5)


def test_sides_alternate_after_the_untimed_setup():
    calls = []
    p = pair(lambda: calls.append("T") or 1, lambda: calls.append("R") or 1,
             before=lambda: calls.append("setup"))
    result = harness.measure(p, repeats=3, warmups=1)
    assert calls == ["setup", "T", "setup", "R", "setup", "R", "setup", "T",
                     "setup", "T", "setup", "R", "setup", "R", "setup", "T"]
    assert len(result.tessary_s) == len(result.raw_s) == 3
    assert result.digest == 1


def test_different_work_is_refused():
    p = pair(lambda: (10, 55), lambda: (10, 54))
    with pytest.raises(harness.WorkMismatch, match=r"W0 test: the raw side reported \(10, 54\)"):
        harness.measure(p, repeats=1, warmups=0)


def test_a_side_that_changes_its_work_between_runs_is_refused():
    runs = iter([1, 2])
    p = pair(lambda: next(runs), lambda: 1)
    with pytest.raises(harness.WorkMismatch):
        harness.measure(p, repeats=2, warmups=0)


@pytest.mark.parametrize("tessary_s, met", [(0.15, "yes"), (0.16, "NO")])
def test_table_reports_ratio_and_target(tessary_s, met):
    r = harness.Result(pair(None, None), tessary_s=[tessary_s], raw_s=[0.1], tessary_cpu=[0.3], raw_cpu=[0.1])
    table = harness.markdown_table([r])
    assert table.splitlines()[0].startswith("| id | backend | timed work |")
    assert f"| {r.ratio:.2f}× | 3.00× | ≤ 1.5× | {met} |" in table


def test_whole_suite_at_a_tiny_size(tmp_path, mariadb_clean):
    m = mariadb_clean
    url = f"mysql://{m['user']}:@{m['host']}:{m['port']}/{m['database']}"
    out = tmp_path / "results.json"
    done = subprocess.run([sys.executable, str(BENCH / "run.py"), "--scale", "0.002", "--repeats", "1",
                           "--warmups", "0", "--mysql", url, "--json", str(out), "--workdir", str(tmp_path)],
                          capture_output=True, text=True, env=dict(os.environ), timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    results = json.loads(out.read_text())["results"]
    assert [(r["id"], r["backend"]) for r in results] == [
        ("W1", "SQLite"), ("W2", "SQLite"), ("W3", "SQLite"), ("W3", "SQLite"), ("W4", "SQLite"),
        ("W5", "SQLite"), ("W6", "SQLite"), ("W6b", "SQLite"), ("W6b deep", "SQLite"), ("W1b", "SQLite"), ("W1b", "SQLite"), ("W7", "SQLite"), ("W8", "SQLite"), ("W9", "SQLite"),
        ("W9", "SQLite"), ("W3", "MariaDB"), ("W4", "MariaDB"),
        ("W7", "MariaDB"), ("W8", "MariaDB"), ("W9", "MariaDB"), ("W9", "MariaDB"),
        ("W3", "SQLite asyncio"), ("W4", "SQLite asyncio"), ("W6", "SQLite asyncio")]
    assert all(len(r["tessary_s"]) == len(r["raw_s"]) == len(r["raw_cpu_s"]) == 1 for r in results)
    assert "ratio" in done.stdout and "W6" in done.stdout
