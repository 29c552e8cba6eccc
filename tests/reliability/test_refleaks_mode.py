"""The reference-leak mode (refleaks.py) finds what it is for and passes
what is clean: run on a small test module in a pytest of its own."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

SAMPLE = '''
import gc

from Tessary.DB.Generator import SqlGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

kept = []


class Sample(DataModel):
    tableName = "sample"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(10)


def test_keeps_objects():
    kept.append(Sample(name="x"))


def test_keeps_memory():
    kept.append(bytes(4000))


def test_one_off_allocation():
    if len(kept) == 5:
        kept.append(bytes(100_000))


def test_clean_statement():
    assert SqlGenerator().select(Sample.id).From(Sample).where(Sample.name == "a").Build()[1] == ("a",)


def test_clean_cycle_through_an_instance():
    one = Sample(name="y")
    one["me"] = one


ran = []


def test_not_repeatable():
    assert not ran
    ran.append(1)


from hypothesis import given, strategies


@given(strategies.integers())
def test_property_based(number):
    kept.append([number])


def test_skipped():
    import pytest
    pytest.skip("nothing to measure")
'''


@pytest.fixture(scope="module")
def outcome(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    (folder / "test_sample.py").write_text(SAMPLE)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), *sys.path]))
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "refleaks", "--leaks", "-p", "no:cacheprovider", "-rA",
         "--rootdir", str(folder), "-c", os.devnull, str(folder / "test_sample.py")],
        capture_output=True, text=True, env=env, cwd=folder, timeout=300)


def sample_line(text):
    return SAMPLE.splitlines().index(text) + 1


def summary(outcome):
    """{test name: PASSED/FAILED} from the -rA summary."""
    lines = outcome.stdout.split("short test summary info")[-1].splitlines()
    return {line.split(" ")[1].split("::")[1]: line.split(" ")[0]
            for line in lines if line.startswith(("PASSED", "FAILED"))}


def test_verdicts(outcome):
    assert summary(outcome) == {
        "test_keeps_objects": "FAILED",
        "test_keeps_memory": "FAILED",
        "test_one_off_allocation": "PASSED",
        "test_clean_statement": "PASSED",
        "test_clean_cycle_through_an_instance": "PASSED",
        "test_property_based": "PASSED",
        "test_not_repeatable": "FAILED",  # its own reported run, after the repetitions
    }, outcome.stdout
    assert "SKIPPED [1]" in outcome.stdout


def test_reports_name_the_growth_and_where(outcome):
    out = outcome.stdout
    assert ("2 warm-up and 4 measured repetitions per test; 2 leaking, 1 not repeatable, "
            "1 property-based (not measured)") in out
    leaks = {line.split("::")[1].split(":")[0]: line for line in out.splitlines() if line.startswith("LEAK ")}
    assert "live objects grew every round by 4 (+1 +1 +1 +1)" in leaks["test_keeps_objects"]
    assert f"test_sample.py:{sample_line('    kept.append(Sample(name=\"x\"))')}" in leaks["test_keeps_objects"]
    assert "traced memory grew every round" in leaks["test_keeps_memory"]
    assert f"test_sample.py:{sample_line('    kept.append(bytes(4000))')}" in leaks["test_keeps_memory"]
    assert "not repeatable (not measured): test_sample.py::test_not_repeatable" in out


FAMILIES = '''
import pytest


@pytest.mark.parametrize("backend", ["sqlite", "mariadb", "aiosqlite", "aiomysql"])
@pytest.mark.parametrize("value", [1, 2])
def test_on_every_connector(backend, value):
    pass


@pytest.mark.parametrize("value", [1, 2, 3])
def test_without_connector(value):
    pass


class TestGroup:
    @pytest.mark.parametrize("value", [1, 2])
    def test_same_name(self, value):
        pass


def test_same_name():
    pass
'''


def test_sample_keeps_one_case_per_family_and_connector(tmp_path):
    (tmp_path / "test_families.py").write_text(FAMILIES)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), *sys.path]))
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "refleaks", "--leaks", "--leaks-sample", "-p", "no:cacheprovider",
         "-v", "--rootdir", str(tmp_path), "-c", os.devnull, str(tmp_path / "test_families.py")],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    ran = sorted(line.split(" ")[0].split("::", 1)[1] for line in done.stdout.splitlines() if " PASSED" in line)
    assert ran == sorted([
        "test_on_every_connector[1-sqlite]", "test_on_every_connector[1-mariadb]",
        "test_on_every_connector[1-aiosqlite]", "test_on_every_connector[1-aiomysql]",
        "test_without_connector[1]", "TestGroup::test_same_name[1]", "test_same_name"]), done.stdout
    assert "7 passed, 7 deselected" in done.stdout
