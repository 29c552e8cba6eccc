"""The native MariaDB engine (MariaDB Connector/C) against pymysql: the same
values back, the same statement text, the same exceptions; reconnecting
after the server drops a connection, unbuffered cursors, threads, and
hostile use of the connection and cursor objects."""

import contextlib
import datetime
import enum
import threading
import time
from decimal import Decimal

import pymysql
import pymysql.cursors
import pytest

from Tessary.DB.Connector import MysqlConnection, MysqlConnector
from Tessary.DB.DB import DB

DRIVERS = ["native", "pymysql"]


@pytest.fixture
def params(mariadb_clean):
    return mariadb_clean


@pytest.fixture(params=DRIVERS)
def connect(request, params):
    """A function opening a connection of the driver under test (autocommit
    as pymysql.connect's default: off) and closing it after the test."""
    opened = []

    def make(**options):
        factory = MysqlConnection if request.param == "native" else pymysql.connect
        con = factory(**{**params, **options})
        opened.append(con)
        return con

    make.driver = request.param
    yield make
    for con in opened:
        with contextlib.suppress(pymysql.err.Error):
            con.close()


def admin_run(params, sql):
    """A statement on a connection of pymysql's own (KILL, table set-up)."""
    with contextlib.closing(pymysql.connect(**params, autocommit=True)) as con, con.cursor() as cur:
        cur.execute(sql)
        return cur.fetchall()


def both(params):
    """A native and a pymysql connection, in autocommit mode."""
    return MysqlConnection(**params, autocommit=True), pymysql.connect(**params, autocommit=True)


# --- values ------------------------------------------------------------------------

ROUND_TRIPS = [
    ("FLOAT", 0.1),  # the text protocol keeps it 0.1; the binary one would widen it
    ("DOUBLE", -1.5e300),
    ("DECIMAL(20,6)", Decimal("-12345.678900")),
    ("DECIMAL(65,30)", Decimal("1." + "0" * 29 + "1")),
    ("DATETIME(6)", datetime.datetime(2024, 2, 29, 23, 59, 59, 123456)),
    ("DATETIME", datetime.datetime(1999, 12, 31, 0, 0, 1)),
    ("TIMESTAMP(6)", datetime.datetime(2030, 1, 2, 3, 4, 5, 60)),
    ("DATE", datetime.date(1000, 1, 1)),
    ("TIME(6)", datetime.timedelta(hours=838, minutes=59, seconds=58, microseconds=999999)),
    ("TIME", -datetime.timedelta(hours=25)),  # whole hours: pymysql's text of other negative ones is off
    ("YEAR", 2155),
    ("JSON", '{"a": [1, 2.5, "x\\"y"], "b": null}'),
    ("BLOB", bytes(range(256)) * 3),
    ("VARBINARY(8)", b"\x00'\\\x1a\r\n\"%"),
    ("BINARY(3)", b"a\x00\xff"),
    ("BIT(12)", b"\x0f\xff"),
    ("VARCHAR(64) CHARACTER SET utf8mb4", "emoji 😀 ünïcode ∑ 中文"),
    ("TEXT", "quotes ' \" backslash \\ nul \x00 ctrl-z \x1a %s %% %(x)s"),
    ("BIGINT", -(2**63)),
    ("BIGINT UNSIGNED", 2**64 - 1),
    ("TINYINT", -128),
    ("INT", None),
    ("ENUM('a','b c')", "b c"),
    ("SET('x','y','z')", "x,z"),
]


@pytest.mark.parametrize(("column", "value"), ROUND_TRIPS, ids=[c for c, _ in ROUND_TRIPS])
def test_value_round_trip_matches_pymysql(params, column, value):
    admin_run(params, f"CREATE TABLE v (id INT PRIMARY KEY, x {column} NULL)")
    native, reference = both(params)
    with native, contextlib.closing(reference):
        cur = native.cursor()
        cur.execute("INSERT INTO v VALUES (%s, %s)", (1, value))
        reference.cursor().execute("INSERT INTO v VALUES (%s, %s)", (2, value))
        rows = {}
        for name, con in (("native", native), ("pymysql", reference)):
            c = con.cursor()
            c.execute("SELECT id, x FROM v ORDER BY id")
            rows[name] = c.fetchall()
            descriptions = rows.setdefault("descriptions", [])
            descriptions.append(c.description)
    assert rows["native"] == rows["pymysql"]
    assert [type(x) for _, x in rows["native"]] == [type(x) for _, x in rows["pymysql"]]
    assert rows["native"][0][1] == value and rows["native"][1][1] == value
    assert rows["descriptions"][0] == rows["descriptions"][1]


