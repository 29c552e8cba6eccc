"""Synchronous connectors used from many threads: each thread runs on a
connection of its own (opened at its first statement, closed when it ends or
by close()), transaction() blocks belong to their thread, ":memory:" is one
database for all of them, and maxConnections bounds the connections open at
once."""

import os
import sqlite3
import threading
import time
from pathlib import Path

import pymysql
import pytest

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
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

from thread_support import run_threads

# CREATE TABLE on MariaDB: the key's constraint name is ignored, and said so.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

THREADS = 8
OPERATIONS = 1000
# Only a hung test reaches this; a guard, not a measurement.
HANG_GUARD = 300


class ThrOwner(DataModel):
    tableName = "thr_owner"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    tag = VarcharProperty(40, extra="UNIQUE")
    n = IntegerProperty(nullable=True)
    items = ForeignKey(ForeignType.ONE_TO_MANY, "ThrItem", bindCol="id", targetBindCol="owner_id")


class ThrItem(DataModel):
    tableName = "thr_item"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    owner_id = IntegerProperty(nullable=True)
    label = VarcharProperty(40, nullable=True)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def shared_memory_folder(tmp_path):
    """A SQLite file on tmpfs where there is one: thousands of commits then
    cost no disk flushes, and the locking between threads is the same."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        folder = shm / f"tessary-threads-{os.getpid()}-{tmp_path.name}"
        folder.mkdir()
        return folder
    return tmp_path


@pytest.fixture(params=["sqlite", "mariadb"])
def backend(request, tmp_path, install):
    """(connector installed on the handle, raw connection factory)."""
    if request.param == "sqlite":
        folder = shared_memory_folder(tmp_path)
        path = str(folder / "threads.db")
        raw = lambda: sqlite3.connect(path)  # noqa: E731
        connector = Sqlite3Connector(path)
    else:
        params = request.getfixturevalue("mariadb_clean")
        raw = lambda: pymysql.connect(**params)  # noqa: E731
        connector = MysqlConnector(**params)
        folder = None
    install(connector)
    yield connector, raw
    connector.close()
    if folder is not None and folder != tmp_path:
        for child in folder.iterdir():
            child.unlink()
        folder.rmdir()


def create_tables(raw):
    con = raw()
    try:
        cur = con.cursor()
        for table in ("thr_item", "thr_owner"):
            cur.execute(f"DROP TABLE IF EXISTS {table}")
        con.commit()
    finally:
        con.close()
    DB.getInstance().createTables(ThrOwner, ThrItem)


def rows(raw, sql):
    con = raw()
    try:
        cur = con.cursor()
        cur.execute(sql)
        return [tuple(r) for r in cur.fetchall()]
    finally:
        con.close()


class RolledBack(Exception):
    pass


class Worker:
    """One thread's mix of operations, with what it expects to find afterwards."""

    def __init__(self, index):
        self.index = index
        self.kept = {}        # tag -> (n, number of items left)
        self.rolled = []      # tags written in blocks that rolled back
        self.last = None      # the last owner saved, with its items

    def tag(self, i, kind="t"):
        return f"{kind}{self.index}-{i}"

    def save(self, i):
        tag = self.tag(i)
        owner = ThrOwner.getExecutor().save(
            ThrOwner(tag=tag, n=0, items=[ThrItem(label=f"{tag}.a"), ThrItem(label=f"{tag}.b")]))
        self.kept[tag] = (0, 2)
        self.last = owner

    def find(self, i):
        owner = self.last
        found = ThrOwner.getExecutor().findAllBy(ThrOwner.tag == owner.tag)
        assert [o.id for o in found] == [owner.id]
        items = ThrItem.getExecutor().findAllBy(ThrItem.owner_id == owner.id)
        assert len(items) == self.kept[owner.tag][1]

    def update(self, i):
        owner = self.last
        n, left = self.kept[owner.tag]
        ThrOwner.getExecutor().update(ThrOwner(id=owner.id, tag=owner.tag, n=n + 1))
        self.kept[owner.tag] = (n + 1, left)

    def delete(self, i):
        owner = self.last
        n, left = self.kept[owner.tag]
        if left:
            ThrItem.getExecutor().delete(owner["items"][left - 1])
            self.kept[owner.tag] = (n, left - 1)

    def page(self, i):
        page = Folio(ThrOwner, 1, 5).filter(ThrOwner.tag.like(f"t{self.index}-%")).orderBy("thr_owner.id desc").execute()
        assert page.total == len(self.kept)
        assert page.content[0].tag == self.last.tag

    def roll_back(self, i):
        tag = self.tag(i, "rb")
        try:
            with DB.getInstance().transaction() as con:
                ThrOwner.getExecutor(con).save(ThrOwner(tag=tag, n=-1, items=[ThrItem(label=f"{tag}.a")]))
                raise RolledBack
        except RolledBack:
            self.rolled.append(tag)

    CYCLE = ("save", "find", "update", "page", "delete", "roll_back")

    def __call__(self):
        for i in range(OPERATIONS):
            getattr(self, self.CYCLE[i % len(self.CYCLE)])(i)


