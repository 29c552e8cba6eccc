"""Sqlite3Connector on the sqlite3 module keeps one cursor of its own
connection between statements; what a new cursor per statement guaranteed
still holds."""

import sqlite3

import pytest

from Tessary.DB.Connector import Sqlite3Connector


@pytest.fixture
def connector(tmp_path):
    c = Sqlite3Connector(str(tmp_path / "kept.sqlite"), driver="sqlite3")
    c.query("CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT)")
    c.write("INSERT INTO t (v) VALUES (%s)", ("a",))
    c.write("INSERT INTO t (v) VALUES (%s)", ("b",))
    yield c
    c.close()


def test_statements_in_a_row(connector):
    assert connector.query("SELECT id, v FROM t ORDER BY id") == [(1, "a"), (2, "b")]
    assert connector.write("INSERT INTO t (v) VALUES (%s)", ("c",)) == 3
    assert connector.query("SELECT v FROM t WHERE id = %s", (3,)) == [("c",)]


def test_a_row_factory_set_later_is_used(connector):
    connector.query("SELECT 1")
    connector.getCon().row_factory = sqlite3.Row
    row = connector.query("SELECT id, v FROM t WHERE id = %s", (1,))[0]
    assert isinstance(row, sqlite3.Row) and row["v"] == "a"
    connector.getCon().row_factory = None
    assert connector.query("SELECT v FROM t WHERE id = %s", (1,)) == [("a",)]


def test_rows_left_unfetched_release_the_database(connector, tmp_path):
    # write() takes the generated key and leaves a SELECT's rows unread; the
    # read lock they would hold must not outlive the statement.
    connector.write("SELECT id FROM t")
    other = sqlite3.connect(str(tmp_path / "kept.sqlite"), timeout=0.1)
    try:
        other.execute("INSERT INTO t (v) VALUES ('from another connection')")
        other.commit()
    finally:
        other.close()
    assert connector.query("SELECT count(*) FROM t") == [(3,)]


def test_a_statement_run_while_another_runs_gets_its_own_cursor(connector):
    class Marker:
        pass

    def adapt(_marker):
        # Runs inside the outer statement's execute, on the same connector.
        return connector.query("SELECT v FROM t WHERE id = %s", (2,))[0][0]

    sqlite3.register_adapter(Marker, adapt)
    try:
        assert connector.query("SELECT id FROM t WHERE v = %s", (Marker(),)) == [(2,)]
        assert connector.query("SELECT count(*) FROM t") == [(2,)]
    finally:
        del sqlite3.adapters[(Marker, sqlite3.PrepareProtocol)]


def test_failed_statement_then_the_next_one(connector):
    with pytest.raises(sqlite3.OperationalError):
        connector.query("SELECT nothing FROM nowhere")
    assert connector.query("SELECT count(*) FROM t") == [(2,)]


def test_close_then_the_next_statement_reconnects(connector):
    connector.query("SELECT 1")
    old = connector.getCon()
    connector.close()
    assert connector.query("SELECT count(*) FROM t") == [(2,)]
    assert connector.getCon() is not old