def test_connector_rows_are_the_values_too(install, params):
    connector = install(MysqlConnector(**params, driver="native"))
    assert connector.driver == "native"
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE v (id INT AUTO_INCREMENT PRIMARY KEY, f FLOAT, d DATETIME(6), s TEXT)")
    stamp = datetime.datetime(2021, 5, 6, 7, 8, 9, 10)
    key = connector.write("INSERT INTO v (f, d, s) VALUES (%s, %s, %s)", (0.1, stamp, "50% 'off'"))
    assert key == 1
    assert handle.executeSql("SELECT id, f, d, s FROM v WHERE s LIKE '50%'") == [(1, 0.1, stamp, "50% 'off'")]


@pytest.mark.parametrize("text", ["0000-00-00 00:00:00", "2021-02-31 00:00:00"])
def test_impossible_datetimes_come_back_as_text(params, text):
    native, reference = both(params)
    with native, contextlib.closing(reference):
        got = []
        for con in (native, reference):
            cur = con.cursor()
            cur.execute("SET SESSION sql_mode = 'ALLOW_INVALID_DATES'")
            cur.execute("SELECT CAST(%s AS DATETIME), CAST(%s AS DATE)", (text, text[:10]))
            got.append(cur.fetchall())
    assert got[0] == got[1]


# --- statement text ------------------------------------------------------------------


class Colour(enum.IntEnum):
    RED = 1


class Odd:
    def __str__(self):
        return "o'dd"


LITERALS = [
    0, -5, 2**70, True, False, 0.1, 1e20, 1.5e-7, -0.0, None,
    Decimal("1E+2"), Decimal("-0.5"),
    datetime.datetime(2020, 1, 2, 3, 4, 5), datetime.datetime(2020, 1, 2, 3, 4, 5, 6), datetime.date(2020, 1, 2),
    datetime.time(1, 2, 3), datetime.time(1, 2, 3, 4), datetime.timedelta(hours=-1),
    datetime.timedelta(days=2, seconds=5, microseconds=7), time.gmtime(0),
    (1, "a", None), [2.5, [3]], frozenset({4}), "plain", "it's \\ \x00 \n \r \x1a \"",
    Colour.RED, Odd(),
]


@pytest.mark.parametrize("value", LITERALS, ids=repr)
def test_arguments_are_written_as_pymysql_writes_them(params, value):
    native, reference = both(params)
    with native, contextlib.closing(reference):
        query = "SELECT %s, '100%%'"
        assert native.cursor().mogrify(query, (value,)) == reference.cursor().mogrify(query, (value,))


@pytest.mark.parametrize("value", [b"\x00\x01'\\\xff", bytearray(b"\x1a\"%"), memoryview(b"ab\xfe")], ids=type)
def test_octets_are_sent_as_binary_strings(params, value):
    native = MysqlConnection(**params)
    with native:
        assert native.cursor().mogrify("%s", (value,)).startswith("_binary'")
        cur = native.cursor()
        cur.execute("SELECT %s", (value,))
        assert cur.fetchall() == ((bytes(value),),)


HOSTILE = ["'", "\\", "\x00", "%s", "%%", "' OR 1=1 -- ", '"', "\x1a", "\r\n", "\\'; DROP TABLE v; --", "😀'"]


@pytest.mark.parametrize("text", HOSTILE, ids=repr)
def test_hostile_strings_come_back_unchanged(connect, text):
    cur = connect().cursor()
    cur.execute("SELECT %s, '%%s'", (text,))
    assert cur.fetchall() == ((text, "%s"),)


