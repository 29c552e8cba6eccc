"""Synchronous seeding runs on SQLite and MariaDB, checked against the raw
tables. Whole runs (every registered task) go to a subprocess of their own,
whose registry holds only the tasks of its script."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from Tessary.Ext.Seeder import GeneratorRunner, create_task, data_task


def users(backend):
    return backend.rows("SELECT id, name, n FROM sd_user ORDER BY id")


def items(backend):
    return backend.rows("SELECT id, label FROM sd_item ORDER BY id")


class TestGroupRuns:
    def test_tasks_fill_the_tables_in_order(self, backend, tables, group):
        User, Item = tables.User, tables.Item

        @data_task(User, 3, group)
        def user(time):
            return User(name=f"user{time}", n=time * 10)

        create_task(lambda time: Item(label=f"item{time}"), Item, 2, group)
        create_task(lambda time: User(name="last", n=-time), User, 1, group)
        GeneratorRunner().run_group(group)
        assert users(backend) == [(1, "user1", 10), (2, "user2", 20), (3, "user3", 30), (4, "last", -1)]
        assert items(backend) == [(1, "item1"), (2, "item2")]

    def test_running_twice_saves_twice_and_learns_the_model_once(self, backend, tables, group):
        calls = []

        def generate(time):
            calls.append(time)
            return tables.Item(label=f"i{time}")

        create_task(generate, None, 2, group)
        runner = GeneratorRunner()
        runner.run_group(group)
        assert calls == [1, 1, 2]  # the first call only tells the model; that instance is dropped
        runner.run_group(group)
        assert calls == [1, 1, 2, 1, 2]
        assert items(backend) == [(1, "i1"), (2, "i2"), (3, "i1"), (4, "i2")]

    def test_count_zero_never_calls_the_generator(self, backend, tables, group):
        def generate(time):
            raise AssertionError("called")

        create_task(generate, tables.Item, 0, group)
        GeneratorRunner().run_group(group)
        assert items(backend) == []

    def test_a_bad_result_stops_the_run_before_that_task_saves(self, backend, tables, group):
        create_task(lambda time: tables.Item(label="kept"), tables.Item, 2, group)
        create_task(lambda time: {"label": "dict"}, tables.Item, 2, group)
        create_task(lambda time: tables.User(name="never"), tables.User, 1, group)
        with pytest.raises(TypeError) as info:
            GeneratorRunner().run_group(group)
        assert str(info.value) == "Cannot convert dict to Tessary.Model.DataModel.ModelInstance"
        assert items(backend) == [(1, "kept"), (2, "kept")]
        assert users(backend) == []

    def test_a_failing_generator_keeps_what_was_saved_before(self, backend, tables, group):
        def generate(time):
            if time == 3:
                raise LookupError(time)
            return tables.User(name=f"u{time}")

        create_task(generate, tables.User, 5, group)
        with pytest.raises(LookupError):
            GeneratorRunner().run_group(group)
        assert users(backend) == [(1, "u1", None), (2, "u2", None)]

    def test_the_executor_must_be_synchronous(self, tables, group):
        class Odd(tables.Item):
            @classmethod
            def getExecutor(cls, con=None):
                return "executor"

        create_task(lambda time: Odd(label="x"), Odd, 1, group)
        with pytest.raises(TypeError, match="^Cannot convert str to Tessary.Model.Carrack.ModelExecutor$"):
            GeneratorRunner().run_group(group)


WHOLE_RUN = textwrap.dedent("""
    import json, sys
    from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
    from Tessary.DB.DB import DB
    from Tessary.Ext.Seeder import GeneratorRunner, create_task, data_task
    from seeder_support import declare_models

    name, params = sys.argv[1], json.loads(sys.argv[2])
    handle = DB.getInstance()
    handle.connector = Sqlite3Connector(params["path"]) if name == "sqlite" else MysqlConnector(**params)
    m = declare_models()
    calls = []

    @data_task(m.User, 2, "people")
    def people(time):
        calls.append(("people", time))
        return m.User(name=f"p{time}", n=time)

    def learned(time):
        calls.append(("learned", time))
        if time == 2:  # registered during the pass: not run by it
            create_task(lambda time: m.Item(label="late"), m.Item, 1)
        return m.Item(label=f"l{time}")

    create_task(learned, count=2)
    for bad in (dict(count=None), dict(group=["unhashable"])):
        try:
            create_task(lambda time: m.Item(label="never"), m.Item, **bad)
        except TypeError:
            pass
    try:
        data_task(m.Item, None)(lambda time: m.Item(label="never"))
    except TypeError:
        pass
    create_task(lambda time: m.User(name="zero"), m.User, 0, "")
    create_task(lambda time: m.User(name=f"tail{time}", n=-time), m.User)

    runner = GeneratorRunner()
    assert runner.run() is None
    calls.append("second run")
    runner.run()
    print(json.dumps(calls))
""")


def test_whole_runs(backend, tables):
    """Every registered task, in registration order; failed registrations are
    not registered; a task added during a run waits for the next one."""
    here = os.path.dirname(__file__)
    paths = [here, os.path.dirname(here), os.environ.get("PYTHONPATH", "")]  # the folder's and the shared helpers
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    done = subprocess.run([sys.executable, "-c", WHOLE_RUN, backend.name, json.dumps(backend.params)],
                          capture_output=True, text=True, env=env, cwd=here)
    assert done.returncode == 0, done.stderr
    calls = json.loads(done.stdout)
    assert calls == [["people", 1], ["people", 2], ["learned", 1], ["learned", 1], ["learned", 2],
                     "second run", ["people", 1], ["people", 2], ["learned", 1], ["learned", 2]]
    assert users(backend) == [(1, "p1", 1), (2, "p2", 2), (3, "tail1", -1),
                              (4, "p1", 1), (5, "p2", 2), (6, "tail1", -1)]
    assert items(backend) == [(1, "l1"), (2, "l2"), (3, "l1"), (4, "l2"), (5, "late")]
