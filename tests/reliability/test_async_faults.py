"""The database failing in the middle of an operation, on the asyncio path
(AioSqliteConnector, AioMysqlConnector, AsyncModelExecutor): the driver's
error reaches the awaiting caller, the transaction's rows are all rolled
back, and the next operation through the handle works."""

import asyncio
import contextlib
import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import AioMysqlConnector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator

from reliability_support import account_with_relations, assert_all_empty, installed, integrity_errors

CONNECTION_LOST = (pymysql.err.OperationalError, pymysql.err.InterfaceError)
# MariaDB's notes on CREATE TABLE (the key's constraint name is ignored) and
# on DROP TABLE IF EXISTS of a table that is not there.
pytestmark = [pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key"),
              pytest.mark.filterwarnings("ignore:Unknown table")]


async def handle_works(models):
    saved = await models.Account.getExecutor().save(models.Account(email="after@x", name="after"))
    found = await models.Account.getExecutor().findAllBy(models.Account.email == "after@x")
    assert [dict(row) for row in found] == [{"id": saved["id"], "email": "after@x", "name": "after"}]


def test_unique_violation_in_transaction_rolls_everything_back(async_backend, async_tables):
    models, backend = async_tables, async_backend

    async def scenario():
        with pytest.raises(integrity_errors()):
            async with DB.getInstance().transaction() as con:
                await models.Account.getExecutor(con).save(account_with_relations(models, "a@x"))
                other = await models.Account.getExecutor(con).save(models.Account(email="b@x"))
                await models.Account.getExecutor(con).update(models.Account(id=other["id"], email="a@x", name=None))
        assert_all_empty(backend, models)
        await handle_works(models)

    backend.run(scenario())


def test_error_in_block_after_relation_save_rolls_back(async_backend, async_tables):
    models, backend = async_tables, async_backend

    async def scenario():
        with pytest.raises(ZeroDivisionError):
            async with DB.getInstance().transaction() as con:
                await models.Account.getExecutor(con).save(account_with_relations(models, "a@x", lambda: 1 / 0))
        assert_all_empty(backend, models)
        await handle_works(models)

    backend.run(scenario())


def kill(params, thread_id):
    admin = {k: v for k, v in params.items() if k != "database"}
    with contextlib.closing(pymysql.connect(**admin)) as con, con.cursor() as cur:
        cur.execute(f"KILL {int(thread_id)}")


async def connection_id(con):
    rows = await DB.getInstance().executeSql("SELECT CONNECTION_ID()", (), con)
    return rows[0][0]


@pytest.mark.parametrize("async_backend", ["aiomysql"], indirect=True)
def test_connection_killed_during_relation_save_in_transaction(async_backend, async_tables):
    models, backend = async_tables, async_backend

    async def scenario():
        with pytest.raises(CONNECTION_LOST):
            async with DB.getInstance().transaction() as con:
                thread = await connection_id(con)
                await models.Account.getExecutor(con).save(
                    account_with_relations(models, "a@x", lambda: kill(backend.params, thread)))
        assert_all_empty(backend, models)
        await handle_works(models)

    backend.run(scenario())


@pytest.mark.parametrize("async_backend", ["aiomysql"], indirect=True)
def test_connection_killed_on_a_pooled_connection_of_a_task(async_backend, async_tables):
    """A task's own connection (getCon, commit, releaseCon) dies mid-save: the
    pool must not hand the dead connection to the next task."""
    models, backend = async_tables, async_backend
    connector = backend.connector

    async def scenario():
        con = await connector.getCon()
        try:
            thread = await connection_id(con)
            with pytest.raises(CONNECTION_LOST):
                await models.Account.getExecutor(con).save(
                    account_with_relations(models, "a@x", lambda: kill(backend.params, thread)))
        finally:
            await connector.releaseCon(con)
        for _ in range(3):  # every connection the pool hands out next works
            con = await connector.getCon()
            try:
                assert await DB.getInstance().executeSql("SELECT 1", (), con) in ([(1,)], ((1,),))
            finally:
                await connector.releaseCon(con)
        assert_all_empty(backend, models)
        await handle_works(models)

    backend.run(scenario())


@pytest.mark.parametrize("async_backend", ["aiosqlite"], indirect=True)
def test_sqlite_locked_by_another_connection(async_backend, async_tables):
    models, backend = async_tables, async_backend
    other = sqlite3.connect(backend.params["path"], isolation_level=None)

    async def scenario():
        other.execute("BEGIN EXCLUSIVE")
        try:
            with pytest.raises(sqlite3.OperationalError, match="locked"):
                async with DB.getInstance().transaction() as con:
                    await models.Account.getExecutor(con).save(account_with_relations(models, "a@x"))
        finally:
            other.rollback()
        assert_all_empty(backend, models)
        await handle_works(models)

    try:
        backend.run(scenario())
    finally:
        other.close()


@pytest.fixture
def stoppable_async(own_server, models):
    params = own_server.params()
    params.pop("unix_socket")
    connector = AioMysqlConnector(**params)
    loop = asyncio.new_event_loop()

    async def tables():
        for model in models.all:
            await DB.getInstance().executeSql(f"DROP TABLE IF EXISTS {model.tableName}")
            await DB.getInstance().executeSql(TableGenerator(model).Build()[0])

    with installed(connector):
        loop.run_until_complete(tables())
        try:
            yield own_server, loop
        finally:
            if own_server.process is None:
                own_server.restart()
            loop.run_until_complete(connector.close())
            loop.close()


def test_server_stopped_during_relation_save_in_transaction(stoppable_async, models):
    server, loop = stoppable_async

    async def count(model):
        return (await DB.getInstance().executeSql(f"SELECT COUNT(*) FROM {model.tableName}"))[0][0]

    async def scenario():
        with pytest.raises(CONNECTION_LOST):
            async with DB.getInstance().transaction() as con:
                await models.Account.getExecutor(con).save(account_with_relations(models, "a@x", server.stop))
        with pytest.raises(CONNECTION_LOST):  # still down: the error reaches the caller again
            await models.Account.getExecutor().findAllBy()
        server.restart()
        assert [await count(m) for m in models.all] == [0] * len(models.all)
        await handle_works(models)

    loop.run_until_complete(asyncio.wait_for(scenario(), 300))
