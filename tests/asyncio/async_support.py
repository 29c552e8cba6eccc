"""Helpers of the asyncio tests: the models (with every kind of relation), and
the backend: an asynchronous connector installed on the handle, an event loop
of the test's own, and a raw driver connection to check what was written."""

import asyncio
import sqlite3
import types

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    BigIntegerProperty,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)

from handle_support import installed  # noqa: F401  (also used by this folder's tests)

# Only a test that hangs reaches this; a guard, not a measurement.
HANG_GUARD = 120


def declare_models():
    class AsUser(DataModel):
        tableName = "as_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32, nullable=True)
        profile = ForeignKey(ForeignType.ONE_TO_ONE, "AsProfile", bindCol="id", targetBindCol="user_id")
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "AsPost", bindCol="id", targetBindCol="user_id")

    class AsProfile(DataModel):
        tableName = "as_profile"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        bio = VarcharProperty(32, nullable=True)
        score = IntegerProperty(nullable=True, default=7)

    class AsPost(DataModel):
        tableName = "as_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(32, nullable=True)
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "AsTag", bindCol="id", targetBindCol="id")

    class AsTag(DataModel):
        tableName = "as_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    class AsBig(DataModel):
        tableName = "as_big"
        id = BigIntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(User=AsUser, Profile=AsProfile, Post=AsPost, Tag=AsTag, Big=AsBig,
                                 PostTag=AsPost.tags.middleModel)


class Backend:
    """`connector` is installed on the handle for the test; `run` drives a
    coroutine on the test's loop; `rows` reads through a raw driver
    connection."""

    def __init__(self, name, params, connector, connect_raw):
        self.name = name
        self.params = params
        self.connector = connector
        self.loop = asyncio.new_event_loop()
        self._connect_raw = connect_raw
        self._raw = None

    def run(self, awaitable):
        return self.loop.run_until_complete(asyncio.wait_for(awaitable, HANG_GUARD))

    def create(self, *models):
        async def make():
            for model in models:
                await DB.getInstance().executeSql(TableGenerator(model).Build()[0])
        self.run(make())

    @property
    def raw(self):
        if self._raw is None:
            self._raw = self._connect_raw()
        return self._raw

    def rows(self, sql, args=()):
        """Rows of a raw query written with "%s", as a list of tuples."""
        if self.name == "aiosqlite":
            sql = sql.replace("%s", "?")
        cur = self.raw.cursor()
        try:
            cur.execute(sql, args)
            return [tuple(row) for row in cur.fetchall()]
        finally:
            cur.close()
            self.raw.commit()  # a fresh snapshot for the next read

    def close(self):
        if self._raw is not None:
            self._raw.close()
        self.loop.run_until_complete(self.connector.close())
        self.loop.close()


def make_backend(name, request, tmp_path, **options):
    if name == "aiosqlite":
        tmp_path.mkdir(parents=True, exist_ok=True)
        path = str(tmp_path / "async.db")
        return Backend(name, {"path": path}, AioSqliteConnector(path, **options), lambda: sqlite3.connect(path))
    import pymysql
    params = request.getfixturevalue("mariadb_clean")
    return Backend(name, params, AioMysqlConnector(**params, **options), lambda: pymysql.connect(**params))
