"""The MySQL connectors of the liveness and timeout tests, one object per
kind: the synchronous and the coroutine connector, each on the native engine
and on its driver module, with an event loop of the test's own where it
needs one, and an administrator's connection of pymysql's own (KILL)."""

import asyncio
import contextlib

import pymysql
import pytest

from Tessary.DB.Connector import AioMysqlConnector, MysqlConnector, _ping

from handle_support import installed

# Only a test that hangs reaches this; a guard, not a measurement.
HANG_GUARD = 60

KINDS = [
    pytest.param(("sync", "native"), id="sync-native"),
    pytest.param(("sync", "pymysql"), id="sync-pymysql"),
    pytest.param(("aio", "native"), id="aio-native"),
    pytest.param(("aio", "aiomysql"), id="aio-aiomysql"),
]


class Mysql:
    """One MySQL connector of a kind; `run` gives what an operation returned
    as its result (awaited on the test's loop for a coroutine connector)."""

    def __init__(self, params, side, driver, **options):
        self.params = params
        self.is_async = side == "aio"
        self.driver = driver
        if self.is_async:
            self.loop = asyncio.new_event_loop()
            self.connector = AioMysqlConnector(**params, driver=driver, minsize=0, maxsize=1, **options)
        else:
            self.loop = None
            self.connector = MysqlConnector(**params, driver=driver, **options)

    def run(self, result):
        if not self.is_async:
            return result
        return self.loop.run_until_complete(asyncio.wait_for(result, HANG_GUARD))

    def sql(self, text, con=None):
        """A statement through the handle with this connector installed."""
        with installed(self.connector) as handle:
            return self.run(handle.executeSql(text, con=con))

    def session(self, con=None):
        return self.sql("SELECT CONNECTION_ID()", con)[0][0]

    def get_con(self):
        return self.run(self.connector.getCon())

    def release(self, con):
        if self.is_async:
            self.run(self.connector.releaseCon(con))

    def ping(self, con):
        return self.run(_ping(self.connector, con))

    def kill(self, session):
        with contextlib.closing(pymysql.connect(**self.params, autocommit=True)) as admin:
            with admin.cursor() as cur:
                cur.execute(f"KILL CONNECTION {session}")

    def close(self):
        if self.is_async:
            self.loop.run_until_complete(self.connector.close())
            self.loop.close()
        else:
            self.connector.close()


@contextlib.contextmanager
def made(params, kind, **options):
    current = Mysql(params, *kind, **options)
    try:
        yield current
    finally:
        current.close()
