"""No reference leaks in registration and runs: repeated many times, on their
success and error paths, they leave the number of allocated blocks flat
(beyond the registry's own growth: each registration keeps one task)."""

import gc
import sys

import pytest

from Tessary.DB.Connector import Sqlite3Connector
from Tessary.Ext.Seeder import GeneratorRunner, RunnerTask, create_task, data_task

from conftest import installed

WARMUP = 200
ROUNDS = 1000
# sqlite3 prunes its list of cursors every 200 cursors: growth below that
# bound is the driver's, one block per call is a leak.
ALLOWED = 250


def growth(operation):
    for _ in range(WARMUP):
        operation()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        operation()
    gc.collect()
    return sys.getallocatedblocks() - before


@pytest.fixture
def memory_items(models):
    with installed(Sqlite3Connector()) as handle:
        handle.executeSql("CREATE TABLE sd_item (id INTEGER PRIMARY KEY, label TEXT)")
        yield models.Item
        handle.connector.close()


def failing(error, call):
    def run(*args):
        try:
            call(*args)
        except error:
            pass
    return run


@pytest.fixture
def registered(memory_items, group):
    """Groups of this test: `group` saves two items, `group`-bad fails on its second instance."""
    create_task(lambda time: memory_items(label=str(time)), memory_items, 2, group)
    create_task(lambda time: memory_items(label="x") if time == 1 else {}, memory_items, 2, group + "-bad")
    create_task(lambda time: memory_items(label="learned"), None, 1, group + "-learn")
    return group


@pytest.mark.parametrize("operation", [
    lambda g: GeneratorRunner().run_group(g),
    lambda g: GeneratorRunner().run_group(g + "-learn", "unknown"),
    failing(TypeError, lambda g: GeneratorRunner().run_group(g + "-bad")),
    failing(TypeError, lambda g: GeneratorRunner().run_group([g])),
    lambda g: RunnerTask(None, 1, lambda time: None),
    failing(TypeError, lambda g: data_task(None, 1.5)),
    failing(TypeError, lambda g: data_task(None, None)(print)),
    failing(TypeError, lambda g: create_task(print, None, 1, {"a": 1})),
], ids=["run", "learn-and-unknown", "bad-instance", "unhashable", "task", "data-task-count", "none-count",
        "unhashable-group"])
def test_no_growth(registered, operation):
    assert growth(lambda: operation(registered)) < ALLOWED
