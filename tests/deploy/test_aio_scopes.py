"""`async with connector.scope()` lends the task one pooled connection: its
statements without a connection run there, each committed as it ends, its
transaction blocks use it, and what is left open is rolled back at the end.
The pool checks and replaces connections the server dropped (KILL), and
closes those idle past `idleTimeout`."""

import asyncio
import contextlib
import time

import pytest

from Tessary.DB.Connector import AioMysqlConnector, AioScope, AioSqliteConnector, connect

from handle_support import installed
from tasks_support import HANDLE, Failed, Note, aio_backend, committed, insert, seen  # noqa: F401 (fixture)


async def connection_id(con=None):
    """The MariaDB session a statement runs on, or None on SQLite."""
    if isinstance(HANDLE.connector, AioSqliteConnector):
        return None
    rows = await HANDLE.executeSql("SELECT CONNECTION_ID()", con=con)
    return rows[0][0]


def test_a_scope_runs_the_task_on_one_connection_committing_each_statement(aio_backend):
    async def story():
        async with aio_backend.connector.scope() as con:
            ids = {await connection_id(), await connection_id(con)}
            await Note.getExecutor().save(Note(body="executor"))
            await insert("sql")
            assert committed(aio_backend) == ["executor", "sql"]
            assert await seen() == await seen(con) == ["executor", "sql"]
            return ids, await connection_id()
    ids, last = aio_backend.run(story())
    assert len(ids) == 1 and last in ids


def test_a_scope_rolls_back_what_is_left_open(aio_backend):
    async def story():
        async with aio_backend.connector.scope() as con:
            await insert("left open", con)  # on the connection itself: not committed
        async with aio_backend.connector.scope() as con:
            abandoned = HANDLE.transaction()
            assert await abandoned.__aenter__() is con
            await insert("abandoned block")
        return await seen()
    assert aio_backend.run(story()) == []
    assert committed(aio_backend) == []


def test_transaction_blocks_inside_a_scope_use_its_connection(aio_backend):
    async def story():
        async with aio_backend.connector.scope() as con:
            with pytest.raises(Failed):
                async with HANDLE.transaction() as block:
                    assert block is con
                    await insert("rolled back")
                    raise Failed
            async with HANDLE.transaction() as block:
                assert block is con
                await insert("committed")
                async with HANDLE.transaction():  # a savepoint
                    await insert("nested")
            await insert("after")
            return await seen()
    assert aio_backend.run(story()) == ["committed", "nested", "after"]
    assert committed(aio_backend) == ["committed", "nested", "after"]


def test_scopes_of_concurrent_tasks_and_nested_scopes(aio_backend):
    async def one():
        async with aio_backend.connector.scope() as con:
            async with aio_backend.connector.scope() as inner:
                assert inner is con
            await asyncio.sleep(0)
            return await connection_id(), await connection_id(con), con

    async def story():
        return await asyncio.gather(one(), one())
    (a, a_con, first), (b, b_con, second) = aio_backend.run(story())
    assert first is not second
    assert a == a_con and b == b_con
    if a is not None:
        assert a != b


def test_hostile_use_of_a_scope(aio_backend):
    bare = AioScope.__new__(AioScope)
    with pytest.raises(RuntimeError, match="not initialised"):
        bare.__aenter__()
    with pytest.raises(TypeError):
        AioScope(object())
    scope = aio_backend.connector.scope()
    with pytest.raises(TypeError, match="async with"):
        scope.__enter__()
    with pytest.raises(RuntimeError, match="not been entered"):
        scope.__aexit__(None, None, None)
    assert scope.connection is None

    async def story():
        con = await scope.__aenter__()
        assert scope.connection is con
        with pytest.raises(RuntimeError, match="already been entered"):
            scope.__aenter__()
        with pytest.raises(RuntimeError, match="re-initialised"):
            scope.__init__(aio_backend.connector)
        await scope.__aexit__(None, None, None)
        abandoned = aio_backend.connector.scope()
        await abandoned.__aenter__()
        del abandoned  # its connection goes back to the pool
        return await seen()
    assert aio_backend.run(story()) == []


def test_liveness_keywords_are_checked():
    assert AioSqliteConnector().idleTimeout is None and AioSqliteConnector().prePing is True
    checked = AioSqliteConnector(idleTimeout=2, prePing=0.5)
    assert (checked.idleTimeout, checked.prePing) == (2.0, 0.5)
    for bad in ({"idleTimeout": 0}, {"idleTimeout": -1}, {"prePing": -1}, {"idleTimeout": float("nan")}):
        with pytest.raises(ValueError):
            AioSqliteConnector(**bad)
    for bad in ({"idleTimeout": "1"}, {"idleTimeout": True}, {"prePing": "yes"}):
        with pytest.raises(TypeError):
            AioSqliteConnector(**bad)
    with pytest.raises(TypeError):
        AioMysqlConnector("h", 1, "u", "", "d", 1, 2, None, "utf8mb4", None, 5)  # keywords only
    url = connect("mysql+asyncio://u@h/d?idleTimeout=30&prePing=0")
    assert (url.idleTimeout, url.prePing) == (30.0, 0.0)
    assert connect("sqlite+asyncio:///:memory:?prePing=false").prePing is False
    with pytest.raises(ValueError, match="prePing' must be true, false or a number of seconds"):
        connect("sqlite+asyncio:///:memory:?prePing=maybe")


