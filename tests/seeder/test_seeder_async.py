"""Seeding runs on the asynchronous connectors (SQLite and MariaDB): one
connection per task, taken from a pool of one and given back after the
task's commit or failure, the commit at the end of each task, the readiness
poll, and a runner on a loop that is already running."""

import asyncio
import json
import os
import subprocess
import sys
import textwrap

import pytest

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector
from Tessary.Ext.Seeder import GeneratorRunner, create_task
from Tessary.Model.Carrack import ModelExecutor

from seeder_support import installed, make_backend

# Only a run that hangs reaches this; it is a guard, not a measurement.
HANG_GUARD = 120


def recording(base):
    """A connector class of `base` logging getCon and releaseCon, with a pool of one
    connection: a run that kept a task's connection would wait for ever."""
    class Recording(base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, maxsize=1, **kwargs)
            self.events = []
            self.numbers = {}

        def number(self, con):
            return self.numbers.setdefault(id(con), len(self.numbers) + 1)

        async def getCon(self):
            con = await super().getCon()
            self.events.append(("getCon", self.number(con)))
            return con

        async def releaseCon(self, con):
            self.events.append(("releaseCon", self.number(con)))
            return await super().releaseCon(con)
    return Recording


@pytest.fixture(params=["sqlite", "mariadb"])
def aio(request, tmp_path, models):
    """A backend whose handle holds a recording asynchronous connector, with the
    tables made and an event loop of the test's own."""
    current = make_backend(request.param, request, tmp_path)
    current.create(models.User, models.Item)
    if request.param == "sqlite":
        connector = recording(AioSqliteConnector)(current.params["path"])
    else:
        connector = recording(AioMysqlConnector)(**current.params)
    loop = asyncio.new_event_loop()
    current.loop = loop
    with installed(connector):
        try:
            yield current
        finally:
            loop.run_until_complete(connector.close())
            loop.close()
            current.close()


def run(aio, *groups):
    """run_group on the test's loop, with a guard against a pass that hangs. On
    a running loop run_group only schedules the pass: it is awaited here."""
    async def main():
        before = asyncio.all_tasks()
        assert GeneratorRunner(aio.loop).run_group(*groups) is None
        await asyncio.gather(*(asyncio.all_tasks() - before))

    aio.loop.run_until_complete(asyncio.wait_for(main(), HANG_GUARD))


async def scheduled_pass(before):
    """Awaits the one pass scheduled since `before` (the connector may have
    started a setup task of its own meanwhile)."""
    (scheduled,) = [task for task in asyncio.all_tasks() - before
                    if task.get_coro().__qualname__ == "GeneratorRunner.arun"]
    return await scheduled


def users(backend):
    return backend.rows("SELECT id, name, n FROM sd_user ORDER BY id")


def items(backend):
    return backend.rows("SELECT id, label FROM sd_item ORDER BY id")


def connector():
    from Tessary.DB.DB import DB
    return DB.getInstance().connector


