"""AioSqliteConnector on its two drivers: the native engine, whose steps run
inline on the loop's thread and wait for other connections' locks by
sleeping on the loop, and the sqlite3 module on worker threads. Where both
must behave alike the cases run on both."""

import asyncio
import sqlite3
import time

import pytest

from Tessary.DB.Connector import AioSqliteConnector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.Carrack import AsyncModelExecutor

from async_support import HANG_GUARD, declare_models, installed

HANDLE = DB.getInstance()
DRIVERS = ["native", "sqlite3"]
BUSY_TIMEOUT = 5.0  # the connector's, on both drivers


class Store:
    """A database file, an AioSqliteConnector on it installed on the handle,
    and the test's own loop."""

    def __init__(self, path, driver, **options):
        self.path = str(path)
        self.connector = AioSqliteConnector(self.path, driver=driver, **options)
        self.loop = asyncio.new_event_loop()

    def run(self, awaitable):
        return self.loop.run_until_complete(asyncio.wait_for(awaitable, HANG_GUARD))

    def holder(self):
        """A synchronous connection on the same file that takes its locks by hand."""
        return sqlite3.connect(self.path, isolation_level=None, timeout=0)

    def rows(self, sql):
        raw = sqlite3.connect(self.path)
        try:
            return raw.execute(sql).fetchall()
        finally:
            raw.close()

    def close(self):
        self.loop.run_until_complete(self.connector.close())
        self.loop.close()


@pytest.fixture(params=DRIVERS)
def store(request, tmp_path):
    current = Store(tmp_path / "engine.db", request.param)
    with installed(current.connector):
        try:
            current.run(HANDLE.executeSql("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)"))
            yield current
        finally:
            current.close()


@pytest.fixture
def native(tmp_path):
    current = Store(tmp_path / "native.db", "native")
    with installed(current.connector):
        try:
            current.run(HANDLE.executeSql("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)"))
            yield current
        finally:
            current.close()


def insert(value, con=None):
    return HANDLE.executeSql("INSERT INTO t (v) VALUES (%s)", args=(value,), con=con)


async def ticking(ticks):
    """Counts the loop's turns while a statement waits."""
    while True:
        await asyncio.sleep(0.01)
        ticks.append(time.monotonic())


# --- the driver option ----------------------------------------------------------------

@pytest.mark.parametrize("given, expected", [(None, "native"), ("native", "native"), ("sqlite3", "sqlite3")])
def test_driver_option(given, expected, monkeypatch):
    monkeypatch.delenv("TESSARY_DRIVER", raising=False)
    connector = AioSqliteConnector(driver=given) if given else AioSqliteConnector()
    assert connector.driver == expected
    with pytest.raises(AttributeError):
        connector.driver = "sqlite3"


def test_module_path_from_the_environment(monkeypatch):
    monkeypatch.setenv("TESSARY_DRIVER", "module")
    assert AioSqliteConnector().driver == "sqlite3"
    assert AioSqliteConnector(driver="native").driver == "native"


@pytest.mark.parametrize("call, error, text", [
    (lambda: AioSqliteConnector(driver="aiosqlite"), ValueError, "driver must be"),
    (lambda: AioSqliteConnector(driver=3), TypeError, "driver must be a str"),
    (lambda: AioSqliteConnector(":memory:", 5, "native"), TypeError, "positional"),
])
def test_driver_option_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_connections_keep_their_driver_when_the_connector_is_reinitialised(tmp_path):
    path = str(tmp_path / "reinit.db")
    connector = AioSqliteConnector(path, driver="native")

    async def story():
        with installed(connector):
            await HANDLE.executeSql("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)")
            con = await connector.getCon()
            connector.__init__(path, driver="sqlite3")
            other = await connector.getCon()
            await insert("kept", con)
            await con.commit()
            await connector.releaseCon(con)
            await connector.releaseCon(other)
            drivers = con.driver, other.driver, connector.driver
            await connector.close()
            return drivers
    assert asyncio.run(story()) == ("native", "sqlite3", "sqlite3")
    assert sqlite3.connect(path).execute("SELECT v FROM t").fetchall() == [("kept",)]


# --- where a statement runs ---------------------------------------------------------------

def test_a_native_statement_runs_inline_when_first_sent(native):
    async def story():
        pending = HANDLE.executeSql("SELECT 41 + 1")
        with pytest.raises(StopIteration) as done:
            pending.send(None)  # no suspension: the result comes with the first send
        return done.value.value
    assert [tuple(r) for r in native.run(story())] == [(42,)]


def test_a_module_statement_waits_for_its_worker(tmp_path):
    store = Store(tmp_path / "module.db", "sqlite3")
    with installed(store.connector):
        async def story():
            await HANDLE.executeSql("SELECT 1")
            pending = HANDLE.executeSql("SELECT 2")
            first = pending.send(None)  # the worker's future
            pending.close()
            return asyncio.isfuture(first)
        try:
            assert store.run(story()) is True
        finally:
            store.close()


