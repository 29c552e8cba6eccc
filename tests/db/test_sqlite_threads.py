"""Many threads writing one SQLite file through the handle: transaction
blocks begin in the connector's transactionMode (IMMEDIATE by default), so
blocks that read and then write queue for the write lock instead of failing
with "database is locked"; the busy timeout and the pragmas are the
connector's options, checked when it is made."""

import os
import sqlite3
import threading
import time
from pathlib import Path

import pytest

from Tessary.DB.Connector import AioSqliteConnector, Sqlite3Connector, connect
from Tessary.DB.DB import DB
from Tessary.Ext.Folio import Folio
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)

THREADS = 16
# Operations per thread, on either driver.
OPERATIONS = 1000
HANG_GUARD = 300  # a guard against a hung thread, not a measurement


class StOwner(DataModel):
    tableName = "st_owner"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    tag = VarcharProperty(40, extra="UNIQUE")
    n = IntegerProperty(nullable=True)
    items = ForeignKey(ForeignType.ONE_TO_MANY, "StItem", bindCol="id", targetBindCol="owner_id")


class StItem(DataModel):
    tableName = "st_item"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    owner_id = IntegerProperty(nullable=True)
    label = VarcharProperty(40, nullable=True)


def database_folder(tmp_path):
    """tmpfs where there is one: thousands of commits then cost no disk
    flushes, and the locking between connections is the same."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        folder = shm / f"tessary-sqlite-threads-{os.getpid()}-{tmp_path.name}"
        folder.mkdir()
        return folder
    return tmp_path


@pytest.fixture
def db_path(tmp_path):
    folder = database_folder(tmp_path)
    yield str(folder / "threads.db")
    if folder != tmp_path:
        for child in folder.iterdir():
            child.unlink()
        folder.rmdir()


def rows(path, sql):
    con = sqlite3.connect(path)
    try:
        return [tuple(r) for r in con.execute(sql).fetchall()]
    finally:
        con.close()


class RolledBack(Exception):
    pass


class Worker:
    """One thread's mix of operations and what it expects to find afterwards."""

    def __init__(self, index):
        self.index = index
        self.kept = {}    # tag -> (n, items left)
        self.rolled = []  # tags written in blocks that rolled back
        self.last = None  # the last owner saved with its items

    def tag(self, i, kind="t"):
        return f"{kind}{self.index}-{i}"

    def graph_save(self, i):
        tag = self.tag(i)
        self.last = StOwner.getExecutor().save(
            StOwner(tag=tag, n=0, items=[StItem(label=f"{tag}.a"), StItem(label=f"{tag}.b")]))
        self.kept[tag] = (0, 2)

    def plain_save(self, i):
        tag = self.tag(i)
        StOwner.getExecutor().save(StOwner(tag=tag, n=7))
        self.kept[tag] = (7, 0)

    def update(self, i):
        owner = self.last
        n, left = self.kept[owner.tag]
        StOwner.getExecutor().update(StOwner(id=owner.id, tag=owner.tag, n=n + 1))
        self.kept[owner.tag] = (n + 1, left)

    def delete(self, i):
        owner = self.last
        n, left = self.kept[owner.tag]
        if left:
            StItem.getExecutor().delete(owner["items"][left - 1])
            self.kept[owner.tag] = (n, left - 1)

    def page(self, i):
        page = (Folio(StOwner, 1, 5).filter(StOwner.tag.like(f"t{self.index}-%"))
                .orderBy("st_owner.id desc").execute())
        assert page.total == len(self.kept)

    def committed_block(self, i):
        """Reads, then writes, in one block: the pattern that deadlocks when deferred."""
        tag = self.tag(i)
        with DB.getInstance().transaction() as con:
            seen = StOwner.getExecutor(con).findAllBy(StOwner.tag == self.last.tag)
            assert len(seen) == 1
            StOwner.getExecutor(con).save(StOwner(tag=tag, n=1, items=[StItem(label=f"{tag}.a")]))
        self.kept[tag] = (1, 1)

    def rolled_back_block(self, i):
        tag = self.tag(i, "rb")
        try:
            with DB.getInstance().transaction() as con:
                StOwner.getExecutor(con).findAllBy(StOwner.tag == self.last.tag)
                StOwner.getExecutor(con).save(StOwner(tag=tag, n=-1, items=[StItem(label=f"{tag}.a")]))
                raise RolledBack
        except RolledBack:
            self.rolled.append(tag)

    CYCLE = ("graph_save", "update", "page", "committed_block", "delete", "plain_save", "rolled_back_block")

    def run(self, operations):
        for i in range(operations):
            getattr(self, self.CYCLE[i % len(self.CYCLE)])(i)


