"""Helpers of the everyday query and write tests: a small blog (users, posts,
comments, tags) and the backends: one database behind the handle, the
executor kind that goes with its connector, and a raw driver connection of
the test's own."""

import asyncio
import inspect
import sqlite3
import types

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.DataModel import DataModel, MiddleDataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)

from handle_support import installed  # noqa: F401  (also used by this folder's tests)


def declare_blog():
    class QUser(DataModel):
        tableName = "q_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32)
        age = IntegerProperty(nullable=True)
        visits = IntegerProperty(default=0)
        email = VarcharProperty(64, nullable=True)
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "QPost", bindCol="id", targetBindCol="user_id")

    class QPost(DataModel):
        tableName = "q_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(64)
        score = IntegerProperty(default=0)
        version = IntegerProperty(default=1)
        comments = ForeignKey(ForeignType.ONE_TO_MANY, "QComment", bindCol="id", targetBindCol="post_id")
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "QTag", bindCol="id", targetBindCol="id",
                          middleModel="QPostTag")

    class QComment(DataModel):
        tableName = "q_comment"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        post_id = IntegerProperty(nullable=True)
        body = VarcharProperty(64)

    class QTag(DataModel):
        tableName = "q_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32)

    class QPostTag(MiddleDataModel):
        tableName = "q_post_tag"
        q_post_id = IntegerProperty()
        q_tag_id = IntegerProperty()

    return types.SimpleNamespace(User=QUser, Post=QPost, Comment=QComment, Tag=QTag, PostTag=QPostTag,
                                 tables=(QUser, QPost, QComment, QTag, QPostTag))


# The rows `filled` writes: (table, columns, rows). Names are chosen so that
# case-insensitive matching, NULLs and ties have something to show.
BLOG_ROWS = [
    ("q_user", ("name", "age", "visits", "email"), [
        ("ann", 31, 5, "ann@example.org"),
        ("Bob", 25, 0, None),
        ("cy", None, 12, "cy@example.org"),
        ("dee", 61, 3, None),
    ]),
    ("q_post", ("user_id", "title", "score", "version"), [
        (1, "Hello", 10, 1),
        (1, "Again", 3, 1),
        (2, "bob's post", 7, 2),
        (3, "100% sure", 0, 1),
        (None, "orphan", 1, 1),
    ]),
    ("q_comment", ("post_id", "body"), [(1, "nice"), (1, "more"), (3, "hm")]),
    ("q_tag", ("label",), [("news",), ("misc",)]),
    ("q_post_tag", ("q_post_id", "q_tag_id"), [(1, 1), (1, 2), (3, 2)]),
]


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

    def fill(self):
        for table, columns, rows in BLOG_ROWS:
            self.insert(table, columns, rows)

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
