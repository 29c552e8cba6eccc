"""Native asyncio SQLite keeps the event loop free: a long statement leaves
the loop (the loop keeps turning), a cancelled one is interrupted and its
connection works afterwards, and concurrent writers of one database take
turns at its write gate instead of failing on SQLite's lock."""

import asyncio
import gc
import sqlite3
import time

import pytest

from Tessary.DB.Connector import AioSqliteConnector
from Tessary.DB.DB import DB

from handle_support import installed

HANDLE = DB.getInstance()
HANG_GUARD = 60

# One step that counts for a long time (no row before the end), and a
# statement whose time goes into many rows.
COUNTING = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %s) SELECT count(*) FROM c"
MANY_ROWS = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %s) SELECT x, 'row' FROM c"
ENDLESS = 10**12


class Store:
    """An AioSqliteConnector on the native driver installed on the handle,
    on a database file or in memory, and the test's own loop."""

    def __init__(self, path, **options):
        self.path = path
        self.connector = AioSqliteConnector(path, driver="native", **options)
        self.loop = asyncio.new_event_loop()

    def run(self, awaitable):
        return self.loop.run_until_complete(asyncio.wait_for(awaitable, HANG_GUARD))

    def close(self):
        self.loop.run_until_complete(self.connector.close())
        self.loop.close()


def installed_store(path, **options):
    """A store with an empty table t, installed on the handle meanwhile."""
    # synchronous=OFF: the writers' commits do not wait for the disk here.
    current = Store(path, pragmas={"synchronous": "off"}, **options)
    with installed(current.connector):
        try:
            current.run(HANDLE.executeSql("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT, w INTEGER)"))
            yield current
        finally:
            current.close()


@pytest.fixture(params=["file", "memory"])
def store(request, tmp_path):
    yield from installed_store(str(tmp_path / "offloop.db") if request.param == "file" else ":memory:")


@pytest.fixture
def file_store(tmp_path):
    yield from installed_store(str(tmp_path / "offloop.db"))


@pytest.fixture
def impatient_store(tmp_path):
    yield from installed_store(str(tmp_path / "offloop.db"), timeout=0.2)


async def largest_gap(work):
    """Runs `work` while a heartbeat sleeps 5 ms in a loop; the result of
    the work and the largest gap between two beats."""
    gaps = []
    stop = asyncio.Event()

    async def beat():
        last = time.perf_counter()
        while not stop.is_set():
            await asyncio.sleep(0.005)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    beating = asyncio.create_task(beat())
    await asyncio.sleep(0.02)
    try:
        result = await work
    finally:
        stop.set()
        await beating
    return result, max(gaps)


# --- the loop keeps turning ------------------------------------------------------------------

@pytest.mark.parametrize("sql, count, expected", [
    (COUNTING, 1_500_000, [(1_500_000,)]),
    (MANY_ROWS, 150_000, 150_000),
], ids=["one-long-step", "many-rows"])
def test_the_loop_keeps_turning_during_a_long_query(file_store, sql, count, expected):
    rows, gap = file_store.run(largest_gap(HANDLE.executeSql(sql, args=(count,))))
    assert (rows if isinstance(expected, list) else len(rows)) == expected
    if sql == MANY_ROWS:
        assert rows[-1] == (count, "row")
    # The documented figure is 20 ms; this bound leaves room for a loaded machine.
    assert gap < 0.2


def test_a_long_read_inside_a_transaction_block_leaves_the_loop(file_store):
    async def story():
        async with file_store.connector.transaction() as con:
            await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("in block",), con=con)
            rows, gap = await largest_gap(HANDLE.executeSql(COUNTING, args=(1_000_000,), con=con))
            seen = await HANDLE.executeSql("SELECT v FROM t", con=con)
        return rows, gap, seen
    rows, gap, seen = file_store.run(story())
    assert rows == [(1_000_000,)] and seen == [("in block",)]
    assert gap < 0.2
    assert file_store.run(HANDLE.executeSql("SELECT v FROM t")) == [("in block",)]


# --- cancellation -----------------------------------------------------------------------------

@pytest.mark.parametrize("sql", [COUNTING, MANY_ROWS], ids=["one-long-step", "many-rows"])
def test_wait_for_interrupts_a_long_query_and_the_connection_works_after(file_store, sql):
    async def story():
        con = await file_store.connector.getCon()
        try:
            started = time.perf_counter()
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(HANDLE.executeSql(sql, args=(ENDLESS,), con=con), 0.1)
            elapsed = time.perf_counter() - started
            after = await HANDLE.executeSql("SELECT 40 + 2", con=con)
            await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("after",), con=con)
            await con.commit()
        finally:
            await file_store.connector.releaseCon(con)
        return elapsed, after
    elapsed, after = file_store.run(story())
    assert elapsed < 1.0
    assert after == [(42,)]
    assert file_store.run(HANDLE.executeSql("SELECT v FROM t")) == [("after",)]


