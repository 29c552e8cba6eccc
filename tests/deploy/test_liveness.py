"""Whether a connection still answers: a ping finds a session the server has
ended (KILL) before a statement would fail on it, closes that connection,
and the connector's next statement runs on a new one. SQLite connections
are always alive."""

import asyncio
import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import AioSqliteConnector, MysqlConnector, Sqlite3Connector, _ping
from Tessary.DB.DB import DB

from handle_support import installed
from wire_support import KINDS, made

HANDLE = DB.getInstance()


def closed(con):
    """Whether a driver connection of any kind has been closed."""
    if hasattr(con, "closed"):  # the coroutine connectors' connections
        return con.closed
    return not con.open  # pymysql's, the native MysqlConnection


@pytest.mark.parametrize("kind", KINDS)
def test_ping_finds_a_killed_session_dead_and_the_next_statement_gets_a_new_one(mariadb_clean, kind):
    with made(mariadb_clean, kind) as mysql:
        con = mysql.get_con()
        victim = mysql.session(con)
        assert mysql.ping(con) is True
        mysql.kill(victim)
        if mysql.is_async:
            mysql.run(asyncio.sleep(0.05))
        assert mysql.ping(con) is False
        assert closed(con)
        assert mysql.ping(con) is False  # asked again: still dead, no error
        mysql.release(con)
        assert mysql.session() != victim


def test_ping_of_a_connection_reading_a_result_is_an_error_not_a_verdict(mariadb_clean):
    with made(mariadb_clean, ("sync", "native")) as mysql:
        con = mysql.get_con()
        cur = con.cursor(pymysql.cursors.SSCursor)
        cur.execute("SELECT 1 UNION SELECT 2")
        with pytest.raises(pymysql.err.ProgrammingError):
            mysql.ping(con)
        assert list(cur.fetchall()) == [(1,), (2,)]
        assert mysql.ping(con) is True


def test_ping_of_a_native_connection_with_a_call_in_flight_is_an_error(mariadb_clean):
    with made(mariadb_clean, ("aio", "native")) as mysql:
        async def story():
            con = await mysql.connector.getCon()
            running = asyncio.ensure_future(HANDLE.executeSql("SELECT SLEEP(0.2)", con=con))
            await asyncio.sleep(0.05)
            try:
                with pytest.raises(RuntimeError):
                    await _ping(mysql.connector, con)
            finally:
                await running
            alive = await _ping(mysql.connector, con)
            await mysql.connector.releaseCon(con)
            return alive
        with installed(mysql.connector):
            assert mysql.run(story()) is True


def test_sqlite_connections_are_always_alive(tmp_path):
    connector = Sqlite3Connector(str(tmp_path / "a.db"))
    try:
        assert _ping(connector, connector.getCon()) is True
        assert _ping(connector, sqlite3.connect(":memory:")) is True
    finally:
        connector.close()
    loop = asyncio.new_event_loop()
    aio = AioSqliteConnector(str(tmp_path / "b.db"))
    try:
        async def story():
            con = await aio.getCon()
            try:
                return await _ping(aio, con)
            finally:
                await aio.releaseCon(con)
        assert loop.run_until_complete(story()) is True
    finally:
        loop.run_until_complete(aio.close())
        loop.close()


def test_ping_refuses_what_is_no_connector_or_no_connection(tmp_path):
    with pytest.raises(TypeError):
        _ping(object(), None)
    with pytest.raises(TypeError):
        _ping(MysqlConnector(driver="native"), None)
    aio = AioSqliteConnector(str(tmp_path / "c.db"))
    with pytest.raises(TypeError):
        _ping(aio, object())
    with pytest.raises(RuntimeError):
        _ping(AioSqliteConnector.__new__(AioSqliteConnector), object())
