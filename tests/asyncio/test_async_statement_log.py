"""The statement log on the asyncio connectors: each statement is a DEBUG
record of "Tessary.sql" written on the loop's thread once it has ended (on
aiosqlite it runs and is timed on a worker thread), with the same fields as
the synchronous connectors' records; nothing is built while DEBUG is off."""

import logging
import sqlite3
import threading

import pymysql
import pytest

from Tessary.DB.DB import DB
from Tessary.Model.Carrack import AsyncModelExecutor

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

LOGGER = logging.getLogger("Tessary.sql")


class Kept(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def logger_state():
    saved = LOGGER.level, list(LOGGER.handlers), LOGGER.propagate
    yield LOGGER
    LOGGER.setLevel(saved[0])
    LOGGER.handlers[:] = saved[1]
    LOGGER.propagate = saved[2]


@pytest.fixture
def records(tables, logger_state):
    kept = Kept()
    logger_state.addHandler(kept)
    logger_state.setLevel(logging.DEBUG)
    return kept.records


def placeholders(backend, text):
    return text.replace("%s", "?") if backend.name == "aiosqlite" else text


def only(records):
    assert len(records) == 1, [r.getMessage() for r in records]
    return records[0]


def test_select_record_is_written_on_the_loop_thread(backend, tables, records):
    User = tables.User
    backend.run(User.getExecutor().save(User(name="ann")))
    records.clear()
    found = backend.run(User.getExecutor().findAllBy(User.name == "ann"))
    record = only(records)
    statement = "SELECT as_user.id,as_user.name FROM as_user WHERE as_user.name  =  %s  ;"
    assert record.statement == statement and record.sql == placeholders(backend, statement)
    assert record.params == ("ann",) and record.rows == len(found) == 1
    assert isinstance(record.elapsed_ms, float) and record.elapsed_ms >= 0
    assert record.thread == threading.get_ident()
    assert record.getMessage() == f"{record.sql} | args ('ann',) | {record.elapsed_ms:.3f} ms | 1 row"


def test_insert_record_carries_the_key(backend, tables, records):
    User = tables.User
    saved = backend.run(User.getExecutor().save(User(name="key")))
    record = only(records)
    assert record.statement.startswith("INSERT INTO as_user") and record.lastrowid == saved.id
    assert record.getMessage().endswith(f" | key {saved.id}")


@pytest.mark.parametrize("operation", ["update", "delete"])
def test_write_record_carries_rows_affected(backend, tables, records, operation):
    User = tables.User
    saved = backend.run(User.getExecutor().save(User(name="w")))
    records.clear()
    if operation == "update":
        backend.run(User.getExecutor().update(User(id=saved.id, name="changed")))
    else:
        backend.run(User.getExecutor().delete(saved))
    statements = [r for r in records if r.statement.startswith(operation.upper())]
    assert len(statements) == 1 and statements[0].rowcount == 1
    assert statements[0].getMessage().endswith(" | 1 row affected")


def test_executeSql_on_a_lent_connection(backend, tables, records):
    async def on_connection():
        con = await backend.connector.getCon()
        try:
            return await DB.getInstance().executeSql("SELECT %s + %s", [2, 3], con=con)
        finally:
            await backend.connector.releaseCon(con)

    assert list(backend.run(on_connection())) == [(5,)]
    record = only(records)
    assert record.statement == "SELECT %s + %s" and record.sql == placeholders(backend, "SELECT %s + %s")
    assert record.params == (2, 3) and record.rows == 1


def test_failed_statement_is_logged_and_still_raises(backend, tables, records):
    expected = sqlite3.OperationalError if backend.name == "aiosqlite" else pymysql.err.ProgrammingError
    with pytest.raises(expected) as raised:
        backend.run(DB.getInstance().executeSql("SELECT * FROM as_missing WHERE id = %s", (1,)))
    record = only(records)
    assert record.error is raised.value and record.params == (1,)
    assert record.getMessage().endswith(f" | failed: {type(raised.value).__name__}: {raised.value}")


class Spied(logging.Logger):
    made = 0

    def makeRecord(self, *args, **kwargs):
        type(self).made += 1
        return super().makeRecord(*args, **kwargs)


def test_nothing_is_built_at_level_info(backend, tables, logger_state, monkeypatch):
    monkeypatch.setattr(logger_state, "__class__", Spied)
    monkeypatch.setattr(Spied, "made", 0)
    seen = []
    logger_state.addFilter(lambda record: seen.append(record) or True)
    try:
        logger_state.setLevel(logging.DEBUG)
        backend.run(DB.getInstance().executeSql("SELECT 1"))
        assert (Spied.made, len(seen)) == (1, 1)
        logger_state.setLevel(logging.INFO)
        User = tables.User
        backend.run(User.getExecutor().save(User(name="quiet")))
        backend.run(User.getExecutor().findAllBy(User.name == "quiet"))
    finally:
        logger_state.filters.clear()
    assert (Spied.made, len(seen)) == (1, 1)


def test_records_follow_propagation(backend, tables, logger_state):
    parent = Kept()
    logging.getLogger("Tessary").addHandler(parent)
    try:
        logger_state.setLevel(logging.DEBUG)
        logger_state.propagate = False
        backend.run(DB.getInstance().executeSql("SELECT 1"))
        logger_state.propagate = True
        backend.run(DB.getInstance().executeSql("SELECT 2"))
    finally:
        logging.getLogger("Tessary").removeHandler(parent)
    assert [r.statement for r in parent.records] == ["SELECT 2"]


def test_a_transaction_block_s_own_statements_are_recorded(backend, tables, records):
    User = tables.User
    connector = backend.connector

    async def blocks():
        async with connector.transaction() as con:
            await AsyncModelExecutor(User, con).save(User(name="kept"))
            with pytest.raises(ValueError):
                async with connector.transaction() as inner:
                    await AsyncModelExecutor(User, inner).save(User(name="dropped"))
                    raise ValueError("inner block")

    records.clear()
    backend.run(blocks())
    statements = [r.statement for r in records if not r.statement.startswith("INSERT")]
    # SQLite begins in the connector's transactionMode, IMMEDIATE by default.
    begin = "BEGIN IMMEDIATE" if backend.name == "aiosqlite" else "BEGIN"
    assert statements == [begin, "SAVEPOINT sp_1", "ROLLBACK TO SAVEPOINT sp_1", "RELEASE SAVEPOINT sp_1",
                          "COMMIT"]
    assert all(r.error is None and r.thread == threading.get_ident() for r in records)
    assert backend.rows("SELECT name FROM as_user") == [("kept",)]
