"""Fixtures of the everyday query and write tests: one small blog behind the
database handle on every connector (SQLite and MariaDB, synchronous and
asyncio), a raw driver connection of the test's own to check results
against, and the statements sent through the handle."""

import pytest

from Tessary.DB.DB import DB

from queries_support import declare_blog, fill, installed, make_backend


@pytest.fixture(scope="session")
def blog():
    return declare_blog()


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def backend(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture
def sync_backend(request, tmp_path):
    """The SQLite and MariaDB synchronous backends only, for statement-text checks
    that do not depend on the executor kind (parametrize `sync_backend` indirectly
    or use the default: SQLite)."""
    name = getattr(request, "param", "sqlite")
    current = make_backend(name, request, tmp_path)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture
def filled(backend, blog):
    """The blog's tables with rows (see queries_support.BLOG_ROWS)."""
    backend.create(*blog.tables)
    fill(backend)
    return blog


@pytest.fixture
def statements():
    """Every statement sent through the handle, as (operation, sql, args)
    triples: the handle's execute and executeSql are wrapped on the handle
    instance, which the executors look up by attribute."""
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
