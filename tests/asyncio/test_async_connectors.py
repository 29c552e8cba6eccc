"""The asynchronous connectors: attributes, the setup that makes them ready
by itself on a running loop, statements through the handle, pooled
connections (not committed until told, rolled back when given back), the
async transaction block, the pool limit, cancellation of a statement in
flight, and use from one loop after another."""

import asyncio

import pytest

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnection, AioSqliteConnector, AioTransaction
from Tessary.DB.DB import DB
from Tessary.Model.ModelProperty import BigIntegerProperty, IntegerProperty

from async_support import installed, make_backend

HANDLE = DB.getInstance()


class TestAttributes:
    @pytest.mark.parametrize("make, con_type, paramstyle", [
        (lambda: AioSqliteConnector(), 1, "qmark"),
        (lambda: AioMysqlConnector(user="nobody", database="none"), 0, "format"),
    ])
    def test_outside_a_loop(self, make, con_type, paramstyle):
        connector = make()
        assert (connector.isAsync, connector.isReady, connector.con_type, connector.paramstyle) == (
            True, False, con_type, paramstyle)

    def test_auto_increment_texts(self):
        assert AioSqliteConnector().autoFiledAnnounce(IntegerProperty()) == "INTEGER"
        mysql = AioMysqlConnector()
        assert mysql.autoFiledAnnounce(BigIntegerProperty()) == "BIGINT NOT NULL AUTO_INCREMENT"
        assert (mysql.host, mysql.port, mysql.minsize, mysql.maxsize, mysql.charset) == (
            "127.0.0.1", 3306, 1, 10, "utf8mb4")

    @pytest.mark.parametrize("make, message", [
        (lambda: AioSqliteConnector(maxsize=0), "maxsize must be at least 1, not 0"),
        (lambda: AioMysqlConnector(minsize=3, maxsize=2),
         "need 0 <= minsize <= maxsize and maxsize >= 1 (got 3, 2)"),
    ])
    def test_pool_bounds(self, make, message):
        with pytest.raises(ValueError) as err:
            make()
        assert str(err.value) == message

    def test_plain_with_is_refused(self):
        with pytest.raises(TypeError) as err:
            with AioSqliteConnector().transaction():
                pass
        assert str(err.value) == ("Tessary.DB.Connector.AioSqliteConnector: "
                                  "use 'async with' with an asynchronous connector")


class TestReadiness:
    def test_turns_ready_by_itself_after_a_touch(self, backend):
        async def poll():
            seen = [backend.connector.isReady]
            while not backend.connector.isReady:
                await asyncio.sleep(0.01)
            return seen
        assert backend.run(poll()) == [False]

    def test_setup_starts_at_construction_inside_a_loop(self, backend, request, tmp_path):
        async def construct():
            before = asyncio.all_tasks()
            made = make_backend(backend.name, request, tmp_path / "inner").connector
            started = asyncio.all_tasks() - before
            await asyncio.gather(*started)
            ready = made.isReady
            await made.close()
            return len(started), ready
        assert backend.run(construct()) == (1, True)

    def test_get_con_waits_for_the_setup(self, backend):
        async def first_use():
            con = await backend.connector.getCon()
            await backend.connector.releaseCon(con)
            return backend.connector.isReady
        assert backend.run(first_use()) is True


class TestStatements:
    def test_execute_sql_round_trip(self, backend):
        async def story():
            await HANDLE.executeSql("CREATE TABLE t_rt (id INTEGER PRIMARY KEY, name VARCHAR(20))")
            pending = HANDLE.executeSql("INSERT INTO t_rt (id, name) VALUES (%s, %s)", args=(1, "50%"))
            assert asyncio.iscoroutine(pending)
            await pending
            await HANDLE.executeSql("INSERT INTO t_rt (id, name) VALUES (2, '%s')")
            return [tuple(r) for r in await HANDLE.executeSql("SELECT id, name FROM t_rt ORDER BY id")]
        assert backend.run(story()) == [(1, "50%"), (2, "%s")]
        assert backend.rows("SELECT id, name FROM t_rt ORDER BY id") == [(1, "50%"), (2, "%s")]

    def test_a_failing_statement_raises_and_the_pool_goes_on(self, backend):
        async def story():
            with pytest.raises(Exception) as err:
                await HANDLE.executeSql("SELEC 1")
            rows = await HANDLE.executeSql("SELECT 1")
            return type(err.value).__name__, [tuple(r) for r in rows]
        assert backend.run(story()) == ("OperationalError" if backend.name == "aiosqlite" else "ProgrammingError",
                                        [(1,)])

    def test_nothing_runs_before_it_is_awaited(self, backend):
        async def story():
            await HANDLE.executeSql("CREATE TABLE t_lazy (id INTEGER)")
            HANDLE.executeSql("INSERT INTO t_lazy VALUES (1)").close()
            return [tuple(r) for r in await HANDLE.executeSql("SELECT * FROM t_lazy")]
        assert backend.run(story()) == []


