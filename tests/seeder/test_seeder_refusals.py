"""Registrations that could never run are refused with TypeError: a generator
that is not callable, a model that is not a model class, through create_task
and through data_task. Nothing of them is registered, so whole runs of the
good tasks still work, on the synchronous and the asynchronous connectors.
Whole runs go to a subprocess, whose registry holds only its script's tasks."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Only a run that hangs reaches this; it is a guard, not a measurement.
HANG_GUARD = 120

WHOLE_RUN = textwrap.dedent("""
    import asyncio, json, sys
    from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
    from Tessary.DB.DB import DB
    from Tessary.Ext.Seeder import GeneratorRunner, create_task, data_task
    from seeder_support import declare_models

    name, params, mode = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
    handle = DB.getInstance()
    if mode == "sync":
        handle.connector = Sqlite3Connector(params["path"]) if name == "sqlite" else MysqlConnector(**params)
    else:
        handle.connector = (AioSqliteConnector(params["path"]) if name == "sqlite"
                            else AioMysqlConnector(**params))
    m = declare_models()

    def good(time):
        return m.User(name=f"good{time}", n=time)

    attempts = [
        lambda: create_task(5, m.User, 1),
        lambda: create_task(generator=None, model=m.User),
        lambda: create_task(good, 5, 1),
        lambda: create_task(good, dict, 1, "group"),
        lambda: data_task(5),
        lambda: data_task(good),  # the decorator written without its call
        lambda: data_task(m.User, 1)("not callable"),
    ]
    refused = []
    for attempt in attempts:
        try:
            attempt()
        except TypeError as error:
            refused.append(str(error))
    create_task(good, m.User, 2)

    loop = asyncio.new_event_loop()
    runner = GeneratorRunner(loop)
    runner.run()
    runner.run()
    if mode == "async":
        loop.run_until_complete(handle.connector.close())
    print(json.dumps(refused))
""")


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_refused_registrations_leave_runs_working(backend, tables, mode):
    here = os.path.dirname(__file__)
    paths = [here, os.path.dirname(here), os.environ.get("PYTHONPATH", "")]  # the folder's and the shared helpers
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    done = subprocess.run([sys.executable, "-c", WHOLE_RUN, backend.name, json.dumps(backend.params), mode],
                          capture_output=True, text=True, env=env, cwd=here, timeout=HANG_GUARD)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [
        "create_task() argument 'generator' must be callable, not int",
        "create_task() argument 'generator' must be callable, not NoneType",
        "create_task() argument 'model' must be a model class or None, not int",
        "create_task() argument 'model' must be a model class or None, not the class dict",
        "data_task() argument 'model' must be a model class or None, not int",
        "data_task() argument 'model' must be a model class or None, not function",
        "create_task() argument 'generator' must be callable, not str",
    ]
    assert backend.rows("SELECT name, n FROM sd_user ORDER BY id") == [("good1", 1), ("good2", 2)] * 2