def test_eight_threads_of_mixed_operations(backend):
    connector, raw = backend
    create_tables(raw)
    connector.close()
    before = open_fds()
    workers = [Worker(i) for i in range(THREADS)]
    started = time.monotonic()
    errors = run_threads(THREADS, lambda i: workers[i]())
    elapsed = time.monotonic() - started
    assert errors == []
    connector.close()
    assert open_fds() == before

    owners = rows(raw, "SELECT tag, n, (SELECT COUNT(*) FROM thr_item WHERE thr_item.owner_id = thr_owner.id) "
                       "FROM thr_owner")
    expected = {tag: kept for w in workers for tag, kept in w.kept.items()}
    assert sorted(tag for tag, _n, _items in owners) == sorted(expected)  # each exactly once
    assert {tag: (n, items) for tag, n, items in owners} == expected
    rolled = {tag for w in workers for tag in w.rolled}
    assert rolled and not rolled & {tag for tag, _n, _items in owners}
    items = rows(raw, "SELECT COUNT(*) FROM thr_item")[0][0]
    assert items == sum(left for _n, left in expected.values())
    print(f"\n{type(connector).__name__}: {THREADS} threads x {OPERATIONS} operations, {len(owners)} owners and "
          f"{items} items checked, {len(rolled)} rolled-back blocks absent, {elapsed:.2f} s")


# --- one connection per thread ---------------------------------------------------


def test_each_thread_has_its_own_connection(install):
    connector = install(Sqlite3Connector())
    main = connector.getCon()
    seen = {}
    assert run_threads(3, lambda i: seen.setdefault(i, (connector.getCon(), connector.getCon()))) == []
    cons = [first for first, again in seen.values()]
    assert all(first is again for first, again in seen.values())
    assert len({id(c) for c in cons + [main]}) == 4
    assert connector.getCon() is main


def test_a_thread_that_ends_closes_its_connection(backend):
    connector, raw = backend
    connector.query("SELECT 1")
    before = open_fds()
    opened = []

    def body(_i):
        connector.query("SELECT 1")
        opened.append(open_fds())

    assert run_threads(1, body) == []
    assert opened[0] > before  # the thread's connection had a descriptor of its own
    assert open_fds() == before
    assert connector.openConnections == 1


def test_memory_database_is_one_for_all_threads(install):
    connector = install(Sqlite3Connector(":memory:"))
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY, v TEXT)")

    def body(i):
        for n in range(50):
            handle.executeSql("INSERT INTO t (v) VALUES (%s)", (f"{i}-{n}",))
        for n in range(10):  # blocks of other threads hold the write lock at BEGIN: waited for
            with handle.transaction() as con:
                handle.executeSql("INSERT INTO t (v) VALUES (%s)", (f"{i}-block-{n}",), con=con)

    assert run_threads(6, body) == []
    assert handle.executeSql("SELECT COUNT(*) FROM t") == [(6 * 60,)]
    connector.close()
    with pytest.raises(sqlite3.OperationalError, match="no such table"):
        handle.executeSql("SELECT COUNT(*) FROM t")  # a new, empty database after close()


