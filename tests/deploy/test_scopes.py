"""Request scopes on the synchronous connectors: `with connector.scope():`
lends the calling thread a pooled connection for the block, release() gives
a held one back, maxConnections counts every connection (held, scoped and
idle), idleTimeout closes idle ones, and a connection its user closed is
replaced."""

import contextlib
import os
import sqlite3
import threading
import time
from pathlib import Path

import pytest

from Tessary.DB.Connector import MysqlConnector, Scope, Sqlite3Connector, connect
from Tessary.DB.DB import DB

from handle_support import installed
from thread_support import run_threads

# Only a hung test reaches this; a guard, not a measurement.
HANG_GUARD = 120


def fast_folder(tmp_path):
    """tmpfs where there is one: thousands of SQLite commits cost no disk flush."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        folder = shm / f"tessary-scopes-{os.getpid()}-{tmp_path.name}"
        folder.mkdir(exist_ok=True)
        return folder
    return tmp_path


@pytest.fixture
def make(db, request, tmp_path):
    """Connectors of the test's database kind with the options given; on
    SQLite a tmpfs file of the test's own. Closed at the end."""
    made = []
    folder = fast_folder(tmp_path) if db.is_sqlite else None

    def build(**options):
        if db.is_sqlite:
            connector = Sqlite3Connector(str(folder / "scopes.db"), **options)
        else:
            connector = MysqlConnector(**request.getfixturevalue("mariadb_params"), **options)
        made.append(connector)
        return connector

    yield build
    for connector in made:
        connector.close()
    if folder is not None and folder != tmp_path:
        for leftover in folder.iterdir():
            leftover.unlink()
        folder.rmdir()


def create_hits(connector):
    key = "INTEGER PRIMARY KEY" if isinstance(connector, Sqlite3Connector) else "INT AUTO_INCREMENT PRIMARY KEY"
    connector.query(f"CREATE TABLE hits (id {key}, n INT)")


# --- many requests on few connections ----------------------------------------------------


def test_eight_threads_serve_ten_thousand_scoped_requests(make):
    threads, requests = 8, 10_000
    connector = make(maxConnections=4, acquireTimeout=HANG_GUARD)
    create_hits(connector)
    connector.release()
    most = [0]

    def worker(w):
        handle = DB.getInstance()
        for n in range(w, requests, threads):
            with handle.scope():
                handle.executeSql("INSERT INTO hits (n) VALUES (%s)", (n,))
                assert [tuple(row) for row in handle.executeSql("SELECT %s", (n,))] == [(n,)]
                most[0] = max(most[0], connector.openConnections)

    with installed(connector):
        assert run_threads(threads, worker) == []
        assert [tuple(row) for row in connector.query("SELECT COUNT(*), COUNT(DISTINCT n), MIN(n), MAX(n) FROM hits")] \
            == [(requests, requests, 0, requests - 1)]
    assert 1 <= most[0] <= 4
    # The workers hold nothing between requests: every connection is idle but the main thread's.
    assert connector.idleConnections == connector.openConnections - 1


# --- what a scope lends ---------------------------------------------------------------------


def test_every_statement_of_the_scope_runs_on_its_connection(db):
    connector = db.connector
    handle = DB.getInstance()
    with handle.scope() as con:
        assert connector.getCon() is con
        with connector.transaction() as block_con:
            assert block_con is con
        assert connector.openConnections == 1 and connector.idleConnections == 0
    assert (connector.openConnections, connector.idleConnections) == (1, 1)
    # Given back, not closed: the next scope of any thread gets it again.
    seen = []

    def request(_i):
        with connector.scope() as lent:
            seen.append(lent)

    assert run_threads(1, request) == []
    assert seen == [con]
    assert (connector.openConnections, connector.idleConnections) == (1, 1)


def test_scope_exit_rolls_back_what_is_left_open(db):
    connector = db.connector
    db.connector.query("CREATE TABLE kept (n INT)")
    with pytest.raises(KeyError):
        with connector.scope():
            DB.getInstance().executeSql("INSERT INTO kept VALUES (1)")  # committed by itself
            block = connector.transaction()
            block.__enter__()  # never ended: the scope rolls it back
            connector.query("INSERT INTO kept VALUES (2)")
            raise KeyError("the request failed")
    assert not connector.inTransaction
    with connector.transaction():
        block.__exit__(None, None, None)  # a late end leaves the block begun since alone
        assert connector.inTransaction
    with connector.scope():
        connector.query("BEGIN")
        connector.query("INSERT INTO kept VALUES (3)")
    assert db.rows("SELECT n FROM kept") == [(1,)]
    assert connector.idleConnections == 1