@pytest.mark.parametrize(("query", "args", "error"), [
    ("SELECT %s, %s", (1,), TypeError),
    ("SELECT %s", (1, 2), TypeError),
    ("SELECT %d", (1,), TypeError),
    ("SELECT %q", (1,), ValueError),
    ("SELECT %", (1,), ValueError),
    ("SELECT %s", ({"a": 1},), TypeError),
    ("SELECT %s", (float("inf"),), pymysql.ProgrammingError),
    ("SELECT %s", (float("nan"),), pymysql.ProgrammingError),
])
def test_unusable_arguments_fail_as_with_pymysql(connect, query, args, error):
    with pytest.raises(error):
        connect().cursor().execute(query, args)


def test_mapping_arguments(connect):
    cur = connect().cursor()
    cur.execute("SELECT %(b)s, %(a)s", {"a": 1, "b": "x"})
    assert cur.fetchall() == (("x", 1),)


# --- errors ---------------------------------------------------------------------------


@pytest.mark.parametrize(("sql", "errno", "error"), [
    ("INSERT INTO e VALUES (1)", 1062, pymysql.IntegrityError),
    ("SELEC 1", 1064, pymysql.ProgrammingError),
    ("SELECT * FROM no_such_table", 1146, pymysql.ProgrammingError),
    ("SELECT no_such_column FROM e", 1054, pymysql.OperationalError),
    ("INSERT INTO e VALUES (NULL)", 1048, pymysql.IntegrityError),
])
def test_server_errors_are_pymysqls(params, sql, errno, error):
    admin_run(params, "CREATE TABLE e (id INT NOT NULL PRIMARY KEY)")
    admin_run(params, "INSERT INTO e VALUES (1)")
    native, reference = both(params)
    caught = []
    with native, contextlib.closing(reference):
        for con in (native, reference):
            with pytest.raises(error) as info:
                con.cursor().execute(sql)
            caught.append(info.value)
            con.cursor().execute("SELECT 1")  # the connection goes on
    assert type(caught[0]) is type(caught[1])
    assert caught[0].args == caught[1].args and caught[0].args[0] == errno


@pytest.mark.parametrize("change", [{"port": 1, "unix_socket": None}, {"password": "wrong"}, {"database": "nope"}],
                         ids=["unreachable", "access-denied", "unknown-database"])
def test_connection_errors_are_pymysqls(params, change):
    errors = []
    for factory in (MysqlConnection, pymysql.connect):
        with pytest.raises(pymysql.OperationalError) as info:
            factory(**{**params, **change})
        errors.append(info.value.args)
    assert errors[0][0] == errors[1][0]
    if errors[0][0] == 2003:
        assert errors[0][1].startswith("Can't connect to MySQL server on '127.0.0.1' (")


def test_statement_on_a_closed_connection(connect):
    con = connect()
    cur = con.cursor()
    con.close()
    if connect.driver == "native":
        con.close()  # again: nothing (pymysql's raises Error)
    with pytest.raises(pymysql.InterfaceError) as info:
        cur.execute("SELECT 1")
    assert info.value.args == (0, "") and con.open is False


# --- a connection the server drops --------------------------------------------------------


@pytest.mark.parametrize("driver", DRIVERS)
def test_killed_connection_is_replaced(install, params, driver):
    connector = install(MysqlConnector(**params, driver=driver))
    handle = DB.getInstance()
    first = handle.executeSql("SELECT CONNECTION_ID()")[0][0]
    admin_run(params, f"KILL CONNECTION {first}")
    with pytest.raises(pymysql.OperationalError):
        handle.executeSql("SELECT 1")
    second = handle.executeSql("SELECT CONNECTION_ID()")[0][0]
    assert second != first and connector.driver == driver


def test_ping_reconnects_only_when_asked(params):
    con = MysqlConnection(**params)
    with con:
        admin_run(params, f"KILL CONNECTION {con.thread_id()}")
        with pytest.raises(pymysql.OperationalError):
            con.ping(reconnect=False)
        assert con.open is False
        with pytest.raises(pymysql.err.Error):
            con.ping(False)
        con.ping()
        assert con.open is True
        cur = con.cursor()
        cur.execute("SELECT 1")
        assert cur.fetchall() == ((1,),)


# --- transactions, keys, counts ------------------------------------------------------------


