"""The workload pairs on the asyncio SQLite connector: Tessary's
AsyncModelExecutor against the same connector's executeSql with
hand-written SQL. Each timed run is one run_until_complete on one loop."""

import random
from dataclasses import dataclass
from typing import Any

from harness import Pair
from schema import AGES, POST_COLUMNS, User
from workloads import USER_SELECT, count, instances_digest, lists_digest, post_digest, rows_digest

from Tessary.DB.DB import DB


@dataclass
class AsyncBackend:
    name: str
    loop: Any
    users: int
    posts_for: int
    scale: float

    def n(self, count):
        return max(1, round(count * self.scale))

    def runner(self, coroutine_function):
        return lambda: self.loop.run_until_complete(coroutine_function())


def w3_select_all(b):
    db = DB.getInstance()

    async def tessary():
        return await User.getExecutor().findAllBy()

    async def raw():
        return await db.executeSql(USER_SELECT)

    return Pair("W3", b.name, "findAllBy() of every row", f"{count(b.users)} rows", b.users,
                b.runner(tessary), b.runner(raw), instances_digest, rows_digest, target_ratio=1.3)


def w4_point(b):
    n = b.n(5_000)
    ages = random.Random(4).choices(range(min(AGES, b.users)), k=n)
    db = DB.getInstance()
    select = f"{USER_SELECT} WHERE age = %s"

    async def tessary():
        return [await User.getExecutor().findAllBy(User.age == a) for a in ages]

    async def raw():
        return [await db.executeSql(select, args=(a,)) for a in ages]

    return Pair("W4", b.name, "findAllBy(User.age == a)", f"{count(n)} queries", n,
                b.runner(tessary), b.runner(raw),
                lambda r: lists_digest(r, instances_digest), lambda r: lists_digest(r, rows_digest),
                target_ratio=1.15)


def w6_relations(b):
    owners = b.posts_for
    db = DB.getInstance()
    users_sql = f"{USER_SELECT} WHERE id <= %s"
    posts_sql = f"SELECT {', '.join(POST_COLUMNS)} FROM post WHERE user_id = %s"

    async def tessary():
        users = await User.getExecutor().findAllBy(User.id <= owners)
        await User.getExecutor().findListForeignKey(users, True)
        return users

    async def raw():
        users = await db.executeSql(users_sql, args=(owners,))
        return [(user, await db.executeSql(posts_sql, args=(user[0],))) for user in users]

    def tessary_digest(users):
        return instances_digest(users), lists_digest([u["posts"] for u in users], post_digest)

    def raw_digest(result):
        return rows_digest([u for u, _ in result]), lists_digest([posts for _, posts in result], rows_digest)

    return Pair("W6", b.name, "findListForeignKey, one-to-many", f"{count(owners)} users, "
                f"{count(owners * 11)} rows", owners, b.runner(tessary), b.runner(raw),
                tessary_digest, raw_digest, target_ratio=1.2)