class TestTasks:
    def test_each_task_on_its_own_connection_committed_at_its_end(self, aio, models, group):
        seen = []

        def user(time):
            # What other connections see while this task runs: the rows of the
            # tasks before (committed), none of this task's own yet.
            seen.append(("user", time, len(users(aio)), len(items(aio))))
            return models.User(name=f"u{time}", n=time)

        def item(time):
            seen.append(("item", time, len(users(aio)), len(items(aio))))
            return models.Item(label=f"i{time}")

        create_task(user, models.User, 3, group)
        create_task(item, models.Item, 2, group)
        run(aio, group)
        assert users(aio) == [(1, "u1", 1), (2, "u2", 2), (3, "u3", 3)]
        assert items(aio) == [(1, "i1"), (2, "i2")]
        assert seen == [("user", 1, 0, 0), ("user", 2, 0, 0), ("user", 3, 0, 0),
                        ("item", 1, 3, 0), ("item", 2, 3, 0)]
        events = connector().events
        assert [name for name, _ in events] == ["getCon", "releaseCon"] * 2
        assert events[0][1] == events[1][1] and events[2][1] == events[3][1]

    def test_more_tasks_than_connections(self, aio, models, group):
        for k in range(4):
            create_task(lambda time, k=k: models.Item(label=f"t{k}-{time}"), models.Item, 2, group)
        run(aio, group)
        assert [label for _, label in items(aio)] == [f"t{k}-{t}" for k in range(4) for t in (1, 2)]
        assert [name for name, _ in connector().events] == ["getCon", "releaseCon"] * 4

    def test_a_failing_task_keeps_earlier_tasks_and_is_not_committed(self, aio, models, group):
        def failing(time):
            if time == 3:
                raise LookupError("third")
            return models.User(name=f"f{time}")

        create_task(lambda time: models.Item(label=f"kept{time}"), models.Item, 2, group)
        create_task(failing, models.User, 5, group)
        create_task(lambda time: models.Item(label="never"), models.Item, 1, group)
        with pytest.raises(LookupError, match="third"):
            run(aio, group)
        assert items(aio) == [(1, "kept1"), (2, "kept2")]
        assert users(aio) == []  # two saved on the failing task's connection, rolled back
        assert [name for name, _ in connector().events] == ["getCon", "releaseCon"] * 2
        # The pool got its connection back: the next run is not blocked.
        create_task(lambda time: models.User(name="after"), models.User, 1, group + "-after")
        run(aio, group + "-after")
        assert [name for _, name, _ in users(aio)] == ["after"]

    def test_count_zero_still_takes_and_gives_back_a_connection(self, aio, models, group):
        def never(time):
            raise AssertionError("called")

        create_task(never, models.Item, 0, group)
        run(aio, group)
        assert items(aio) == []
        assert [name for name, _ in connector().events] == ["getCon", "releaseCon"]

    def test_model_learned_on_the_async_path(self, aio, models, group):
        calls = []

        def generate(time):
            calls.append(time)
            return models.Item(label=f"l{time}")

        create_task(generate, None, 2, group)
        run(aio, group)
        assert calls == [1, 1, 2] and items(aio) == [(1, "l1"), (2, "l2")]

    @pytest.mark.parametrize("make, message", [
        (lambda m: {"label": "x"}, "Cannot convert dict to Tessary.Model.DataModel.ModelInstance"),
        (lambda m: 3, "Cannot convert int to Tessary.Model.DataModel.ModelInstance"),
    ])
    def test_bad_instances(self, aio, models, group, make, message):
        create_task(lambda time: make(models), models.Item, 1, group)
        with pytest.raises(TypeError) as info:
            run(aio, group)
        assert str(info.value) == message
        assert [name for name, _ in connector().events] == ["getCon", "releaseCon"]

    def test_the_executor_must_be_a_coroutine_executor(self, aio, models, group):
        class Synchronous(models.Item):
            tableName = "sd_item"

            @classmethod
            def getExecutor(cls, con=None):
                return ModelExecutor(cls, con)

        create_task(lambda time: Synchronous(label="x"), Synchronous, 1, group)
        with pytest.raises(TypeError,
                           match="^Cannot convert Tessary.Model.Carrack.ModelExecutor to "
                                 "Tessary.Model.Carrack.AsyncModelExecutor$"):
            run(aio, group)
        assert items(aio) == []
        assert [name for name, _ in connector().events] == ["getCon", "releaseCon"]


