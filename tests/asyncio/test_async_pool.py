"""The pool of the coroutine connectors, on every driver of both: the
native SQLite engine and the sqlite3 module, MariaDB Connector/C driven by
the loop and aiomysql. A waiter cancelled in line, a connection given back
with work left, the commit or rollback of a statement run on a pooled
connection, and close()."""

import asyncio
import contextlib
import sqlite3

import pytest

from Tessary.DB.DB import DB

from async_support import installed, make_backend

HANDLE = DB.getInstance()

DRIVERS = [("aiosqlite", "native"), ("aiosqlite", "sqlite3"), ("aiomysql", "native"), ("aiomysql", "aiomysql")]


@pytest.fixture(params=DRIVERS, ids=["-".join(d) for d in DRIVERS])
def single(request, tmp_path):
    """A connector on `driver` with a pool of one connection, installed."""
    name, driver = request.param
    current = make_backend(name, request, tmp_path, maxsize=1, driver=driver)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


def rows(result):
    return [tuple(r) for r in result]


@contextlib.contextmanager
def raw_writer(backend):
    """A connection of the backend's database outside the pool, that gives
    up at once (SQLite) or after a second (MariaDB) when a lock is in its way."""
    if backend.name == "aiosqlite":
        con = sqlite3.connect(backend.params["path"], timeout=0, isolation_level=None)
    else:
        import pymysql
        con = pymysql.connect(**backend.params)
        con.cursor().execute("SET SESSION innodb_lock_wait_timeout = 1")
    try:
        yield con
    finally:
        con.close()


def test_a_cancelled_waiter_leaves_its_place(single):
    async def story():
        held = await single.connector.getCon()
        waiting = asyncio.ensure_future(single.connector.getCon())
        await asyncio.sleep(0.05)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        await single.connector.releaseCon(held)
        again = await asyncio.wait_for(single.connector.getCon(), 10)
        await single.connector.releaseCon(again)
        return rows(await HANDLE.executeSql("SELECT 1"))
    assert single.run(story()) == [(1,)]


def test_a_waiter_cancelled_after_it_was_handed_a_connection_gives_it_back(single):
    async def story():
        held = await single.connector.getCon()
        waiting = asyncio.ensure_future(single.connector.getCon())
        await asyncio.sleep(0.05)
        await single.connector.releaseCon(held)  # handed to the waiter, which has not run yet
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        again = await asyncio.wait_for(single.connector.getCon(), 10)
        await single.connector.releaseCon(again)
        return "free"
    assert single.run(story()) == "free"


def test_waiters_are_served_in_their_order(single):
    order = []

    async def user(name):
        con = await single.connector.getCon()
        order.append(name)
        await asyncio.sleep(0)
        await single.connector.releaseCon(con)

    async def story():
        held = await single.connector.getCon()
        users = [asyncio.ensure_future(user(n)) for n in "abc"]
        await asyncio.sleep(0.05)
        await single.connector.releaseCon(held)
        await asyncio.gather(*users)
    single.run(story())
    assert order == list("abc")


def test_a_connection_given_back_with_work_left_is_rolled_back(single):
    async def story():
        await HANDLE.executeSql("CREATE TABLE t_left (k INT)")
        con = await single.connector.getCon()
        await HANDLE.executeSql("INSERT INTO t_left VALUES (1)", con=con)
        single.connector.releaseCon(con).close()  # a cleanup path: given back without its rollback
        await HANDLE.executeSql("INSERT INTO t_left VALUES (2)")  # the next user commits its own work only
        return rows(await HANDLE.executeSql("SELECT k FROM t_left"))
    assert single.run(story()) == [(2,)]
    assert single.rows("SELECT k FROM t_left") == [(2,)]


def test_release_rolls_back_and_refuses_a_second_release(single):
    async def story():
        await HANDLE.executeSql("CREATE TABLE t_rel (k INT)")
        con = await single.connector.getCon()
        await HANDLE.executeSql("INSERT INTO t_rel VALUES (1)", con=con)
        releasing = single.connector.releaseCon(con)
        with pytest.raises(ValueError):
            single.connector.releaseCon(con)
        await releasing
        return rows(await HANDLE.executeSql("SELECT k FROM t_rel"))
    assert single.run(story()) == []


def test_a_pooled_statement_is_committed_and_a_failed_one_rolled_back(single):
    async def story():
        await HANDLE.executeSql("CREATE TABLE t_pool (k INT PRIMARY KEY)")
        await HANDLE.executeSql("INSERT INTO t_pool VALUES (1)")
        with pytest.raises(Exception) as failed:
            await HANDLE.executeSql("INSERT INTO t_pool VALUES (1)")
        return type(failed.value).__name__
    assert "Error" in single.run(story())
    assert single.rows("SELECT k FROM t_pool") == [(1,)]  # committed
    # Nothing of the failed statement holds a lock: another connection writes the same row at once.
    with raw_writer(single) as other:
        other.cursor().execute("DELETE FROM t_pool WHERE k = 1")
        other.commit()


def test_close_fails_the_waiters_and_closes_lent_connections_when_they_come_back(single):
    async def story():
        held = await single.connector.getCon()
        waiting = asyncio.ensure_future(single.connector.getCon())
        await asyncio.sleep(0.05)
        await single.connector.close()
        with pytest.raises(RuntimeError, match="closed"):
            await waiting
        await single.connector.releaseCon(held)
        fresh = await asyncio.wait_for(single.connector.getCon(), 10)
        await single.connector.releaseCon(fresh)
        return held.closed, fresh is held
    closed, same = single.run(story())
    assert same is False
    assert closed is True
