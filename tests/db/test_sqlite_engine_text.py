"""What the native SQLite engine makes of a statement's text, against the
sqlite3 module: a NUL inside it, comments before the statement, and the
column names of a cached statement whose table changed under it."""

import sqlite3

import pytest

from engine_support import SQLITE_ENGINES, engine_factory, engine_ids


@pytest.fixture(params=SQLITE_ENGINES, ids=engine_ids(SQLITE_ENGINES))
def make_engine(request, tmp_path):
    make, close_all = engine_factory("sqlite", *request.param, str(tmp_path / "text.db"))
    yield make
    close_all()


@pytest.fixture(params=["native", "sqlite3"])
def sync_engine(request, tmp_path):
    """Synchronous only: the cases that use a connection's own cursor."""
    make, close_all = engine_factory("sqlite", "sync", request.param, str(tmp_path / "text.db"))
    yield make()
    close_all()


def with_rows(engine):
    engine.rows("CREATE TABLE e (id INTEGER PRIMARY KEY, name TEXT)")
    engine.rows("INSERT INTO e (id, name) VALUES (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')")
    return engine


# --- a NUL in the text -----------------------------------------------------------------------

NUL_TEXTS = ["DELETE FROM e\x00 WHERE id = 1", "DELETE FROM e WHERE id = 1\x00", "\x00DELETE FROM e"]


@pytest.mark.parametrize("sql", NUL_TEXTS, ids=["middle", "end", "start"])
def test_a_nul_in_the_text_is_refused_and_nothing_runs(make_engine, sql):
    engine = with_rows(make_engine())
    with pytest.raises(sqlite3.ProgrammingError, match="^the query contains a null character$"):
        engine.rows(sql)
    assert engine.rows("SELECT count(*) FROM e") == [(4,)]


def test_a_nul_in_an_argument_is_a_value(make_engine):
    engine = with_rows(make_engine())
    engine.rows("UPDATE e SET name = %s WHERE id = 1", ("x\x00y",))
    assert engine.rows("SELECT name FROM e WHERE id = 1") == [("x\x00y",)]


def test_a_nul_is_refused_on_a_cursor_of_the_connection(sync_engine):
    cur = with_rows(sync_engine).connector.getCon().cursor()
    with pytest.raises(sqlite3.ProgrammingError, match="^the query contains a null character$"):
        cur.execute("DELETE FROM e\x00 WHERE id = ?", (1,))
    with pytest.raises(sqlite3.ProgrammingError, match="^the query contains a null character$"):
        cur.executemany("DELETE FROM e\x00 WHERE id = ?", [(1,), (2,)])
    assert cur.execute("SELECT count(*) FROM e").fetchall() == [(4,)]
