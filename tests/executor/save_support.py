"""Helpers of the save tests that run on all four connectors: models with a
unique column on each side of every kind of relation, and the store (one
connector installed on the handle, with a raw driver connection of its own)."""

import asyncio
import functools
import sqlite3
import types

import pymysql

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from handle_support import installed

# Only a hung test reaches this; a guard, not a measurement.
HANG_GUARD = 120

CONNECTORS = ["sqlite", "mariadb", "aiosqlite", "aiomysql"]


@functools.cache
def declare_models():
    """Declared once: the relations find their models by class name."""
    class SfAccount(DataModel):
        tableName = "sf_account"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        email = VarcharProperty(64, extra="UNIQUE")
        name = VarcharProperty(64, nullable=True)
        profile = ForeignKey(ForeignType.ONE_TO_ONE, "SfProfile", bindCol="id", targetBindCol="account_id")
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "SfPost", bindCol="id", targetBindCol="account_id")
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "SfTag", bindCol="id", targetBindCol="id")

    class SfProfile(DataModel):
        tableName = "sf_profile"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        account_id = IntegerProperty(nullable=True)
        handle = VarcharProperty(64, extra="UNIQUE")

    class SfPost(DataModel):
        tableName = "sf_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        account_id = IntegerProperty(nullable=True)
        slug = VarcharProperty(64, extra="UNIQUE")

    class SfTag(DataModel):
        tableName = "sf_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(64, extra="UNIQUE")

    return types.SimpleNamespace(Account=SfAccount, Profile=SfProfile, Post=SfPost, Tag=SfTag,
                                 all=(SfAccount, SfProfile, SfPost, SfTag, SfAccount.tags.middleModel))


class Store:
    """One connector installed on the handle. `save` and `update` go through
    the model's own executor and are awaited on the store's loop when the
    connector is asynchronous; `rows` reads through a raw driver connection."""

    def __init__(self, name, connector, connect_raw):
        self.name = name
        self.connector = connector
        self.is_async = name.startswith("aio")
        self.loop = asyncio.new_event_loop() if self.is_async else None
        self.raw = connect_raw()
        self.integrity_error = sqlite3.IntegrityError if "sqlite" in name else pymysql.IntegrityError
        self.falls_back = name != "sqlite"  # the synchronous SQLite path catches nothing

    def result(self, value):
        if not self.is_async:
            return value
        return self.loop.run_until_complete(asyncio.wait_for(value, HANG_GUARD))

    def save(self, model, instance):
        return self.result(model.getExecutor().save(instance))

    def update(self, model, instance):
        return self.result(model.getExecutor().update(instance))

    def rows(self, sql):
        cur = self.raw.cursor()
        try:
            cur.execute(sql)
            return [tuple(row) for row in cur.fetchall()]
        finally:
            cur.close()
            self.raw.commit()  # a fresh snapshot for the next read

    def create(self, *models):
        cur = self.raw.cursor()
        try:
            for model in models:
                cur.execute(TableGenerator(model).Build()[0])
        finally:
            cur.close()
            self.raw.commit()

    def close(self):
        self.raw.close()
        if self.is_async:
            self.loop.run_until_complete(self.connector.close())
            self.loop.close()
        else:
            self.connector.close()


def make_store(name, request, tmp_path):
    if "sqlite" in name:
        path = str(tmp_path / f"{name}.db")
        connector = Sqlite3Connector(path) if name == "sqlite" else AioSqliteConnector(path)
        return Store(name, connector, lambda: sqlite3.connect(path))
    params = request.getfixturevalue("mariadb_clean")
    connector = MysqlConnector(**params) if name == "mariadb" else AioMysqlConnector(**params)
    return Store(name, connector, lambda: pymysql.connect(**params))




def open_store(request, tmp_path, models):
    """The generator behind a `store` fixture parametrized over CONNECTORS:
    the store with the tables of `models`, installed on the handle."""
    current = make_store(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(*models.all)
            yield current
        finally:
            current.close()


def accounts(store):
    return store.rows("SELECT id, email, name FROM sf_account ORDER BY id")