def test_a_coroutine_closed_mid_query_stops_it_and_leaves_the_connection_usable(file_store, caplog):
    async def story():
        con = await file_store.connector.getCon()
        try:
            pending = HANDLE.executeSql(COUNTING, args=(ENDLESS,), con=con)
            pending.send(None)  # now on the worker
            started = time.perf_counter()
            pending.close()
            closed_in = time.perf_counter() - started
            await asyncio.sleep(0.01)  # the worker's outcome arrives, for nobody
            return closed_in, await HANDLE.executeSql("SELECT 40 + 2", con=con)
        finally:
            await file_store.connector.releaseCon(con)
    closed_in, after = file_store.run(story())
    assert closed_in < 1.0 and after == [(42,)]
    gc.collect()
    assert "never retrieved" not in caplog.text


def test_task_cancel_inside_a_block_rolls_the_block_back(file_store):
    entered = asyncio.Event()

    async def block():
        async with file_store.connector.transaction() as con:
            await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("dropped",), con=con)
            entered.set()
            await HANDLE.executeSql(COUNTING, args=(ENDLESS,), con=con)

    async def story():
        task = asyncio.create_task(block())
        await entered.wait()
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # The gate and the connection are free again.
        await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("kept",))
        return await HANDLE.executeSql("SELECT v FROM t")
    assert file_store.run(story()) == [("kept",)]


def test_a_long_write_outside_a_transaction_is_interrupted_without_trace(file_store):
    fill = "INSERT INTO t (v, w) SELECT 'bulk', x FROM (" + MANY_ROWS.replace("x, 'row'", "x") + ")"

    async def story():
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(HANDLE.executeSql(fill, args=(ENDLESS,)), 0.1)
        return await HANDLE.executeSql("SELECT count(*) FROM t")
    assert file_store.run(story()) == [(0,)]


# --- the write gate -----------------------------------------------------------------------------

WRITERS = 10
ROWS = 20


def test_concurrent_writers_all_land_their_rows(store):
    async def writer(n):
        for i in range(ROWS // 2):
            await HANDLE.executeSql("INSERT INTO t (v, w) VALUES (%s, %s)", args=("single", n))
        async with store.connector.transaction() as con:
            for i in range(ROWS // 2):
                await HANDLE.executeSql("INSERT INTO t (v, w) VALUES (%s, %s)", args=("block", n), con=con)
                await asyncio.sleep(0)  # let the others try meanwhile
        rows = await HANDLE.executeSql("SELECT id FROM t WHERE w = %s", args=(n,))
        for (key,) in rows[: ROWS // 2]:
            await HANDLE.executeSql("UPDATE t SET v = %s WHERE id = %s", args=("updated", key))
        for (key,) in rows[ROWS // 2:]:
            await HANDLE.executeSql("DELETE FROM t WHERE id = %s", args=(key,))

    async def story():
        await asyncio.gather(*(writer(n) for n in range(WRITERS)))
        return await HANDLE.executeSql("SELECT w, v, count(*) FROM t GROUP BY w, v")
    assert sorted(store.run(story())) == [(n, "updated", ROWS // 2) for n in range(WRITERS)]


def test_a_writer_waits_for_a_transaction_block_to_end(file_store):
    order = []

    async def block(inside):
        async with file_store.connector.transaction() as con:
            await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("block",), con=con)
            inside.set()
            await asyncio.sleep(0.2)  # longer than a few of SQLite's busy polls
            order.append("block commits")

    async def writer(inside):
        await inside.wait()
        await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("writer",))
        order.append("writer wrote")

    async def story():
        inside = asyncio.Event()
        await asyncio.gather(block(inside), writer(inside))
        return await HANDLE.executeSql("SELECT v FROM t ORDER BY id")
    assert file_store.run(story()) == [("block",), ("writer",)]
    assert order == ["block commits", "writer wrote"]


def test_a_wait_at_the_gate_ends_with_the_busy_timeout(impatient_store):
    """A task whose block holds the gate and that writes through another
    connection of its own would wait for itself: after the busy timeout the
    write meets SQLite's lock and fails, as it did before there was a gate."""
    store = impatient_store

    async def story():
        async with store.connector.transaction() as con:
            await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("block",), con=con)
            other = await store.connector.getCon()
            try:
                started = time.perf_counter()
                with pytest.raises(sqlite3.OperationalError, match="locked"):
                    await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("other",), con=other)
                return time.perf_counter() - started
            finally:
                await store.connector.releaseCon(other)
    assert store.run(story()) < 5.0
    assert store.run(HANDLE.executeSql("SELECT v FROM t")) == [("block",)]


def test_a_writer_cancelled_in_line_leaves_it(file_store):
    async def story():
        inside = asyncio.Event()
        release = asyncio.Event()

        async def block():
            async with file_store.connector.transaction() as con:
                await HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("block",), con=con)
                inside.set()
                await release.wait()

        holder = asyncio.create_task(block())
        await inside.wait()
        waiting = asyncio.create_task(HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("gone",)))
        second = asyncio.create_task(HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=("second",)))
        await asyncio.sleep(0.02)
        waiting.cancel()
        release.set()
        await holder
        await second
        with pytest.raises(asyncio.CancelledError):
            await waiting
        return await HANDLE.executeSql("SELECT v FROM t ORDER BY id")
    assert file_store.run(story()) == [("block",), ("second",)]
