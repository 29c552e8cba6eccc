"""The database handle: one instance, its connector, executeSql, and stand-in
connectors."""

import sqlite3
import types
import typing

import pytest
from handle_support import installed

import Tessary.DB.DB as db_module
from Tessary.DB.Connector import (
    AioMysqlConnector,
    AioSqliteConnector,
    BaseConnector,
    MysqlConnector,
    Sqlite3Connector,
)
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


class DuckConnector:
    """The least a connector offers: isAsync, con_type and getCon."""

    isAsync = False
    con_type = 7

    def getCon(self):
        raise NotImplementedError("no database behind this one")


class PropertyConnector:
    """Attributes as properties: their code does not run when it is installed."""

    reads = 0

    @property
    def isAsync(self):
        type(self).reads += 1
        return False

    @property
    def con_type(self):
        type(self).reads += 1
        raise RuntimeError("read at the first INSERT only")

    def getCon(self):
        return None


class Computed:
    """Attributes that __getattr__ makes."""

    def __getattr__(self, name):
        if name in ("isAsync", "con_type", "getCon"):
            return 0
        raise AttributeError(name)


def with_attributes(**attributes):
    return types.SimpleNamespace(**attributes)


CONNECTOR_TEXT = "DB.connector must be a connector (a BaseConnector or an object with isAsync, con_type and getCon)"


@pytest.mark.parametrize("make", [
    lambda: Sqlite3Connector(),
    lambda: MysqlConnector(),
    lambda: AioSqliteConnector(),
    lambda: AioMysqlConnector(),
    lambda: type("Mine", (Sqlite3Connector,), {})(),
    lambda: BaseConnector.__new__(BaseConnector),
    DuckConnector,
    PropertyConnector,
    Computed,
    lambda: with_attributes(isAsync=True, con_type=1, getCon=lambda: None),
], ids=["sqlite", "mysql", "aiosqlite", "aiomysql", "subclass", "bare", "duck", "properties", "getattr",
        "namespace"])
@pytest.mark.parametrize("name", ["connector", "_connector"])
def test_connectors_are_accepted(make, name):
    connector = make()
    with installed(Sqlite3Connector()) as handle:
        setattr(handle, name, connector)
        assert handle.connector is handle._connector is connector
    assert PropertyConnector.reads == 0


@pytest.mark.parametrize("value, shown", [
    ("sqlite:///x.db", "not str: it has no isAsync"),
    (3, "not int: it has no isAsync"),
    (object(), "not object: it has no isAsync"),
    (Sqlite3Connector, "not the class Tessary.DB.Connector.Sqlite3Connector"),
    (DuckConnector, "not the class DuckConnector"),
    (with_attributes(con_type=0, getCon=None), "not types.SimpleNamespace: it has no isAsync"),
    (with_attributes(isAsync=False, getCon=None), "not types.SimpleNamespace: it has no con_type"),
    (with_attributes(isAsync=False, con_type=0), "not types.SimpleNamespace: it has no getCon"),
], ids=["str", "int", "object", "connector-class", "duck-class", "no-isAsync", "no-con_type", "no-getCon"])
@pytest.mark.parametrize("name", ["connector", "_connector"])
def test_a_non_connector_is_refused_and_the_old_one_stays(install, value, shown, name):
    kept = install(Sqlite3Connector())
    handle = DB.getInstance()
    with pytest.raises(TypeError) as err:
        setattr(handle, name, value)
    assert str(err.value) == f"{CONNECTOR_TEXT}, {shown}"
    assert handle.connector is handle._connector is kept
    assert handle.executeSql("SELECT 1") == [(1,)]


def test_an_error_of_a_computed_attribute_propagates(install):
    kept = install(Sqlite3Connector())

    class Failing:
        def __getattr__(self, name):
            raise KeyError(name)

    with pytest.raises(KeyError):
        DB.getInstance().connector = Failing()
    assert DB.getInstance().connector is kept


@pytest.mark.parametrize("clear", [lambda h: setattr(h, "connector", None), lambda h: delattr(h, "connector")],
                         ids=["none", "del"])
def test_none_or_deletion_brings_back_the_default(install, clear):
    install(DuckConnector())
    handle = DB.getInstance()
    clear(handle)
    assert type(handle.connector) is Sqlite3Connector and handle.connector.path == ":memory:"


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
        con_type = 1

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
