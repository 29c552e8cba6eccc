"""The workload pairs on the asyncio SQLite connector: Tessary's
AsyncModelExecutor against hand-written sqlite3 code that keeps the loop
free the way an application does without a connector, by running each
statement on a worker thread with asyncio.to_thread. Each timed run is one
run_until_complete on one loop.

W2 is the exception: its raw side is the synchronous hand-written W2, the
cheapest way to insert the rows at all, so the ratio is what awaiting every
save costs on top of it."""

import asyncio
import random
from dataclasses import dataclass
from typing import Any

from harness import Pair
from schema import AGES, POST_COLUMNS, User
from workloads import (
    INSERT_USER,
    USER_SELECT,
    Backend,
    count,
    ids_digest,
    insert_rows,
    instances_digest,
    lists_digest,
    new_user_rows,
    post_digest,
    restore_users,
    rows_digest,
)

from Tessary.DB.DB import DB


@dataclass
class AsyncBackend:
    name: str
    loop: Any
    sync: Backend      # the raw side's sqlite3 connection (check_same_thread=False) and the sizes

    @property
    def users(self):
        return self.sync.users

    @property
    def posts_for(self):
        return self.sync.posts_for

    def n(self, count):
        return self.sync.n(count)

    def runner(self, coroutine_function):
        return lambda: self.loop.run_until_complete(coroutine_function())


def fetch_all(con, sql, args=()):
    """One statement and its rows on the raw connection: the function each
    awaited asyncio.to_thread runs."""
    cur = con.cursor()
    try:
        cur.execute(sql, args)
        return cur.fetchall()
    finally:
        cur.close()


def w3_select_all(b, target=0.9):
    raw_con = b.sync.raw

    async def tessary():
        return await User.getExecutor().findAllBy()

    async def raw():
        return await asyncio.to_thread(fetch_all, raw_con, USER_SELECT)

    return Pair("W3", b.name, "findAllBy() of every row", f"{count(b.users)} rows", b.users,
                b.runner(tessary), b.runner(raw), instances_digest, rows_digest, target_ratio=target)


def w4_point(b, target=0.9):
    n = b.n(5_000)
    ages = random.Random(4).choices(range(min(AGES, b.users)), k=n)
    raw_con = b.sync.raw
    select = f"{USER_SELECT} WHERE age = ?"

    async def tessary():
        return [await User.getExecutor().findAllBy(User.age == a) for a in ages]

    async def raw():
        return [await asyncio.to_thread(fetch_all, raw_con, select, (a,)) for a in ages]

    return Pair("W4", b.name, "findAllBy(User.age == a)", f"{count(n)} queries", n,
                b.runner(tessary), b.runner(raw),
                lambda r: lists_digest(r, instances_digest), lambda r: lists_digest(r, rows_digest),
                target_ratio=target)


def w6_relations(b, target=0.9):
    owners = b.posts_for
    raw_con = b.sync.raw
    users_sql = f"{USER_SELECT} WHERE id <= ?"
    posts_sql = f"SELECT {', '.join(POST_COLUMNS)} FROM post WHERE user_id = ?"

    async def tessary():
        users = await User.getExecutor().findAllBy(User.id <= owners)
        await User.getExecutor().findListForeignKey(users, True)
        return users

    async def raw():
        users = await asyncio.to_thread(fetch_all, raw_con, users_sql, (owners,))
        return [(user, await asyncio.to_thread(fetch_all, raw_con, posts_sql, (user[0],))) for user in users]

    def tessary_digest(users):
        return instances_digest(users), lists_digest([u["posts"] for u in users], post_digest)

    def raw_digest(result):
        return rows_digest([u for u, _ in result]), lists_digest([posts for _, posts in result], rows_digest)

    return Pair("W6", b.name, "findListForeignKey, one-to-many", f"{count(owners)} users, "
                f"{count(owners * 11)} rows", owners, b.runner(tessary), b.runner(raw),
                tessary_digest, raw_digest, target_ratio=target)


def w2_insert(b, target=1.5):
    first, rows = new_user_rows(b.sync)
    connector = DB.getInstance().connector

    async def tessary():
        ids = []
        async with connector.transaction() as con:
            executor = User.getExecutor(con)
            for name, age, email, score in rows:
                saved = await executor.save(User(name=name, age=age, email=email, score=score))
                ids.append(saved["id"])
        return ids

    def raw():
        return insert_rows(b.sync.raw, INSERT_USER, rows, commit=True)

    restore = lambda: restore_users(b.sync, first)  # noqa: E731
    return Pair("W2", b.name, "await save, one transaction (raw: synchronous sqlite3)", f"{count(len(rows))} rows",
                len(rows), b.runner(tessary), raw, ids_digest, ids_digest, before=restore, after=restore,
                target_ratio=target)
