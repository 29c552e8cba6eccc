"""Read replicas on the MySQL connectors, against a real primary and GTID
replica (scripts/replica-pair.sh): reads outside transaction blocks go to the
replica, a thread's or task's reads see its own writes under causal
consistency, and a replica that stops or lags never fails a read."""

import asyncio
import contextlib
import time

import pytest

from Tessary.DB.Connector import AioMysqlConnector, MysqlConnector
from Tessary.DB.DB import DB

from handle_support import installed
from replica_support import KINDS, PRIMARY_ID, REPLICA_ID, SERVER_ID_SQL, Routed, pair  # noqa: F401
from save_plan_support import sent  # noqa: F401

CYCLES = {"native": 1000, "aio-native": 1000, "pymysql": 500, "aiomysql": 500}


@pytest.fixture
def table(pair):
    pair.query("primary", "DROP TABLE IF EXISTS cycle")
    pair.query("primary", "CREATE TABLE cycle (id INT AUTO_INCREMENT PRIMARY KEY, v INT NOT NULL)")
    pair.synced()
    return "cycle"


@contextlib.contextmanager
def routed_connector(kind, pair, **options):
    routed = Routed(kind, pair, **options)
    try:
        with installed(routed.connector):
            yield routed
    finally:
        routed.close()


@pytest.fixture(params=KINDS)
def kind(request):
    return request.param


def server_of(routed):
    handle = DB.getInstance()
    return int(routed.run(handle.executeSql(SERVER_ID_SQL))[0][0])


def test_causal_reads_always_see_their_own_write(kind, pair, table):
    handle = DB.getInstance()
    cycles = CYCLES[kind]
    before = pair.selects_on_replica()

    def check(i, rows):
        assert (int(rows[0][0]), rows[0][1]) == (i, i)

    async def in_one_task():
        for i in range(1, cycles + 1):
            await handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (i,))
            check(i, await handle.executeSql("SELECT MAX(v), COUNT(*) FROM cycle"))

    with routed_connector(kind, pair, causalTimeout=5.0) as routed:
        if routed.is_async:
            routed.run(in_one_task())
        else:
            for i in range(1, cycles + 1):
                handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (i,))
                check(i, handle.executeSql("SELECT MAX(v), COUNT(*) FROM cycle"))
    # The reads ran on the replica (each one's wait, too, when it had to wait).
    assert pair.selects_on_replica() - before >= cycles


def test_eventual_reads_go_to_the_replica_and_writes_to_the_primary(kind, pair, table):
    handle = DB.getInstance()
    with routed_connector(kind, pair, consistency="eventual") as routed:
        assert {server_of(routed) for _ in range(5)} == {REPLICA_ID}
        routed.run(handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (7,)))
    assert pair.query("primary", "SELECT v FROM cycle") == ((7,),)


def test_transaction_blocks_stay_on_the_primary(kind, pair, table):
    handle = DB.getInstance()
    with routed_connector(kind, pair, consistency="eventual") as routed:
        if routed.is_async:
            async def in_block():
                async with handle.transaction():
                    return int((await handle.executeSql(SERVER_ID_SQL))[0][0])
            assert routed.run(in_block()) == PRIMARY_ID
        else:
            with handle.transaction():
                assert server_of(routed) == PRIMARY_ID
        assert server_of(routed) == REPLICA_ID


@pytest.mark.parametrize("kind", ["native", "aio-native"])
def test_session_bound_and_locking_reads_run_on_the_primary(kind, pair, table):
    handle = DB.getInstance()
    with routed_connector(kind, pair, consistency="eventual") as routed:
        routed.run(handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (1,)))
        # On the replica LAST_INSERT_ID() would be 0: it belongs to the primary's session.
        assert routed.run(handle.executeSql("SELECT LAST_INSERT_ID()"))[0][0] >= 1
        for text in (SERVER_ID_SQL + " FOR UPDATE", "SELECT @@server_id", "/* note */ (SELECT @@server_id)"):
            assert int(routed.run(handle.executeSql(text))[0][0]) == PRIMARY_ID, text
        for text in ("  -- leading comment\n" + SERVER_ID_SQL, "WITH s AS (" + SERVER_ID_SQL + ") SELECT * FROM s"):
            assert int(routed.run(handle.executeSql(text))[0][0]) == REPLICA_ID, text


@pytest.mark.parametrize("kind", ["native", "aio-native"])
def test_statement_log_says_which_server_ran_each_statement(kind, pair, table, sent):
    handle = DB.getInstance()
    with routed_connector(kind, pair) as routed:
        routed.run(handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (3,)))
        routed.run(handle.executeSql("SELECT v FROM cycle"))
    marks = [(r.statement, r.server) for r in sent]
    # The routing's own position and wait statements are not the application's: unlogged.
    assert marks == [("INSERT INTO cycle (v) VALUES (%s)", "primary"), ("SELECT v FROM cycle", "replica 1")]
    assert sent[0].getMessage().endswith(" | on primary")
    assert sent[1].getMessage().endswith(" | on replica 1")


@pytest.mark.parametrize("kind", ["native", "aio-native"])
def test_reads_take_the_replicas_in_turn(kind, pair, table, sent):
    handle = DB.getInstance()
    with routed_connector(kind, pair, replicas=[pair.urls["replica"]] * 2, consistency="eventual") as routed:
        for _ in range(4):
            routed.run(handle.executeSql("SELECT v FROM cycle"))
    assert [r.server for r in sent] == ["replica 1", "replica 2", "replica 1", "replica 2"]