def test_autocommit_off_by_default_and_rollback(connect, params):
    admin_run(params, "CREATE TABLE k (id INT AUTO_INCREMENT PRIMARY KEY, v INT)")
    con = connect()
    assert con.get_autocommit() is False
    cur = con.cursor()
    cur.execute("INSERT INTO k (v) VALUES (1)")
    con.rollback()
    con.begin()
    assert cur.execute("INSERT INTO k (v) VALUES (%s), (%s)", (2, 3)) == 2
    assert cur.lastrowid == con.insert_id() and cur.lastrowid > 0
    con.commit()
    assert admin_run(params, "SELECT v FROM k ORDER BY v") == ((2,), (3,))
    con.autocommit(True)
    assert con.get_autocommit() is True


def test_counts_keys_and_executemany_match_pymysql(params):
    admin_run(params, "CREATE TABLE k (id INT AUTO_INCREMENT PRIMARY KEY, v INT)")
    native, reference = both(params)
    seen = []
    with native, contextlib.closing(reference):
        for con in (native, reference):
            cur = con.cursor()
            many = cur.executemany("INSERT INTO k (v) VALUES (%s)", [(1,), (2,), (3,)])
            key = cur.lastrowid
            updated = cur.executemany("UPDATE k SET v = v + 10 WHERE v = %s", [(1,), (2,), (99,)])
            cur.execute("SELECT v FROM k WHERE v > %s", (10,))
            seen.append((many, key, updated, cur.rowcount, cur.lastrowid, cur.executemany("SELECT 1", [])))
            cur.execute("TRUNCATE TABLE k")  # the next driver's keys start at 1 again
    assert seen[0] == seen[1]
    assert seen[0][0] == 3 and seen[0][2] == 2


# --- unbuffered cursors ------------------------------------------------------------------


def test_unbuffered_cursor_reads_in_batches_and_closes_early(connect):
    con = connect()
    cur = con.cursor(pymysql.cursors.SSCursor)
    cur.execute("SELECT seq, REPEAT('x', 100) FROM seq_1_to_20000")
    assert cur.rowcount == 18446744073709551615
    assert [row[0] for row in cur.fetchmany(5)] == [1, 2, 3, 4, 5]
    assert cur.fetchone()[0] == 6
    cur.close()  # reads the rest: the connection serves the next statement
    other = con.cursor()
    other.execute("SELECT 7")
    assert other.fetchall() == ((7,),)


def test_unbuffered_cursor_read_to_its_end_frees_the_connection(connect):
    con = connect()
    cur = con.cursor(pymysql.cursors.SSCursor)
    cur.execute("SELECT seq FROM seq_1_to_2500")
    assert [row[0] for row in cur] == list(range(1, 2501))
    assert cur.fetchone() is None and list(cur.fetchall()) == []
    again = con.cursor()
    again.execute("SELECT 1")
    assert again.fetchall() == ((1,),)


def test_unbuffered_result_holds_the_connection(params):
    con = MysqlConnection(**params)
    with con:
        stream = con.cursor(pymysql.cursors.SSCursor)
        stream.execute("SELECT seq FROM seq_1_to_100")
        with pytest.raises(pymysql.ProgrammingError, match="unbuffered"):
            con.cursor().execute("SELECT 1")
        with pytest.raises(pymysql.ProgrammingError):
            con.commit()
        stream.execute("SELECT 2")  # its own cursor may go on: the rest is read first
        assert stream.fetchall() == [(2,)]
        con.commit()


def test_closing_the_connection_during_a_stream(params):
    con = MysqlConnection(**params)
    stream = con.cursor(pymysql.cursors.SSCursor)
    stream.execute("SELECT seq FROM seq_1_to_100000")
    assert stream.fetchone() == (1,)
    con.close()  # the rest is not read
    with pytest.raises(pymysql.ProgrammingError, match="connection was closed"):
        stream.fetchone()
    stream.close()
    del stream


def test_stream_dropped_without_close(params):
    con = MysqlConnection(**params)
    with con:
        stream = con.cursor(pymysql.cursors.SSCursor)
        stream.execute("SELECT seq FROM seq_1_to_5000")
        stream.fetchmany(10)
        del stream
        cur = con.cursor()
        cur.execute("SELECT 3")
        assert cur.fetchall() == ((3,),)


# --- threads ------------------------------------------------------------------------------


