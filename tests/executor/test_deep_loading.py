"""Deep relation loading far past the interpreter's recursion limit ends in
RecursionError, never in a crash: a row that is its own parent, and a chain
of 12,000 rows round three tables (one-to-one, one-to-many, many-to-many),
through findForeignKey and findListForeignKey, with the synchronous executor
and the coroutine executor, on SQLite and MariaDB, at the default recursion
limit and at a raised one. Each load runs in a child interpreter
(deep_loading_child.py) that must print its outcome and exit normally."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

CHILD = Path(__file__).with_name("deep_loading_child.py")


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def connection(request, tmp_path):
    """The connector kind and what the child connects with."""
    if request.param.endswith("sqlite"):
        return request.param, str(tmp_path / "deep.db")
    return request.param, request.getfixturevalue("mariadb_clean")


@pytest.mark.parametrize("limit", [1000, 100_000], ids=["default-limit", "raised-limit"])
@pytest.mark.parametrize("scenario", ["own_parent", "chain", "chain_list"])
def test_deep_loading_raises_recursion_error(connection, scenario, limit):
    kind, params = connection
    child = subprocess.run([sys.executable, str(CHILD), scenario, kind, str(limit), json.dumps(params)],
                           capture_output=True, text=True, timeout=600)
    assert (child.returncode, child.stdout) == (0, f"{scenario}: RecursionError\n"), child.stderr[-3000:]
