"""Helpers of the seeding tests: the seeded models and the backends (one
database behind the handle, with a raw driver connection of the test's own)."""

import sqlite3
import types

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from handle_support import installed  # noqa: F401  (also used by this folder's tests)


def declare_models():
    class SdUser(DataModel):
        tableName = "sd_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32, nullable=True)
        n = IntegerProperty(nullable=True)

    class SdItem(DataModel):
        tableName = "sd_item"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(User=SdUser, Item=SdItem)


class Backend:
    """One database: `connector` is the one installed on the handle,
    `sync_connector` writes the tables, `raw` is a driver connection of the
    test's own, `params` what a subprocess needs to open the same database."""

    def __init__(self, name, params, connect_raw, sync_connector, connector=None):
        self.name = name
        self.params = params
        self.sync_connector = sync_connector
        self.connector = connector or sync_connector
        self.raw = connect_raw()
        self.placeholder = "?" if "sqlite" in name else "%s"

    def create(self, *models):
        with installed(self.sync_connector) as handle:
            for model in models:
                handle.executeSql(TableGenerator(model).Build()[0])

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


def make_backend(name, request, tmp_path):
    if name == "sqlite":
        path = str(tmp_path / "seeder.db")
        return Backend(name, {"path": path}, lambda: sqlite3.connect(path), Sqlite3Connector(path))
    import pymysql
    params = request.getfixturevalue("mariadb_clean")
    return Backend(name, params, lambda: pymysql.connect(**params), MysqlConnector(**params))