def test_nested_scopes_join_the_outer_one(db):
    connector = db.connector
    with connector.scope() as outer:
        with connector.scope() as inner:
            assert inner is outer
        assert connector.idleConnections == 0
        assert connector.getCon() is outer
        with connector.transaction():
            with connector.scope() as in_block:  # joins: the block keeps its connection
                assert in_block is outer
            assert connector.inTransaction
    assert connector.idleConnections == 1


def test_a_scope_inside_a_transaction_block_leaves_the_block_its_connection(db):
    connector = db.connector
    connector.query("CREATE TABLE joined (n INT)")
    with connector.transaction() as con:
        with connector.scope() as scoped:
            assert scoped is con
            connector.query("INSERT INTO joined VALUES (1)")
        assert connector.idleConnections == 0
    assert db.rows("SELECT n FROM joined") == [(1,)]


# --- release() and closed connections ---------------------------------------------------------


def test_release_gives_the_held_connection_back(db):
    connector = db.connector
    connector.query("CREATE TABLE released (n INT)")
    held = connector.getCon()
    assert (connector.openConnections, connector.idleConnections) == (1, 0)
    connector.query("BEGIN")
    connector.query("INSERT INTO released VALUES (1)")
    assert connector.release() is None
    assert (connector.openConnections, connector.idleConnections) == (1, 1)
    assert db.rows("SELECT n FROM released") == []  # rolled back
    assert connector.release() is None  # nothing held: nothing to give
    assert connector.getCon() is held  # the next statement takes it from the pool
    assert connector.idleConnections == 0


def test_release_is_refused_inside_a_scope_or_a_block(db):
    connector = db.connector
    with connector.scope():
        with pytest.raises(RuntimeError, match=r"release\(\) inside a scope"):
            connector.release()
    with connector.transaction():
        with pytest.raises(RuntimeError, match=r"release\(\) inside a transaction\(\) block"):
            connector.release()
        assert connector.inTransaction


def test_a_connection_closed_by_its_user_is_replaced(db):
    connector = db.connector
    connector.getCon().close()
    assert [tuple(row) for row in connector.query("SELECT 7")] == [(7,)]
    assert connector.openConnections == 1
    with connector.scope() as con:
        con.close()
        assert [tuple(row) for row in connector.query("SELECT 8")] == [(8,)]
    assert (connector.openConnections, connector.idleConnections) == (1, 1)


def test_connections_of_an_overridden_connect_stay_with_their_thread(db, tmp_path, request):
    """A connect() of the program's own may return a connection bound to its
    thread (sqlite3's default): such a connection is closed at a scope's end
    rather than lent to another thread."""
    if db.is_sqlite:
        path = str(tmp_path / "bound.db")

        class Bound(Sqlite3Connector):
            def connect(self):
                return sqlite3.connect(path, isolation_level=None)  # check_same_thread=True

        connector = Bound(path)
    else:
        class Bound(MysqlConnector):
            def connect(self):
                return super().connect()

        connector = Bound(**request.getfixturevalue("mariadb_params"))
    try:
        with connector.scope():
            connector.query("SELECT 1")
        assert (connector.openConnections, connector.idleConnections) == (0, 0)

        def scoped(_i):
            with connector.scope():
                assert [tuple(row) for row in connector.query("SELECT 2")] == [(2,)]

        assert run_threads(2, scoped) == []
    finally:
        connector.close()


# --- maxConnections, idleTimeout --------------------------------------------------------------


def test_max_connections_counts_held_scoped_and_idle_ones(make):
    connector = make(maxConnections=2, acquireTimeout=0.05)
    connector.query("SELECT 1")  # held by the main thread
    inside, leave = threading.Event(), threading.Event()

    def scoped(_i):
        with connector.scope():
            inside.set()
            leave.wait(HANG_GUARD)

    holder = threading.Thread(target=scoped, args=(0,))
    holder.start()
    assert inside.wait(HANG_GUARD)
    try:
        errors = run_threads(1, lambda i: connector.query("SELECT 1"))
        assert [type(error) for _i, error in errors] == [TimeoutError]
    finally:
        leave.set()
        holder.join(HANG_GUARD)
    assert (connector.openConnections, connector.idleConnections) == (2, 1)
    # A thread that needs one takes the idle one rather than opening a third.
    seen = []

    def request(_i):
        with connector.scope():
            seen.append(connector.openConnections)

    assert run_threads(1, request) == []
    assert seen == [2]
    assert (connector.openConnections, connector.idleConnections) == (2, 1)


def test_idle_timeout_closes_idle_connections(make):
    connector = make(idleTimeout=0.05)
    with connector.scope():
        connector.query("SELECT 1")
    # A thread that ends gives its connection to the pool too, when idle ones time out.
    assert run_threads(1, lambda i: connector.query("SELECT 1")) == []
    assert connector.idleConnections >= 1
    time.sleep(0.1)
    assert (connector.idleConnections, connector.openConnections) == (0, 0)
    with connector.scope():  # a new one
        assert connector.openConnections == 1


