"""AioSqliteConnector's SQLite options on both drivers: transaction blocks
and a handed-out connection's first write begin in transactionMode, the
pragmas run on every pooled connection, and timeout is the busy wait."""

import asyncio
import sqlite3
import time

import pytest

from Tessary.DB.Connector import AioSqliteConnector
from Tessary.DB.DB import DB



@pytest.fixture
def handle():
    db = DB.getInstance()
    previous = db.connector
    yield db
    db.connector = previous


def run_with(handle, connector, story):
    async def main():
        handle.connector = connector
        try:
            return await story(connector)
        finally:
            await connector.close()
    return asyncio.run(main())


@pytest.mark.parametrize("mode", [None, "DEFERRED", "EXCLUSIVE"])
@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_blocks_begin_in_the_mode(handle, tmp_path, logged_statements, driver, mode):
    options = {} if mode is None else {"transactionMode": mode}
    connector = AioSqliteConnector(str(tmp_path / "mode.db"), driver=driver, **options)

    async def story(connector):
        await handle.executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY)")
        logged_statements.clear()
        async with connector.transaction() as con:
            await handle.executeSql("INSERT INTO t VALUES (%s)", (1,), con=con)
            async with connector.transaction():
                pass
        return await handle.executeSql("SELECT k FROM t")

    assert run_with(handle, connector, story) == [(1,)]
    assert [s for s in logged_statements if s.startswith("BEGIN")] == [f"BEGIN {mode or 'IMMEDIATE'}"]


@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_a_handed_out_connection_begins_its_first_write_in_the_mode(handle, tmp_path, driver):
    path = str(tmp_path / "lent.db")
    connector = AioSqliteConnector(path, driver=driver, transactionMode="EXCLUSIVE")

    async def story(connector):
        await handle.executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY)")
        con = await connector.getCon()
        try:
            await handle.executeSql("INSERT INTO t VALUES (%s)", (1,), con=con)
            reader = sqlite3.connect(path, timeout=0)
            try:
                with pytest.raises(sqlite3.OperationalError, match="locked"):
                    reader.execute("SELECT * FROM t").fetchall()  # EXCLUSIVE keeps readers out too
            finally:
                reader.close()
            await con.rollback()
        finally:
            await connector.releaseCon(con)

    run_with(handle, connector, story)


@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_pragmas_run_on_every_pooled_connection(handle, tmp_path, driver):
    connector = AioSqliteConnector(str(tmp_path / "p.db"), maxsize=3, driver=driver,
                                   pragmas={"journal_mode": "wal", "synchronous": "normal", "foreign_keys": True})

    async def story(connector):
        cons = [await connector.getCon() for _ in range(3)]
        try:
            seen = []
            for con in cons:
                seen.append([tuple((await handle.executeSql(f"PRAGMA {name}", con=con))[0])
                             for name in ("journal_mode", "synchronous", "foreign_keys")])
            return seen
        finally:
            for con in cons:
                await connector.releaseCon(con)

    assert run_with(handle, connector, story) == [[("wal",), (1,), (1,)]] * 3


@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_timeout_is_the_busy_wait(handle, tmp_path, driver):
    path = str(tmp_path / "busy.db")
    connector = AioSqliteConnector(path, driver=driver, timeout=0.2)

    async def story(connector):
        await handle.executeSql("CREATE TABLE t (k INTEGER)")
        holder = sqlite3.connect(path, isolation_level=None)
        holder.execute("BEGIN EXCLUSIVE")
        try:
            started = time.monotonic()
            with pytest.raises(sqlite3.OperationalError, match="locked"):
                await handle.executeSql("INSERT INTO t VALUES (1)")
            return time.monotonic() - started
        finally:
            holder.execute("ROLLBACK")
            holder.close()

    waited = run_with(handle, connector, story)
    assert 0.15 <= waited < 4  # the connector's wait, not the 5 s default
