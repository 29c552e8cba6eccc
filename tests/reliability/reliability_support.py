"""Helpers of the reliability tests: models with every kind of relation and a
unique column, connectors that record every statement text a driver receives,
and the backends (a SQLite file or the throw-away MariaDB, synchronous or
asyncio) with a raw driver connection to check what was written."""

import asyncio
import sqlite3
import types

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    TextProperty,
    VarcharProperty,
)

from handle_support import installed  # noqa: F401  (also used by this folder's tests)

# Only a hung test reaches this; a guard, not a measurement.
HANG_GUARD = 120


def declare_models():
    class RelAccount(DataModel):
        tableName = "rel_account"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        email = VarcharProperty(190, extra="UNIQUE")
        name = VarcharProperty(200, nullable=True)
        profile = ForeignKey(ForeignType.ONE_TO_ONE, "RelProfile", bindCol="id", targetBindCol="account_id")
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "RelPost", bindCol="id", targetBindCol="account_id")

    class RelProfile(DataModel):
        tableName = "rel_profile"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        account_id = IntegerProperty(nullable=True)
        bio = TextProperty(nullable=True)

    class RelPost(DataModel):
        tableName = "rel_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        account_id = IntegerProperty(nullable=True)
        title = VarcharProperty(200, nullable=True)
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "RelTag", bindCol="id", targetBindCol="id")

    class RelTag(DataModel):
        tableName = "rel_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(200, nullable=True)

    return types.SimpleNamespace(Account=RelAccount, Profile=RelProfile, Post=RelPost, Tag=RelTag,
                                 PostTag=RelPost.tags.middleModel,
                                 all=(RelAccount, RelProfile, RelPost, RelTag, RelPost.tags.middleModel))


# --- statement recording ------------------------------------------------------


class RecordingCursor:
    """A DB-API cursor that notes each (text, args) before the driver sees it."""

    def __init__(self, cursor, seen):
        self._cursor = cursor
        self._seen = seen

    def execute(self, text, args=None):
        self._seen.append((text, args))
        return self._cursor.execute(text) if args is None else self._cursor.execute(text, args)

    def __getattr__(self, name):
        return getattr(self._cursor, name)


class RecordingConnection:
    def __init__(self, con, seen):
        self._con = con
        self._seen = seen

    def cursor(self, *args):
        return RecordingCursor(self._con.cursor(*args), self._seen)

    def __getattr__(self, name):
        return getattr(self._con, name)


class RecordingSqlite(Sqlite3Connector):
    """Sqlite3Connector whose connection records every statement text."""

    def __init__(self, path, timeout=5.0):
        super().__init__(path)
        self.seen = []
        self.timeout = timeout

    def connect(self):
        con = sqlite3.connect(self.path, isolation_level=None, timeout=self.timeout)
        return RecordingConnection(con, self.seen)


class RecordingMysql(MysqlConnector):
    def __init__(self, **params):
        super().__init__(**params)
        self.seen = []

    def connect(self):
        return RecordingConnection(super().connect(), self.seen)


# --- backends -------------------------------------------------------------------


class Backend:
    """`connector` is installed on the handle for the test; `rows` reads
    through a raw driver connection of its own; `run` drives a coroutine on
    the backend's own loop (asyncio backends)."""

    def __init__(self, name, params, connector, connect_raw, is_async=False):
        self.name = name
        self.params = params
        self.connector = connector
        self.is_async = is_async
        self.loop = asyncio.new_event_loop() if is_async else None
        self._connect_raw = connect_raw
        self._raw = None

    @property
    def mysql(self):
        return "mysql" in self.name or "mariadb" in self.name

    @property
    def raw(self):
        if self._raw is None:
            self._raw = self._connect_raw()
        return self._raw

    def run(self, awaitable):
        return self.loop.run_until_complete(asyncio.wait_for(awaitable, HANG_GUARD))

    def rows(self, sql, args=()):
        """Rows of a raw query written with "%s", as a list of tuples."""
        if not self.mysql:
            sql = sql.replace("%s", "?")
        cur = self.raw.cursor()
        try:
            cur.execute(sql, args)
            return [tuple(row) for row in cur.fetchall()]
        finally:
            cur.close()
            self.raw.commit()  # a fresh snapshot for the next read

    def count(self, model):
        return self.rows(f"SELECT COUNT(*) FROM {model.tableName}")[0][0]

    def create(self, *models):
        """The tables of `models`, made through the raw connection; the key
        column's type text comes from the installed connector."""
        cur = self.raw.cursor()
        try:
            for model in models:
                cur.execute(TableGenerator(model).Build()[0])
        finally:
            cur.close()
            self.raw.commit()

    def close(self):
        if self._raw is not None:
            self._raw.close()
        if self.is_async:
            self.loop.run_until_complete(self.connector.close())
            self.loop.close()
        else:
            self.connector.close()


def make_backend(name, request, tmp_path):
    if name in ("sqlite", "aiosqlite"):
        path = str(tmp_path / f"{name}.db")
        connect_raw = lambda: sqlite3.connect(path)  # noqa: E731
        if name == "sqlite":
            return Backend(name, {"path": path}, RecordingSqlite(path), connect_raw)
        return Backend(name, {"path": path}, AioSqliteConnector(path), connect_raw, is_async=True)
    import pymysql
    params = request.getfixturevalue("mariadb_clean")
    connect_raw = lambda: pymysql.connect(**params)  # noqa: E731
    if name == "mariadb":
        return Backend(name, params, RecordingMysql(**params), connect_raw)
    return Backend(name, params, AioMysqlConnector(**params), connect_raw, is_async=True)


def integrity_errors():
    import pymysql
    return (sqlite3.IntegrityError, pymysql.err.IntegrityError)


# --- rows the fault tests write ---------------------------------------------------


def account_with_relations(models, email, between=None):
    """An account with a profile and two posts; `between` runs after the
    first post has been handed to the executor."""
    def posts():
        yield models.Post(title="first")
        if between is not None:
            between()
        yield models.Post(title="second")
    return models.Account(email=email, name="n", profile=models.Profile(bio="b"), posts=posts())


def assert_all_empty(backend, models):
    assert {m.tableName: backend.count(m) for m in models.all} == {m.tableName: 0 for m in models.all}
