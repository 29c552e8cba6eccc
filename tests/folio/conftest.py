"""Fixtures of the paging tests: the paged models, every backend behind the
database handle (rows written and read back through a raw driver connection
of its own), and a recorder of the statements sent through the handle."""

import contextlib
import sqlite3
import types

import pytest

from Tessary.DB.DB import DB
from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)


def _declare_models():
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


@pytest.fixture(scope="session")
def models():
    return _declare_models()


@contextlib.contextmanager
def installed(connector):
    handle = DB.getInstance()
    previous = handle.connector
    handle.connector = connector
    try:
        yield handle
    finally:
        handle.connector = previous


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


def _sqlite(tmp_path):
    path = str(tmp_path / "folio.db")
    return Backend("sqlite", lambda: sqlite3.connect(path), Sqlite3Connector(path))


def _mariadb(params):
    import pymysql
    return Backend("mariadb", lambda: pymysql.connect(**params), MysqlConnector(**params))


BACKENDS = ["sqlite", "mariadb"]


@pytest.fixture(params=BACKENDS)
def backend(request, tmp_path):
    if request.param == "sqlite":
        current = _sqlite(tmp_path)
    else:
        current = _mariadb(request.getfixturevalue("mariadb_clean"))
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture
def statements():
    """Every statement sent through the handle, as (operation, sql, args)
    triples: the handle's execute and executeSql are wrapped on the handle
    instance, which the controller and the executors look up by attribute."""
    handle = DB.getInstance()
    seen = []
    run, run_sql = type(handle).execute, type(handle).executeSql

    def execute(executor, con=None):
        seen.append(("execute", *executor.sql.Build()))
        return run(handle, executor=executor, con=con)

    def execute_sql(text, args=(), con=None):
        seen.append(("executeSql", text, tuple(args)))
        return run_sql(handle, text, args=args, con=con)

    handle.execute = execute
    handle.executeSql = execute_sql
    try:
        yield seen
    finally:
        del handle.__dict__["execute"], handle.__dict__["executeSql"]


@pytest.fixture
def users(backend, models):
    """fo_user with 25 rows: ids 1..25, name "u01".."u25", age id % 5."""
    backend.create(models.User, models.Post, models.Profile)
    backend.insert("fo_user", ("name", "age"), [(f"u{i:02d}", i % 5) for i in range(1, 26)])
    return models.User
