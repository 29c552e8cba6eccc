"""What the type checkers make of the package's API: each `reveal_type` line
ends with the type pyright must reveal there (test_typing.py compares). A line
that must be an error carries the ignore comment of each checker
(`# type: ignore[...]` is mypy's, `# pyright: ignore[...]` pyright's), and an
unused ignore is an error under both. mypy 1.0 does not follow ModelMeta.__call__
and takes `User(...)` for an instance of User: the lines where that differs from
a ModelInstance[User] carry mypy's ignore only. Checked, never run."""

import asyncio
import datetime
import inspect
from collections.abc import Awaitable
from typing import Any, cast

from Tessary.DB.Connector import AioSqliteConnector, AioTransaction, Sqlite3Connector, Transaction
from Tessary.DB.DB import DB
from Tessary.DB.Generator import SqlGenerator, TableGenerator
from Tessary.Ext.Folio import Folio, Page
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    DateProperty,
    FilterListCell,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)


class Post(DataModel):
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty()
    title = VarcharProperty(80)


class User(DataModel):
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(40)
    age = IntegerProperty(nullable=True)
    joined = DateProperty(nullable=True)
    posts = ForeignKey(ForeignType.ONE_TO_MANY, "Post", "id", "user_id")


def columns_and_conditions() -> None:
    reveal_type(User.name)  # VarcharProperty
    reveal_type(User.age.fromDBValue(3))  # int | None
    reveal_type(User.joined.fromDBValue("2024-01-05"))  # date | None
    reveal_type(User.age == 3)  # FilterListCell
    reveal_type(User.age != 3)  # FilterListCell
    reveal_type(User.age > 18)  # FilterListCell
    reveal_type(User.age >= 18)  # FilterListCell
    reveal_type(User.age < 18)  # FilterListCell
    reveal_type(User.age <= 18)  # FilterListCell
    reveal_type(User.name.like("a%"))  # FilterListCell
    reveal_type(User.id.In([1, 2]))  # FilterListCell
    reveal_type((User.age > 18) & (User.name == "ann") | (User.id == 1))  # FilterListCell
    reveal_type(User.age == User.age)  # ColumnComparison
    reveal_type(User.age.between(1, 2) & ~User.name.isNull())  # FilterListCell
    reveal_type(User.id.desc())  # OrderTerm
    reveal_type(User.posts)  # ForeignKey


def instances() -> None:
    ann = User(name="ann", age=30)
    reveal_type(ann)  # ModelInstance[User]
    reveal_type(User({"name": "bob"}))  # ModelInstance[User]
    reveal_type(ann.name)  # Any
    reveal_type(ann["name"])  # type: ignore[index, misc]  # Any
    reveal_type(ann.copy())  # ModelInstance[User]
    reveal_type(ann.object)  # type[User] | None
    mapping: dict[str, Any] = ann  # type: ignore[assignment]  # a model instance is a dict


def synchronous_queries() -> None:
    users = User.getExecutor()
    reveal_type(users)  # ModelExecutor[User]
    reveal_type(users.findAllBy(User.age > 18))  # InstanceList[User]
    reveal_type(users.findOneBy(User.name == "ann"))  # ModelInstance[User]
    reveal_type(users.find(User.id, User.name).By(User.age > 18))  # InstanceList[User]
    reveal_type(User.name.As("label"))  # ColumnAlias
    reveal_type(users.save(User(name="cy")))  # ModelInstance[User]
    reveal_type(users.save({"name": "dee"}))  # dict[str, str]
    reveal_type(users.saveAll([User(name="eve")]))  # list[ModelInstance[User]]
    reveal_type(users.editSql(lambda sql: sql.orderBy("user.id")))  # ModelExecutor[User]
    for user in users.iterAllBy(batchSize=100):
        reveal_type(user)  # ModelInstance[User]
    for post in Post.getExecutor().findAllBy():
        reveal_type(post)  # ModelInstance[Post]
    users.findAllBy("age > 18")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]


async def asynchronous_queries() -> None:
    users = AsyncModelExecutor(User)
    reveal_type(users)  # AsyncModelExecutor[User]
    reveal_type(await users.findAllBy(User.age > 18))  # InstanceList[User]
    reveal_type(await users.findOneBy(User.name == "ann"))  # ModelInstance[User] | None
    reveal_type(await users.save(User(name="cy")))  # ModelInstance[User]
    reveal_type(await users.saveAll([User(name="eve")]))  # list[ModelInstance[User]]
    async with users.iterAllBy(User.age > 18) as stream:
        async for user in stream:
            reveal_type(user)  # ModelInstance[User]
    con = await AioSqliteConnector(":memory:").getCon()
    reveal_type(User.getExecutor(con))  # AsyncModelExecutor[User]


def pages() -> None:
    page = Folio(User, page=2, pageSize=5).filter(User.age > 18).orderBy("user.id").execute()
    reveal_type(page)  # Page[User]
    reveal_type(page.total)  # int
    reveal_type(page.totalPage)  # int
    reveal_type(page.content)  # list[ModelInstance[User]]
    keyset = Folio(User, pageSize=10).keyset(User.id).execute()
    reveal_type(keyset.next)  # tuple[Any, ...] | None


async def awaited_page() -> None:
    page = await cast("Awaitable[Page[User]]", Folio(User).execute())
    reveal_type(page.content)  # list[ModelInstance[User]]


def statements() -> None:
    text, args = SqlGenerator().Build()  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues]
    text, args = SqlGenerator().select(User.id).From(User).where(User.age > 18).Build()
    reveal_type(text)  # str
    reveal_type(args)  # tuple[Any, ...]
    reveal_type(SqlGenerator().delete(User).where(User.id == 3).Build())  # tuple[str, tuple[Any, ...]]
    reveal_type(SqlGenerator().Build())  # None
    reveal_type(TableGenerator(User).Build())  # tuple[str]


def handle() -> None:
    db = DB.getInstance()
    rows = db.executeSql("SELECT count(*) FROM user")
    reveal_type(rows[0][0])  # Any
    with db.transaction() as con:
        User.getExecutor(con).save(User(name="fay"))
    with Sqlite3Connector().transaction() as con:
        reveal_type(con)  # Any
    reveal_type(Sqlite3Connector().transaction())  # Transaction
    reveal_type(AioSqliteConnector().transaction())  # AioTransaction
    db.createTables(User, "post")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]


async def awaited_handle() -> None:
    db = DB.getInstance()
    rows = await db.executeSql("SELECT count(*) FROM user")
    reveal_type(rows)  # Sequence[Sequence[Any]]
    await db.createTables(User, Post)
    async with db.transaction() as con:
        await AsyncModelExecutor(User, con).save(User(name="gil"))


def sqlite_options() -> None:
    connector = Sqlite3Connector("app.db", timeout=10, transactionMode="EXCLUSIVE",
                                 pragmas={"journal_mode": "wal", "foreign_keys": True, "cache_size": -4000})
    reveal_type(connector.transactionMode)  # Literal['IMMEDIATE', 'DEFERRED', 'EXCLUSIVE']
    reveal_type(connector.pragmas)  # dict[str, int | str | bool]
    reveal_type(AioSqliteConnector(timeout=1.5).timeout)  # float
    Sqlite3Connector(transactionMode="SERIALIZABLE")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    AioSqliteConnector(pragmas={"cache_size": 1.5})  # type: ignore[dict-item]  # pyright: ignore[reportArgumentType]


def signatures() -> None:
    reveal_type(inspect.signature(User.getExecutor))  # Signature


asyncio.run(awaited_handle())
