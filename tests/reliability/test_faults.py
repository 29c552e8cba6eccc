"""The database failing in the middle of an operation, on the synchronous
path: the driver's error reaches the caller, a transaction's rows are all
rolled back, and the next operation through the handle works."""

import contextlib
import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import MysqlConnector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator

from reliability_support import (
    RecordingSqlite,
    account_with_relations,
    assert_all_empty,
    installed,
    integrity_errors,
)

CONNECTION_LOST = (pymysql.err.OperationalError, pymysql.err.InterfaceError)
# CREATE TABLE on MariaDB: the key's constraint name is ignored, and said so.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


def assert_handle_works(models):
    """A write and a read through the handle, each on a fresh executor."""
    saved = models.Account.getExecutor().save(models.Account(email="after@x", name="after"))
    found = models.Account.getExecutor().findAllBy(models.Account.email == "after@x")
    assert [dict(row) for row in found] == [{"id": saved["id"], "email": "after@x", "name": "after"}]


# --- unique key -------------------------------------------------------------


def test_unique_violation_in_transaction_rolls_everything_back(backend, tables):
    models = tables
    with pytest.raises(integrity_errors()):
        with DB.getInstance().transaction() as con:
            models.Account.getExecutor(con).save(account_with_relations(models, "a@x"))
            other = models.Account.getExecutor(con).save(models.Account(email="b@x"))
            models.Account.getExecutor(con).update(models.Account(id=other["id"], email="a@x", name=None))
    assert not backend.connector.inTransaction
    assert_all_empty(backend, models)
    assert_handle_works(models)


def test_unique_violation_outside_transaction_keeps_earlier_rows(backend, tables):
    models = tables
    ex = models.Account.getExecutor()
    first = ex.save(models.Account(email="a@x"))
    second = models.Account.getExecutor().save(models.Account(email="b@x"))
    with pytest.raises(integrity_errors()):
        models.Account.getExecutor().update(models.Account(id=second["id"], email="a@x", name=None))
    assert backend.rows("SELECT id, email FROM rel_account ORDER BY id") == [(first["id"], "a@x"),
                                                                              (second["id"], "b@x")]
    assert_handle_works(models)


def test_error_inside_block_after_relation_save_rolls_back(backend, tables):
    models = tables
    with pytest.raises(ZeroDivisionError):
        with DB.getInstance().transaction() as con:
            models.Account.getExecutor(con).save(account_with_relations(models, "a@x", between=lambda: 1 / 0))
    assert_all_empty(backend, models)
    assert_handle_works(models)


# --- MariaDB: the connection killed ---------------------------------------------


def kill(params, thread_id):
    admin = {k: v for k, v in params.items() if k != "database"}
    with contextlib.closing(pymysql.connect(**admin)) as con, con.cursor() as cur:
        cur.execute(f"KILL {int(thread_id)}")


@pytest.mark.parametrize("backend", ["mariadb"], indirect=True)
def test_connection_killed_during_relation_save_in_transaction(backend, tables):
    models = tables
    with pytest.raises(CONNECTION_LOST):
        with DB.getInstance().transaction() as con:
            thread = con.thread_id()
            models.Account.getExecutor(con).save(
                account_with_relations(models, "a@x", between=lambda: kill(backend.params, thread)))
    assert not backend.connector.inTransaction
    assert_all_empty(backend, models)
    assert_handle_works(models)


@pytest.mark.parametrize("backend", ["mariadb"], indirect=True)
def test_connection_killed_between_statements(backend, tables):
    models = tables
    thread = DB.getInstance().executeSql("SELECT CONNECTION_ID()")[0][0]
    with pytest.raises(CONNECTION_LOST):
        models.Account.getExecutor().save(
            account_with_relations(models, "a@x", between=lambda: kill(backend.params, thread)))
    # A save with related rows is one transaction: what it wrote before the
    # connection died (the account, its profile, the first post) went with it.
    assert backend.rows("SELECT email FROM rel_account") == []
    assert backend.rows("SELECT title FROM rel_post") == []
    assert_handle_works(models)