def run_threads(workers, operations):
    errors = []

    def body(worker):
        try:
            worker.run(operations)
        except BaseException as error:  # noqa: BLE001 - every failure is reported
            errors.append((worker.index, repr(error)))

    threads = [threading.Thread(target=body, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(HANG_GUARD)
        assert not t.is_alive(), "a thread hung"
    return errors


@pytest.mark.parametrize("pragmas", [None, {"journal_mode": "wal"}], ids=["rollback-journal", "wal"])
@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_sixteen_threads_of_mixed_work_on_one_file(install, db_path, driver, pragmas):
    # Sixteen writers queue for one lock: on a machine loaded by other work a
    # turn can take longer than the default 5 s, which is what `timeout` is for.
    connector = install(Sqlite3Connector(db_path, driver=driver, pragmas=pragmas, timeout=60))
    DB.getInstance().createTables(StOwner, StItem)
    operations = OPERATIONS
    workers = [Worker(i) for i in range(THREADS)]
    started = time.monotonic()
    errors = run_threads(workers, operations)
    elapsed = time.monotonic() - started
    connector.close()
    assert errors == []

    if pragmas:
        assert rows(db_path, "PRAGMA journal_mode") == [("wal",)]
    owners = rows(db_path, "SELECT tag, n, (SELECT COUNT(*) FROM st_item WHERE st_item.owner_id = st_owner.id) "
                           "FROM st_owner")
    expected = {tag: kept for w in workers for tag, kept in w.kept.items()}
    assert sorted(tag for tag, _n, _items in owners) == sorted(expected)  # each exactly once
    assert {tag: (n, items) for tag, n, items in owners} == expected
    rolled = {tag for w in workers for tag in w.rolled}
    assert rolled and not rolled & {tag for tag, _n, _items in owners}
    items = rows(db_path, "SELECT COUNT(*) FROM st_item")[0][0]
    assert items == sum(left for _n, left in expected.values())  # no orphan of a rolled-back block
    print(f"\n{driver} {pragmas}: {THREADS} threads x {operations} operations, {len(owners)} owners, "
          f"{items} items, {len(rolled)} rolled-back blocks absent, {elapsed:.2f} s")


# --- the options -----------------------------------------------------------------------



@pytest.mark.parametrize("mode", [None, "IMMEDIATE", "DEFERRED", "EXCLUSIVE", "deferred"])
@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_transaction_blocks_begin_in_the_mode(install, tmp_path, logged_statements, driver, mode):
    options = {} if mode is None else {"transactionMode": mode}
    connector = install(Sqlite3Connector(str(tmp_path / "mode.db"), driver=driver, **options))
    assert connector.transactionMode == (mode or "IMMEDIATE").upper()
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY)")
    logged_statements.clear()
    with handle.transaction() as con:
        handle.executeSql("INSERT INTO t VALUES (%s)", (1,), con=con)
        with handle.transaction():  # a savepoint: no second BEGIN
            pass
    begins = [s for s in logged_statements if s.startswith("BEGIN")]
    assert begins == [f"BEGIN {(mode or 'IMMEDIATE').upper()}"]
    assert logged_statements[-1] == "COMMIT"
    assert handle.executeSql("SELECT k FROM t") == [(1,)]


@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_the_package_s_own_transactions_begin_in_the_mode(install, tmp_path, logged_statements, driver):
    install(Sqlite3Connector(str(tmp_path / "own.db"), driver=driver, transactionMode="EXCLUSIVE"))
    DB.getInstance().createTables(StOwner, StItem)
    logged_statements.clear()
    StOwner.getExecutor().saveAll([StOwner(tag="a", n=1), StOwner(tag="b", n=2)])
    assert [s for s in logged_statements if s.startswith("BEGIN")] == ["BEGIN EXCLUSIVE"]


def test_an_immediate_block_holds_the_write_lock_from_its_begin(install, tmp_path):
    path = str(tmp_path / "lock.db")
    install(Sqlite3Connector(path, timeout=0))
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY)")
    other = sqlite3.connect(path, timeout=0, isolation_level=None)
    try:
        with handle.transaction() as con:
            handle.executeSql("SELECT * FROM t", con=con)  # only a read so far
            with pytest.raises(sqlite3.OperationalError, match="locked"):
                other.execute("BEGIN IMMEDIATE")  # the block already has the write lock
    finally:
        other.close()


def test_a_deferred_block_takes_the_write_lock_at_its_first_write(install, tmp_path):
    path = str(tmp_path / "deferred.db")
    install(Sqlite3Connector(path, timeout=0, transactionMode="DEFERRED"))
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY)")
    other = sqlite3.connect(path, timeout=0, isolation_level=None)
    try:
        with handle.transaction() as con:
            handle.executeSql("SELECT * FROM t", con=con)
            other.execute("BEGIN IMMEDIATE")  # free: the block only reads
            other.execute("ROLLBACK")
    finally:
        other.close()


