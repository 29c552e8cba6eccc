"""What the native SQLite engine makes of a statement's text, against the
sqlite3 module: a NUL inside it, comments before the statement, and the
column names of a cached statement whose table changed under it."""

import logging
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


# --- the columns of a cached statement after another connection changed its table ------------

def names(cursor):
    return [column[0] for column in cursor.description]


def change_schema(engine, *statements):
    """The statements on a connection of the sqlite3 module's own."""
    other = sqlite3.connect(engine.connector.path, isolation_level=None)
    try:
        for sql in statements:
            other.execute(sql)
    finally:
        other.close()


SCHEMA_CHANGES = {
    "rename": (["ALTER TABLE e RENAME COLUMN name TO label"], ["id", "label"], [(1, "a")]),
    "add": (["ALTER TABLE e ADD COLUMN extra INTEGER DEFAULT 7"], ["id", "name", "extra"], [(1, "a", 7)]),
    "drop-and-add": (["ALTER TABLE e DROP COLUMN name", "ALTER TABLE e ADD COLUMN title TEXT DEFAULT 't'"],
                     ["id", "title"], [(1, "t")]),
}


@pytest.mark.parametrize("change", SCHEMA_CHANGES, ids=list(SCHEMA_CHANGES))
def test_description_follows_a_schema_change_by_another_connection(sync_engine, change):
    statements, columns, rows = SCHEMA_CHANGES[change]
    cur = with_rows(sync_engine).connector.getCon().cursor()
    cur.execute("SELECT * FROM e WHERE id = 1")
    assert names(cur) == ["id", "name"] and cur.fetchall() == [(1, "a")]
    change_schema(sync_engine, *statements)
    cur.execute("SELECT * FROM e WHERE id = 1")  # the same text: the cached statement
    assert (names(cur), cur.fetchall()) == (columns, rows)
    cur.execute("SELECT * FROM e WHERE id = 1")
    assert (names(cur), cur.fetchall()) == (columns, rows)


def test_description_of_a_statement_that_failed_is_none(sync_engine):
    cur = with_rows(sync_engine).connector.getCon().cursor()
    cur.execute("SELECT id FROM e")
    with pytest.raises(sqlite3.IntegrityError):
        cur.execute("INSERT INTO e (id, name) VALUES (1, 'again') RETURNING id")
    assert cur.description is None


# --- rowcount after comments before the statement --------------------------------------------

LEADING_COMMENTS = {
    "block": ("/* why */ UPDATE e SET name = name || 'x'", 4),
    "line": ("-- why\r\nUPDATE e SET name = name || 'x'", 4),
    "several": ("\f\t/* a\n*/--b\n update e SET name = name || 'x'", 4),
    "glued": ("/**/DELETE FROM e WHERE id > 2", 2),
    "replace": ("/* x */ REPLACE INTO e (id, name) VALUES (1, 'z')", 1),
    "a select": ("/* x */ SELECT id FROM e", -1),
    "a comment only": ("/* unclosed", -1),
}


@pytest.mark.parametrize("case", LEADING_COMMENTS, ids=list(LEADING_COMMENTS))
def test_rowcount_after_leading_comments(sync_engine, case):
    sql, expected = LEADING_COMMENTS[case]
    cur = with_rows(sync_engine).connector.getCon().cursor()
    cur.execute(sql)
    cur.fetchall()
    assert cur.rowcount == expected
    cur.executemany("/* each */ UPDATE e SET name = ? WHERE id = 1", [("p",), ("q",)])
    assert cur.rowcount == 2


@pytest.fixture
def sql_log():
    """The records of the statement log, taken at DEBUG while the test runs."""
    logger = logging.getLogger("Tessary.sql")
    kept = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = kept.append
    saved = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield kept
    logger.removeHandler(handler)
    logger.setLevel(saved)


def test_logged_rowcount_after_a_leading_comment(make_engine, sql_log):
    engine = with_rows(make_engine())
    sql_log.clear()
    engine.rows("/* why */ UPDATE e SET name = name || 'x'")
    assert [record.rowcount for record in sql_log] == [4]
