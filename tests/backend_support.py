"""One database behind the handle for a test, on any of the four connectors
(SQLite and MariaDB, synchronous and asyncio): the executor kind that goes
with the connector and a raw driver connection of the test's own to check
results against. Shared by the test folders (pytest puts this folder on
sys.path through its conftest.py)."""

import asyncio
import inspect
import sqlite3

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor

from handle_support import installed


class Backend:
    """One database: `connector` is installed on the handle for the test,
    `sync_connector` writes the tables, `raw` is a driver connection of the
    test's own. `run` turns what an operation returned into its result:
    itself on a synchronous connector, awaited on the test's event loop
    otherwise; `executor(Model)` is the executor kind of the connector."""

    def __init__(self, name, connect_raw, sync_connector, connector=None, loop=None):
        self.name = name
        self.is_async = loop is not None
        self.is_sqlite = "sqlite" in name
        self.loop = loop
        self.sync_connector = sync_connector
        self.connector = connector or sync_connector
        self.raw = connect_raw()
        self.placeholder = "?" if self.is_sqlite else "%s"

    def run(self, result):
        if self.is_async:
            assert inspect.isawaitable(result), result
            return self.loop.run_until_complete(result)
        return result

    def executor(self, model):
        return (AsyncModelExecutor if self.is_async else ModelExecutor)(model)

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
        """The rows of a raw statement (`%s` placeholders), as tuples."""
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
    path = str(tmp_path / "blog.db")
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


def installed_backend(request, tmp_path):
    """The fixture body of an empty database on the backend `request.param`
    names, installed on the handle for the test and closed after it."""
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()
