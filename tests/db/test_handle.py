"""The database handle: one instance, its connector, executeSql, and stand-in
connectors."""

import sqlite3
import typing

import pytest

import Tessary.DB.DB as db_module
from Tessary.DB.Connector import BaseConnector, Sqlite3Connector
from Tessary.DB.DB import DB


def test_one_handle():
    assert DB.getInstance() is DB.getInstance() is DB()
    with pytest.raises(TypeError):
        DB.getInstance(1)


def test_typing_names_are_re_exported():
    assert db_module.Generic is typing.Generic and db_module.TypeVar is typing.TypeVar


def test_default_connector_is_an_in_memory_sqlite(install):
    handle = DB.getInstance()
    handle.connector = None
    connector = handle.connector
    assert type(connector) is Sqlite3Connector and connector.path == ":memory:"
    assert handle._connector is connector is handle.connector
    assert handle.executeSql("SELECT 1 + %s", (1,)) == [(2,)]


def test_any_object_is_accepted_as_connector(install):
    stand_in = install(type("StandIn", (), {"con_type": 7})())
    assert DB.getInstance().connector is stand_in
    assert DB.getInstance()._connector.con_type == 7


def test_execute_sql_checks_the_text(install):
    install(Sqlite3Connector())
    with pytest.raises(TypeError) as err:
        DB.getInstance().executeSql(b"SELECT 1")
    assert str(err.value) == "Argument 'text' has incorrect type (expected str, got bytes)"


def test_stand_in_connector_with_get_con(install, tmp_path):
    """A connector offering only getCon(): the handle runs statements on that
    DB-API connection with "%s" untouched and commits its own statements."""
    path = tmp_path / "standin.db"

    class FormatCursor:
        def __init__(self, cur):
            self.cur = cur

        def execute(self, sql, args=None):
            self.cur.execute(sql.replace("%s", "?"), args or ())

        def fetchall(self):
            return self.cur.fetchall()

        def close(self):
            self.cur.close()

    class StandIn:
        isAsync = False

        def __init__(self):
            self.con = sqlite3.connect(path)
            self.commits = 0

        def getCon(self):
            outer = self

            class Con:
                def cursor(self):
                    return FormatCursor(outer.con.cursor())

                def commit(self):
                    outer.commits += 1
                    outer.con.commit()

                def rollback(self):
                    outer.con.rollback()

            return Con()

        def close(self):
            self.con.close()

    stand_in = install(StandIn())
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE t (v TEXT)")
    handle.executeSql("INSERT INTO t VALUES (%s)", ("x",))
    assert sqlite3.connect(path).execute("SELECT v FROM t").fetchall() == [("x",)]
    assert stand_in.commits == 2


def test_python_subclass_of_base_connector(install, tmp_path):
    """A user connector: connect() returns a connection that commits only when
    told, so the handle commits after each statement."""
    path = str(tmp_path / "sub.db")

    class Mine(BaseConnector):
        con_type = 1
        connects = 0

        def __init__(self):
            super().__init__()
            self.paramstyle = "qmark"

        def connect(self):
            type(self).connects += 1
            return sqlite3.connect(path)

    connector = install(Mine())
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE t (v TEXT)")
    handle.executeSql("INSERT INTO t VALUES (%s)", ("kept",))
    assert sqlite3.connect(path).execute("SELECT v FROM t").fetchall() == [("kept",)]
    assert Mine.connects == 1 and connector.getCon().in_transaction is False


def test_base_connector_cannot_connect_by_itself(install):
    install(BaseConnector())
    with pytest.raises(NotImplementedError):
        DB.getInstance().executeSql("SELECT 1")