def test_a_stopped_replica_fails_no_read_and_is_used_again_once_back(pair, table):
    """All four connectors write and read in turn while the replica stops
    and starts again: reads go to the primary meanwhile, then return."""
    handle = DB.getInstance()
    connectors = [Routed(kind, pair, causalTimeout=5.0) for kind in KINDS]
    value = 0

    def cycle():
        nonlocal value
        servers = set()
        for routed in connectors:
            value += 1
            with installed(routed.connector):
                routed.run(handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (value,)))
                assert int(routed.run(handle.executeSql("SELECT MAX(v) FROM cycle"))[0][0]) == value
                servers.add(server_of(routed))
        return servers

    try:
        assert cycle() == {REPLICA_ID}
        pair.script("stop-replica")
        try:
            assert cycle() == {PRIMARY_ID}
            assert cycle() == {PRIMARY_ID}
        finally:
            pair.script("start-replica")
        # A replica that failed is tried again a second later.
        deadline = time.monotonic() + 10
        while (servers := cycle()) != {REPLICA_ID}:
            assert time.monotonic() < deadline, f"the reads never all went back to the replica: {servers}"
            time.sleep(0.05)
    finally:
        for routed in connectors:
            routed.close()


@contextlib.contextmanager
def replica_sql_thread_stopped(pair):
    pair.query("replica", "STOP SLAVE SQL_THREAD")
    try:
        yield
    finally:
        pair.query("replica", "START SLAVE SQL_THREAD")


@pytest.mark.parametrize("kind", ["native", "aio-native"])
def test_a_causal_read_the_replica_cannot_answer_in_time_goes_to_the_primary(kind, pair, table):
    handle = DB.getInstance()
    with routed_connector(kind, pair, causalTimeout=0.05) as routed, replica_sql_thread_stopped(pair):
        routed.run(handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (5,)))
        assert [tuple(row) for row in routed.run(handle.executeSql("SELECT v FROM cycle"))] == [(5,)]
        assert server_of(routed) == PRIMARY_ID


@pytest.mark.parametrize("kind", ["native", "aio-native"])
def test_a_replica_not_replicating_is_skipped_under_max_lag_and_used_again(kind, pair, table):
    with routed_connector(kind, pair, consistency="eventual", maxReplicaLag=30) as routed:
        assert server_of(routed) == REPLICA_ID
        with replica_sql_thread_stopped(pair):
            # The lag is read at most once a second: the reads after that check go to the primary.
            deadline = time.monotonic() + 5
            while server_of(routed) != PRIMARY_ID:
                assert time.monotonic() < deadline, "the replica was never skipped"
                time.sleep(0.05)
            assert server_of(routed) == PRIMARY_ID
        deadline = time.monotonic() + 10
        while server_of(routed) != REPLICA_ID:
            assert time.monotonic() < deadline, "the reads never went back to the replica"
            time.sleep(0.05)


def test_a_cancelled_causal_read_ends_there_and_does_not_run_on_the_primary(pair, table):
    handle = DB.getInstance()

    async def write_then_cancelled_read():
        await handle.executeSql("INSERT INTO cycle (v) VALUES (%s)", (9,))
        reading = asyncio.ensure_future(handle.executeSql("SELECT v FROM cycle"))
        await asyncio.sleep(0.3)  # waiting on the replica, which applies nothing
        reading.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reading

    with routed_connector("aio-native", pair, causalTimeout=5.0) as routed, replica_sql_thread_stopped(pair):
        started = time.monotonic()
        routed.run(write_then_cancelled_read())
        assert time.monotonic() - started < 3


# --- the constructors' keywords (no server needed) ------------------------------------------


@pytest.mark.parametrize("cls", [MysqlConnector, AioMysqlConnector])
def test_replica_keywords_are_checked_and_kept(cls):
    plain = cls(user="app", database="shop")
    assert (plain.replicas, plain.consistency, plain.causalTimeout, plain.maxReplicaLag) == ((), "causal", 1.0, None)
    routed = cls(user="app", database="shop", charset="utf8mb4", replicas=[{"host": "10.0.0.2"}, "mysql://u@10.0.0.3:3307/db"],
                 consistency="eventual", causalTimeout=0.5, maxReplicaLag=2)
    first, second = routed.replicas
    assert type(first) is cls and type(second) is cls
    assert (first.host, first.user, first.database) == ("10.0.0.2", "app", "shop")  # the primary's login and database
    assert (second.host, second.port, second.user, second.database) == ("10.0.0.3", 3307, "u", "db")
    assert (routed.consistency, routed.causalTimeout, routed.maxReplicaLag) == ("eventual", 0.5, 2.0)
    assert first.replicas == ()
    with pytest.raises(TypeError):
        cls(replicas="mysql://h/db")
    with pytest.raises(TypeError):
        cls(replicas=[3])
    with pytest.raises(ValueError):
        cls(replicas=["sqlite:///x.db"])
    with pytest.raises(ValueError):
        cls(replicas=[{"replicas": []}])
    with pytest.raises(ValueError):
        cls(consistency="strong")
    with pytest.raises(ValueError):
        cls(causalTimeout=-1)
    with pytest.raises(TypeError):
        cls(maxReplicaLag="1")
    bare = cls.__new__(cls)  # never initialised: no replicas, nothing to route
    assert (bare.replicas, bare.consistency, bare.maxReplicaLag) == ((), "causal", None)


def test_a_statement_on_a_given_connection_runs_there(pair, table):
    handle = DB.getInstance()
    with routed_connector("native", pair, consistency="eventual") as routed:
        primary = routed.connector.getCon()
        assert int(handle.executeSql(SERVER_ID_SQL, (), con=primary)[0][0]) == PRIMARY_ID
        assert server_of(routed) == REPLICA_ID
