"""Fixtures of the paging tests: the paged models, every backend behind the
database handle (synchronous and asynchronous, SQLite and MariaDB), and a
recorder of the statements sent through the handle."""

import pytest

from Tessary.DB.DB import DB

from folio_support import declare_models, installed, make_backend


@pytest.fixture(scope="session")
def models():
    return declare_models()


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def backend(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture
def statements():
    """Every statement sent through the handle, as (operation, sql, args)
    triples: the handle's execute and executeSql are wrapped on the handle
    instance, which the controller and the executors look up by attribute."""
    handle = DB.getInstance()
    seen = []
    run, run_sql = type(handle).execute, type(handle).executeSql

    def execute(executor, con=None):
        seen.append(("execute", *executor.sql.Build()))
        return run(handle, executor=executor, con=con)

    def execute_sql(text, args=(), con=None):
        seen.append(("executeSql", text, tuple(args)))
        return run_sql(handle, text, args=args, con=con)

    handle.execute = execute
    handle.executeSql = execute_sql
    try:
        yield seen
    finally:
        del handle.__dict__["execute"], handle.__dict__["executeSql"]


@pytest.fixture
def users(backend, models):
    """fo_user with 25 rows: ids 1..25, name "u01".."u25", age id % 5."""
    backend.create(models.User, models.Post, models.Profile)
    backend.insert("fo_user", ("name", "age"), [(f"u{i:02d}", i % 5) for i in range(1, 26)])
    return models.User
