"""No reference leaks in fetches: repeated many times, on their success and
error paths, they leave the number of allocated blocks flat."""

import asyncio
import gc
import sys

import pytest

from Tessary.DB.Connector import AioSqliteConnector, Sqlite3Connector
from Tessary.DB.Generator import TableGenerator
from Tessary.Ext.Folio import Folio, Page

from folio_support import installed

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
def memory_users(models):
    with installed(Sqlite3Connector()) as handle:
        handle.executeSql("CREATE TABLE fo_user (id INTEGER PRIMARY KEY, name TEXT, age INT)")
        handle.executeSql("CREATE TABLE fo_post (id INTEGER PRIMARY KEY, user_id INT, title TEXT)")
        handle.executeSql("CREATE TABLE fo_profile (id INTEGER PRIMARY KEY, user_id INT, bio TEXT)")
        for i in range(1, 8):
            handle.executeSql("INSERT INTO fo_user (name, age) VALUES (%s, %s)", (f"u{i}", i % 3))
            handle.executeSql("INSERT INTO fo_post (user_id, title) VALUES (%s, %s)", (i, f"t{i}"))
        yield models.User
        handle.connector.close()


def failing(error, call):
    def run(model):
        try:
            call(model)
        except error:
            pass
    return run


@pytest.mark.parametrize("operation", [
    lambda U: Folio(U, 2, 3).filter(U.age >= 1).orderBy("fo_user.id").execute(),
    lambda U: Folio(U, 1, 5, True).execute(),
    lambda U: Folio(U, 9).execute(),
    lambda U: Page(1, 2, [1], 3),
    failing(AssertionError, lambda U: Folio(U, 0)),
    failing(TypeError, lambda U: Folio(U).filter(3)),
    failing(TypeError, lambda U: Page(1, 2, ())),
    failing(Exception, lambda U: Folio(U).filter(U.id == 1).filter(None)),
    failing(Exception, lambda U: Folio(U).filter().orderBy("nope").execute()),
], ids=["filtered-page", "deep-page", "beyond-last", "page", "assertion", "filter-type", "content-type",
        "second-filter", "driver-error"])
def test_no_growth(memory_users, operation):
    assert growth(lambda: operation(memory_users)) < ALLOWED


@pytest.mark.parametrize("operation", [
    lambda U: Folio(U, 2, 3).filter(U.age >= 1).orderBy("fo_user.id").execute(),
    lambda U: Folio(U, 1, 5, True).execute(),
    lambda U: Folio(U, 9).execute(),
], ids=["filtered-page", "deep-page", "beyond-last"])
def test_no_growth_on_the_coroutine_path(tmp_path, models, operation):
    path = str(tmp_path / "leaks.db")
    with installed(Sqlite3Connector(path)) as handle:
        for model in (models.User, models.Post, models.Profile):
            handle.executeSql(TableGenerator(model).Build()[0])
        for i in range(1, 8):
            handle.executeSql("INSERT INTO fo_user (name, age) VALUES (%s, %s)", (f"u{i}", i % 3))
            handle.executeSql("INSERT INTO fo_post (user_id, title) VALUES (%s, %s)", (i, f"t{i}"))
        handle.connector.close()

    async def repeated():
        for _ in range(WARMUP):
            await operation(models.User)
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(ROUNDS):
            await operation(models.User)
        gc.collect()
        return sys.getallocatedblocks() - before

    connector = AioSqliteConnector(path)
    with installed(connector):
        loop = asyncio.new_event_loop()
        try:
            assert loop.run_until_complete(repeated()) < ALLOWED
        finally:
            loop.run_until_complete(connector.close())
            loop.close()
