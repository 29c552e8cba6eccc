"""What the native MariaDB engines make of a statement's text, against the
driver modules (pymysql, aiomysql): a NUL inside it, and a placeholder of the
server's own ("?") beside the "%s" ones."""


import pymysql
import pytest

from engine_support import MYSQL_ENGINES, admin_run, engine_ids
from engine_support import make_mysql_engine  # noqa: F401  (the make_engine fixture)


@pytest.fixture
def params(mariadb_clean):
    return mariadb_clean


@pytest.fixture
def table(params):
    admin_run(params, "CREATE TABLE e (id INT PRIMARY KEY, name VARCHAR(16))")
    admin_run(params, "INSERT INTO e (id, name) VALUES (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')")


def count(params):
    return admin_run(params, "SELECT COUNT(*) FROM e")[0][0]


# --- a NUL in the text -----------------------------------------------------------------------

NATIVE = [engine for engine in MYSQL_ENGINES if engine[1] == "native"]


@pytest.mark.parametrize("args", [None, (1,)], ids=["plain", "with-arguments"])
def test_a_nul_in_the_text_is_refused_and_nothing_runs(make_engine, params, table, args):
    engine = make_engine()
    with pytest.raises(pymysql.err.ProgrammingError) as caught:
        engine.rows("DELETE FROM e\x00 WHERE id = %s" if args else "DELETE FROM e\x00 WHERE id = 1", args)
    if engine.native:
        assert caught.value.args == ("the query contains a null character",)
    assert count(params) == 4


# The server itself runs a text that ends in a NUL (the driver modules send it
# as it is); the native engines refuse every NUL alike, before sending anything.
@pytest.mark.parametrize("make_engine", NATIVE, indirect=True, ids=engine_ids(NATIVE))
@pytest.mark.parametrize("sql", ["DELETE FROM e WHERE id = 1\x00", "\x00DELETE FROM e"], ids=["end", "start"])
def test_a_nul_anywhere_is_refused_by_the_native_engines(make_engine, params, table, sql):
    with pytest.raises(pymysql.err.ProgrammingError, match="^the query contains a null character$"):
        make_engine().rows(sql)
    assert count(params) == 4


@pytest.mark.parametrize("make_engine", NATIVE[:1], indirect=True, ids=engine_ids(NATIVE[:1]))
def test_a_nul_in_an_insert_asking_for_its_key_is_refused(make_engine, params, table):
    connector = make_engine().connector
    with pytest.raises(pymysql.err.ProgrammingError, match="^the query contains a null character$"):
        connector.write("INSERT INTO e (id, name) VALUES (%s, %s)\x00", (9, "x"))
    assert count(params) == 4


def test_a_nul_in_an_argument_is_a_value(make_engine, params, table):
    engine = make_engine()
    engine.rows("UPDATE e SET name = %s WHERE id = 1", ("x\x00y",))
    assert engine.rows("SELECT name FROM e WHERE id = 1") == [("x\x00y",)]


# --- a placeholder of the server's own ------------------------------------------------------------

SYNC = [engine for engine in MYSQL_ENGINES if engine[0] == "sync"]
STRAY_MARK = "INSERT INTO e (id, name) VALUES (%s, ?)"


def refusal(run):
    with pytest.raises(pymysql.err.ProgrammingError) as caught:
        run()
    return type(caught.value), caught.value.args


@pytest.mark.parametrize("make_engine", SYNC, indirect=True, ids=engine_ids(SYNC))
def test_a_stray_question_mark_in_an_insert_asking_for_its_key(make_engine, params, table):
    connector = make_engine().connector
    reference = refusal(lambda: admin_run(params, STRAY_MARK % 9))
    assert reference[1][0] == 1064
    assert refusal(lambda: connector.write(STRAY_MARK, (9,))) == reference
    # A second time the statement is known: the same error, and the connection still serves.
    assert refusal(lambda: connector.write(STRAY_MARK, [9])) == reference
    assert connector.write("INSERT INTO e (id, name) VALUES (%s, %s)", (9, "?")) == 0
    assert count(params) == 5


def test_a_stray_question_mark_in_a_statement(make_engine, params, table):
    engine = make_engine()
    reference = refusal(lambda: admin_run(params, STRAY_MARK % 9))
    assert refusal(lambda: engine.rows(STRAY_MARK, (9,))) == reference
    assert engine.rows("SELECT COUNT(*) FROM e") == [(4,)]