def test_two_threads_one_connector(install, params):
    install(MysqlConnector(**params, driver="native"))
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE th (id INT AUTO_INCREMENT PRIMARY KEY, who VARCHAR(8))")
    errors = []

    def work(name):
        try:
            for _ in range(60):
                handle.executeSql("INSERT INTO th (who) VALUES (%s)", (name,))
                assert handle.executeSql("SELECT COUNT(*) FROM th WHERE who = %s", (name,))[0][0] > 0
        except BaseException as e:  # noqa: BLE001 - reported by the test thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert handle.executeSql("SELECT who, COUNT(*) FROM th GROUP BY who ORDER BY who") == [("a", 60), ("b", 60)]


def run_in_thread(target):
    result = {}

    def body():
        try:
            result["value"] = target()
        except BaseException as e:  # noqa: BLE001 - read by the test thread
            result["error"] = e

    thread = threading.Thread(target=body)
    thread.start()
    return thread, result


def test_shared_connection_serves_one_call_at_a_time(params):
    con = MysqlConnection(**params)
    with con:
        def slow():
            cur = con.cursor()
            cur.execute("SELECT SLEEP(1), 5")
            return cur.fetchall()

        thread, result = run_in_thread(slow)
        time.sleep(0.3)
        with pytest.raises(pymysql.ProgrammingError, match="another thread"):
            con.cursor().execute("SELECT 1")
        thread.join()
        assert result == {"value": ((0, 5),)}


def test_close_from_another_thread_waits_for_the_call(params):
    con = MysqlConnection(**params)

    def slow():
        cur = con.cursor()
        cur.execute("SELECT SLEEP(1), 6")
        return cur.fetchall()

    thread, result = run_in_thread(slow)
    time.sleep(0.3)
    con.close()  # deferred: the statement in flight completes
    thread.join()
    assert result == {"value": ((0, 6),)} and con.open is False


# --- hostile use ------------------------------------------------------------------------------


def test_connection_made_by_new_alone():
    con = MysqlConnection.__new__(MysqlConnection)
    assert con.open is False
    con.close()
    assert "not initialised" in repr(con)
    for call in (con.cursor, con.commit, con.rollback, con.begin, con.get_server_info, con.ping):
        with pytest.raises(RuntimeError, match="not initialised"):
            call()


def test_cursor_type_cannot_be_made_from_python(params):
    con = MysqlConnection(**params)
    with con:
        with pytest.raises(TypeError):
            type(con.cursor())()


@pytest.mark.parametrize(("options", "error"), [
    ({"nonsense": 1}, TypeError),
    ({"port": "3306"}, ValueError),
    ({"host": 5}, TypeError),
    ({"user": "a\x00b"}, ValueError),
])
def test_bad_connect_arguments(options, error):
    with pytest.raises(error):
        MysqlConnection(**options)


def test_cursor_misuse(connect):
    con = connect()
    cur = con.cursor()
    with pytest.raises(pymysql.ProgrammingError):
        cur.fetchone()  # execute() first
    cur.execute("SELECT 1")
    cur.close()
    cur.close()
    with pytest.raises(pymysql.ProgrammingError):
        cur.execute("SELECT 1")
    with pytest.raises(TypeError):
        con.cursor().execute(b"SELECT 1" if connect.driver == "native" else 5)


def test_argument_that_uses_the_connection_while_its_text_is_written(params):
    con = MysqlConnection(**params)

    class Closer:
        def __str__(self):
            con.close()
            return "closed"

    class User:
        def __str__(self):
            con.cursor().execute("SELECT 1")
            return "used"

    with pytest.raises(pymysql.ProgrammingError, match="has not ended"):
        con.cursor().execute("SELECT %s", (User(),))
    cur = con.cursor()
    cur.execute("SELECT %s", (Closer(),))  # the close waits for the statement
    assert cur.fetchall() == (("closed",),) and con.open is False


def test_connection_initialised_again_reconnects(params):
    con = MysqlConnection(**params)
    with con:
        first = con.thread_id()
        con.__init__(**params)
        assert con.thread_id() != first and con.open


# --- the connector's driver option -------------------------------------------------------------


@pytest.mark.parametrize(("driver", "expected"), [(None, "native"), ("native", "native"), ("pymysql", "pymysql")])
def test_driver_option(driver, expected, monkeypatch):
    monkeypatch.delenv("TESSARY_DRIVER", raising=False)
    assert MysqlConnector(driver=driver).driver == expected


