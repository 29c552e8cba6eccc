"""AioMysqlConnector on its native driver (MariaDB Connector/C's non-blocking
calls driven by the loop) against the throw-away MariaDB, beside the aiomysql
driver where both must behave alike: values, errors, cancellation, the pool's
bounds and order, a change of loop, transaction blocks with savepoints, row
streams, and a session killed by the server."""

import asyncio
import datetime
import decimal
import gc

import pymysql
import pytest

from Tessary.DB.Connector import AioMysqlConnection, AioMysqlConnector, AioMysqlCursor
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from async_support import HANG_GUARD, installed

HANDLE = DB.getInstance()
DRIVERS = ["native", "aiomysql"]

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


class Store:
    """A connector of one driver installed on the handle, and the loop its tests run on."""

    def __init__(self, params, **options):
        self.params = params
        self.connector = AioMysqlConnector(**params, **options)
        self.loop = asyncio.new_event_loop()

    def run(self, awaitable):
        return self.loop.run_until_complete(asyncio.wait_for(awaitable, HANG_GUARD))

    def raw(self):
        return pymysql.connect(**self.params, autocommit=True)

    def close(self):
        self.loop.run_until_complete(self.connector.close())
        self.loop.close()


@pytest.fixture
def make_store(mariadb_clean):
    made = []

    def make(driver, **options):
        store = Store(mariadb_clean, driver=driver, **options)
        made.append(store)
        return store

    yield make
    for store in made:
        store.close()


@pytest.fixture(params=DRIVERS)
def store(request, make_store):
    current = make_store(request.param)
    with installed(current.connector):
        yield current


@pytest.fixture
def native(make_store):
    current = make_store("native", maxsize=1)
    with installed(current.connector):
        yield current


async def session_id(con=None):
    return (await HANDLE.executeSql("SELECT CONNECTION_ID()", con=con))[0][0]


# --- the driver option ----------------------------------------------------------------


@pytest.mark.parametrize("driver, expected", [(None, "native"), ("native", "native"), ("aiomysql", "aiomysql")])
def test_driver_is_chosen_and_shown(driver, expected, monkeypatch):
    monkeypatch.delenv("TESSARY_DRIVER", raising=False)
    assert AioMysqlConnector(driver=driver).driver == expected


@pytest.mark.parametrize("driver, error", [("pymysql", ValueError), (3, TypeError)])
def test_driver_refuses_other_values(driver, error):
    with pytest.raises(error):
        AioMysqlConnector(driver=driver)


def test_environment_picks_the_module_driver(monkeypatch):
    monkeypatch.setenv("TESSARY_DRIVER", "module")
    assert AioMysqlConnector().driver == "aiomysql"


def test_driver_is_read_only():
    with pytest.raises(AttributeError):
        AioMysqlConnector().driver = "aiomysql"


@pytest.mark.parametrize("first, second", [("native", "aiomysql"), ("aiomysql", "native")])
def test_driver_is_kept_once_the_pool_is_set_up(make_store, first, second):
    current = make_store(first)
    with installed(current.connector):
        current.run(session_id())
        with pytest.raises(RuntimeError, match="driver cannot change"):
            current.connector.__init__(**current.params, driver=second)
        current.connector.__init__(**current.params, driver=first)
        assert current.run(session_id()) and current.connector.driver == first


@pytest.mark.parametrize("first, second", [("native", "aiomysql"), ("aiomysql", "native")])
def test_driver_may_change_before_any_use(mariadb_clean, first, second):
    connector = AioMysqlConnector(**mariadb_clean, driver=first)
    connector.__init__(**mariadb_clean, driver=second)

    async def story():
        try:
            return await session_id()
        finally:
            await connector.close()
    with installed(connector):
        assert asyncio.run(story()) and connector.driver == second


def test_connector_made_by_new_alone():
    connector = AioMysqlConnector.__new__(AioMysqlConnector)
    assert connector.driver is None
    with pytest.raises(RuntimeError, match="not initialised"):
        connector.getCon()