def test_nothing_runs_before_it_is_awaited(store):
    async def story():
        con = await store.connector.getCon()
        never = insert("never", con)
        never.close()
        await con.commit()  # would keep the insert had it run
        await store.connector.releaseCon(con)
    store.run(story())
    assert store.rows("SELECT v FROM t") == []


def test_a_native_close_happens_when_awaited(native):
    async def story():
        con = await native.connector.getCon()
        closing = con.close()
        open_before = not con.closed
        await closing
        with pytest.raises(RuntimeError, match="closed"):
            await native.connector.releaseCon(con)  # its rollback cannot run; the pool goes on
        return open_before, con.closed
    assert native.run(story()) == (True, True)


# --- other connections' locks -------------------------------------------------------------

def test_a_locked_database_is_waited_for_while_the_loop_runs(store):
    holder = store.holder()
    holder.execute("BEGIN IMMEDIATE")
    holder.execute("INSERT INTO t (v) VALUES ('first')")  # its commit needs the exclusive lock

    async def story():
        ticks = []
        ticker = asyncio.ensure_future(ticking(ticks))
        asyncio.get_running_loop().call_later(0.2, holder.commit)
        started = time.monotonic()
        await insert("second")
        waited = time.monotonic() - started
        ticker.cancel()
        return waited, [t for t in ticks if t - started < waited]
    try:
        waited, ticks_meanwhile = store.run(story())
    finally:
        holder.close()
    assert waited >= 0.2
    assert len(ticks_meanwhile) >= 5  # another task advanced meanwhile
    assert store.rows("SELECT v FROM t ORDER BY id") == [("first",), ("second",)]


# Each case waits the whole busy timeout: the steps of the native path's own
# retries, and one of the module path's, where SQLite waits.
@pytest.mark.parametrize("driver, step", [("native", "pooled"), ("native", "commit"), ("native", "stream"),
                                          ("sqlite3", "pooled")])
def test_a_lock_held_past_the_busy_timeout_fails(tmp_path, driver, step):
    store = Store(tmp_path / "timeout.db", driver)
    holder = store.holder()

    async def story():
        await HANDLE.executeSql("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)")
        con = await store.connector.getCon()
        if step == "commit":
            await insert("mine", con)
            holder.execute("BEGIN")
            holder.execute("SELECT * FROM t").fetchall()  # a reader in the way of the commit
        else:
            holder.execute("BEGIN EXCLUSIVE")
        started = time.monotonic()
        try:
            with pytest.raises(sqlite3.OperationalError, match="locked"):
                if step == "pooled":
                    await insert("late")
                elif step == "lent":
                    await insert("late", con)
                elif step == "commit":
                    await con.commit()
                else:
                    await con._openCursor("SELECT * FROM t")
            return time.monotonic() - started
        finally:
            holder.rollback()
            await store.connector.releaseCon(con)
    with installed(store.connector):
        try:
            waited = store.run(story())
            assert [tuple(r) for r in store.run(HANDLE.executeSql("SELECT count(*) FROM t"))] == [(0,)]
        finally:
            holder.close()
            store.close()
    assert waited >= BUSY_TIMEOUT - 0.5
    assert store.rows("SELECT v FROM t") == []


def test_a_lock_waiting_cannot_get_past_fails_at_once(store):
    """Two transactions that have both read: the second to write would wait
    for the first, which waits for it. SQLite refuses that write at once on
    both drivers, instead of waiting out the busy timeout."""
    async def story():
        reader = await store.connector.getCon()
        writer = await store.connector.getCon()
        await reader.begin()
        await HANDLE.executeSql("SELECT * FROM t", con=reader)  # holds the shared lock
        await insert("writer's", writer)  # holds the reserved lock
        started = time.monotonic()
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            await insert("reader's", reader)
        waited = time.monotonic() - started
        await store.connector.releaseCon(reader)
        await writer.commit()
        await store.connector.releaseCon(writer)
        return waited
    assert store.run(story()) < BUSY_TIMEOUT / 2
    assert store.rows("SELECT v FROM t") == [("writer's",)]


def test_cancelled_while_waiting_for_a_lock_leaves_the_connection_usable(native):
    holder = native.holder()

    async def story():
        con = await native.connector.getCon()
        holder.execute("BEGIN EXCLUSIVE")
        waiting = asyncio.ensure_future(insert("cancelled", con))
        await asyncio.sleep(0.05)
        assert not waiting.done()  # sleeping between tries
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        holder.rollback()
        await insert("after", con)
        await con.commit()
        await native.connector.releaseCon(con)
        return con.closed
    try:
        assert native.run(story()) is False
    finally:
        holder.close()
    assert native.rows("SELECT v FROM t") == [("after",)]


