"""DB.createTables(*models, ifNotExists=False): each model's CREATE TABLE text
run in order on SQLite and MariaDB, synchronously and through the asyncio
connectors; arguments checked and texts rendered before anything runs."""

import asyncio
import contextlib
import inspect
import sqlite3

import pymysql
import pytest
from handle_support import installed

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

# MariaDB's notes on the generator's text: the named key constraint, a table kept by IF NOT EXISTS.
pytestmark = [pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key"),
              pytest.mark.filterwarnings("ignore:Table '.*' already exists")]


class CtUser(DataModel):
    tableName = "ct_user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(40, nullable=True, default="anon")


class CtPost(DataModel):
    tableName = "ct_post"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty()
    title = VarcharProperty(80)


class CtTag(DataModel):
    tableName = "ct_tag"
    id = IntegerProperty(isPrimaryKey=True)


class FailingDefault(IntegerProperty):
    def toDBValue(self, value):
        raise LookupError("no database value for this default")


class CtBroken(DataModel):
    tableName = "ct_broken"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    n = FailingDefault(default=3)


class Backend:
    """The connector installed on the handle, the way its results are
    reached (awaited on the test's loop for the asyncio ones) and a raw
    driver connection to look at the database."""

    def __init__(self, name, connector, raw):
        self.name = name
        self.connector = connector
        self.is_async = connector.isAsync
        self.loop = asyncio.new_event_loop() if self.is_async else None
        self._raw = raw

    def result(self, value):
        """What a handle call resolves to; an asyncio connector must give an awaitable."""
        assert inspect.isawaitable(value) == self.is_async
        return self.loop.run_until_complete(value) if self.is_async else value

    def tables(self):
        with contextlib.closing(self._raw()) as con:
            cur = con.cursor()
            if isinstance(con, sqlite3.Connection):
                cur.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
            else:
                cur.execute("SHOW TABLES")
            return {row[0] for row in cur.fetchall()}

    def rows(self, sql):
        with contextlib.closing(self._raw()) as con:
            cur = con.cursor()
            cur.execute(sql)
            return [tuple(row) for row in cur.fetchall()]

    def close(self):
        if self.is_async:
            self.loop.run_until_complete(self.connector.close())
            self.loop.close()
        else:
            self.connector.close()


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def backend(request, tmp_path):
    if request.param in ("sqlite", "aiosqlite"):
        path = str(tmp_path / "tables.db")
        kind = Sqlite3Connector if request.param == "sqlite" else AioSqliteConnector
        current = Backend(request.param, kind(path), lambda: sqlite3.connect(path))
    else:
        params = request.getfixturevalue("mariadb_clean")
        kind = MysqlConnector if request.param == "mariadb" else AioMysqlConnector
        current = Backend(request.param, kind(**params), lambda: pymysql.connect(**params))
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


def test_signature():
    assert str(inspect.signature(DB.getInstance().createTables)) == "(*models, ifNotExists=False)"


def test_creates_the_tables_and_they_work(backend):
    assert backend.result(DB.getInstance().createTables(CtUser, CtPost)) is None
    assert {"ct_user", "ct_post"} <= backend.tables()
    saved = backend.result(CtUser.getExecutor().save(CtUser(name="ann")))
    assert saved["id"] == 1
    assert backend.rows("SELECT id, name FROM ct_user") == [(1, "ann")]


def test_in_the_order_given_up_to_the_first_failure(backend):
    """The second CREATE of ct_user fails: ct_user was made before it, ct_post
    after it never is."""
    with pytest.raises(Exception) as err:
        backend.result(DB.getInstance().createTables(CtUser, CtUser, CtPost))
    assert "already exists" in str(err.value)
    tables = backend.tables()
    assert "ct_user" in tables and "ct_post" not in tables


def test_if_not_exists_keeps_existing_tables(backend):
    handle = DB.getInstance()
    backend.result(handle.createTables(CtUser))
    backend.result(CtUser.getExecutor().save(CtUser(name="kept")))
    assert backend.result(handle.createTables(CtUser, CtPost, ifNotExists=True)) is None
    assert backend.rows("SELECT name FROM ct_user") == [("kept",)]
    assert "ct_post" in backend.tables()


def test_if_not_exists_text_is_the_generators_with_the_clause(tmp_path):
    """Only "IF NOT EXISTS " is inserted; the rest is TableGenerator's text as it is."""
    # The sqlite3 module's trace callback sees every text SQLite runs.
    connector = Sqlite3Connector(str(tmp_path / "trace.db"), driver="sqlite3")
    seen = []
    connector.getCon().set_trace_callback(seen.append)
    with installed(connector) as handle:
        handle.createTables(CtUser, CtPost, ifNotExists=True)
        handle.createTables(CtUser, ifNotExists=True)
        handle.createTables(CtTag, ifNotExists=0)  # any false value: the text unchanged
    connector.close()
    user, post, tag = (TableGenerator(m).Build()[0] for m in (CtUser, CtPost, CtTag))
    guarded_user, guarded_post = ("CREATE TABLE IF NOT EXISTS " + t[len("CREATE TABLE "):] for t in (user, post))
    assert guarded_user.startswith("CREATE TABLE IF NOT EXISTS ct_user( \n   `id` INTEGER,")
    assert seen == [guarded_user, guarded_post, guarded_user, tag]


@pytest.mark.parametrize("bad, shown", [
    ("ct_post", "not str"),
    (3, "not int"),
    (None, "not NoneType"),
    (CtUser(name="x"), "not Tessary.Model.DataModel.ModelInstance"),
    (int, "not the class int"),
    (TableGenerator(CtPost), "not Tessary.DB.Generator.TableGenerator"),
], ids=["str", "int", "None", "instance", "class", "generator"])
def test_every_argument_checked_before_anything_runs(backend, bad, shown):
    with pytest.raises(TypeError) as err:
        DB.getInstance().createTables(CtUser, bad, CtPost)
    assert str(err.value).startswith(f"createTables() argument 2 must be a model class, {shown}")
    assert not {"ct_user", "ct_post"} & backend.tables()


def test_every_text_rendered_before_anything_runs(backend):
    with pytest.raises(LookupError, match="no database value"):
        DB.getInstance().createTables(CtUser, CtBroken)
    assert "ct_user" not in backend.tables()


def test_no_models(backend):
    assert backend.result(DB.getInstance().createTables()) is None
    assert backend.result(DB.getInstance().createTables(ifNotExists=True)) is None


def test_unknown_keyword(backend):
    with pytest.raises(TypeError) as err:
        DB.getInstance().createTables(CtUser, if_not_exists=True)
    assert str(err.value) == "createTables() got an unexpected keyword argument 'if_not_exists'"
    assert "ct_user" not in backend.tables()


@pytest.mark.parametrize("name", ["aiosqlite", "aiomysql"])
def test_asyncio_statements_run_when_awaited(request, tmp_path, name):
    """The awaitable holds the texts and the connector of the call; nothing
    reaches the database before it is awaited."""
    if name == "aiosqlite":
        path = str(tmp_path / "later.db")
        current = Backend(name, AioSqliteConnector(path), lambda: sqlite3.connect(path))
    else:
        params = request.getfixturevalue("mariadb_clean")
        current = Backend(name, AioMysqlConnector(**params), lambda: pymysql.connect(**params))
    with installed(current.connector) as handle:
        try:
            pending = handle.createTables(CtUser, CtPost)
            assert not {"ct_user", "ct_post"} & current.tables()
            assert current.loop.run_until_complete(pending) is None
            assert {"ct_user", "ct_post"} <= current.tables()
        finally:
            current.close()