@pytest.mark.parametrize("kind", [AioMysqlConnection, AioMysqlCursor])
def test_connection_types_cannot_be_made_from_python(kind):
    with pytest.raises(TypeError):
        kind()


# --- values and errors -------------------------------------------------------------------

VALUES = [
    ("INT", 7),
    ("BIGINT", -2**62),
    ("DOUBLE", 0.25),
    ("DECIMAL(10,3)", decimal.Decimal("12.345")),
    ("VARCHAR(64)", "it's \"quoted\" \\ and ünïcödé ✓"),
    ("VARBINARY(16)", b"\x00\x01'\xff"),
    ("DATE", datetime.date(2024, 2, 29)),
    ("DATETIME", datetime.datetime(2024, 2, 29, 13, 14, 15)),
    ("TEXT", None),
]


@pytest.mark.parametrize("column, value", VALUES, ids=[c for c, _ in VALUES])
def test_value_round_trip(store, column, value):
    async def story():
        await HANDLE.executeSql(f"CREATE TABLE t_v (id INT PRIMARY KEY, v {column} NULL)")
        await HANDLE.executeSql("INSERT INTO t_v VALUES (%s, %s)", (1, value))
        return await HANDLE.executeSql("SELECT v FROM t_v WHERE v <=> %s", (value,))
    rows = store.run(story())
    assert [tuple(r) for r in rows] == [(value,)]


@pytest.mark.parametrize("sql, error", [
    ("SELEKT 1", pymysql.err.ProgrammingError),
    ("SELECT * FROM t_missing", pymysql.err.ProgrammingError),
    ("INSERT INTO t_e VALUES (1), (1)", pymysql.err.IntegrityError),
    ("SELECT nope FROM t_e", pymysql.err.OperationalError),
    ("INSERT INTO t_e VALUES ('x')", pymysql.err.DataError),
])
def test_errors_are_pymysql_classes_and_the_pool_goes_on(store, sql, error):
    async def story():
        await HANDLE.executeSql("CREATE TABLE t_e (id INT PRIMARY KEY)")
        with pytest.raises(error) as raised:
            await HANDLE.executeSql(sql)
        return raised.value.args, await HANDLE.executeSql("SELECT COUNT(*) FROM t_e")
    args, count = store.run(story())
    assert isinstance(args[0], int) and isinstance(args[1], str)
    assert [tuple(r) for r in count] == [(0,)]


def test_insert_key_and_rows_affected(store):
    class MeUser(DataModel):
        tableName = "me_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32, nullable=True)

    async def story():
        await HANDLE.executeSql(TableGenerator(MeUser).Build()[0])
        first = await MeUser.getExecutor().save(MeUser(name="a"))
        second = await MeUser.getExecutor().save(MeUser(name="b"))
        found = await MeUser.getExecutor().findAllBy(MeUser.name == "b")
        return first.id, second.id, [u.id for u in found]
    assert store.run(story()) == (1, 2, [2])


# --- cancellation ----------------------------------------------------------------------------


@pytest.mark.parametrize("driver", DRIVERS)
def test_cancelled_statement_leaves_no_connection_mid_result(make_store, driver):
    current = make_store(driver, minsize=1, maxsize=1)

    async def story():
        before = await session_id()
        task = asyncio.ensure_future(HANDLE.executeSql("SELECT SLEEP(1)"))
        await asyncio.sleep(0.2)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        after = await session_id()
        return before, after, [tuple(r) for r in await HANDLE.executeSql("SELECT 2")]

    with installed(current.connector):
        before, after, rows = current.run(story())
    assert before != after and rows == [(2,)]


def test_cancelled_statement_on_a_lent_connection_closes_it(native):
    async def story():
        con = await native.connector.getCon()
        task = asyncio.ensure_future(HANDLE.executeSql("SELECT SLEEP(1)", con=con))
        await asyncio.sleep(0.2)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(pymysql.err.InterfaceError):
            await HANDLE.executeSql("SELECT 1", con=con)
        await native.connector.releaseCon(con)
        return [tuple(r) for r in await HANDLE.executeSql("SELECT 3")]
    assert native.run(story()) == [(3,)]


