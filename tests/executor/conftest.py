"""The backend fixture of the executor tests: every behaviour runs once on a
SQLite file and once on the throw-away MariaDB, through the database handle."""

import sqlite3
import types

import pytest

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    BigIntegerProperty,
    BooleanProperty,
    IntegerProperty,
    VarcharProperty,
)

from handle_support import installed


def _declare_models():
    class ExUser(DataModel):
        tableName = "ex_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(64, nullable=True)
        age = IntegerProperty(nullable=True)
        active = BooleanProperty(nullable=True)

    class ExBig(DataModel):
        tableName = "ex_big"
        id = BigIntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(User=ExUser, Big=ExBig)


@pytest.fixture(scope="session")
def models():
    return _declare_models()


class Backend:
    """One database behind the handle, plus a raw driver connection of its own
    to check what the executors wrote."""

    def __init__(self, name, connector, connect_raw):
        self.name = name
        self.connector = connector
        self._connect_raw = connect_raw
        self._raw = None

    @property
    def raw(self):
        if self._raw is None:
            self._raw = self._connect_raw()
        return self._raw

    def rows(self, sql, args=()):
        """Rows of a raw query written with "%s" placeholders, as a list of tuples."""
        if self.name == "sqlite":
            sql = sql.replace("%s", "?")
        cur = self.raw.cursor()
        try:
            cur.execute(sql, args)
            return [tuple(row) for row in cur.fetchall()]
        finally:
            cur.close()
            self.raw.commit()  # a fresh snapshot for the next read

    def create(self, *models):
        for model in models:
            DB.getInstance().executeSql(TableGenerator(model).Build()[0])

    def close(self):
        if self._raw is not None:
            self._raw.close()
        self.connector.close()


@pytest.fixture(params=["sqlite", "mariadb"])
def backend(request, tmp_path):
    if request.param == "sqlite":
        path = str(tmp_path / "test.db")
        current = Backend("sqlite", Sqlite3Connector(path), lambda: sqlite3.connect(path))
    else:
        import pymysql
        params = request.getfixturevalue("mariadb_clean")
        current = Backend("mariadb", MysqlConnector(**params), lambda: pymysql.connect(**params))
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture
def users(backend, models):
    """The user table with four rows (ids 1 to 4)."""
    backend.create(models.User)
    rows = [("ann", 30, True), ("bob", 0, False), ("", 41, None), ("dan", None, True)]
    for name, age, active in rows:
        models.User.getExecutor().save(models.User(name=name, age=age, active=active))
    return models.User


@pytest.fixture
def statements():
    """Every statement the executors send through the handle, as (sql, args)
    pairs, recorded by wrapping the handle's execute."""
    handle = DB.getInstance()
    seen = []
    run = DB.execute

    def recording(executor, con=None):
        seen.append(executor.sql.Build())
        return run(handle, executor=executor, con=con)

    handle.execute = recording
    try:
        yield seen
    finally:
        del handle.__dict__["execute"]
