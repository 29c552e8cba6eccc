"""Inputs that could crash rather than raise, each in a child interpreter
(crash_scenarios.py): deep nesting built and freed, and Python code that
changes, in the middle of a native call, what that call is working on. The
child must print its outcome and exit normally."""

import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).with_name("crash_scenarios.py")

EXPECTED = {
    "nested_groups": "RecursionError",
    "nested_function_calls": "RecursionError",
    "nested_in_generators": "returned tuple",
    "long_chain": "200000 arguments",
    "nested_dicts_in_instance": "RecursionError",
    "in_values_cleared_while_rendering": "returned tuple",
    "builder_replaced_by_edit_callback": "AttributeError",
    "build_override_drops_the_executor_builder": "RuntimeError",
    "relation_list_mutates_its_owner": "returned ModelInstance",
    "instance_get_empties_the_instance": "returned InstanceList",
    "connector_replaced_during_a_statement": "OperationalError",
    "column_name_with_nul_and_surrogates": "returned tuple",
    "seeding_failures_register_nothing": "6 failed, saved ['good1', 'good2']",
}


@pytest.mark.parametrize("name", list(EXPECTED))
def test_scenario_raises_or_returns_and_exits_cleanly(name):
    child = subprocess.run([sys.executable, str(SCRIPT), name], capture_output=True, text=True, timeout=300)
    assert (child.returncode, child.stdout) == (0, f"{name}: {EXPECTED[name]}\n"), child.stderr[-3000:]


def test_every_scenario_is_expected():
    import crash_scenarios
    assert sorted(crash_scenarios.SCENARIOS) == sorted(EXPECTED)
