"""No reference leaks in registration and runs: repeated many times, on their
success and error paths, they leave the number of allocated blocks flat
(beyond the registry's own growth: each registration keeps one task)."""

import asyncio
import gc
import sys

import pytest

from Tessary.DB.Connector import AioSqliteConnector, Sqlite3Connector
from Tessary.DB.Generator import TableGenerator
from Tessary.Ext.Seeder import GeneratorRunner, RunnerTask, create_task, data_task

from seeder_support import installed

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


def test_no_growth_on_the_coroutine_path(tmp_path, models, group):
    """Runs of the asynchronous pass, saving and failing, each on a pool of one."""
    path = str(tmp_path / "leaks.db")
    with installed(Sqlite3Connector(path)) as handle:
        handle.executeSql(TableGenerator(models.Item).Build()[0])
        handle.connector.close()
    create_task(lambda time: models.Item(label=str(time)), models.Item, 2, group)
    create_task(lambda time: models.Item(label="learned"), None, 1, group)
    create_task(lambda time: models.Item(label="x") if time == 1 else {}, models.Item, 2, group + "-bad")
    connector = AioSqliteConnector(path, maxsize=1)
    with installed(connector):
        loop = asyncio.new_event_loop()
        runner = GeneratorRunner(loop)

        async def repeated(name):
            async def once():
                before = asyncio.all_tasks()
                runner.run_group(name)
                try:
                    await asyncio.gather(*(asyncio.all_tasks() - before))
                except TypeError:
                    pass
            for _ in range(WARMUP // 4):
                await once()
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(ROUNDS // 2):
                await once()
            gc.collect()
            return sys.getallocatedblocks() - before

        try:
            assert loop.run_until_complete(repeated(group)) < ALLOWED
            assert loop.run_until_complete(repeated(group + "-bad")) < ALLOWED
        finally:
            loop.run_until_complete(connector.close())
            loop.close()
