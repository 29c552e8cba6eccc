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

import drivers  # noqa: E402
import harness  # noqa: E402
import summarize  # noqa: E402


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


def test_the_after_step_runs_once_even_when_the_work_differs():
    calls = []
    p = pair(lambda: 1, lambda: 2)
    p.after = lambda: calls.append("after")
    with pytest.raises(harness.WorkMismatch):
        harness.measure(p, repeats=2, warmups=1)
    assert calls == ["after"]


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


@pytest.mark.parametrize("text, parsed", [("default", ("default",)), ("native, module", ("native", "module")),
                                          ("module,", ("module",))])
def test_driver_lists(text, parsed):
    assert drivers.parse(text) == parsed


@pytest.mark.parametrize("text", ["", ",", "pymysql", "native,sqlite3"])
def test_unknown_drivers_are_refused(text):
    with pytest.raises(ValueError, match="--driver takes"):
        drivers.parse(text)


@pytest.mark.parametrize("driver, drivers_run, label", [
    ("default", ("default",), "SQLite"), ("native", ("native",), "SQLite"), ("module", ("module",), "SQLite, module"),
    ("native", ("native", "module"), "SQLite, native"), ("module", ("native", "module"), "SQLite, module")])
def test_backend_label_names_the_engine_when_it_is_not_the_default(driver, drivers_run, label):
    assert drivers.label("SQLite", driver, drivers_run) == label


@pytest.mark.parametrize("before", [None, "native"])
@pytest.mark.parametrize("driver, inside", [("module", "module"), ("native", "native"), ("default", None)])
def test_the_engine_variable_is_set_for_the_group_and_put_back(monkeypatch, before, driver, inside):
    if before is None:
        monkeypatch.delenv(drivers.VARIABLE, raising=False)
    else:
        monkeypatch.setenv(drivers.VARIABLE, before)
    with drivers.chosen(driver):
        assert os.environ.get(drivers.VARIABLE) == (inside or before)
    assert os.environ.get(drivers.VARIABLE) == before