def test_driver_from_the_environment(monkeypatch):
    monkeypatch.setenv("TESSARY_DRIVER", "module")
    assert MysqlConnector().driver == "pymysql"


@pytest.mark.parametrize(("driver", "error"), [("aiomysql", ValueError), (3, TypeError)])
def test_driver_option_refuses(driver, error):
    with pytest.raises(error):
        MysqlConnector(driver=driver)


def test_get_con_hands_the_native_connection_out(install, params):
    connector = install(MysqlConnector(**params, driver="native"))
    con = connector.getCon()
    assert isinstance(con, MysqlConnection) and con.open
    assert "MariaDB" in con.get_server_info() and con.character_set_name() == "utf8mb4"


# --- INSERTs asking for their key: prepared statements of the binary protocol ----------------------


@pytest.fixture
def writers(install, params):
    """The same table written through a native and a pymysql connector."""
    admin_run(params, "CREATE TABLE w (id INT AUTO_INCREMENT PRIMARY KEY, f FLOAT, s VARCHAR(32), b BLOB, "
                      "n BIGINT, t TINYINT, u INT UNIQUE)")
    native = install(MysqlConnector(**params, driver="native"))
    reference = MysqlConnector(**params, driver="pymysql")
    yield native, reference
    reference.close()


INSERT = "INSERT INTO w (f, s, b, n, t, u) VALUES (%s, %s, %s, %s, %s, %s)"


def test_prepared_insert_stores_what_text_stores(writers, params):
    native, reference = writers
    values = (0.1, "😀 ' \\ %", b"\x00\xff'", -(2**63), True, None)
    keys = [native.write(INSERT, values), reference.write(INSERT, values), native.write(INSERT, values)]
    assert keys == [1, 2, 3]
    rows = admin_run(params, "SELECT f, s, b, n, t, u FROM w ORDER BY id")
    assert rows[0] == rows[1] == rows[2] == (0.1, "😀 ' \\ %", b"\x00\xff'", -(2**63), 1, None)


def test_prepared_insert_errors_are_the_texts(writers):
    native, reference = writers
    caught = []
    native.write(INSERT, (1.0, "a", b"", 1, 0, 7))
    for connector in (native, reference, native):
        with pytest.raises(pymysql.IntegrityError) as info:
            connector.write(INSERT, (1.0, "a", b"", 1, 0, 7))
        caught.append(info.value.args)
    assert caught[0] == caught[1] == caught[2] and caught[0][0] == 1062
    for connector in (native, reference):
        with pytest.raises(pymysql.ProgrammingError) as info:
            connector.write("INSERT INTO w (f) VALUES (%s) garbage", (1.0,))
        caught.append(info.value.args)
    assert caught[3] == caught[4] and caught[3][0] == 1064


def test_prepared_insert_outlives_table_changes_and_many_texts(writers, params):
    native, _ = writers
    assert native.write("INSERT INTO w (s) VALUES (%s)", ("a",)) == 1
    admin_run(params, "ALTER TABLE w ADD COLUMN extra INT DEFAULT 5 FIRST")
    assert native.write("INSERT INTO w (s) VALUES (%s)", ("b",)) == 2
    for i in range(70):  # more texts than a connection keeps prepared
        assert native.write(f"INSERT INTO w (s, n) VALUES (%s, {i})", ("c",)) == 3 + i
    returning = native.write("INSERT INTO w (s) VALUES (%s) RETURNING id", ("d",))
    assert returning is None  # rows, not a key: pymysql's lastrowid after a result
    assert admin_run(params, "SELECT COUNT(*), MIN(extra) FROM w") == ((73, 5),)


def test_prepared_insert_after_the_connection_was_killed(writers, params):
    native, _ = writers
    handle = DB.getInstance()
    assert native.write("INSERT INTO w (s) VALUES (%s)", ("a",)) == 1
    admin_run(params, f"KILL CONNECTION {handle.executeSql('SELECT CONNECTION_ID()')[0][0]}")
    with pytest.raises(pymysql.OperationalError):
        native.write("INSERT INTO w (s) VALUES (%s)", ("b",))
    assert native.write("INSERT INTO w (s) VALUES (%s)", ("c",)) == 2