class TestPathChoice:
    def test_run_on_a_loop_not_running_completes_the_pass(self, aio, models, group):
        create_task(lambda time: models.Item(label="done"), models.Item, 2, group)
        assert GeneratorRunner(aio.loop).run_group(group) is None
        assert items(aio) == [(1, "done"), (2, "done")]

    def test_run_on_a_running_loop_schedules_the_pass(self, aio, models, group):
        create_task(lambda time: models.Item(label="later"), models.Item, 1, group)

        async def main():
            before = asyncio.all_tasks()
            assert GeneratorRunner(asyncio.get_running_loop()).run_group(group) is None
            assert items(aio) == []  # nothing ran yet
            await scheduled_pass(before)

        aio.loop.run_until_complete(asyncio.wait_for(main(), HANG_GUARD))
        assert items(aio) == [(1, "later")]

    def test_errors_of_a_scheduled_pass_stay_with_its_task(self, aio, models, group):
        def fail(time):
            raise LookupError("scheduled")

        create_task(fail, models.Item, 1, group)

        async def main():
            before = asyncio.all_tasks()
            GeneratorRunner(asyncio.get_running_loop()).run_group(group)
            with pytest.raises(LookupError) as info:
                await scheduled_pass(before)
            return info.value

        error = aio.loop.run_until_complete(asyncio.wait_for(main(), HANG_GUARD))
        assert isinstance(error, LookupError) and str(error) == "scheduled"

    def test_readiness_is_polled_before_the_first_task(self, aio, models, group):
        polls = []
        real = type(connector())

        class Late(real):
            @property
            def isReady(self):
                polls.append(len(self.events))
                return len(polls) > 2 and real.isReady.__get__(self)

        late = Late(**({"path": aio.params["path"]} if aio.name == "sqlite" else aio.params))
        create_task(lambda time: models.Item(label="ready"), models.Item, 1, group)
        try:
            with installed(late):
                run(aio, group)
        finally:
            aio.loop.run_until_complete(late.close())
        assert len(polls) >= 3 and set(polls) == {0}  # refused twice, 0.3 s apart, before the first getCon
        assert items(aio) == [(1, "ready")]


WHOLE_RUN = textwrap.dedent("""
    import asyncio, json, sys
    from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector
    from Tessary.DB.DB import DB
    from Tessary.Ext.Seeder import GeneratorRunner, create_task, data_task
    from seeder_support import declare_models

    name, params = sys.argv[1], json.loads(sys.argv[2])
    handle = DB.getInstance()
    handle.connector = (AioSqliteConnector(params["path"], maxsize=1) if name == "sqlite"
                        else AioMysqlConnector(**params, maxsize=1))
    m = declare_models()
    calls = []

    @data_task(m.User, 2, "people")
    def people(time):
        calls.append(("people", time))
        return m.User(name=f"p{time}", n=time)

    def learned(time):
        calls.append(("learned", time))
        return m.Item(label=f"l{time}")

    create_task(learned, count=2)
    create_task(lambda time: m.User(name="zero"), m.User, 0)

    loop = asyncio.new_event_loop()
    runner = GeneratorRunner(loop)
    assert runner.run() is None
    calls.append("arun")
    pending = runner.arun()
    # Registered after arun() was called but before its pass starts: it runs.
    create_task(lambda time: m.Item(label="late"), m.Item, 1)
    assert loop.run_until_complete(pending) is None
    loop.run_until_complete(handle.connector.close())
    print(json.dumps(calls))
""")


def test_whole_runs(aio):
    here = os.path.dirname(__file__)
    paths = [here, os.path.dirname(here), os.environ.get("PYTHONPATH", "")]  # the folder's and the shared helpers
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    done = subprocess.run([sys.executable, "-c", WHOLE_RUN, aio.name, json.dumps(aio.params)],
                          capture_output=True, text=True, env=env, cwd=here, timeout=HANG_GUARD)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [["people", 1], ["people", 2], ["learned", 1], ["learned", 1],
                                       ["learned", 2], "arun", ["people", 1], ["people", 2], ["learned", 1],
                                       ["learned", 2]]
    assert users(aio) == [(1, "p1", 1), (2, "p2", 2), (3, "p1", 1), (4, "p2", 2)]
    assert items(aio) == [(1, "l1"), (2, "l2"), (3, "l1"), (4, "l2"), (5, "late")]