@pytest.mark.parametrize("backend", ["mariadb"], indirect=True)
def test_connection_killed_while_idle(backend, tables):
    models = tables
    thread = DB.getInstance().executeSql("SELECT CONNECTION_ID()")[0][0]
    kill(backend.params, thread)
    with pytest.raises(CONNECTION_LOST):
        models.Account.getExecutor().findAllBy()
    assert_handle_works(models)


# --- SQLite: the database locked by another connection ---------------------------


@pytest.fixture
def locked_sqlite(tmp_path, models):
    """A SQLite file, a connector that waits only briefly for locks, and a
    second raw connection to hold them."""
    path = str(tmp_path / "locked.db")
    connector = RecordingSqlite(path, timeout=0.05)
    other = sqlite3.connect(path, isolation_level=None)
    with installed(connector):
        for model in models.all:
            other.execute(TableGenerator(model).Build()[0])
        try:
            yield connector, other
        finally:
            if other.in_transaction:
                other.rollback()
            other.close()
            connector.close()


def sqlite_counts(other, models):
    return {m.tableName: other.execute(f"SELECT COUNT(*) FROM {m.tableName}").fetchone()[0] for m in models.all}


def test_sqlite_locked_before_the_transaction(locked_sqlite, models):
    connector, other = locked_sqlite
    other.execute("BEGIN EXCLUSIVE")
    with pytest.raises(sqlite3.OperationalError, match="locked"):
        with DB.getInstance().transaction() as con:
            models.Account.getExecutor(con).save(account_with_relations(models, "a@x"))
    assert not connector.inTransaction
    other.rollback()
    assert set(sqlite_counts(other, models).values()) == {0}
    assert_handle_works(models)


def test_sqlite_locked_at_commit_rolls_back(locked_sqlite, models):
    connector, other = locked_sqlite

    def reader_holds_shared_lock():
        other.execute("BEGIN")
        other.execute("SELECT COUNT(*) FROM rel_account").fetchone()

    with pytest.raises(sqlite3.OperationalError, match="locked"):
        with DB.getInstance().transaction() as con:
            models.Account.getExecutor(con).save(account_with_relations(models, "a@x", reader_holds_shared_lock))
    assert not connector.inTransaction
    other.rollback()
    assert set(sqlite_counts(other, models).values()) == {0}
    assert_handle_works(models)


def test_sqlite_locked_statement_outside_transaction(locked_sqlite, models):
    connector, other = locked_sqlite
    other.execute("BEGIN EXCLUSIVE")
    with pytest.raises(sqlite3.OperationalError, match="locked"):
        models.Account.getExecutor().save(models.Account(email="a@x"))
    other.rollback()
    assert_handle_works(models)


# --- MariaDB: the server stopped ----------------------------------------------------


@pytest.fixture
def stoppable(own_server, models):
    params = own_server.params()
    params.pop("unix_socket")  # over TCP, as a remote server
    connector = MysqlConnector(**params)
    with installed(connector):
        for model in models.all:
            DB.getInstance().executeSql(f"DROP TABLE IF EXISTS {model.tableName}")
            DB.getInstance().executeSql(TableGenerator(model).Build()[0])
        try:
            yield own_server, connector
        finally:
            if own_server.process is None:
                own_server.restart()
            connector.close()


def test_server_stopped_during_relation_save_in_transaction(stoppable, models):
    server, connector = stoppable
    with pytest.raises(CONNECTION_LOST):
        with DB.getInstance().transaction() as con:
            models.Account.getExecutor(con).save(account_with_relations(models, "a@x", between=server.stop))
    assert not connector.inTransaction
    with pytest.raises(CONNECTION_LOST):  # still down: the error reaches the caller again
        models.Account.getExecutor().findAllBy()
    server.restart()
    assert list(DB.getInstance().executeSql("SELECT COUNT(*) FROM rel_account")) == [(0,)]  # a list natively, a tuple on pymysql
    assert list(DB.getInstance().executeSql("SELECT COUNT(*) FROM rel_post")) == [(0,)]
    assert_handle_works(models)
