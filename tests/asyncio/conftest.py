"""Fixtures of the asyncio tests: every behaviour on a SQLite file through
AioSqliteConnector and on the throw-away MariaDB through AioMysqlConnector."""

import pytest

from Tessary.DB.DB import DB

from async_support import declare_models, installed, make_backend


@pytest.fixture(scope="session")
def models():
    return declare_models()


@pytest.fixture(params=["aiosqlite", "aiomysql"])
def backend(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture
def tables(backend, models):
    backend.create(models.User, models.Profile, models.Post, models.Tag, models.PostTag, models.Big)
    return models


@pytest.fixture
def statements():
    """Every statement the executors send through the handle, as (sql, args)
    pairs, recorded when the handle's execute is called."""
    handle = DB.getInstance()
    seen = []
    run = DB.execute

    def recording(executor, con=None):
        seen.append(executor.sql.Build())
        return run(handle, executor=executor, con=con)

    handle.execute = recording
    try:
        yield seen
    finally:
        del handle.__dict__["execute"]
