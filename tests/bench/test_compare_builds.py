"""Two builds compared in one run (bench/compare_builds.py): end to end with
the current build on both sides at a tiny size, and the arithmetic of the
table on made-up figures. No timing is asserted."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import Tessary

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import compare_builds  # noqa: E402

CURRENT_BUILD = Path(Tessary.__file__).resolve().parents[2]
# The comparison refuses a sanitizer build (its timings mean nothing), so the
# runs on the current build only happen on a plain one.
on_a_plain_build = pytest.mark.skipif(
    compare_builds.cmake_cache(CURRENT_BUILD).get("TESSARY_SANITIZE") == "ON",
    reason="the comparison refuses a sanitizer build")
PAIRS_PER_ENGINE = [("W2", "SQLite"), ("W3", "SQLite"), ("W3 ref", "SQLite"), ("W4", "SQLite"), ("W5", "SQLite"),
                    ("W6", "SQLite"), ("W2", "MariaDB"), ("W3", "MariaDB"), ("W4", "MariaDB"),
                    ("W3", "MariaDB asyncio"), ("W4", "MariaDB asyncio"), ("W2", "SQLite asyncio"),
                    ("W3", "SQLite asyncio"), ("W4", "SQLite asyncio"), ("W6", "SQLite asyncio")]


def table_rows(stdout):
    """The cells of the Markdown table's rows (header and rule left out)."""
    lines = [line for line in stdout.splitlines() if line.startswith("| ")]
    assert lines[0] == "| " + " | ".join(compare_builds.HEADER) + " |"
    return [line.strip("| ").split(" | ") for line in lines[1:]]


