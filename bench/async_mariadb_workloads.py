"""The workload pairs on the asyncio MariaDB connector: Tessary's
AsyncModelExecutor against hand-written aiomysql code. The raw side holds
one connection of an aiomysql pool (made untimed, autocommit) for the whole
timed run and reads through one cursor, the least an application can do;
Tessary takes a pooled connection per statement and commits after it, as
its connector does outside a transaction."""

import random
from dataclasses import dataclass
from typing import Any

from harness import Pair
from schema import AGES, User
from workloads import USER_SELECT, count, instances_digest, lists_digest, rows_digest


@dataclass
class AsyncMysqlBackend:
    name: str
    loop: Any
    pool: Any          # the raw side's aiomysql pool
    users: int
    scale: float

    def n(self, count):
        return max(1, round(count * self.scale))

    def runner(self, coroutine_function):
        return lambda: self.loop.run_until_complete(coroutine_function())


async def raw_pool(settings):
    """An aiomysql pool on the server of `settings` (MysqlConnector's keyword
    names), one connection, autocommit: reads see the table as it is now."""
    import aiomysql

    names = {"database": "db"}
    options = {names.get(k, k): v for k, v in settings.items()}
    return await aiomysql.create_pool(minsize=1, maxsize=1, autocommit=True, **options)


async def close_pool(pool):
    pool.close()
    await pool.wait_closed()


def w3_select_all(b, target=0.2):
    async def tessary():
        return await User.getExecutor().findAllBy()

    async def raw():
        async with b.pool.acquire() as con, con.cursor() as cur:
            await cur.execute(USER_SELECT)
            return await cur.fetchall()

    return Pair("W3", b.name, "findAllBy() of every row", f"{count(b.users)} rows", b.users,
                b.runner(tessary), b.runner(raw), instances_digest, rows_digest, target_ratio=target)


def w4_point(b, target=0.4):
    n = b.n(5_000)
    ages = random.Random(4).choices(range(min(AGES, b.users)), k=n)
    select = f"{USER_SELECT} WHERE age = %s"

    async def tessary():
        return [await User.getExecutor().findAllBy(User.age == a) for a in ages]

    async def raw():
        out = []
        async with b.pool.acquire() as con, con.cursor() as cur:
            for a in ages:
                await cur.execute(select, (a,))
                out.append(await cur.fetchall())
        return out

    return Pair("W4", b.name, "findAllBy(User.age == a)", f"{count(n)} queries", n,
                b.runner(tessary), b.runner(raw),
                lambda r: lists_digest(r, instances_digest), lambda r: lists_digest(r, rows_digest),
                target_ratio=target)
