"""Connectors: their data, lazy connection, placeholder translation, the
commit policy and transaction()."""

import socket
import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import BaseConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.Model.ModelProperty import BigIntegerProperty, IntegerProperty

QUOTED = "SELECT '%s', \"%s\", `%s` FROM t WHERE a = %s AND b LIKE '50%' AND c % 2 = %s"


class TestData:
    def test_sqlite(self):
        c = Sqlite3Connector()
        assert (c.isAsync, c.isReady, c.con_type, c.paramstyle, c.path) == (False, True, 1, "qmark", ":memory:")
        assert c.autoFiledAnnounce(IntegerProperty()) == "INTEGER"

    def test_mysql(self):
        c = MysqlConnector(user="root", database="db")
        assert (c.isAsync, c.con_type, c.paramstyle, c.host, c.port, c.charset) == (
            False, 0, "format", "127.0.0.1", 3306, "utf8mb4")

    @pytest.mark.parametrize("prop, text", [
        (IntegerProperty(), "INT NOT NULL AUTO_INCREMENT"),
        (BigIntegerProperty(), "BIGINT NOT NULL AUTO_INCREMENT"),
    ])
    def test_mysql_auto_increment_keeps_the_type(self, prop, text):
        assert MysqlConnector().autoFiledAnnounce(prop) == text

    def test_port_must_be_an_integer(self):
        with pytest.raises(TypeError):
            MysqlConnector(port="3306")

    def test_unknown_keyword(self):
        with pytest.raises(TypeError) as err:
            Sqlite3Connector(file="x")
        assert str(err.value) == "__init__() got an unexpected keyword argument 'file'"


class TestTranslation:
    @pytest.mark.parametrize("connector, expected", [
        (Sqlite3Connector(), "SELECT '%s', \"%s\", `%s` FROM t WHERE a = ? AND b LIKE '50%' AND c % 2 = ?"),
        (MysqlConnector(),
         "SELECT '%%s', \"%%s\", `%%s` FROM t WHERE a = %s AND b LIKE '50%%' AND c %% 2 = %s"),
    ])
    def test_placeholders_outside_literals_only(self, connector, expected):
        assert connector.translate(QUOTED) == expected

    def test_mysql_backslash_escape_keeps_the_literal_open(self):
        assert MysqlConnector().translate("SELECT 'it\\'s %s' , %s") == "SELECT 'it\\'s %%s' , %s"

    def test_doubled_quote_inside_a_literal(self):
        assert Sqlite3Connector().translate("SELECT 'a''%s', %s") == "SELECT 'a''%s', ?"

    def test_literal_text_reaches_the_database(self, install):
        install(Sqlite3Connector())
        assert DB.getInstance().executeSql("SELECT '%s', %s, '50%'", ("v",)) == [("%s", "v", "50%")]


class TestLazyConnection:
    def test_sqlite_file_appears_at_the_first_statement(self, install, tmp_path):
        path = tmp_path / "lazy.db"
        install(Sqlite3Connector(str(path)))
        assert not path.exists()
        DB.getInstance().executeSql("SELECT 1")
        assert path.exists()

    def test_wrong_host_fails_at_the_first_statement(self, install):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        install(MysqlConnector(host="127.0.0.1", port=port, user="root"))
        with pytest.raises(pymysql.err.OperationalError):
            DB.getInstance().executeSql("SELECT 1")


@pytest.fixture(params=["sqlite", "mariadb"])
def db(request, install, tmp_path):
    """(connector, raw connection factory) with a table t(id primary key, v)."""
    if request.param == "sqlite":
        path = str(tmp_path / "c.db")
        connector = install(Sqlite3Connector(path))
        raw = lambda: sqlite3.connect(path)  # noqa: E731
    else:
        params = request.getfixturevalue("mariadb_clean")
        connector = install(MysqlConnector(**params))
        raw = lambda: pymysql.connect(**params)  # noqa: E731
    DB.getInstance().executeSql("CREATE TABLE t (id INTEGER PRIMARY KEY, v VARCHAR(8))")
    return connector, raw


def seen(raw):
    con = raw()
    try:
        cur = con.cursor()
        cur.execute("SELECT id FROM t ORDER BY id")
        return [row[0] for row in cur.fetchall()]
    finally:
        con.close()


class TestCommitPolicy:
    def test_statements_are_committed_when_they_complete(self, db):
        connector, raw = db
        DB.getInstance().executeSql("INSERT INTO t VALUES (%s, %s)", (1, "a"))
        assert connector.write("INSERT INTO t VALUES (%s, %s)", (2, "b")) in (0, 2)
        assert seen(raw) == [1, 2]

    def test_driver_error_reaches_the_caller_and_nothing_stays_open(self, db):
        connector, raw = db
        handle = DB.getInstance()
        handle.executeSql("INSERT INTO t VALUES (%s, %s)", (1, "a"))
        integrity = sqlite3.IntegrityError if isinstance(connector, Sqlite3Connector) else pymysql.IntegrityError
        with pytest.raises(integrity):
            handle.executeSql("INSERT INTO t VALUES (%s, %s)", (1, "dup"))
        handle.executeSql("INSERT INTO t VALUES (%s, %s)", (2, "b"))
        assert seen(raw) == [1, 2]
        assert connector.inTransaction is False


class TestTransaction:
    def test_commit_at_the_end_of_the_block(self, db):
        connector, raw = db
        handle = DB.getInstance()
        with handle.transaction() as con:
            handle.executeSql("INSERT INTO t VALUES (%s, %s)", (1, "a"), con=con)
            handle.executeSql("INSERT INTO t VALUES (%s, %s)", (2, "b"))  # same connection, same block
            assert connector.inTransaction and seen(raw) == []
        assert seen(raw) == [1, 2] and not connector.inTransaction

    def test_rollback_when_the_block_raises(self, db):
        connector, raw = db
        handle = DB.getInstance()
        with pytest.raises(LookupError):
            with handle.transaction() as con:
                handle.executeSql("INSERT INTO t VALUES (%s, %s)", (1, "a"), con=con)
                raise LookupError
        assert seen(raw) == [] and not connector.inTransaction
        handle.executeSql("INSERT INTO t VALUES (%s, %s)", (3, "c"))
        assert seen(raw) == [3]

    def test_nested_blocks_join_the_outer_one(self, db):
        connector, raw = db
        handle = DB.getInstance()
        with pytest.raises(LookupError):
            with handle.transaction():
                with handle.transaction() as inner:
                    handle.executeSql("INSERT INTO t VALUES (%s, %s)", (1, "a"), con=inner)
                assert seen(raw) == []
                raise LookupError
        assert seen(raw) == []

    def test_a_block_is_entered_once(self, db):
        block = DB.getInstance().transaction()
        with block:
            with pytest.raises(RuntimeError):
                block.__enter__()

    def test_failed_statement_inside_the_block(self, db):
        connector, raw = db
        handle = DB.getInstance()
        with pytest.raises(Exception):
            with handle.transaction() as con:
                handle.executeSql("INSERT INTO t VALUES (%s, %s)", (1, "a"), con=con)
                handle.executeSql("INSERT INTO t VALUES (%s, %s)", (1, "dup"), con=con)
        assert seen(raw) == [] and not connector.inTransaction


def test_close_then_reconnect(install):
    connector = install(Sqlite3Connector())
    first = connector.getCon()
    connector.close()
    assert connector.getCon() is not first


def test_base_connector_paramstyle_checked():
    c = BaseConnector()
    with pytest.raises(ValueError):
        c.paramstyle = "named"
