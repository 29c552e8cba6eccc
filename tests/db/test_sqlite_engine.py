"""The native SQLite engine behind Sqlite3Connector, against the sqlite3
module path where both must behave alike: values, errors, transactions,
streaming cursors, a close from another thread, and hostile use of the
connection and cursor objects."""

import gc
import logging
import sqlite3
import threading
import time
import weakref

import pytest

from Tessary.DB.Connector import SqliteConnection, Sqlite3Connector, connect

DRIVERS = ["native", "sqlite3"]
HANG_GUARD = 60


@pytest.fixture(params=DRIVERS)
def connector(request, tmp_path):
    c = Sqlite3Connector(str(tmp_path / "engine.db"), driver=request.param)
    c.query("CREATE TABLE t (id INTEGER PRIMARY KEY, v, name TEXT UNIQUE)")
    yield c
    c.close()


@pytest.fixture
def native(tmp_path):
    c = Sqlite3Connector(str(tmp_path / "native.db"), driver="native")
    c.query("CREATE TABLE t (id INTEGER PRIMARY KEY, v, name TEXT UNIQUE)")
    yield c
    c.close()


def failure(run):
    with pytest.raises(Exception) as caught:
        run()
    e = caught.value
    return type(e), str(e), getattr(e, "sqlite_errorcode", None), getattr(e, "sqlite_errorname", None)


# --- the driver option ---------------------------------------------------------------


def test_native_is_the_default_and_the_module_a_choice(tmp_path, monkeypatch):
    monkeypatch.delenv("TESSARY_DRIVER", raising=False)
    assert Sqlite3Connector().driver == "native"
    assert isinstance(Sqlite3Connector().getCon(), SqliteConnection)
    assert isinstance(Sqlite3Connector(driver="sqlite3").getCon(), sqlite3.Connection)
    assert connect(f"sqlite:///{tmp_path / 'u.db'}", driver="sqlite3").driver == "sqlite3"
    monkeypatch.setenv("TESSARY_DRIVER", "module")
    assert Sqlite3Connector().driver == "sqlite3"
    assert Sqlite3Connector(driver="native").driver == "native"


@pytest.mark.parametrize("driver, error", [("pymysql", ValueError), ("", ValueError), (3, TypeError)])
def test_a_wrong_driver_is_refused(driver, error):
    with pytest.raises(error):
        Sqlite3Connector(driver=driver)


# --- values ---------------------------------------------------------------------------

VALUES = [
    (0, 0), (-1, -1), (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)), (True, 1), (False, 0),
    (1.5, 1.5), (-1e308, -1e308), ("", ""), ("héllo ✓ 😀", "héllo ✓ 😀"), ("a\x00b", "a\x00b"),
    (b"", b""), (b"\x00\xff", b"\x00\xff"), (bytearray(b"ab"), b"ab"), (memoryview(b"cd"), b"cd"),
    (memoryview(b"abcdef")[::2], b"ace"), (None, None),
]


@pytest.mark.parametrize("value, stored", VALUES, ids=[repr(v[0])[:20] for v in VALUES])
def test_values_round_trip(connector, value, stored):
    key = connector.write("INSERT INTO t (v) VALUES (%s)", (value,))
    [(back,)] = connector.query("SELECT v FROM t WHERE id = %s", (key,))
    assert back == stored and type(back) is type(stored)
    assert connector.query("SELECT %s", [value]) == [(stored,)]


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 10**30])
def test_an_int_sqlite_cannot_hold_is_an_overflow(connector, value):
    assert failure(lambda: connector.query("SELECT %s", (value,)))[:2] == (
        OverflowError, "Python int too large to convert to SQLite INTEGER")


def test_text_that_is_not_utf8_fails_as_in_sqlite3(connector):
    kind, message, _, _ = failure(lambda: connector.query("SELECT CAST(x'41ff' AS TEXT) AS bad"))
    assert kind is sqlite3.OperationalError
    assert message.startswith("Could not decode to UTF-8 column 'bad' with text 'A")