def test_memory_database_outlives_the_thread_that_made_it(install):
    connector = install(Sqlite3Connector(":memory:"))
    handle = DB.getInstance()

    def body(_i):
        handle.executeSql("CREATE TABLE made_in_a_thread (k INTEGER)")
        handle.executeSql("INSERT INTO made_in_a_thread VALUES (7)")

    assert run_threads(1, body) == []
    assert connector.openConnections == 0
    assert handle.executeSql("SELECT k FROM made_in_a_thread") == [(7,)]


def test_transaction_blocks_belong_to_their_thread(backend):
    connector, raw = backend
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY)")
    inside = threading.Event()
    done = threading.Event()
    seen = {}

    def other(_i):
        inside.wait(HANG_GUARD)
        seen["in transaction"] = connector.inTransaction
        seen["rows"] = list(handle.executeSql("SELECT k FROM t"))  # its own connection: the block's row is unseen
        done.set()

    thread = threading.Thread(target=other, args=(0,))
    thread.start()
    with pytest.raises(RolledBack):
        with handle.transaction():
            handle.executeSql("INSERT INTO t VALUES (%s)", (1,))
            inside.set()
            done.wait(HANG_GUARD)
            assert connector.inTransaction
            raise RolledBack
    thread.join(HANG_GUARD)
    assert seen == {"in transaction": False, "rows": []}
    assert rows(raw, "SELECT k FROM t") == [] and not connector.inTransaction


# --- close() ------------------------------------------------------------------------


def test_close_from_the_main_thread_while_others_are_idle(backend):
    connector, raw = backend
    before = open_fds()
    ready = threading.Barrier(5)
    closed = threading.Event()
    after = {}

    def body(i):
        connector.query("SELECT 1")
        first = connector.getCon()
        ready.wait(HANG_GUARD)
        closed.wait(HANG_GUARD)
        after[i] = ([tuple(r) for r in connector.query("SELECT 2")], connector.getCon() is not first)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    ready.wait(HANG_GUARD)
    assert connector.openConnections == 4
    connector.close()
    assert connector.openConnections == 0
    assert open_fds() == before
    closed.set()
    for t in threads:
        t.join(HANG_GUARD)
    assert after == {i: ([(2,)], True) for i in range(4)}  # each opened a new connection
    assert connector.openConnections == 0 and open_fds() == before


def test_close_while_another_thread_runs_a_statement(install, tmp_path):
    """The statement ends on its connection; that thread closes it then."""
    # A Python function inside the statement holds it open: the sqlite3 module's create_function.
    connector = install(Sqlite3Connector(str(tmp_path / "busy.db"), driver="sqlite3"))
    connector.query("CREATE TABLE t (k INTEGER)")
    in_statement = threading.Event()
    go_on = threading.Event()

    def slow(value):
        in_statement.set()
        go_on.wait(HANG_GUARD)
        return value

    results = []

    def body(_i):
        con = connector.getCon()
        con.create_function("slow", 1, slow)
        results.append(connector.query("SELECT slow(41) + 1"))
        results.append(connector.getCon() is not con)

    thread = threading.Thread(target=body, args=(0,))
    thread.start()
    in_statement.wait(HANG_GUARD)
    connector.close()
    assert connector.openConnections == 1  # still running: closed by its thread
    go_on.set()
    thread.join(HANG_GUARD)
    assert results == [[(42,)], True]
    assert connector.openConnections == 0


# --- maxConnections ----------------------------------------------------------------


@pytest.mark.parametrize("kind", ["sqlite", "mariadb"])
def test_threads_wait_for_a_free_connection(kind, request, tmp_path, install):
    if kind == "sqlite":
        connector = Sqlite3Connector(str(tmp_path / "bounded.db"), maxConnections=2)
    else:
        connector = MysqlConnector(**request.getfixturevalue("mariadb_clean"), maxConnections=2)
    install(connector)
    assert connector.maxConnections == 2
    most = []
    lock = threading.Lock()

    def body(i):
        for _ in range(20):
            with lock:
                most.append(connector.openConnections)
            assert [tuple(r) for r in connector.query("SELECT %s", (i,))] == [(i,)]

    # A thread's connection is freed when the thread ends: the four take turns.
    assert run_threads(4, body) == []
    assert max(most) <= 2
    assert connector.openConnections == 0


