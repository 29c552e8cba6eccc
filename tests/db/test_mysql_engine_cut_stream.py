"""An unbuffered result of the native MariaDB connection cut off by the
connection's close(): the rows never read are an error on every fetch, as on
the native SQLite cursor whose connection closed mid-way, and never an empty
rest that looks like the end."""

import sqlite3

import pymysql
import pymysql.cursors
import pytest

from Tessary.DB.Connector import MysqlConnection, Sqlite3Connector

FETCHES = {
    "fetchone": lambda cur: cur.fetchone(),
    "fetchmany": lambda cur: cur.fetchmany(3),
    "fetchall": lambda cur: cur.fetchall(),
    "iteration": lambda cur: list(cur),
}


@pytest.fixture
def params(mariadb_clean):
    return mariadb_clean


def mysql_stream(params, rows):
    con = MysqlConnection(**params)
    cur = con.cursor(pymysql.cursors.SSCursor)
    cur.execute(f"SELECT seq FROM seq_1_to_{rows}")
    return con, cur, pymysql.err.ProgrammingError


def sqlite_stream(connector, rows):
    con = connector.getCon()
    cur = con.cursor()
    cur.execute(f"WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < {rows}) SELECT n FROM s")
    return con, cur, sqlite3.ProgrammingError


@pytest.fixture(params=["mysql", "sqlite"])
def stream(request, params, tmp_path):
    """(connection, cursor standing in a result of `rows` rows, the class of the error) of a native engine."""
    if request.param == "mysql":
        yield lambda rows: mysql_stream(params, rows)
        return
    connector = Sqlite3Connector(str(tmp_path / "cut.db"), driver="native")
    yield lambda rows: sqlite_stream(connector, rows)
    connector.close()


@pytest.mark.parametrize("fetch", FETCHES, ids=list(FETCHES))
def test_a_result_cut_by_close_raises_on_every_fetch(stream, fetch):
    con, cur, error = stream(5000)
    assert cur.fetchone() == (1,)
    con.close()
    for _ in range(2):
        with pytest.raises(error, match=r"^Cannot \w+ .*closed.*\.$"):
            FETCHES[fetch](cur)
    cur.close()


def test_the_native_mariadb_text_of_a_cut_result(params):
    con, cur, _ = mysql_stream(params, 5000)
    cur.fetchmany(10)
    con.close()
    with pytest.raises(pymysql.err.ProgrammingError) as caught:
        cur.fetchall()
    assert caught.value.args == ("Cannot read the rest of a result whose connection was closed.",)


@pytest.mark.parametrize("fetch", FETCHES, ids=list(FETCHES))
def test_a_result_read_to_its_end_stays_ended_after_close(params, fetch):
    con, cur, _ = mysql_stream(params, 3)
    assert [row[0] for row in cur.fetchall()] == [1, 2, 3]
    con.close()
    assert FETCHES[fetch](cur) in (None, [], ())


def test_a_closed_cursor_reads_nothing_as_pymysqls(params):
    con, cur, _ = mysql_stream(params, 5000)
    cur.fetchone()
    cur.close()
    con.close()
    assert cur.fetchone() is None and list(cur.fetchall()) == []


def test_a_new_statement_after_an_ended_stream_reads_on(params):
    con, cur, _ = mysql_stream(params, 5000)
    cur.fetchmany(5)
    cur.execute("SELECT 2")
    assert cur.fetchall() == [(2,)]
    con.close()
    assert cur.fetchone() is None