@on_a_plain_build
def test_the_current_build_against_itself_at_a_tiny_size(tmp_path, mariadb_clean):
    url = f"mysql://{mariadb_clean['user']}:@{mariadb_clean['host']}:{mariadb_clean['port']}/{mariadb_clean['database']}"
    out = tmp_path / "compare.json"
    done = subprocess.run([sys.executable, str(BENCH / "compare_builds.py"), "--base", str(CURRENT_BUILD),
                           "--candidate", str(CURRENT_BUILD), "--scale", "0.002", "--rounds", "2",
                           "--repeats", "1", "--warmups", "0", "--mysql", url, "--json", str(out),
                           "--workdir", str(tmp_path)],
                          capture_output=True, text=True, env=dict(os.environ), timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert [line.split(" …")[0] for line in done.stdout.splitlines() if line.startswith("round")] == [
        "round 1/2, build A", "round 1/2, build B", "round 2/2, build B", "round 2/2, build A"]

    rows = table_rows(done.stdout)
    expected = [(name, backend, engine) for engine in ("native", "module") for name, backend in PAIRS_PER_ENGINE]
    assert sorted((r[0], r[1], r[2]) for r in rows) == sorted(expected)
    for cells in rows:
        assert len(cells) == len(compare_builds.HEADER)
        for change in cells[6:]:
            assert change.startswith("**") and change.count("×") == 3, cells   # the median and two rounds

    result = json.loads(out.read_text())
    assert result["builds"]["A"]["folder"] == result["builds"]["B"]["folder"] == str(CURRENT_BUILD)
    assert len(result["runs"]["A"]) == len(result["runs"]["B"]) == 2
    for p in result["pairs"]:
        assert p["engines"]["A"] == p["engines"]["B"], p
        assert len(p["rounds"]["A"]) == len(p["rounds"]["B"]) == 2
        assert len(p["B_over_A_wall_rounds"]) == 2 and p["B_over_A_wall"] > 0


def results_of(*pairs):
    """A run.py result list: (id, backend, driver, cpu ratio, wall ratio, digest) per pair."""
    return [{"id": key, "backend": backend if driver == "default" else f"{backend}, {driver}", "driver": driver,
             "work": "findAllBy", "size": "10 rows", "engine": "E", "cpu_ratio": cpu, "ratio": wall,
             "digest": digest} for key, backend, driver, cpu, wall, digest in pairs]


def test_medians_over_the_rounds_and_b_over_a_of_them():
    runs = {"A": [results_of(("W3", "SQLite", "native", cpu, wall, [10, 55])) for cpu, wall in
                  [(1.0, 2.0), (1.2, 2.4), (1.1, 9.0)]],
            "B": [results_of(("W3", "SQLite", "native", cpu, wall, [10, 55])) for cpu, wall in
                  [(0.9, 2.2), (1.32, 2.0), (1.1, 3.0)]]}
    [row] = compare_builds.collect(runs)
    assert row.key == ("W3", "SQLite", "native")
    assert compare_builds.median_of(row, "A", 0) == 1.1 and compare_builds.median_of(row, "A", 1) == 2.4
    assert compare_builds.median_of(row, "B", 0) == 1.1 and compare_builds.median_of(row, "B", 1) == 2.2
    [cells] = table_rows(compare_builds.markdown([row]))
    assert cells[4:] == ["1.10× / 2.40×", "1.10× / 2.20×", "**1.00×** (0.90×, 1.10×, 1.00×)",
                         "**0.92×** (1.10×, 0.83×, 0.33×)"]


def test_the_dict_floor_and_the_engine_have_rows_of_their_own():
    one_run = results_of(("W3", "SQLite", "native", 1, 1, 1), ("W3", "SQLite", "native", 1, 1, 2),
                         ("W3", "SQLite", "module", 1, 1, 1))
    one_run[1]["work"] = "reference: raw rows → dicts"
    rows = compare_builds.collect({"A": [one_run], "B": [one_run]})
    assert [row.key for row in rows] == [("W3", "SQLite", "native"), ("W3 ref", "SQLite", "native"),
                                         ("W3", "SQLite", "module")]


def test_builds_that_did_different_work_are_refused():
    a = results_of(("W2", "SQLite", "native", 1, 1, [20, 210]))
    b = results_of(("W2", "SQLite", "native", 1, 1, [20, 209]))
    with pytest.raises(compare_builds.CompareError, match=r"W2 SQLite native: build B reported \[20, 209\]"):
        compare_builds.collect({"A": [a], "B": [b]})


def test_runs_of_other_pairs_are_refused():
    a = results_of(("W2", "SQLite", "native", 1, 1, 1))
    b = results_of(("W2", "SQLite", "module", 1, 1, 1))
    with pytest.raises(compare_builds.CompareError, match="round 1 of build B holds other pairs"):
        compare_builds.collect({"A": [a], "B": [b]})


def test_the_builds_take_turns_going_first():
    assert [compare_builds.order_of(r) for r in range(3)] == [("A", "B"), ("B", "A"), ("A", "B")]


@on_a_plain_build
def test_a_run_sees_its_own_build_only(tmp_path, monkeypatch):
    other = tmp_path / "other" / "pkg"
    (other / "Tessary").mkdir(parents=True)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(other), "/deps"]))
    monkeypatch.setenv("TESSARY_DRIVER", "module")
    build = compare_builds.check_build("A", CURRENT_BUILD)
    env = compare_builds.environment(build)
    assert env["PYTHONPATH"].split(os.pathsep) == [str(CURRENT_BUILD / "pkg"), "/deps"]
    assert env["TESSARY_BUILD"] == str(CURRENT_BUILD) and "TESSARY_DRIVER" not in env
    compare_builds.check_import(build)


def test_folders_whose_timings_mean_nothing_are_refused(tmp_path):
    with pytest.raises(compare_builds.CompareError, match="holds no staged package"):
        compare_builds.check_build("B", tmp_path)
    (tmp_path / "pkg" / "Tessary").mkdir(parents=True)
    (tmp_path / "CMakeCache.txt").write_text("TESSARY_SANITIZE:BOOL=ON\n")
    with pytest.raises(compare_builds.CompareError, match="is a sanitizer build"):
        compare_builds.check_build("B", tmp_path)


@on_a_plain_build
def test_a_failed_run_stops_the_comparison_with_its_output(tmp_path, capsys):
    (tmp_path / "pkg" / "Tessary").mkdir(parents=True)
    (tmp_path / "pkg" / "Tessary" / "__init__.py").write_text("raise ImportError('a broken build')\n")
    assert compare_builds.main(["--base", str(tmp_path), "--candidate", str(CURRENT_BUILD),
                                "--backends", "sqlite"]) == 1
    assert "a broken build" in capsys.readouterr().err