def test_no_free_connection_within_the_timeout(install, tmp_path):
    connector = install(Sqlite3Connector(str(tmp_path / "full.db"), maxConnections=1, acquireTimeout=0.05))
    connector.query("SELECT 1")  # the main thread holds the only one
    errors = run_threads(1, lambda i: connector.query("SELECT 1"))
    assert [type(e) for _i, e in errors] == [TimeoutError]
    message = str(errors[0][1])
    assert "0.05 s" in message and "maxConnections" in message
    connector.close()
    assert run_threads(1, lambda i: connector.query("SELECT 1")) == []


def test_close_frees_the_slots_for_waiting_threads(install, tmp_path):
    connector = install(Sqlite3Connector(str(tmp_path / "freed.db"), maxConnections=1))
    connector.query("SELECT 1")
    waiting = threading.Event()
    results = []

    def body(_i):
        waiting.set()
        results.append(list(connector.query("SELECT 3")))

    thread = threading.Thread(target=body, args=(0,))
    thread.start()
    waiting.wait(HANG_GUARD)
    connector.close()  # gives the main thread's slot to the waiting one
    thread.join(HANG_GUARD)
    assert results == [[(3,)]]


@pytest.mark.parametrize("make", [
    lambda **kw: Sqlite3Connector(**kw),
    lambda **kw: MysqlConnector(**kw),
])
@pytest.mark.parametrize("kwargs, error, text", [
    ({"maxConnections": 0}, ValueError, "maxConnections must be a positive int or None, not 0"),
    ({"maxConnections": -3}, ValueError, "maxConnections must be a positive int or None, not -3"),
    ({"maxConnections": 2.0}, TypeError, "maxConnections must be a positive int or None, not float"),
    ({"maxConnections": True}, TypeError, "maxConnections must be a positive int or None, not bool"),
    ({"acquireTimeout": -1}, ValueError, "acquireTimeout must be a finite number of seconds >= 0, not -1"),
    ({"acquireTimeout": float("nan")}, ValueError, "acquireTimeout must be a finite number of seconds >= 0, not nan"),
    ({"acquireTimeout": "1"}, TypeError, "acquireTimeout must be a number of seconds, not str"),
])
def test_bounds_are_checked(make, kwargs, error, text):
    with pytest.raises(error) as raised:
        make(**kwargs)
    assert str(raised.value) == text


def test_bounds_defaults_and_reinit():
    connector = Sqlite3Connector()
    assert (connector.maxConnections, connector.acquireTimeout, connector.openConnections) == (None, 30.0, 0)
    connector.__init__(maxConnections=3, acquireTimeout=1)
    assert (connector.maxConnections, connector.acquireTimeout) == (3, 1.0)
    connector.__init__()
    assert (connector.maxConnections, connector.acquireTimeout) == (None, 30.0)


def test_bounds_are_keyword_only():
    with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
        Sqlite3Connector(":memory:", 2)


def test_close_forgets_a_connection_its_driver_will_not_close_from_here(install, tmp_path):
    """sqlite3's default refuses a close from another thread: close() still
    forgets that thread's connection, and says nothing about it."""
    path = str(tmp_path / "same-thread.db")

    class SameThreadOnly(Sqlite3Connector):
        def connect(self):
            return sqlite3.connect(path, isolation_level=None)  # check_same_thread=True

    connector = install(SameThreadOnly(path))
    ready = threading.Event()
    closed = threading.Event()
    after = []

    def body(_i):
        connector.query("SELECT 1")
        ready.set()
        closed.wait(HANG_GUARD)
        after.append(list(connector.query("SELECT 2")))

    thread = threading.Thread(target=body, args=(0,))
    thread.start()
    ready.wait(HANG_GUARD)
    connector.close()
    assert connector.openConnections == 0
    closed.set()
    thread.join(HANG_GUARD)
    assert after == [[(2,)]]