# --- options ----------------------------------------------------------------------------------


def test_pool_options_read_back(make):
    assert (make().idleTimeout, make().prePing) == (None, True)
    connector = make(idleTimeout=2, prePing=0.5)
    assert (connector.idleTimeout, connector.prePing) == (2.0, 0.5)
    assert make(prePing=False).prePing is False


@pytest.mark.parametrize("cls", [Sqlite3Connector, MysqlConnector])
@pytest.mark.parametrize("options, error, text", [
    ({"idleTimeout": 0}, ValueError, "idleTimeout must be a finite number of seconds > 0 or None, not 0"),
    ({"idleTimeout": float("inf")}, ValueError, "idleTimeout must be a finite number of seconds > 0 or None, not inf"),
    ({"idleTimeout": True}, TypeError, "idleTimeout must be a finite number of seconds > 0 or None, not bool"),
    ({"prePing": -1}, ValueError, "prePing must be True, False or a finite number of seconds >= 0, not -1"),
    ({"prePing": "yes"}, TypeError, "prePing must be True, False or a finite number of seconds >= 0, not str"),
])
def test_pool_options_are_checked(cls, options, error, text):
    with pytest.raises(error) as raised:
        cls(**options)
    assert str(raised.value) == text


@pytest.mark.parametrize("url", ["sqlite:///:memory:?idleTimeout=2.5&prePing=0.5",
                                 "mysql://u@h/db?idleTimeout=2.5&prePing=0.5"])
def test_pool_options_in_urls(url):
    connector = connect(url)
    assert (connector.idleTimeout, connector.prePing) == (2.5, 0.5)
    assert connect(url.replace("prePing=0.5", "prePing=off")).prePing is False
    with pytest.raises(ValueError, match="query parameter 'prePing' must be true, false or a number of seconds"):
        connect(url.replace("prePing=0.5", "prePing=soon"))


# --- hostile use ------------------------------------------------------------------------------


def test_a_scope_object_survives_hostile_use(db):
    connector = db.connector
    bare = Scope.__new__(Scope)
    assert repr(bare) == "<Scope (not initialised)>"
    with pytest.raises(RuntimeError, match="not initialised"):
        bare.__enter__()
    with pytest.raises(TypeError):
        Scope(object())
    scope = connector.scope()
    assert "not entered" in repr(scope)
    with pytest.raises(RuntimeError, match="has not been entered"):
        scope.__exit__(None, None, None)
    with scope:
        assert f"thread {threading.get_ident()}" in repr(scope)
        with pytest.raises(RuntimeError, match="already entered"):
            scope.__enter__()
        with pytest.raises(RuntimeError, match="re-initialised"):
            scope.__init__(connector)
        errors = run_threads(1, lambda i: scope.__exit__(None, None, None))
        assert "ends on the thread that entered it" in str(errors[0][1])
    with pytest.raises(RuntimeError, match="has not been entered"):
        scope.__exit__(None, None, None)
    # One dropped while entered no longer counts as open.
    abandoned = connector.scope()
    abandoned.__enter__()
    del abandoned
    connector.release()
    assert connector.idleConnections == 1


# --- prePing ----------------------------------------------------------------------------------


def kill_session(db, connector):
    """Ends the server session of the calling thread's connection, as a server restart or
    wait_timeout would, from a connection of the test's own."""
    session = connector.query("SELECT CONNECTION_ID()")[0][0]
    db.rows(f"KILL CONNECTION {session}")
    return session


@pytest.mark.parametrize("where", ["pooled", "held"])
def test_a_dead_connection_is_replaced_before_reuse(db, make, where):
    if db.is_sqlite:
        pytest.skip("a SQLite connection does not die on its own")
    connector = make(prePing=0)  # checked at every reuse
    with connector.scope() if where == "pooled" else contextlib.nullcontext():
        dead = kill_session(db, connector)
    with connector.scope() if where == "pooled" else contextlib.nullcontext():
        assert connector.query("SELECT CONNECTION_ID()")[0][0] != dead
    assert connector.openConnections == 1


def test_without_pre_ping_a_dead_pooled_connection_fails_once(db, make):
    if db.is_sqlite:
        pytest.skip("a SQLite connection does not die on its own")
    connector = make(prePing=False)
    with connector.scope():
        kill_session(db, connector)
    with pytest.raises(Exception):  # the driver's "server has gone away"
        with connector.scope():
            connector.query("SELECT 1")
    with connector.scope():  # the dead one was dropped
        assert [tuple(row) for row in connector.query("SELECT 5")] == [(5,)]