class TestPooledConnections:
    @pytest.fixture
    def table(self, backend):
        backend.run(HANDLE.executeSql("CREATE TABLE t_pool (id INTEGER)"))
        return backend

    def insert_on_con(self, value, con):
        return HANDLE.executeSql("INSERT INTO t_pool VALUES (%s)", args=(value,), con=con)

    def test_given_back_uncommitted_is_rolled_back(self, table):
        async def story():
            con = await table.connector.getCon()
            await self.insert_on_con(1, con)
            await table.connector.releaseCon(con)
            con = await table.connector.getCon()
            await self.insert_on_con(2, con)
            await con.commit()
            await table.connector.releaseCon(con)
        table.run(story())
        assert table.rows("SELECT * FROM t_pool") == [(2,)]

    def test_release_checks(self, table):
        async def story():
            con = await table.connector.getCon()
            await table.connector.releaseCon(con)
            with pytest.raises(ValueError):
                table.connector.releaseCon(con)
        table.run(story())

    def test_transaction_block(self, table):
        async def story():
            async with HANDLE.transaction() as con:
                await self.insert_on_con(1, con)
            with pytest.raises(LookupError):
                async with HANDLE.transaction() as con:
                    await self.insert_on_con(2, con)
                    raise LookupError
            return type(HANDLE.transaction()) is AioTransaction
        assert table.run(story()) is True
        assert table.rows("SELECT * FROM t_pool") == [(1,)]

    def test_pool_limit_makes_the_next_caller_wait(self, backend, request, tmp_path):
        limited = make_backend(backend.name, request, tmp_path / "limited", maxsize=1)
        events = []

        async def user(name):
            con = await limited.connector.getCon()
            events.append(("got", name))
            await asyncio.sleep(0)
            events.append(("give back", name))
            await limited.connector.releaseCon(con)

        async def story():
            await asyncio.gather(user("a"), user("b"))
        with installed(limited.connector):
            try:
                limited.run(story())
            finally:
                limited.close()
        assert events == [("got", "a"), ("give back", "a"), ("got", "b"), ("give back", "b")]


def test_memory_database_is_shared_by_the_pool():
    async def story():
        connector = AioSqliteConnector()
        with installed(connector):
            await HANDLE.executeSql("CREATE TABLE t_mem (id INTEGER)")
            held = await connector.getCon()  # the next statement needs a second connection
            await HANDLE.executeSql("INSERT INTO t_mem VALUES (1)")
            seen = await HANDLE.executeSql("SELECT * FROM t_mem", con=held)
            await connector.releaseCon(held)
            await connector.close()
            await HANDLE.executeSql("CREATE TABLE t_mem (id INTEGER)")  # a new, empty database
            await connector.close()
        return [tuple(r) for r in seen], type(held) is AioSqliteConnection
    assert asyncio.run(story()) == ([(1,)], True)


class TestCancellation:
    LONG = {
        "aiosqlite": "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c) SELECT count(*) FROM c",
        "aiomysql": "SELECT SLEEP(60)",
    }

    def test_statement_in_flight(self, backend, request, tmp_path):
        # A statement of the native SQLite engine runs to completion on the
        # loop's thread: only the module path has one in flight to cancel.
        if backend.name == "aiosqlite":
            backend = make_backend(backend.name, request, tmp_path / "module", driver="sqlite3")

        async def story():
            await HANDLE.executeSql("SELECT 1")
            task = asyncio.ensure_future(HANDLE.executeSql(self.LONG[backend.name]))
            await asyncio.sleep(0.2)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return [tuple(r) for r in await HANDLE.executeSql("SELECT 2")]
        with installed(backend.connector):
            try:
                assert backend.run(story()) == [(2,)]
            finally:
                if backend.name == "aiosqlite":
                    backend.close()

    def test_waiting_for_a_connection(self, backend, request, tmp_path):
        limited = make_backend(backend.name, request, tmp_path / "limited", maxsize=1)

        async def story():
            held = await limited.connector.getCon()
            waiting = asyncio.ensure_future(limited.connector.getCon())
            await asyncio.sleep(0.05)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            await limited.connector.releaseCon(held)
            again = await limited.connector.getCon()
            await limited.connector.releaseCon(again)
            return again is held or backend.name == "aiomysql"
        try:
            assert limited.run(story()) is True
        finally:
            limited.close()


def test_one_loop_after_another(backend):
    async def count():
        return (await HANDLE.executeSql("SELECT 3"))[0][0]

    async def count_and_close():
        found = await count()
        await backend.connector.close()  # an aiomysql pool cannot outlive its loop
        return found
    assert backend.run(count()) == 3
    assert asyncio.run(count_and_close()) == 3  # MySQL: a new pool for the new loop
    assert backend.run(count()) == 3
