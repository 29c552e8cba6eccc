"""Helpers of the paging tests: the paged models and the backends (one
database behind the handle, with a raw driver connection of the test's own)."""

import asyncio
import sqlite3
import types

from Tessary.DB.DB import DB
from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)

from handle_support import installed  # noqa: F401  (also used by this folder's tests)


def declare_models():
    class FoUser(DataModel):
        tableName = "fo_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32, nullable=True)
        age = IntegerProperty(nullable=True)
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "FoPost", bindCol="id", targetBindCol="user_id")
        profile = ForeignKey(ForeignType.ONE_TO_ONE, "FoProfile", bindCol="id", targetBindCol="user_id")

    class FoPost(DataModel):
        tableName = "fo_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(32, nullable=True)

    class FoProfile(DataModel):
        tableName = "fo_profile"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        bio = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(User=FoUser, Post=FoPost, Profile=FoProfile)


class Backend:
    """One database: `connector` is installed on the handle for the test,
    `sync_connector` writes the tables, `raw` is a driver connection of the
    test's own. `run` turns what execute() returned into its result: itself
    on a synchronous connector, awaited on the test's event loop otherwise."""

    def __init__(self, name, connect_raw, sync_connector, connector=None, loop=None):
        self.name = name
        self.is_async = loop is not None
        self.loop = loop
        self.sync_connector = sync_connector
        self.connector = connector or sync_connector
        self.raw = connect_raw()
        self.placeholder = "?" if "sqlite" in name else "%s"

    def run(self, result):
        return self.loop.run_until_complete(result) if self.is_async else result

    def create(self, *models):
        """Tables made from the models through a synchronous connector of the same database."""
        with installed(self.sync_connector) as handle:
            for model in models:
                handle.executeSql(TableGenerator(model).Build()[0])

    def insert(self, table, columns, rows):
        marks = ", ".join([self.placeholder] * len(columns))
        cur = self.raw.cursor()
        cur.executemany(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})", rows)
        cur.close()
        self.raw.commit()

    def rows(self, sql, args=()):
        cur = self.raw.cursor()
        try:
            cur.execute(sql.replace("%s", self.placeholder), args)
            return [tuple(row) for row in cur.fetchall()]
        finally:
            cur.close()
            self.raw.commit()  # a fresh snapshot for the next read

    def close(self):
        self.raw.close()
        self.sync_connector.close()
        if self.is_async:
            self.loop.run_until_complete(self.connector.close())
            self.loop.close()


def _sqlite(tmp_path, is_async=False):
    path = str(tmp_path / "folio.db")
    if not is_async:
        return Backend("sqlite", lambda: sqlite3.connect(path), Sqlite3Connector(path))
    return Backend("aiosqlite", lambda: sqlite3.connect(path), Sqlite3Connector(path), AioSqliteConnector(path),
                   asyncio.new_event_loop())


def _mariadb(params, is_async=False):
    import pymysql
    if not is_async:
        return Backend("mariadb", lambda: pymysql.connect(**params), MysqlConnector(**params))
    return Backend("aiomysql", lambda: pymysql.connect(**params), MysqlConnector(**params),
                   AioMysqlConnector(**params), asyncio.new_event_loop())


def make_backend(name, request, tmp_path):
    is_async = name.startswith("aio")
    if name.endswith("sqlite"):
        return _sqlite(tmp_path, is_async)
    return _mariadb(request.getfixturevalue("mariadb_clean"), is_async)
