"""The MariaDB engines side by side: the synchronous native connection, the
native one driven by the event loop, and the driver modules (pymysql,
aiomysql) as the reference. Text in the connection's character set, a CALL
whose rows are followed by further results, the insert id after a statement
with rows, and the errors of a failed connect must come out the same on all
four."""

import socket

import pymysql
import pytest

from engine_support import MYSQL_ENGINES as ENGINES, admin_run, engine_ids
from engine_support import make_mysql_engine  # noqa: F401  (the make_engine fixture)


@pytest.fixture
def params(mariadb_clean):
    return mariadb_clean


# --- text in the connection's character set ------------------------------------------------

# 'Ã©' is the two latin1 characters whose octets spell 'é' in UTF-8; '€' is
# 0x80 in MariaDB's latin1 (Windows-1252), no UTF-8 on its own.
LATIN1_TEXTS = ["Ã©", "é€", "plain", "ÿ"]


def test_latin1_text_reads_back_as_written(make_engine, params):
    admin_run(params, "CREATE TABLE t (id INT PRIMARY KEY, s VARCHAR(16) CHARACTER SET utf8mb4)")
    engine = make_engine(charset="latin1")
    for key, text in enumerate(LATIN1_TEXTS):
        engine.rows("INSERT INTO t (id, s) VALUES (%s, %s)", (key, text))
    assert engine.rows("SELECT s FROM t ORDER BY id") == [(text,) for text in LATIN1_TEXTS]
    assert engine.rows("SELECT 'Ã©', 'é€'") == [("Ã©", "é€")]
    # What the server holds is the text itself, not its octets taken for another encoding.
    assert admin_run(params, "SELECT s FROM t ORDER BY id") == tuple((text,) for text in LATIN1_TEXTS)


def test_latin1_text_reads_back_on_a_lent_connections_cursor(make_engine):
    engine = make_engine(charset="latin1")
    [(rows, _)] = engine.cursor_run("SELECT 'Ã©', 'é€'")
    assert rows == [("Ã©", "é€")]


# --- a procedure's rows and its further results ---------------------------------------------


def test_call_of_a_procedure_with_rows_leaves_the_connection_in_step(make_engine, params):
    admin_run(params, "CREATE OR REPLACE PROCEDURE one_row() SELECT 1")
    engine = make_engine()
    assert engine.rows("CALL one_row()") == [(1,)]
    assert engine.rows("SELECT 3") == [(3,)]
    assert engine.rows("CALL one_row()") == [(1,)]
    assert engine.rows("SELECT 4") == [(4,)]


def test_call_of_a_procedure_with_two_results_gives_the_first(make_engine, params):
    admin_run(params, "CREATE OR REPLACE PROCEDURE two_results() BEGIN SELECT 1; SELECT 2, 2; END")
    engine = make_engine()
    assert engine.rows("CALL two_results()") == [(1,)]
    assert engine.rows("SELECT 5") == [(5,)]


# --- the insert id -----------------------------------------------------------------------------


def test_lastrowid_is_none_after_a_statement_with_rows(make_engine, params):
    admin_run(params, "CREATE TABLE k (id INT AUTO_INCREMENT PRIMARY KEY, v INT)")
    engine = make_engine()
    seen = engine.cursor_run("INSERT INTO k (v) VALUES (7)", "SELECT v FROM k",
                             "INSERT INTO k (v) VALUES (8) RETURNING id", "UPDATE k SET v = 9 WHERE id = 1")
    assert seen == [([], 1), ([(7,)], None), ([(2,)], None), ([], 0)]


@pytest.mark.parametrize("make_engine", [("sync", "native"), ("sync", "pymysql")], indirect=True,
                         ids=["sync-native", "sync-pymysql"])
def test_written_key_is_none_after_a_statement_with_rows(make_engine, params):
    admin_run(params, "CREATE TABLE k (id INT AUTO_INCREMENT PRIMARY KEY, v INT)")
    connector = make_engine().connector
    assert connector.write("INSERT INTO k (v) VALUES (%s)", (7,)) == 1
    assert connector.write("INSERT INTO k (v) VALUES (%s) RETURNING id", (8,)) is None
    assert connector.write("SELECT v FROM k") is None


# --- connecting ------------------------------------------------------------------------------------


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_unreachable_server_is_operational_error_2003(make_engine):
    with pytest.raises(pymysql.err.OperationalError) as caught:
        make_engine(port=closed_port(), unix_socket=None).rows("SELECT 1")
    assert caught.value.args[0] == 2003
    assert caught.value.args[1].startswith("Can't connect to MySQL server on '127.0.0.1'")


# aiomysql reports every failed connect as 2003; pymysql, and both native
# engines, keep the server's refusal.
@pytest.mark.parametrize("make_engine", ENGINES[:3], indirect=True, ids=["-".join(e) for e in ENGINES[:3]])
def test_refused_login_keeps_the_servers_error(make_engine):
    with pytest.raises(pymysql.err.OperationalError) as caught:
        make_engine(password="not the password").rows("SELECT 1")
    assert caught.value.args[0] == 1045
