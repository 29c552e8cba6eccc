"""Lifetimes on the asyncio side: many awaited calls without memory growth,
coroutines dropped half-way that give their connection back, connection
leases of an abandoned transaction, and cycles through a coroutine."""

import asyncio
import contextlib
import gc
import sqlite3
import tracemalloc
import weakref

import pytest

from Tessary.DB.DB import DB
from Tessary.Model.Carrack import AsyncModelExecutor

from async_support import installed, make_backend

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

CALLS = 10_000
WARM_UP = 1_000
# Bytes the traced memory may grow over the measured calls: one leaked
# object per call would be several hundred kilobytes.
ALLOWED_GROWTH = 64 * 1024


@pytest.fixture
def one_user(backend, tables):
    backend.run(AsyncModelExecutor(tables.User).save(tables.User(name="ann")))
    return tables.User


def test_awaited_calls_do_not_grow_memory(backend, one_user):
    async def calls(n):
        for _ in range(n):
            found = await AsyncModelExecutor(one_user).findOneBy(one_user.id == 1)
            assert found["name"] == "ann"

    backend.run(calls(WARM_UP))
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        backend.run(calls(CALLS))
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < ALLOWED_GROWTH


@pytest.fixture
def single(backend, request, tmp_path, tables):
    """A second connector of the same database with a pool of one connection:
    a connection that is not given back makes the next getCon() wait for ever."""
    current = make_backend(backend.name, request, tmp_path / "single", maxsize=1)
    with installed(current.connector):
        try:
            if backend.name == "aiosqlite":  # a database file of its own
                current.create(tables.User, tables.Profile, tables.Post)
            yield current
        finally:
            current.close()


@contextlib.contextmanager
def suspending(backend):
    """Makes the next statement on the users' table suspend on the driver,
    whatever the driver: another connection holds a lock in its way. (The
    native SQLite engine runs a statement inline and suspends only to wait
    for such a lock; a native MariaDB statement on a fast socket may be
    answered before the first send returns.)"""
    if backend.name == "aiomysql":
        import pymysql
        blocker = pymysql.connect(**backend.params)
        lock = "LOCK TABLES as_user WRITE"
    else:
        blocker = sqlite3.connect(backend.params["path"], isolation_level=None)
        lock = "BEGIN EXCLUSIVE"
    try:
        blocker.cursor().execute(lock)
        yield
    finally:
        blocker.close()  # its lock goes with it


def test_a_suspended_coroutine_dropped_gives_its_connection_back(single, tables):
    async def story():
        await DB.getInstance().executeSql("SELECT 1")  # the pool is ready
        with suspending(single):
            pending = AsyncModelExecutor(tables.User).findOneBy(tables.User.id == 1)
            while not asyncio.isfuture(pending.send(None)):  # suspended on the driver
                pass
            pending.close()
        con = await asyncio.wait_for(single.connector.getCon(), 30)
        await single.connector.releaseCon(con)
        return "free"
    assert single.run(story()) == "free"


def test_an_abandoned_transaction_gives_its_connection_back(single):
    async def story():
        block = DB.getInstance().transaction()
        await block.__aenter__()
        del block
        gc.collect()
        con = await asyncio.wait_for(single.connector.getCon(), 30)
        await single.connector.releaseCon(con)
        return "free"
    assert single.run(story()) == "free"


def test_a_release_never_awaited_still_gives_back(single):
    async def story():
        con = await single.connector.getCon()
        single.connector.releaseCon(con).close()
        again = await asyncio.wait_for(single.connector.getCon(), 30)
        await single.connector.releaseCon(again)
        return "free"
    assert single.run(story()) == "free"


def test_cycle_through_a_suspended_coroutine_is_collected(backend, one_user):
    class Keeping(AsyncModelExecutor):
        pass

    async def story():
        ex = Keeping(one_user)
        found = await ex.findOneBy(one_user.id == 1)
        ex.pending = ex.findOneBy(one_user.id == 1)  # executor -> coroutine -> executor
        with suspending(backend):
            while not asyncio.isfuture(ex.pending.send(None)):
                pass
        return found, weakref.ref(ex)

    found, ref = backend.run(story())
    gc.collect()
    assert found["id"] == 1 and ref() is None
    assert backend.run(DB.getInstance().executeSql("SELECT 4")) in ([(4,)], ((4,),))


CLOSED_DURING_SETUP = """
import array, asyncio, gc, json, sys
from Tessary.DB.Connector import AioMysqlConnector
from Tessary.DB.DB import DB

async def main():
    connector = AioMysqlConnector(**json.loads(sys.argv[1]))
    DB.getInstance().connector = connector
    # The statement is refused once it has started the pool's setup, before
    # the pool is ready; close() comes before the setup ends.
    try:
        DB.getInstance().executeSql("SELECT %s", (memoryview(array.array("i", [1])),))
    except TypeError:
        pass
    await connector.close()
    await asyncio.sleep(0.5)

loop = asyncio.new_event_loop()
loop.run_until_complete(main())
loop.close()
gc.collect()
"""


def test_a_pool_set_up_after_close_is_closed_on_its_loop(mariadb_clean):
    """close() while the first statement is still setting the pool up: the
    pool made afterwards is closed and waited for on the loop that made it,
    not left to its connections' finalisers after that loop closed."""
    import json
    import subprocess
    import sys
    child = subprocess.run([sys.executable, "-X", "dev", "-c", CLOSED_DURING_SETUP, json.dumps(mariadb_clean)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert "Event loop is closed" not in child.stderr and "unclosed" not in child.stderr, child.stderr