@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_timeout_is_the_busy_wait(install, tmp_path, driver):
    path = str(tmp_path / "busy.db")
    connector = install(Sqlite3Connector(path, driver=driver, timeout=0.2))
    assert connector.timeout == 0.2
    connector.query("CREATE TABLE t (k INTEGER)")
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        started = time.monotonic()
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            connector.query("INSERT INTO t VALUES (1)")
        assert time.monotonic() - started >= 0.15  # it waited, then gave up
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    assert Sqlite3Connector(path).timeout == 5.0


@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_pragmas_run_on_every_connection(install, tmp_path, driver):
    pragmas = {"journal_mode": "wal", "synchronous": "normal", "foreign_keys": True, "cache_size": -4000}
    connector = install(Sqlite3Connector(str(tmp_path / "p.db"), driver=driver, pragmas=pragmas))
    assert connector.pragmas == pragmas
    connector.pragmas["cache_size"] = 1  # a copy
    seen = {}

    def read(key):
        seen[key] = [tuple(connector.query(f"PRAGMA {name}")[0]) for name in
                     ("journal_mode", "synchronous", "foreign_keys", "cache_size")]

    read("main")
    thread = threading.Thread(target=read, args=("thread",))
    thread.start()
    thread.join(HANG_GUARD)
    assert seen["main"] == seen["thread"] == [("wal",), (1,), (1,), (-4000,)]


def test_a_pragma_value_is_a_literal_never_sql(install, tmp_path):
    path = str(tmp_path / "literal.db")
    connector = install(Sqlite3Connector(path, pragmas={"application_id": 7, "journal_mode": "delete'; DROP"}))
    connector.query("CREATE TABLE t (k INTEGER)")  # the quote stays inside the value, which SQLite ignores
    assert rows(path, "PRAGMA application_id") == [(7,)]


class Sly(str):
    def __str__(self):
        return "1; DROP TABLE t"


class SlyInt(int):
    def __int__(self):
        return 99

    def __index__(self):
        return 99

    def __repr__(self):
        return "1; DROP TABLE t"


def test_subclassed_pragma_values_are_read_as_their_value(install, tmp_path):
    path = str(tmp_path / "sly.db")
    connector = install(Sqlite3Connector(path, pragmas={Sly("user_version"): SlyInt(5), "journal_mode": Sly("wal")}))
    assert connector.pragmas == {"user_version": 5, "journal_mode": "wal"}
    assert all(type(k) is str for k in connector.pragmas)
    assert [type(v) for v in connector.pragmas.values()] == [int, str]
    connector.query("CREATE TABLE t (k INTEGER)")
    assert rows(path, "PRAGMA user_version") == [(5,)]
    assert rows(path, "PRAGMA journal_mode") == [("wal",)]


@pytest.mark.parametrize("connector_type", [Sqlite3Connector, AioSqliteConnector])
def test_options_are_settable_and_checked(connector_type, tmp_path):
    connector = connector_type(str(tmp_path / "set.db"))
    connector.timeout = 2
    connector.transactionMode = "deferred"
    connector.pragmas = {"foreign_keys": 1}
    assert (connector.timeout, connector.transactionMode, connector.pragmas) == (2.0, "DEFERRED", {"foreign_keys": 1})
    with pytest.raises(ValueError, match="timeout"):
        connector.timeout = -3
    with pytest.raises(ValueError, match="IMMEDIATE"):
        connector.transactionMode = "NOW"
    with pytest.raises(ValueError, match="identifier"):
        connector.pragmas = {"a b": 1}
    with pytest.raises(AttributeError, match="cannot delete"):
        del connector.timeout
    assert (connector.timeout, connector.transactionMode, connector.pragmas) == (2.0, "DEFERRED", {"foreign_keys": 1})


def test_a_subclass_sets_the_timeout_its_connections_use(install, tmp_path):
    class Patient(Sqlite3Connector):
        def __init__(self, path):
            super().__init__(path)
            self.timeout = 0.2

    path = str(tmp_path / "sub.db")
    connector = install(Patient(path))
    connector.query("CREATE TABLE t (k INTEGER)")
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        started = time.monotonic()
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            connector.query("INSERT INTO t VALUES (1)")
        assert time.monotonic() - started < 4
    finally:
        holder.close()


def test_options_of_an_uninitialised_connector(tmp_path):
    for connector_type in (Sqlite3Connector, AioSqliteConnector):
        bare = connector_type.__new__(connector_type)
        for name in ("transactionMode", "timeout", "pragmas"):
            with pytest.raises(RuntimeError, match="not initialised"):
                getattr(bare, name)


