"""`__init__` run again, with other arguments, while a method of the same
object is on the stack: Python code that the method calls back (an override,
a callback, the connector, another task of the loop) re-initialises the
object, and collections at that moment free what __init__ replaced. Each
scenario runs in a child interpreter (reinit_scenarios.py); the operation
either completes on what it started with or raises a clear error, and the
child exits normally."""

import subprocess
import sys
from pathlib import Path

import pytest

from reliability_support import HANG_GUARD

SCRIPT = Path(__file__).with_name("reinit_scenarios.py")

EXPECTED = {
    "folio_edit_sql_callback_reinits_the_controller": 'returned 2',
    "folio_related_loading_reinits_the_controller": 'returned 3',
    "folio_count_override_reinits_the_controller": 'returned 3',
    "async_folio_reinit_between_its_steps": 'returned 2',
    "executor_edit_sql_callback_reinits_it": 'returned 3',
    "executor_reset_override_reinits_it": "returned [3, 1, 'p1']",
    "executor_instance_lookup_reinits_it":
        'WhereSQLError: where() needs a statement kind: call select(), insert(), update() or delete() first',
    "executor_delete_key_lookup_reinits_it":
        'WhereSQLError: where() needs a statement kind: call select(), insert(), update() or delete() first',
    "executor_reinit_by_the_connector_mid_statement":
        "RuntimeError: ModelExecutor's statement builder was replaced while its statement ran",
    "executor_related_loading_reinits_it":
        "returned [{'id': 1, 'name': 'u0', 'posts': [{'id': 1, 'user_id': 1, 'title': 'p0'}]}, None]",
    "async_executor_reset_override_reinits_it": "returned ['p0', 3]",
    "task_generator_reinits_its_task": "saved ['seeded1']",
    "task_model_learned_while_its_generator_reinits_it": "returned 'ReUser'",
    "runner_loop_reinits_the_runner": 'returned NoneType',
    "transaction_reinit_by_its_connector_begin":
        'RuntimeError: this transaction block is entered: it cannot be re-initialised',
    "transaction_reinit_inside_its_block":
        'RuntimeError: this transaction block is entered: it cannot be re-initialised; depth back to 0: True',
    "async_transaction_reinit_while_it_is_entered": "returned ['RuntimeError', 'NoneType']",
    "connector_reinit_by_its_own_connect": 'returned [(1,)]',
    "async_connector_reinit_while_a_statement_runs": 'returned [3, None]',
    "function_call_argument_reinits_the_call": 'returned tuple',
    "in_values_reinit_the_generator": 'returned tuple',
    "builder_reinit_by_a_from_override": 'returned tuple',
}


@pytest.mark.parametrize("name", list(EXPECTED))
def test_reinit_mid_operation_completes_or_raises_and_exits_cleanly(name):
    child = subprocess.run([sys.executable, str(SCRIPT), name], capture_output=True, text=True, timeout=HANG_GUARD)
    assert (child.returncode, child.stdout) == (0, f"{name}: {EXPECTED[name]}\n"), child.stderr[-3000:]


def test_every_scenario_is_expected():
    import reinit_scenarios
    assert sorted(reinit_scenarios.SCENARIOS) == sorted(EXPECTED)