# --- errors ---------------------------------------------------------------------------

ERRORS = [
    ("unique", "INSERT INTO t (name) VALUES (%s)", ("taken",)),
    ("syntax", "SELEC 1", ()),
    ("no such table", "SELECT * FROM missing", ()),
    ("two statements", "SELECT 1; SELECT 2", ()),
    ("too many arguments", "SELECT %s", (1, 2)),
    ("too few arguments", "SELECT %s, %s", (1,)),
    ("unsupported type", "SELECT %s", (object(),)),
    ("not null", "INSERT INTO n (x) VALUES (%s)", (None,)),
]


@pytest.mark.parametrize("sql, args", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_errors_are_sqlite3s(tmp_path, sql, args):
    seen = []
    for driver in DRIVERS:
        c = Sqlite3Connector(str(tmp_path / f"{driver}.db"), driver=driver)
        c.query("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE)")
        c.query("CREATE TABLE n (x NOT NULL)")
        c.write("INSERT INTO t (name) VALUES ('taken')")
        seen.append(failure(lambda: c.query(sql, args)))
        assert c.query("SELECT count(*) FROM t") == [(1,)]  # usable after the error
        c.close()
    assert seen[0] == seen[1]
    assert issubclass(seen[0][0], sqlite3.Error)


def test_the_extended_code_and_its_name(native):
    native.write("INSERT INTO t (name) VALUES ('x')")
    with pytest.raises(sqlite3.IntegrityError) as caught:
        native.write("INSERT INTO t (name) VALUES ('x')")
    assert caught.value.sqlite_errorcode == sqlite3.SQLITE_CONSTRAINT_UNIQUE
    assert caught.value.sqlite_errorname == "SQLITE_CONSTRAINT_UNIQUE"


def test_a_database_that_cannot_be_opened(tmp_path):
    c = Sqlite3Connector(str(tmp_path / "no" / "such" / "dir.db"))
    with pytest.raises(sqlite3.OperationalError, match="unable to open database file") as caught:
        c.query("SELECT 1")
    assert caught.value.sqlite_errorname == "SQLITE_CANTOPEN"


# --- transactions, keys, counts --------------------------------------------------------


def test_transaction_blocks_and_savepoints(connector):
    with connector.transaction() as con:
        connector.write("INSERT INTO t (name) VALUES ('outer')")
        assert con.in_transaction
        with pytest.raises(ZeroDivisionError):
            with connector.transaction():
                connector.write("INSERT INTO t (name) VALUES ('undone')")
                1 / 0
        with connector.transaction():
            connector.write("INSERT INTO t (name) VALUES ('inner')")
    assert not connector.getCon().in_transaction
    assert connector.query("SELECT name FROM t ORDER BY id") == [("outer",), ("inner",)]
    with pytest.raises(sqlite3.IntegrityError):
        with connector.transaction():
            connector.write("INSERT INTO t (name) VALUES ('gone')")
            connector.write("INSERT INTO t (name) VALUES ('outer')")
    assert connector.query("SELECT count(*) FROM t") == [(2,)]


def test_keys_and_counts(connector):
    con = connector.getCon()
    assert connector.write("INSERT INTO t (name) VALUES (%s)", ("a",)) == 1
    assert connector.write("REPLACE INTO t (id, name) VALUES (7, 'b')") == 7
    cur = con.cursor()
    assert (cur.lastrowid, cur.rowcount, cur.description, cur.arraysize) == (None, -1, None, 1)
    cur.executemany("INSERT INTO t (name) VALUES (?)", [("c",), ("d",), ("e",)])
    assert cur.rowcount == 3
    cur.execute("UPDATE t SET v = 1")
    assert cur.rowcount == 5
    cur.execute("SELECT id AS key, name FROM t")
    assert cur.rowcount == -1 and [d[0] for d in cur.description] == ["key", "name"]
    assert cur.lastrowid == 10
    with pytest.raises(sqlite3.ProgrammingError, match="can only execute DML"):
        cur.executemany("SELECT ?", [(1,)])
    before = con.total_changes
    con.execute("DELETE FROM t WHERE id > 7")
    assert con.total_changes == before + 3


def test_the_connection_as_a_context_manager(connector):
    con = connector.getCon()
    with con:
        con.execute("BEGIN")
        con.execute("INSERT INTO t (name) VALUES ('kept')")
    with pytest.raises(KeyError):
        with con:
            con.execute("BEGIN")
            con.execute("INSERT INTO t (name) VALUES ('dropped')")
            raise KeyError
    assert not con.in_transaction
    con.commit()  # no transaction: nothing to do
    con.rollback()
    assert connector.query("SELECT name FROM t") == [("kept",)]


def test_the_statement_log_tells_rows_changed(native, caplog):
    native.write("INSERT INTO t (name) VALUES ('a'), ('b')")
    with caplog.at_level(logging.DEBUG, logger="Tessary.sql"):
        native.write("UPDATE t SET v = %s", (1,), con=None)
    [record] = [r for r in caplog.records if r.name == "Tessary.sql"]
    assert record.rowcount == 2 and record.sql == "UPDATE t SET v = ?"


# --- cursors ----------------------------------------------------------------------------


def test_a_stream_with_other_statements_in_between(connector):
    with connector.transaction() as con:  # one commit, not 2500 on the disk
        con.executemany("INSERT INTO t (v) VALUES (?)", [(i,) for i in range(2500)])
    text = "SELECT v FROM t WHERE v IS NOT NULL ORDER BY id"
    cur = connector.getCon().cursor()
    cur.execute(text)
    got, written = [], 0
    while batch := cur.fetchmany(1000):
        got += [v for (v,) in batch]
        # The same statement text, and a write, while the stream stands between batches.
        assert len(connector.query(text)) == 2500 + written
        connector.write("INSERT INTO t (v) VALUES (%s)", (-1,))
        written += 1
    # Rows written on the stream's own connection meanwhile may or may not be seen (SQLite leaves it open).
    assert got[:2500] == list(range(2500)) and set(got[2500:]) <= {-1}
    cur.close()
    cur.close()


def test_cursor_iteration_and_fetch_forms(connector):
    connector.getCon().executemany("INSERT INTO t (v) VALUES (?)", [(i,) for i in range(5)])
    cur = connector.getCon().execute("SELECT v FROM t ORDER BY v")
    assert cur.fetchone() == (0,)
    cur.arraysize = 2
    assert cur.fetchmany() == [(1,), (2,)]
    assert list(cur) == [(3,), (4,)]
    assert cur.fetchone() is None and cur.fetchall() == [] and cur.fetchmany(3) == []
    assert cur.connection is connector.getCon()


def test_the_statement_cache_past_its_bound_and_a_schema_change(native):
    con = native.getCon()
    held = con.execute("SELECT id FROM t")  # stays open while the cache turns over
    for i in range(300):
        assert native.query(f"SELECT {i}") == [(i,)]
    held.close()
    native.write("INSERT INTO t (name) VALUES ('a')")
    assert native.query("SELECT * FROM t") == [(1, None, "a")]
    native.query("ALTER TABLE t ADD COLUMN extra DEFAULT 5")
    assert native.query("SELECT * FROM t") == [(1, None, "a", 5)]
    assert [d[0] for d in con.execute("SELECT * FROM t").description] == ["id", "v", "name", "extra"]


@pytest.mark.parametrize("text", ["", "   ", "-- only a comment", "SELECT 1; -- trailing", "SELECT 1 /* c */ ;"])
def test_texts_without_a_second_statement(connector, text):
    cur = connector.getCon().execute(text)
    assert cur.fetchall() in ([], [(1,)])


# --- threads ------------------------------------------------------------------------------


def locked_database(path):
    """Another connection holding the write lock until it commits."""
    holder = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN EXCLUSIVE")
    return holder


def test_connector_close_while_a_thread_waits_on_a_lock(native, tmp_path):
    native.getCon()  # the table exists, made on this thread's connection
    holder = locked_database(str(tmp_path / "native.db"))
    outcome = []

    def body():
        try:
            outcome.append(native.write("INSERT INTO t (name) VALUES ('late')"))
        except Exception as e:  # noqa: BLE001 - the outcome is what the test reads
            outcome.append(e)

    thread = threading.Thread(target=body)
    thread.start()
    time.sleep(0.3)  # the thread is in SQLite's busy wait now (5 s at most)
    native.close()
    holder.commit()
    holder.close()
    thread.join(HANG_GUARD)
    assert outcome == [1]
    assert native.openConnections == 0
    assert native.query("SELECT name FROM t") == [("late",)]


def test_a_direct_close_from_another_thread_is_deferred(native, tmp_path):
    con = native.connect()
    con.execute("SELECT 1")
    holder = locked_database(str(tmp_path / "native.db"))
    outcome = []

    def body():
        outcome.append(con.execute("INSERT INTO t (name) VALUES ('x')").rowcount)

    thread = threading.Thread(target=body)
    thread.start()
    time.sleep(0.3)
    with pytest.raises(sqlite3.ProgrammingError, match="another thread"):
        con.execute("SELECT 1")
    assert con.close() is None  # deferred until the insert ends
    holder.commit()
    holder.close()
    thread.join(HANG_GUARD)
    assert outcome == [1]
    with pytest.raises(sqlite3.ProgrammingError, match="closed database"):
        con.execute("SELECT 1")


def test_a_cursor_dropped_while_another_thread_waits_on_a_lock(native, tmp_path):
    """Dropping the cursor resets its statement only once the waiting thread is back."""
    con = native.connect()
    con.execute("PRAGMA journal_mode = WAL")  # readers and the writer do not block each other
    standing = con.execute("SELECT 1 UNION ALL SELECT 2")
    holder = sqlite3.connect(str(tmp_path / "native.db"), isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN IMMEDIATE")
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(con.execute("INSERT INTO t (v) VALUES (1)").rowcount))
    thread.start()
    time.sleep(0.3)
    threading.Timer(0.3, holder.commit).start()
    del standing
    thread.join(HANG_GUARD)
    holder.close()
    assert outcome == [1]
    con.close()


def test_a_lock_held_past_the_timeout_is_database_is_locked(native, tmp_path):
    con = native.connect()
    holder = locked_database(str(tmp_path / "native.db"))
    try:
        con.execute("PRAGMA busy_timeout = 50")
        with pytest.raises(sqlite3.OperationalError, match="database is locked") as caught:
            con.execute("INSERT INTO t (name) VALUES ('x')")
        assert caught.value.sqlite_errorname == "SQLITE_BUSY"
    finally:
        holder.close()
        con.close()


def test_memory_database_shared_by_threads():
    c = Sqlite3Connector()
    c.query("CREATE TABLE m (x)")
    threads = [threading.Thread(target=lambda i=i: c.write("INSERT INTO m VALUES (%s)", (i,))) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(HANG_GUARD)
    assert sorted(x for (x,) in c.query("SELECT x FROM m")) == list(range(8))
    c.close()


# --- hostile use ----------------------------------------------------------------------------

AFTER_CLOSE = [
    ("execute", lambda con: con.execute("SELECT 1")),
    ("executemany", lambda con: con.executemany("SELECT 1", [])),
    ("cursor", lambda con: con.cursor()),
    ("commit", lambda con: con.commit()),
    ("rollback", lambda con: con.rollback()),
    ("in_transaction", lambda con: con.in_transaction),
    ("total_changes", lambda con: con.total_changes),
    ("interrupt", lambda con: con.interrupt()),
    ("with", lambda con: con.__enter__()),
]


@pytest.mark.parametrize("use", [a[1] for a in AFTER_CLOSE], ids=[a[0] for a in AFTER_CLOSE])
def test_a_closed_connection_refuses_everything(native, use):
    con = native.connect()
    con.close()
    assert con.close() is None
    with pytest.raises(sqlite3.ProgrammingError, match="Cannot operate on a closed database."):
        use(con)
    assert native.query("SELECT 1") == [(1,)]  # the connector's own connection is another one


CURSOR_USES = [
    ("fetchone", lambda cur: cur.fetchone()),
    ("fetchmany", lambda cur: cur.fetchmany(2)),
    ("fetchall", lambda cur: cur.fetchall()),
    ("next", lambda cur: next(cur)),
    ("execute", lambda cur: cur.execute("SELECT 1")),
    ("executemany", lambda cur: cur.executemany("SELECT 1", [])),
]


@pytest.mark.parametrize("use", [u[1] for u in CURSOR_USES], ids=[u[0] for u in CURSOR_USES])
@pytest.mark.parametrize("closing", ["connection", "cursor"])
def test_a_cursor_after_a_close(native, closing, use):
    con = native.connect()
    con.executemany("INSERT INTO t (v) VALUES (?)", [(1,), (2,), (3,)])
    cur = con.execute("SELECT v FROM t")
    assert cur.fetchone() == (1,)
    (con if closing == "connection" else cur).close()
    message = "closed database" if closing == "connection" else "closed cursor"
    with pytest.raises(sqlite3.ProgrammingError, match=message):
        use(cur)
    assert cur.close() is None
    con.close()


def test_the_types_are_not_made_by_hand(native):
    cursor_type = type(native.getCon().cursor())
    for make in (SqliteConnection, lambda: SqliteConnection.__new__(SqliteConnection), cursor_type,
                 lambda: cursor_type.__new__(cursor_type)):
        with pytest.raises(TypeError):
            make()


BAD_CALLS = [
    ("sql not str", lambda con: con.execute(5), TypeError),
    ("parameters a dict", lambda con: con.execute("SELECT ?", {"a": 1}), sqlite3.ProgrammingError),
    ("parameters an int", lambda con: con.execute("SELECT ?", 5), sqlite3.ProgrammingError),
    ("executemany of ints", lambda con: con.executemany("INSERT INTO t (v) VALUES (?)", [1]),
     sqlite3.ProgrammingError),
    ("executemany of a non-iterable", lambda con: con.executemany("INSERT INTO t (v) VALUES (?)", 5), TypeError),
    ("keyword parameters", lambda con: con.execute(sql="SELECT 1"), TypeError),
    ("fetchmany of a str", lambda con: con.execute("SELECT 1").fetchmany("x"), TypeError),
    ("arraysize of a str", lambda con: setattr(con.cursor(), "arraysize", "x"), TypeError),
    ("exit without arguments", lambda con: con.__exit__(), TypeError),
]


@pytest.mark.parametrize("call, error", [b[1:] for b in BAD_CALLS], ids=[b[0] for b in BAD_CALLS])
def test_bad_calls_raise(native, call, error):
    con = native.getCon()
    with pytest.raises(error):
        call(con)
    assert native.query("SELECT 1") == [(1,)]


def test_a_generator_of_arguments_that_closes_the_connection(native):
    con = native.connect()

    def rows():
        yield (1,)
        con.close()  # deferred: executemany is under way
        yield (2,)

    assert con.executemany("INSERT INTO t (v) VALUES (?)", rows()).rowcount == 2
    with pytest.raises(sqlite3.ProgrammingError, match="closed database"):
        con.execute("SELECT 1")
    assert native.query("SELECT v FROM t ORDER BY v") == [(1,), (2,)]


def test_connections_and_cursors_are_collected(native):
    con = native.connect()
    cur = con.execute("SELECT 1 UNION ALL SELECT 2")  # left standing on its first row
    refs = [weakref.ref(con), weakref.ref(cur)]
    del con, cur
    gc.collect()
    assert [r() for r in refs] == [None, None]