@pytest.mark.parametrize("connector_type", [Sqlite3Connector, AioSqliteConnector])
@pytest.mark.parametrize("options, error, match", [
    ({"transactionMode": "SERIALIZABLE"}, ValueError, "IMMEDIATE.*DEFERRED.*EXCLUSIVE"),
    ({"transactionMode": ""}, ValueError, "IMMEDIATE"),
    ({"transactionMode": "IMMEDIATE; DROP TABLE t"}, ValueError, "IMMEDIATE"),
    ({"transactionMode": 1}, TypeError, "transactionMode"),
    ({"timeout": -1}, ValueError, "timeout"),
    ({"timeout": float("nan")}, ValueError, "timeout"),
    ({"timeout": "5"}, TypeError, "timeout"),
    ({"timeout": True}, TypeError, "timeout"),
    ({"pragmas": [("journal_mode", "wal")]}, TypeError, "pragmas"),
    ({"pragmas": {"journal_mode; DROP TABLE t": "wal"}}, ValueError, "identifier"),
    ({"pragmas": {"main.journal_mode": "wal"}}, ValueError, "identifier"),
    ({"pragmas": {"": 1}}, ValueError, "identifier"),
    ({"pragmas": {"1st": 1}}, ValueError, "identifier"),
    ({"pragmas": {1: 1}}, ValueError, "identifier"),
    ({"pragmas": {"cache_size": 1.5}}, TypeError, "int, str or bool"),
    ({"pragmas": {"cache_size": None}}, TypeError, "int, str or bool"),
    ({"pragmas": {"cache_size": b"1"}}, TypeError, "int, str or bool"),
    ({"pragmas": {"journal_mode": "wal\x00"}}, TypeError, "NUL"),
    ({"pragmas": {"cache_size": 2 ** 70}}, OverflowError, ""),
])
def test_bad_options_are_refused(connector_type, options, error, match):
    with pytest.raises(error, match=match):
        connector_type(":memory:", **options)


def test_async_connector_options(tmp_path):
    connector = AioSqliteConnector(str(tmp_path / "a.db"), driver="native", timeout=1.5,
                                   transactionMode="exclusive", pragmas={"journal_mode": "wal"})
    assert (connector.transactionMode, connector.timeout, connector.pragmas) == (
        "EXCLUSIVE", 1.5, {"journal_mode": "wal"})
    default = AioSqliteConnector(":memory:")
    assert (default.transactionMode, default.timeout, default.pragmas) == ("IMMEDIATE", 5.0, {})


# --- the same options in a connection URL ------------------------------------------------


@pytest.mark.parametrize("scheme, connector_type", [("sqlite", Sqlite3Connector),
                                                    ("sqlite+asyncio", AioSqliteConnector)])
def test_url_options(tmp_path, scheme, connector_type):
    path = tmp_path / "url.db"
    connector = connect(f"{scheme}:///{path}?timeout=2.5&transactionMode=exclusive"
                        "&pragma.journal_mode=wal&pragma.cache_size=-4000&pragma.synchronous=normal")
    try:
        assert type(connector) is connector_type
        assert connector.transactionMode == "EXCLUSIVE"
        assert connector.timeout == 2.5
        assert connector.pragmas == {"journal_mode": "wal", "cache_size": -4000, "synchronous": "normal"}
        assert connect(f"{scheme}:///{path}?timeout=3").timeout == 3.0
        # Keyword options win over the URL's, the pragmas as a whole.
        assert connect(f"{scheme}:///{path}?pragma.journal_mode=wal", pragmas={}).pragmas == {}
    finally:
        if connector_type is Sqlite3Connector:
            connector.close()


@pytest.mark.parametrize("url, error, match", [
    ("sqlite:///x.db?timeout=-1", ValueError, "must be a number of seconds"),
    ("sqlite:///x.db?timeout=1e3", ValueError, "must be a number of seconds"),
    ("sqlite:///x.db?timeout=nan", ValueError, "must be a number of seconds"),
    ("sqlite:///x.db?timeout=.", ValueError, "must be a number of seconds"),
    ("sqlite:///x.db?transactionMode=SHARED", ValueError, "IMMEDIATE"),
    ("sqlite:///x.db?pragma.journal_mode=wal&pragma.journal_mode=off", ValueError, "given twice"),
    ("sqlite:///x.db?pragma.main.journal_mode=wal", ValueError, "identifier"),
    ("sqlite:///x.db?pragma.=1", ValueError, "unknown query parameter 'pragma.'"),
    ("sqlite:///x.db?pragma.journal_mode=%00", ValueError, "NUL"),
    ("mysql://h/db?pragma.journal_mode=wal", ValueError, "unknown query parameter 'pragma.journal_mode'"),
])
def test_bad_url_options_are_refused(url, error, match):
    with pytest.raises(error, match=match):
        connect(url)
