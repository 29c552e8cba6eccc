"""A short end-to-end run through every extension module, for memory checkers
(scripts/valgrind.sh runs it under valgrind memcheck): declare models, create
tables, save related rows, query, load relations, page, seed, update, delete,
roll back, fail on bad input; synchronously and through asyncio, on a SQLite
file and, when TESSARY_E2E_MYSQL holds connection parameters as JSON, on
MySQL/MariaDB too. Exits non-zero when a result is not what it should be.

    python3.13 tests/reliability/e2e_script.py [folder for the SQLite files]
"""

import asyncio
import gc
import json
import os
import sys
import tempfile

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import FunctionCall, Q, SqlGenerator, TableGenerator
from Tessary.Ext.Dict import DictPlus
from Tessary.Ext.Folio import Folio
from Tessary.Ext.Seeder import GeneratorRunner, data_task
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    DateTimeProperty,
    DecimalProperty,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)


class E2eUser(DataModel):
    tableName = "e2e_user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64)
    age = IntegerProperty(nullable=True)
    profile = ForeignKey(ForeignType.ONE_TO_ONE, "E2eProfile", bindCol="id", targetBindCol="user_id")
    posts = ForeignKey(ForeignType.ONE_TO_MANY, "E2ePost", bindCol="id", targetBindCol="user_id")


class E2eProfile(DataModel):
    tableName = "e2e_profile"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty(nullable=True)
    city = VarcharProperty(32, nullable=True)


class E2ePost(DataModel):
    tableName = "e2e_post"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty(nullable=True)
    title = VarcharProperty(64, nullable=True)
    rating = DecimalProperty(3, 1, nullable=True)
    published = DateTimeProperty(nullable=True)
    tags = ForeignKey(ForeignType.MANY_TO_MANY, "E2eTag", bindCol="id", targetBindCol="id")


class E2eTag(DataModel):
    tableName = "e2e_tag"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    label = VarcharProperty(32, nullable=True)


MODELS = (E2eUser, E2eProfile, E2ePost, E2eTag, E2ePost.tags.middleModel)
SEEDED = 12


@data_task(E2eUser, SEEDED, group="e2e")
def seed_user(time):
    return E2eUser(name=f"seed{time:02d}", age=time, profile=E2eProfile(city="Oslo"))


def check(condition, what):
    if not condition:
        raise SystemExit(f"e2e: wrong result: {what}")


def new_user(index):
    return E2eUser(name=f"user{index}", age=20 + index, profile=E2eProfile(city=f"city{index}"),
                   posts=[E2ePost(title=f"post{index}.{k}", tags=[E2eTag(label=f"tag{index}.{k}")]) for k in range(2)])


def bad_input_raises():
    """Wrong arguments raise at every layer; nothing else happens."""
    for call in (lambda: SqlGenerator().select().Limit("x", 1), lambda: E2eUser.getExecutor().findAllBy(3),
                 lambda: Folio(E2eUser, 0), lambda: data_task(count=True), lambda: E2eUser(5),
                 lambda: SqlGenerator.build_where(Q(E2eUser.id == 1) & 7)):
        try:
            call()
        except (TypeError, AssertionError):
            continue
        check(False, "bad input accepted")


# --- synchronous ---------------------------------------------------------------