def run_suite(tmp_path, mariadb, *options):
    url = f"mysql://{mariadb['user']}:@{mariadb['host']}:{mariadb['port']}/{mariadb['database']}"
    out = tmp_path / "results.json"
    done = subprocess.run([sys.executable, str(BENCH / "run.py"), "--scale", "0.002", "--repeats", "1",
                           "--warmups", "0", "--mysql", url, "--json", str(out), "--workdir", str(tmp_path),
                           *options],
                          capture_output=True, text=True, env=dict(os.environ), timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout, json.loads(out.read_text())["results"]


def test_whole_suite_at_a_tiny_size(tmp_path, mariadb_clean):
    stdout, results = run_suite(tmp_path, mariadb_clean)
    assert [(r["id"], r["backend"]) for r in results] == [
        ("W1", "SQLite"), ("W2", "SQLite"), ("W3", "SQLite"), ("W3", "SQLite"), ("W4", "SQLite"),
        ("W5", "SQLite"), ("W6", "SQLite"), ("W6b", "SQLite"), ("W6b deep", "SQLite"), ("W1b", "SQLite"),
        ("W1b", "SQLite"), ("W7", "SQLite"), ("W8", "SQLite"), ("W9", "SQLite"), ("W9", "SQLite"),
        ("W10", "SQLite"), ("W11", "SQLite"), ("W12", "SQLite"), ("W13", "SQLite"), ("W14", "SQLite"),
        ("W2", "MariaDB"), ("W3", "MariaDB"), ("W4", "MariaDB"), ("W7", "MariaDB"), ("W8", "MariaDB"),
        ("W9", "MariaDB"), ("W9", "MariaDB"),
        ("W10", "MariaDB"), ("W11", "MariaDB"), ("W12", "MariaDB"), ("W13", "MariaDB"), ("W14", "MariaDB"),
        ("W3", "MariaDB asyncio"), ("W4", "MariaDB asyncio"),
        ("W2", "SQLite asyncio"), ("W3", "SQLite asyncio"), ("W4", "SQLite asyncio"), ("W6", "SQLite asyncio")]
    assert all(len(r["tessary_s"]) == len(r["raw_s"]) == len(r["raw_cpu_s"]) == 1 for r in results)
    assert all(r["driver"] == "default" and r["engine"] for r in results)
    assert "ratio" in stdout and "W6" in stdout


def test_write_workloads_leave_the_table_as_filled(tmp_path, mariadb_clean):
    """W2 and W7 add rows and W13 and W14 change scores on every run; the
    reads after them still see the 200 users the suite filled in (scale 0.002)."""
    _, results = run_suite(tmp_path, mariadb_clean, "--only", "W2,W7,W13,W14,W3")
    reads = [r for r in results if r["id"] == "W3" and "reference" not in r["work"]]
    assert [r["backend"] for r in reads] == ["SQLite", "MariaDB", "MariaDB asyncio", "SQLite asyncio"]
    assert all(r["digest"][0] == 200 for r in reads)


def test_the_module_path_is_timed_beside_the_default_in_one_run(tmp_path, mariadb_clean):
    _, results = run_suite(tmp_path, mariadb_clean, "--only", "W2,W4", "--driver", "native,module")
    assert [(r["id"], r["backend"]) for r in results] == [
        ("W2", "SQLite, native"), ("W4", "SQLite, native"), ("W2", "SQLite, module"), ("W4", "SQLite, module"),
        ("W2", "MariaDB, native"), ("W4", "MariaDB, native"), ("W2", "MariaDB, module"), ("W4", "MariaDB, module"),
        ("W4", "MariaDB asyncio, native"), ("W4", "MariaDB asyncio, module"),
        ("W2", "SQLite asyncio, native"), ("W4", "SQLite asyncio, native"),
        ("W2", "SQLite asyncio, module"), ("W4", "SQLite asyncio, module")]
    engines = {r["backend"]: r["engine"] for r in results}
    assert engines == {
        "SQLite, native": "Tessary.DB.Connector.SqliteConnection",
        "SQLite, module": "sqlite3.Connection",
        "MariaDB, native": "Tessary.DB.Connector.MysqlConnection",
        "MariaDB, module": "pymysql.connections.Connection",
        "MariaDB asyncio, native": "Tessary.DB.Connector.AioMysqlConnection",
        "MariaDB asyncio, module": "aiomysql.connection.Connection",
        "SQLite asyncio, native": "Tessary.DB.Connector.AioSqliteConnection (native)",
        "SQLite asyncio, module": "Tessary.DB.Connector.AioSqliteConnection (sqlite3)"}


def run_json(tmp_path, name, *ratios, backend="SQLite", per_op=False):
    """A results file as run.py writes it: one W3 pair per ratio (cpu, wall)."""
    results = [{"id": "W3", "backend": backend, "work": "findAllBy", "size": "10 rows", "ops": 10,
                "tessary_s": [wall * 1e-3], "raw_s": [1e-3], "tessary_cpu_s": [cpu * 1e-3],
                "ratio": wall, "cpu_ratio": cpu, "target": None if per_op else 0.9,
                "target_us_per_op": 100.0 if per_op else None} for cpu, wall in ratios]
    path = tmp_path / name
    path.write_text(json.dumps({"results": results}))
    return str(path)


def summary_rows(capsys, *argv):
    assert summarize.main(list(argv)) == 0
    return [line.split(" | ") for line in capsys.readouterr().out.splitlines()[2:]]


def test_summary_takes_the_medians_and_judges_them_against_the_target(tmp_path, capsys):
    runs = [run_json(tmp_path, f"r{n}.json", (cpu, wall)) for n, (cpu, wall) in
            enumerate([(0.8, 1.2), (0.95, 0.7), (0.85, 0.92)])]
    before = run_json(tmp_path, "m.json", (1.5, 1.6), backend="SQLite, module")
    [cells] = summary_rows(capsys, *runs, "--before", before)
    assert cells[3:] == ["≤ 0.9×", "**0.85×** (0.80×, 0.95×, 0.85×)", "**0.92×** (1.20×, 0.70×, 0.92×)",
                         "1.50× / 1.60×", "yes / no |"]


def test_summary_of_a_time_per_operation_target(tmp_path, capsys):
    [cells] = summary_rows(capsys, run_json(tmp_path, "r.json", (1.0, 2.0), per_op=True))
    assert cells[3:] == ["≤ 100 µs", "**100.00 µs** (100.00 µs)", "**200.00 µs** (200.00 µs)", "yes / no |"]


def test_summary_refuses_runs_of_other_workloads(tmp_path):
    with pytest.raises(SystemExit, match="run 2 holds other workloads"):
        summarize.main([run_json(tmp_path, "a.json", (1, 1)), run_json(tmp_path, "b.json", (1, 1), (1, 1))])