def test_dropped_statement_coroutine_cuts_its_connection(native):
    async def story():
        con = await native.connector.getCon()
        pending = HANDLE.executeSql("SELECT SLEEP(1)", con=con)
        step = pending.__await__()
        next(step)  # the query is sent, its answer awaited
        step.close()
        del step, pending
        gc.collect()
        await native.connector.releaseCon(con)
        return [tuple(r) for r in await HANDLE.executeSql("SELECT 4")]
    assert native.run(story()) == [(4,)]


# --- the pool ----------------------------------------------------------------------------------


@pytest.mark.parametrize("driver", DRIVERS)
def test_maxsize_one_serves_two_tasks_in_turn(make_store, driver):
    current = make_store(driver, minsize=1, maxsize=1)
    events = []

    async def user(name):
        con = await current.connector.getCon()
        events.append(("got", name, await session_id(con)))
        await asyncio.sleep(0.01)
        events.append(("give back", name))
        await current.connector.releaseCon(con)

    async def story():
        await asyncio.gather(user("a"), user("b"))

    with installed(current.connector):
        current.run(story())
    assert [e[:2] for e in events] == [("got", "a"), ("give back", "a"), ("got", "b"), ("give back", "b")]
    assert events[0][2] == events[2][2]


def test_waiters_are_served_first_come_first_served(native):
    order = []

    async def user(name, held):
        con = await native.connector.getCon()
        order.append(name)
        await native.connector.releaseCon(con)

    async def story():
        held = await native.connector.getCon()
        tasks = [asyncio.ensure_future(user(n, held)) for n in "abcd"]
        await asyncio.sleep(0.01)
        await native.connector.releaseCon(held)
        await asyncio.gather(*tasks)
    native.run(story())
    assert order == list("abcd")


def test_pool_opens_up_to_maxsize(make_store):
    current = make_store("native", minsize=0, maxsize=3)

    async def story():
        cons = [await current.connector.getCon() for _ in range(3)]
        waiting = asyncio.ensure_future(current.connector.getCon())
        await asyncio.sleep(0.05)
        blocked = not waiting.done()
        ids = {await session_id(con) for con in cons}
        await current.connector.releaseCon(cons[0])
        again = await waiting
        for con in [again] + cons[1:]:
            await current.connector.releaseCon(con)
        return blocked, len(ids), again is cons[0]

    with installed(current.connector):
        assert current.run(story()) == (True, 3, True)


def test_released_connection_is_rolled_back_and_reused(native):
    async def story():
        await HANDLE.executeSql("CREATE TABLE t_r (k INT)")
        con = await native.connector.getCon()
        await HANDLE.executeSql("INSERT INTO t_r VALUES (1)", con=con)
        await native.connector.releaseCon(con)
        again = await native.connector.getCon()
        await HANDLE.executeSql("INSERT INTO t_r VALUES (2)", con=again)
        await again.commit()
        await native.connector.releaseCon(again)
        return again is con, [tuple(r) for r in await HANDLE.executeSql("SELECT k FROM t_r")]
    assert native.run(story()) == (True, [(2,)])


def test_lease_ended_by_a_dropped_release_is_rolled_back_before_reuse(native):
    async def story():
        await HANDLE.executeSql("CREATE TABLE t_d (k INT)")
        con = await native.connector.getCon()
        await HANDLE.executeSql("INSERT INTO t_d VALUES (1)", con=con)
        native.connector.releaseCon(con).close()  # given back at once, its work left open
        again = await native.connector.getCon()
        seen = [tuple(r) for r in await HANDLE.executeSql("SELECT k FROM t_d", con=again)]
        await native.connector.releaseCon(again)
        return again is con, seen
    assert native.run(story()) == (True, [])