def test_a_shared_memory_table_lock_is_waited_for():
    """On ":memory:" the connections share one cache, whose table locks
    SQLite never waits for: the native path tries again until it is free."""
    connector = AioSqliteConnector(":memory:", driver="native")

    async def story():
        with installed(connector):
            await HANDLE.executeSql("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)")
            con = await connector.getCon()
            await insert("uncommitted", con)  # the table's write lock, until commit
            asyncio.get_running_loop().call_later(0.1, asyncio.ensure_future, con.commit())
            await insert("pooled")
            await connector.releaseCon(con)
            rows = await HANDLE.executeSql("SELECT v FROM t ORDER BY id")
            await connector.close()
            return [tuple(r) for r in rows]
    assert asyncio.run(story()) == [("uncommitted",), ("pooled",)]


# --- transactions ------------------------------------------------------------------------

def test_a_lent_connection_commits_only_when_told(store):
    async def story():
        con = await store.connector.getCon()
        await HANDLE.executeSql("CREATE TABLE other (id INTEGER)", con=con)  # no transaction for DDL
        await insert("pending", con)
        seen_before = store.rows("SELECT v FROM t")
        await con.commit()
        seen_after = store.rows("SELECT v FROM t")
        await store.connector.releaseCon(con)
        return seen_before, seen_after
    assert store.run(story()) == ([], [("pending",)])
    assert store.rows("SELECT name FROM sqlite_master WHERE name = 'other'") == [("other",)]


@pytest.mark.parametrize("inner_fails", [False, True])
def test_transaction_blocks_and_savepoints(store, inner_fails):
    async def story():
        async with HANDLE.transaction() as con:
            await insert("outer", con)
            try:
                async with HANDLE.transaction() as inner:
                    assert inner is con
                    await insert("inner", inner)
                    if inner_fails:
                        raise LookupError
            except LookupError:
                pass
            assert store.rows("SELECT v FROM t") == []  # nothing committed inside the block
        with pytest.raises(KeyError):
            async with HANDLE.transaction() as con:
                await insert("dropped", con)
                raise KeyError
    store.run(story())
    expected = [("outer",)] if inner_fails else [("outer",), ("inner",)]
    assert store.rows("SELECT v FROM t ORDER BY id") == expected


def test_a_failed_pooled_statement_leaves_no_transaction(store):
    async def story():
        with pytest.raises(sqlite3.IntegrityError):
            await HANDLE.executeSql("INSERT INTO t (id, v) VALUES (1, 'a'), (1, 'b')")
        await insert("next")
    store.run(story())
    assert store.rows("SELECT v FROM t") == [("next",)]


# --- streams ---------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.mark.parametrize("batch", [1, 3, 1000])
def test_streams_read_in_batches_between_other_statements(store, models, batch):
    User = models.User

    async def story():
        await HANDLE.executeSql(TableGenerator(User).Build()[0])
        for i in range(7):
            await AsyncModelExecutor(User).save(User(name=f"u{i}"))
        names = []
        async for user in AsyncModelExecutor(User).iterAllBy(batchSize=batch):
            names.append(user["name"])
            # Another statement between the batches, on another connection; a
            # read: a write's commit would wait for the stream's read lock.
            assert (await HANDLE.executeSql("SELECT count(*) FROM as_user"))[0][0] == 7
        return names
    assert store.run(story()) == [f"u{i}" for i in range(7)]


# --- closed connections and hostile use ------------------------------------------------------------

@pytest.mark.parametrize("use", [
    lambda con: insert("x", con),
    lambda con: con.commit(),
    lambda con: con.begin(),
    lambda con: con._openCursor("SELECT 1"),
])
def test_a_closed_connection_refuses_its_steps(store, use):
    async def story():
        con = await store.connector.getCon()
        await con.close()
        await con.close()  # twice is fine
        with pytest.raises(RuntimeError, match="closed"):
            await use(con)
        con._closeCursor(None)  # its cursors went with it
        with pytest.raises(RuntimeError, match="closed"):
            await store.connector.releaseCon(con)  # its rollback cannot run; the pool goes on
        return con.closed
    assert store.run(story()) is True
    assert [tuple(r) for r in store.run(HANDLE.executeSql("SELECT 5"))] == [(5,)]


def test_a_stream_cursor_of_the_native_engine(native):
    async def story():
        for v in "abc":
            await insert(v)
        con = await native.connector.getCon()
        cursor = await con._openCursor("SELECT v FROM t WHERE v > %s ORDER BY id", ("a",))
        first = await con._fetch(cursor, 1)
        await HANDLE.executeSql("SELECT 1", con=con)  # another statement on the same connection meanwhile
        rest = await con._fetch(cursor, 10)
        end = await con._fetch(cursor, 10)
        con._closeCursor(cursor)
        with pytest.raises(ValueError):
            con._fetch(cursor, 0)
        await native.connector.releaseCon(con)
        return [tuple(r) for r in first], [tuple(r) for r in rest], list(end)
    assert native.run(story()) == ([("b",)], [("c",)], [])
