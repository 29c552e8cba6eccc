"""The statement log: each statement a synchronous connector sends is a DEBUG
record of the logger "Tessary.sql" (SQL as sent, arguments, time, rows or
key), on SQLite and MariaDB; nothing is built while that level is off."""

import logging
import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

LOGGER = logging.getLogger("Tessary.sql")


class SlItem(DataModel):
    tableName = "sl_item"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    label = VarcharProperty(16, nullable=True)


class Kept(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def logger_state():
    """The logger's level, handlers, filters, propagation and disabled flag put back after the test."""
    saved = LOGGER.level, list(LOGGER.handlers), LOGGER.propagate, LOGGER.disabled, list(LOGGER.filters)
    yield LOGGER
    LOGGER.setLevel(saved[0])
    LOGGER.handlers[:] = saved[1]
    LOGGER.propagate, LOGGER.disabled = saved[2], saved[3]
    LOGGER.filters[:] = saved[4]


@pytest.fixture
def records(logger_state):
    """The records of "Tessary.sql", taken at DEBUG."""
    kept = Kept()
    logger_state.addHandler(kept)
    logger_state.setLevel(logging.DEBUG)
    return kept.records


@pytest.fixture(params=["sqlite", "mariadb"])
def backend(request, install, tmp_path):
    """The connector's name; the table sl_item made before the log is read."""
    if request.param == "sqlite":
        install(Sqlite3Connector(str(tmp_path / "log.db")))
    else:
        install(MysqlConnector(**request.getfixturevalue("mariadb_clean")))
    DB.getInstance().createTables(SlItem)
    return request.param


def placeholders(backend, text):
    """The "%s" text as the driver receives it."""
    return text.replace("%s", "?") if backend == "sqlite" else text


def only(records):
    assert len(records) == 1, [r.getMessage() for r in records]
    return records[0]


def test_select_record_carries_sql_as_sent_args_time_and_rows(backend, records):
    executor = SlItem.getExecutor()
    executor.save(SlItem(label="a"))
    executor.save(SlItem(label="a"))
    records.clear()
    found = SlItem.getExecutor().findAllBy(SlItem.label == "a")
    record = only(records)
    statement = "SELECT sl_item.id,sl_item.label FROM sl_item WHERE sl_item.label  =  %s  ;"
    assert (record.name, record.levelno) == ("Tessary.sql", logging.DEBUG)
    assert record.statement == statement
    assert record.sql == placeholders(backend, statement)
    assert record.params == ("a",)
    assert record.rows == len(found) == 2
    assert record.lastrowid is None and record.error is None
    assert isinstance(record.elapsed_ms, float) and record.elapsed_ms >= 0
    assert record.getMessage() == f"{record.sql} | args ('a',) | {record.elapsed_ms:.3f} ms | 2 rows"
    assert record.pathname == __file__  # the caller's line, not the package's


def test_insert_record_carries_the_generated_key(backend, records):
    saved = SlItem.getExecutor().save(SlItem(label="k"))
    record = only(records)
    assert record.statement.startswith("INSERT INTO sl_item")
    assert record.params == ("k",)
    assert record.lastrowid == saved.id and record.rows is None
    assert record.getMessage().endswith(f" | key {saved.id}")


@pytest.mark.parametrize("operation", ["update", "delete"])
def test_write_record_carries_rows_affected(backend, records, operation):
    item = SlItem.getExecutor().save(SlItem(label="w"))
    records.clear()
    if operation == "update":
        SlItem.getExecutor().update(SlItem(id=item.id, label="changed"))
    else:
        SlItem.getExecutor().delete(item)
    record = only(records)
    assert record.statement.startswith(operation.upper())
    assert record.rowcount == 1
    assert record.getMessage().endswith(" | 1 row affected")


def test_executeSql_record_has_the_text_and_a_tuple_of_its_arguments(backend, records):
    rows = DB.getInstance().executeSql("SELECT %s + %s", [2, 3])
    record = only(records)
    assert rows == [(5,)] or list(rows) == [(5,)]
    assert record.statement == "SELECT %s + %s"
    assert record.sql == placeholders(backend, "SELECT %s + %s")
    assert record.params == (2, 3) and record.rows == 1


def test_connector_query_and_write_are_logged(backend, records):
    connector = DB.getInstance().connector
    key = connector.write("INSERT INTO sl_item (label) VALUES (%s)", ("q",))
    connector.query("SELECT label FROM sl_item")
    assert [r.statement for r in records] == ["INSERT INTO sl_item (label) VALUES (%s)", "SELECT label FROM sl_item"]
    assert records[0].lastrowid == key and records[1].rows == 1


def test_failed_statement_is_logged_with_its_error_which_still_propagates(backend, records):
    expected = sqlite3.OperationalError if backend == "sqlite" else pymysql.err.ProgrammingError
    with pytest.raises(expected) as raised:
        DB.getInstance().executeSql("SELECT * FROM sl_missing WHERE id = %s", (1,))
    record = only(records)
    assert record.error is raised.value
    assert record.params == (1,) and record.rows is None and record.lastrowid is None
    assert record.getMessage().endswith(f" | failed: {type(raised.value).__name__}: {raised.value}")


def test_duplicate_key_is_logged_as_failed(backend, records):
    item = SlItem.getExecutor().save(SlItem(label="d"))
    records.clear()
    with pytest.raises((sqlite3.IntegrityError, pymysql.err.IntegrityError)):
        DB.getInstance().connector.write("INSERT INTO sl_item (id, label) VALUES (%s, %s)", (item.id, "again"))
    assert "IntegrityError" in only(records).getMessage()


class Spied(logging.Logger):
    """A logger class that counts the records made."""

    made = 0

    def makeRecord(self, *args, **kwargs):
        type(self).made += 1
        return super().makeRecord(*args, **kwargs)


@pytest.fixture
def spied(logger_state, monkeypatch):
    monkeypatch.setattr(logger_state, "__class__", Spied)
    monkeypatch.setattr(Spied, "made", 0)
    return logger_state


@pytest.mark.parametrize("quiet", ["level INFO", "logging.disable", "disabled"])
def test_nothing_is_built_while_debug_is_off(backend, spied, quiet):
    seen = []
    spied.addFilter(lambda record: seen.append(record) or True)
    spied.setLevel(logging.DEBUG)
    DB.getInstance().executeSql("SELECT 1")
    assert (Spied.made, len(seen)) == (1, 1)  # the spy sees records when DEBUG is on
    if quiet == "level INFO":
        spied.setLevel(logging.INFO)
    elif quiet == "logging.disable":
        logging.disable(logging.DEBUG)
    else:
        spied.disabled = True
    try:
        SlItem.getExecutor().save(SlItem(label="n"))
        SlItem.getExecutor().findAllBy(SlItem.label == "n")
        DB.getInstance().executeSql("SELECT 1")
    finally:
        logging.disable(logging.NOTSET)
    assert (Spied.made, len(seen)) == (1, 1)


def test_level_changes_take_effect_at_the_next_statement(backend, records):
    handle = DB.getInstance()
    handle.executeSql("SELECT 1")
    LOGGER.setLevel(logging.WARNING)
    handle.executeSql("SELECT 2")
    logging.getLogger("Tessary").setLevel(logging.DEBUG)  # the parent's level does not matter here
    handle.executeSql("SELECT 3")
    LOGGER.setLevel(logging.NOTSET)  # now the parent's DEBUG is the effective level
    handle.executeSql("SELECT 4")
    logging.getLogger("Tessary").setLevel(logging.NOTSET)
    assert [r.statement for r in records] == ["SELECT 1", "SELECT 4"]


@pytest.mark.parametrize("propagate", [True, False])
def test_records_propagate_as_the_logger_says(backend, logger_state, propagate):
    parent = Kept()
    logging.getLogger("Tessary").addHandler(parent)
    try:
        logger_state.setLevel(logging.DEBUG)
        logger_state.propagate = propagate
        DB.getInstance().executeSql("SELECT 1")
    finally:
        logging.getLogger("Tessary").removeHandler(parent)
    assert [r.statement for r in parent.records] == (["SELECT 1"] if propagate else [])


class Broken(logging.Handler):
    def emit(self, record):
        raise RuntimeError("handler broke")


def test_a_failing_handler_does_not_fail_the_statement(backend, logger_state, monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    logger_state.addHandler(Broken())
    logger_state.setLevel(logging.DEBUG)
    assert list(DB.getInstance().executeSql("SELECT 7")) == [(7,)]
    assert [str(r.exc_value) for r in reported] == ["handler broke"]


def test_a_transaction_block_s_own_statements_are_recorded(backend, records):
    db = DB.getInstance()
    records.clear()
    with db.transaction() as con:
        SlItem.getExecutor(con).save(SlItem(label="kept"))
        with pytest.raises(ValueError):
            with db.transaction() as inner:
                SlItem.getExecutor(inner).save(SlItem(label="dropped"))
                raise ValueError("inner block")
    statements = [r.statement for r in records if not r.statement.startswith("INSERT")]
    # BEGIN is sent only on a connection that commits each statement by itself.
    # SQLite's in the connector's transactionMode, IMMEDIATE by default.
    begin = [("BEGIN IMMEDIATE" if backend == "sqlite" else "BEGIN")] if db.connector.autocommit else []
    assert statements == begin + ["SAVEPOINT sp_1", "ROLLBACK TO SAVEPOINT sp_1", "RELEASE SAVEPOINT sp_1",
                                  "COMMIT"]
    assert all(r.error is None and r.params == () for r in records if not r.statement.startswith("INSERT"))
    with pytest.raises(KeyError):
        with db.transaction() as con:
            SlItem.getExecutor(con).save(SlItem(label="never"))
            raise KeyError("outer block")
    assert records[-1].statement == "ROLLBACK"
    assert [r[0] for r in db.executeSql("SELECT label FROM sl_item")] == ["kept"]