def sync_story(connector):
    handle = DB.getInstance()
    handle.connector = connector
    for model in reversed(MODELS):
        handle.executeSql(f"DROP TABLE IF EXISTS {model.tableName}")
    for model in MODELS:
        handle.executeSql(TableGenerator(model).Build()[0])

    ids = [E2eUser.getExecutor().save(new_user(i))["id"] for i in range(5)]
    found = E2eUser.getExecutor().findAllBy((E2eUser.age > 21) & E2eUser.name.like("user%"))
    check([u["name"] for u in found] == ["user2", "user3", "user4"], "findAllBy")
    E2eUser.getExecutor().findListForeignKey(found, True)
    check([len(u["posts"]) for u in found] == [2, 2, 2], "related posts")
    check(found[0]["posts"][0]["tags"][0]["label"] == "tag2.0", "related tags")
    one = E2eUser.getExecutor().findOneBy(E2eUser.id == ids[0])
    E2eUser.getExecutor().findForeignKey(one, True, {})
    check(one["profile"]["city"] == "city0", "one-to-one")
    check(len(E2eUser.getExecutor().findAnyMatch(E2eUser(name="user1"))) == 1, "findAnyMatch")
    check(len(E2eUser.getExecutor().find(E2eUser.id).By(E2eUser.id.In(ids[:3]))) == 3, "find/By")

    one["name"] = "renamed"
    one["posts"][0]["title"] = "retitled"
    E2eUser.getExecutor().update(one)
    check(E2eUser.getExecutor().findOneBy(E2eUser.name == "renamed")["id"] == ids[0], "update")

    try:
        with handle.transaction() as con:
            E2eUser.getExecutor(con).save(new_user(99))
            raise KeyError("abandon")
    except KeyError:
        pass
    check(not E2eUser.getExecutor().findAllBy(E2eUser.name == "user99"), "rollback")

    GeneratorRunner().run()
    page = Folio(E2eUser, 2, 5).filter(E2eUser.name.like("seed%")).orderBy("e2e_user.id").findForeign().execute()
    check((page.total, page.totalPage, len(page.content)) == (SEEDED, 3, 5), f"page {page}")
    check(page.content[0]["profile"]["city"] == "Oslo", "page relations")

    E2eUser.getExecutor().delete(None, E2eUser.name.like("seed%"))
    E2eUser.getExecutor().delete(E2eUser(id=ids[-1]))
    check(len(E2eUser.getExecutor().findAllBy()) == 4, "delete")
    rows = handle.executeSql("SELECT " + FunctionCall("COUNT", 1).Build()[0] + " FROM e2e_post", (1,))
    check(rows[0][0] == 10, "raw count")
    bad_input_raises()
    connector.close()


DEADLOCK = 1213  # MySQL: "Deadlock found when trying to get lock"


# --- asyncio --------------------------------------------------------------------


async def async_story(connector):
    handle = DB.getInstance()
    handle.connector = connector
    while not connector.isReady:
        await asyncio.sleep(0.05)
    for model in reversed(MODELS):
        await handle.executeSql(f"DROP TABLE IF EXISTS {model.tableName}")
    for model in MODELS:
        await handle.executeSql(TableGenerator(model).Build()[0])

    async def one_task(index):
        # Concurrent transactions that rewrite junction rows can deadlock on
        # MySQL; the server rolls the loser back and the application retries.
        for attempt in range(10):
            con = await connector.getCon()
            try:
                saved = await E2eUser.getExecutor(con).save(new_user(index))
                await con.commit()
                return saved["id"]
            except Exception as exc:
                if getattr(exc, "args", (None,))[:1] != (DEADLOCK,) or attempt == 9:
                    raise
            finally:
                await connector.releaseCon(con)

    ids = await asyncio.gather(*(one_task(i) for i in range(6)))
    found = await E2eUser.getExecutor().findAllBy(E2eUser.id.In(list(ids)))
    check(sorted(u["name"] for u in found) == [f"user{i}" for i in range(6)], "async save and find")
    await E2eUser.getExecutor().findListForeignKey(found, True)
    check(all(len(u["posts"]) == 2 for u in found), "async relations")
    one = await E2eUser.getExecutor().findOneBy(E2eUser.id == ids[0])
    one["age"] = 77
    await E2eUser.getExecutor().update(one)
    check((await E2eUser.getExecutor().findOneBy(E2eUser.age == 77))["id"] == ids[0], "async update")
    check(await E2eUser.getExecutor().findOneBy(E2eUser.name == "nobody") is None, "async empty")

    await GeneratorRunner().arun()
    page = await Folio(E2eUser, 1, 4).filter(E2eUser.name.like("seed%")).execute()
    check((page.total, len(page.content)) == (SEEDED, 4), "async page")

    abandoned = E2eUser.getExecutor().findAllBy()  # a coroutine dropped unawaited
    abandoned.close()
    await E2eUser.getExecutor().delete(None, E2eUser.age > 0)
    check(await E2eUser.getExecutor().findAllBy() == [], "async delete")
    await connector.close()


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="tessary-e2e-")
    d = DictPlus(a=1)
    d.b = 2
    check(d == {"a": 1, "b": 2} and d.a == 1, "DictPlus")

    sync_story(Sqlite3Connector(os.path.join(folder, "sync.db")))
    asyncio.run(async_story(AioSqliteConnector(os.path.join(folder, "async.db"))))
    mysql = os.environ.get("TESSARY_E2E_MYSQL")
    if mysql:
        params = json.loads(mysql)
        sync_story(MysqlConnector(**params))
        asyncio.run(async_story(AioMysqlConnector(**params)))
    DB.getInstance().connector = None
    gc.collect()
    print("e2e: every step gave the expected result" + (" (SQLite and MySQL)" if mysql else " (SQLite)"))


if __name__ == "__main__":
    main()