def test_close_closes_lent_connections_when_given_back(native):
    async def story():
        con = await native.connector.getCon()
        await native.connector.close()
        open_before = not con.closed
        await native.connector.releaseCon(con)
        return open_before, con.closed, [tuple(r) for r in await HANDLE.executeSql("SELECT 5")]
    assert native.run(story()) == (True, True, [(5,)])


@pytest.mark.parametrize("driver", DRIVERS)
def test_another_loop_sets_the_pool_up_anew(make_store, driver):
    current = make_store(driver)

    async def on_other_loop():
        found = await session_id()
        await current.connector.close()
        return found

    with installed(current.connector):
        first = current.run(session_id())
        other = asyncio.run(on_other_loop())
        back = current.run(session_id())
    assert len({first, other, back}) == 3


# --- transactions, streams, the connection's own calls --------------------------------------------


@pytest.mark.parametrize("driver", DRIVERS)
def test_transaction_blocks_with_savepoints(make_store, driver):
    current = make_store(driver)

    async def story():
        await HANDLE.executeSql("CREATE TABLE t_sp (k INT PRIMARY KEY)")
        async with HANDLE.transaction() as outer:
            await HANDLE.executeSql("INSERT INTO t_sp VALUES (1)", con=outer)
            with pytest.raises(LookupError):
                async with HANDLE.transaction() as inner:
                    assert inner is outer
                    await HANDLE.executeSql("INSERT INTO t_sp VALUES (2)", con=inner)
                    raise LookupError
            async with HANDLE.transaction() as inner:
                await HANDLE.executeSql("INSERT INTO t_sp VALUES (3)", con=inner)
        with pytest.raises(KeyError):
            async with HANDLE.transaction() as con:
                await HANDLE.executeSql("INSERT INTO t_sp VALUES (4)", con=con)
                raise KeyError
        return [k for (k,) in await HANDLE.executeSql("SELECT k FROM t_sp ORDER BY k")]

    with installed(current.connector):
        assert current.run(story()) == [1, 3]


@pytest.mark.parametrize("driver", DRIVERS)
def test_row_stream_walks_every_row(make_store, driver):
    current = make_store(driver, minsize=1, maxsize=1)

    class MeRow(DataModel):
        tableName = "me_row"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(16, nullable=True)

    async def story():
        await HANDLE.executeSql(TableGenerator(MeRow).Build()[0])
        for n in range(7):
            await MeRow.getExecutor().save(MeRow(label=f"r{n}"))
        seen = [row.label async for row in MeRow.getExecutor().iterAllBy(batchSize=3)]
        return seen, len(await MeRow.getExecutor().findAllBy())

    with installed(current.connector):
        assert current.run(story()) == ([f"r{n}" for n in range(7)], 7)


def test_connection_calls_and_cursor(native):
    async def story():
        con = await native.connector.getCon()
        await con.begin()
        cur = await con.cursor()
        assert await cur.execute("SELECT %s, %s UNION SELECT 3, 'x'", (1, "a%")) == 2
        first = await cur.fetchone()
        rest = await cur.fetchall()
        names = [d[0] for d in cur.description]
        await cur.close()
        with pytest.raises(pymysql.err.ProgrammingError):
            await cur.execute("SELECT 1")
        await con.commit()
        await con.rollback()
        thread = con.thread_id()
        await native.connector.releaseCon(con)
        return first, rest, names, thread == await session_id()
    assert native.run(story()) == ((1, "a%"), [(3, "x")], ["1", "a%"], True)


def test_closed_connection_refuses_calls(native):
    async def story():
        con = await native.connector.getCon()
        await con.close()
        await con.close()  # closing again does nothing
        for call in (con.commit, con.rollback, con.begin, con.cursor):
            with pytest.raises(pymysql.err.InterfaceError):
                await call()
        with pytest.raises(pymysql.err.InterfaceError):
            await HANDLE.executeSql("SELECT 1", con=con)
        await native.connector.releaseCon(con)
        return con.closed, [tuple(r) for r in await HANDLE.executeSql("SELECT 6")]
    assert native.run(story()) == (True, [(6,)])