def test_idle_connections_are_closed_after_the_idle_timeout(tmp_path):
    connector = AioSqliteConnector(str(tmp_path / "idle.db"), idleTimeout=0.05)
    loop = asyncio.new_event_loop()

    async def hold(held):
        async with connector.scope() as con:
            held.append(con)
            while len(held) < 2:
                await asyncio.sleep(0)

    async def story():
        held = []
        await asyncio.gather(hold(held), hold(held))
        assert [con.closed for con in held] == [False, False]
        await asyncio.sleep(0.3)
        closed = [con.closed for con in held]
        async with connector.scope() as again:
            return closed, again not in held
    try:
        with installed(connector):
            assert loop.run_until_complete(story()) == ([True, True], True)
    finally:
        loop.run_until_complete(connector.close())
        loop.close()


# --- MariaDB sessions killed by the server -------------------------------------------

@contextlib.contextmanager
def mysql_pool(params, **options):
    """A coroutine connector (maxsize 3, `options`) on the note table, installed on the handle,
    with a loop and a raw autocommit session to look at (and kill) its sessions from."""
    import pymysql
    raw = pymysql.connect(**params, autocommit=True)
    with raw.cursor() as cur:
        cur.execute("CREATE TABLE tk_note (id INT AUTO_INCREMENT PRIMARY KEY, body VARCHAR(32))")
    loop = asyncio.new_event_loop()
    connector = AioMysqlConnector(**params, maxsize=3, **options)
    try:
        with installed(connector):
            yield loop, connector, raw
    finally:
        loop.run_until_complete(connector.close())
        loop.close()
        raw.close()


@pytest.fixture(params=["native", "aiomysql"])
def killable(request, mariadb_clean):
    """A pool of each driver that checks every connection it takes."""
    with mysql_pool(mariadb_clean, driver=request.param, prePing=0) as made:
        yield made


def other_sessions(raw):
    with raw.cursor() as cur:
        cur.execute("SELECT COUNT(*) FROM information_schema.processlist WHERE db = DATABASE() "
                    "AND id <> CONNECTION_ID()")
        return cur.fetchone()[0]


@pytest.mark.parametrize("driver", ["native", "aiomysql"])
def test_sessions_idle_past_the_timeout_leave_the_server(mariadb_clean, driver):
    with mysql_pool(mariadb_clean, driver=driver, idleTimeout=0.1) as (loop, connector, raw):
        async def request():
            async with connector.scope():
                await insert("x")
                await asyncio.sleep(0.01)

        async def story():
            await asyncio.gather(request(), request(), request())
            opened = other_sessions(raw)
            deadline = time.monotonic() + 5
            while other_sessions(raw) and time.monotonic() < deadline:
                await asyncio.sleep(0.05)
            await request()  # a new connection, the pool unharmed
            return opened, other_sessions(raw)
        assert loop.run_until_complete(story()) == (3, 1)


def kill_sessions(raw):
    """Kills every other session of the database and waits until the server has dropped them."""
    with raw.cursor() as cur:
        cur.execute("SELECT id FROM information_schema.processlist WHERE db = DATABASE() AND id <> CONNECTION_ID()")
        ids = [i for (i,) in cur.fetchall()]
        for i in ids:
            cur.execute(f"KILL {int(i)}")
    deadline = time.monotonic() + 10
    while other_sessions(raw) and time.monotonic() < deadline:
        time.sleep(0.01)
    return len(ids)


def test_killed_idle_connections_are_replaced_without_a_failed_request(killable):
    loop, connector, raw = killable

    async def request(n):
        async with connector.scope():
            await insert(f"scope {n}")
        await insert(f"pool {n}")
        async with HANDLE.transaction():
            await insert(f"block {n}")

    async def story():
        killed = 0
        for n in range(6):
            await asyncio.gather(*(request(f"{n}.{i}") for i in range(3)))
            killed += kill_sessions(raw)
            # In the same turn of the loop: nothing has read the server's goodbye yet.
            await request(f"{n}.next")
        return killed

    assert loop.run_until_complete(story()) >= 6
    with raw.cursor() as cur:
        cur.execute("SELECT COUNT(*) FROM tk_note")
        assert cur.fetchone()[0] == 6 * 4 * 3


def test_a_kill_inside_a_block_reaches_the_caller_and_nothing_commits(killable):
    loop, connector, raw = killable

    async def story():
        async with HANDLE.transaction():
            await insert("lost")
            kill_sessions(raw)
            await insert("fails")

    with pytest.raises(Exception) as caught:
        loop.run_until_complete(story())
    assert not isinstance(caught.value, (AssertionError, RuntimeError))
    loop.run_until_complete(insert("next"))
    with raw.cursor() as cur:
        cur.execute("SELECT body FROM tk_note")
        assert cur.fetchall() == (("next",),)
