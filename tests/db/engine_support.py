"""One connector of either database, synchronous or on a loop of its own,
installed on the handle: the engine tests run one case over the native
engines and the driver modules they must behave like."""

import asyncio
import contextlib

import pymysql
import pytest

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector

from handle_support import installed

# Only a test that hangs reaches this; a guard, not a measurement.
HANG_GUARD = 120

SQLITE_ENGINES = [("sync", "native"), ("sync", "sqlite3"), ("async", "native"), ("async", "sqlite3")]
MYSQL_ENGINES = [("sync", "native"), ("sync", "pymysql"), ("async", "native"), ("async", "aiomysql")]

CONNECTORS = {
    ("sqlite", "sync"): Sqlite3Connector,
    ("sqlite", "async"): AioSqliteConnector,
    ("mysql", "sync"): MysqlConnector,
    ("mysql", "async"): AioMysqlConnector,
}


def engine_ids(engines):
    return ["-".join(engine) for engine in engines]


class Engine:
    """A connector installed on the handle; `run` makes a call plainly, or
    runs a coroutine function to its end on the engine's own loop."""

    def __init__(self, kind, mode, driver, *args, **settings):
        self.mode, self.driver = mode, driver
        if mode == "async":
            settings.setdefault("maxsize", 1)
        self.connector = CONNECTORS[kind, mode](*args, **settings, driver=driver)
        self.loop = asyncio.new_event_loop() if mode == "async" else None
        self.scope = installed(self.connector)
        self.handle = self.scope.__enter__()

    @property
    def native(self):
        return self.driver == "native"

    def run(self, call):
        if self.loop is None:
            return call()
        return self.loop.run_until_complete(asyncio.wait_for(call(), HANG_GUARD))

    def rows(self, sql, args=None):
        """The statement's rows through the handle (a pooled connection on the async connectors)."""
        async def on_loop():
            return await self.handle.executeSql(sql, args)
        got = self.run(on_loop if self.loop else lambda: self.handle.executeSql(sql, args))
        return [tuple(row) for row in got]

    def cursor_run(self, *statements):
        """(rows, lastrowid) of each statement, run in turn on one cursor of
        a connection the connector lends."""
        if self.loop is None:
            cur = self.connector.getCon().cursor()
            seen = []
            for sql in statements:
                cur.execute(sql)
                seen.append(([tuple(row) for row in cur.fetchall()], cur.lastrowid))
            return seen

        async def on_loop():
            con = await self.connector.getCon()
            try:
                cur = await con.cursor()
                seen = []
                for sql in statements:
                    await cur.execute(sql)
                    seen.append(([tuple(row) for row in await cur.fetchall()], cur.lastrowid))
                return seen
            finally:
                await self.connector.releaseCon(con)
        return self.run(on_loop)

    def close(self):
        self.scope.__exit__(None, None, None)
        if self.loop is None:
            self.connector.close()
            return
        self.loop.run_until_complete(self.connector.close())
        self.loop.close()


def engine_factory(kind, mode, driver, *args, **settings):
    """A `make(**options)` that opens engines closed by `close_all`, and the list they go to."""
    made = []

    def make(**options):
        engine = Engine(kind, mode, driver, *args, **{**settings, **options})
        made.append(engine)
        return engine

    def close_all():
        for engine in made:
            engine.close()

    return make, close_all


def admin_run(params, sql):
    """A statement on a MariaDB connection of pymysql's own, in autocommit (table set-up, checks)."""
    with contextlib.closing(pymysql.connect(**params, autocommit=True)) as con, con.cursor() as cur:
        cur.execute(sql)
        return cur.fetchall()


@pytest.fixture(name="make_engine", params=MYSQL_ENGINES, ids=engine_ids(MYSQL_ENGINES))
def make_mysql_engine(request, mariadb_clean):
    """`make(**options)`: an Engine on the test database for each MariaDB engine in turn
    (a module takes this fixture by importing it)."""
    make, close_all = engine_factory("mysql", *request.param, **mariadb_clean)
    yield make
    close_all()