def test_second_call_while_one_is_in_flight_is_refused(native):
    async def story():
        con = await native.connector.getCon()
        first = asyncio.ensure_future(HANDLE.executeSql("SELECT SLEEP(0.2)", con=con))
        await asyncio.sleep(0.05)
        with pytest.raises(RuntimeError, match="in flight"):
            await HANDLE.executeSql("SELECT 1", con=con)
        done = await first
        await native.connector.releaseCon(con)
        return [tuple(r) for r in done]
    assert native.run(story()) == [(0,)]


# --- a session the server ended ----------------------------------------------------------------------


@pytest.mark.parametrize("driver", DRIVERS)
def test_killed_idle_connection_is_replaced(make_store, driver):
    current = make_store(driver, minsize=1, maxsize=1)

    async def story():
        first = await session_id()
        with current.raw() as raw, raw.cursor() as cur:
            cur.execute(f"KILL CONNECTION {first}")
        await asyncio.sleep(0.1)
        return first, await session_id()

    with installed(current.connector):
        first, second = current.run(story())
    assert first != second


def test_connection_killed_while_lent_fails_then_is_dropped(native):
    async def story():
        con = await native.connector.getCon()
        killed = await session_id(con)
        with native.raw() as raw, raw.cursor() as cur:
            cur.execute(f"KILL CONNECTION {killed}")
        with pytest.raises(pymysql.err.OperationalError) as raised:
            await HANDLE.executeSql("SELECT 1", con=con)
        await native.connector.releaseCon(con)
        return killed, raised.value.args[0], await session_id()
    killed, errnum, fresh = native.run(story())
    assert errnum in (1927, 2006, 2013) and fresh != killed


def test_statement_log_records_native_statements(native, caplog):
    async def story():
        await HANDLE.executeSql("CREATE TABLE t_log (k INT)")
        await HANDLE.executeSql("INSERT INTO t_log VALUES (%s), (%s)", (1, 2))
        return await HANDLE.executeSql("SELECT k FROM t_log WHERE k > %s", (0,))
    with caplog.at_level("DEBUG", logger="Tessary.sql"):
        native.run(story())
    records = [r for r in caplog.records if r.name == "Tessary.sql"]
    insert, select = records[-2], records[-1]
    assert insert.rowcount == 2 and insert.getMessage().endswith("| 2 rows affected")
    assert select.sql == "SELECT k FROM t_log WHERE k > %s" and select.rows == 2 and select.params == (0,)


@pytest.mark.parametrize("driver", DRIVERS)
def test_pooled_statement_whose_session_is_killed_fails_and_the_next_gets_a_new_one(make_store, driver):
    current = make_store(driver, minsize=1, maxsize=1)

    async def story():
        victim = await session_id()
        running = asyncio.ensure_future(HANDLE.executeSql("SELECT SLEEP(5)"))
        await asyncio.sleep(0.2)
        with current.raw() as raw, raw.cursor() as cur:
            cur.execute(f"KILL CONNECTION {victim}")
        with pytest.raises(pymysql.err.OperationalError):
            await running
        return victim, await session_id()

    with installed(current.connector):
        victim, fresh = current.run(story())
    assert victim != fresh


# aiomysql reports every failed connect as 2003; the native driver, as pymysql, the server's own error.
@pytest.mark.parametrize("driver, errnum", [("native", 1045), ("aiomysql", 2003)])
def test_refused_login_is_the_drivers_error(mariadb_clean, driver, errnum):
    connector = AioMysqlConnector(**dict(mariadb_clean, user="nobody_here", password="wrong"), driver=driver)

    async def story():
        try:
            with pytest.raises(pymysql.err.OperationalError) as raised:
                await HANDLE.executeSql("SELECT 1")
            return raised.value.args[0]
        finally:
            await connector.close()
    with installed(connector):
        assert asyncio.run(story()) == errnum
