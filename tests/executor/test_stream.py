"""iterAllBy on all four connectors: the instances of findAllBy, read a batch
at a time and given back with their connection however the stream ends."""

import asyncio
import functools
import gc
import types

import pytest

from Tessary.DB.Connector import AioSqliteConnector
from Tessary.Model.Carrack import AsyncRowStream, RowStream
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from handle_support import installed
from save_support import CONNECTORS, HANG_GUARD, make_store


@functools.cache
def declare_models():
    class StRow(DataModel):
        tableName = "st_row"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)
        rank = IntegerProperty(nullable=True)

    return types.SimpleNamespace(Row=StRow, all=(StRow,))


ROWS = 7


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path):
    current = make_store(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(*declare_models().all)
            yield current
        finally:
            current.close()


@pytest.fixture
def Row(store):
    Row = declare_models().Row
    for n in range(1, ROWS + 1):
        store.save(Row, Row(label=f"r{n}", rank=n % 3))
    return Row


def collect(store, stream):
    """Every instance of the stream, as plain dicts."""
    if not store.is_async:
        return [dict(x) for x in stream]

    async def drain():
        return [dict(x) async for x in stream]
    return store.result(drain())


def by_id(rows):
    return sorted((dict(r) for r in rows), key=lambda r: r["id"])


@pytest.mark.parametrize("batch", [1, ROWS - 1, ROWS, ROWS + 1, 1000])
def test_same_instances_as_findAllBy(store, Row, batch):
    expected = by_id(store.result(Row.getExecutor().findAllBy()))
    assert len(expected) == ROWS
    got = collect(store, Row.getExecutor().iterAllBy(batchSize=batch))
    assert by_id(got) == expected
    assert len(got) == ROWS  # no row twice


@pytest.mark.parametrize("batch", [1, 2, 3])
def test_filter_is_applied(store, Row, batch):
    condition = Row.rank == 1
    expected = by_id(store.result(Row.getExecutor().findAllBy(condition)))
    assert [r["id"] for r in expected] == [1, 4, 7]
    assert by_id(collect(store, Row.getExecutor().iterAllBy(condition, batchSize=batch))) == expected
    assert collect(store, Row.getExecutor().iterAllBy(Row.rank == 99)) == []


def test_instances_are_model_instances(store, Row):
    got = collect(store, Row.getExecutor().iterAllBy(Row.id == 3))
    assert got == [{"id": 3, "label": "r3", "rank": 0}]
    if store.is_async:
        async def first():
            async for x in Row.getExecutor().iterAllBy(Row.id == 3):
                return x
        got_type = type(store.result(first()))
    else:
        got_type, = [type(x) for x in Row.getExecutor().iterAllBy(Row.id == 3)]
    assert got_type is type(store.result(Row.getExecutor().findAllBy(Row.id == 3))[0])


def test_empty_table(store):
    Row = declare_models().Row
    assert collect(store, Row.getExecutor().iterAllBy(batchSize=2)) == []


@pytest.mark.parametrize("call, error, text", [
    (lambda ex: ex.iterAllBy("rank = 1"), TypeError, "Filter"),
    (lambda ex: ex.iterAllBy(batchSize="10"), TypeError, "batchSize must be an int"),
    (lambda ex: ex.iterAllBy(batchSize=1.5), TypeError, "batchSize must be an int"),
    (lambda ex: ex.iterAllBy(batchSize=0), ValueError, "batchSize must be positive"),
    (lambda ex: ex.iterAllBy(batchSize=-3), ValueError, "batchSize must be positive"),
    (lambda ex: ex.iterAllBy(None, 10, 3), TypeError, "at most 2"),
    (lambda ex: ex.iterAllBy(size=3), TypeError, "unexpected keyword"),
])
def test_bad_arguments(store, call, error, text):
    with pytest.raises(error, match=text):
        call(declare_models().Row.getExecutor())


def test_sync_stream_closed_early_and_twice(store, Row):
    if store.is_async:
        pytest.skip("the synchronous stream")
    stream = Row.getExecutor().iterAllBy(batchSize=2)
    first = next(stream)
    assert first["id"] >= 1 and not stream.closed
    stream.close()
    stream.close()
    assert stream.closed
    with pytest.raises(StopIteration):
        next(stream)
    with Row.getExecutor().iterAllBy(batchSize=3) as inside:
        assert next(inside)["label"].startswith("r")
    assert inside.closed
    # The connector's own connection still serves statements.
    assert len(Row.getExecutor().findAllBy()) == ROWS


def test_sync_other_statements_while_streaming(store, Row):
    """Statements on the connector while a stream is open run and see their
    own rows; the stream still gives every row of its result."""
    if store.is_async:
        pytest.skip("the synchronous stream")
    seen = []
    for x in Row.getExecutor().iterAllBy(batchSize=2):
        seen.append(x["id"])
        assert Row.getExecutor().findOneBy(Row.id == x["id"])["label"] == x["label"]
    assert sorted(seen) == list(range(1, ROWS + 1))


def test_sync_stream_inside_transaction_sees_its_rows(store, Row):
    if store.is_async:
        pytest.skip("the synchronous stream")
    with store.connector.transaction() as con:
        Row.getExecutor(con).save(Row(label="pending", rank=5))
        got = [x["label"] for x in Row.getExecutor(con).iterAllBy(Row.rank == 5, batchSize=1)]
        assert got == ["pending"]
        # The connection is free for the block's next statement.
        Row.getExecutor(con).save(Row(label="second", rank=5))
    assert sorted(x["label"] for x in Row.getExecutor().iterAllBy(Row.rank == 5)) == ["pending", "second"]


def test_sync_stream_in_a_block_without_its_connection(store, Row):
    """An executor made without the block's connection, inside the block:
    the stream reads on the thread's connection, as findAllBy does."""
    if store.is_async:
        pytest.skip("the synchronous stream")
    with store.connector.transaction():
        Row.getExecutor().save(Row(label="pending", rank=6))
        assert [x["label"] for x in Row.getExecutor().findAllBy(Row.rank == 6)] == ["pending"]
        assert [x["label"] for x in Row.getExecutor().iterAllBy(Row.rank == 6)] == ["pending"]


def test_async_stream_inside_transaction_sees_its_rows(store, Row):
    if not store.is_async:
        pytest.skip("the coroutine stream")

    async def run():
        async with store.connector.transaction() as con:
            await Row.getExecutor(con).save(Row(label="pending", rank=5))
            got = [x["label"] async for x in Row.getExecutor(con).iterAllBy(Row.rank == 5, batchSize=1)]
            await Row.getExecutor(con).save(Row(label="second", rank=5))
        after = [x["label"] async for x in Row.getExecutor().iterAllBy(Row.rank == 5)]
        return got, after
    assert store.result(run()) == (["pending"], ["pending", "second"])


def test_async_stream_closed_early(store, Row):
    if not store.is_async:
        pytest.skip("the coroutine stream")

    async def run():
        stream = Row.getExecutor().iterAllBy(batchSize=2)
        first = await stream.__anext__()
        await stream.aclose()
        await stream.aclose()
        with pytest.raises(StopAsyncIteration):
            await stream.__anext__()
        async with Row.getExecutor().iterAllBy(batchSize=2) as inside:
            async for x in inside:
                break
        return first["id"], stream.closed, inside.closed, len(await Row.getExecutor().findAllBy())
    assert store.result(run()) == (1, True, True, ROWS)


def test_async_stream_in_key_order_across_batches(store, Row):
    if not store.is_async:
        pytest.skip("the coroutine stream")
    assert [r["id"] for r in collect(store, Row.getExecutor().iterAllBy(batchSize=3))] == list(range(1, ROWS + 1))


def test_async_streams_dropped_give_their_connection_back(tmp_path):
    """With a pool of one connection, each stream dropped before its end must
    have given the connection back for the next one to start."""
    Row = declare_models().Row
    connector = AioSqliteConnector(str(tmp_path / "pool.db"), maxsize=1)

    async def main():
        from Tessary.DB.DB import DB
        from Tessary.DB.Generator import TableGenerator
        await DB.getInstance().executeSql(TableGenerator(Row).Build()[0])
        for n in range(5):
            await Row.getExecutor().save(Row(label=f"r{n}", rank=n))
        firsts = []
        for _ in range(3):
            stream = Row.getExecutor().iterAllBy(batchSize=2)
            firsts.append((await stream.__anext__())["id"])
            del stream
            gc.collect()
            await asyncio.sleep(0)
        firsts.append(len(await Row.getExecutor().findAllBy()))
        await connector.close()
        return firsts

    with installed(connector):
        assert asyncio.run(asyncio.wait_for(main(), HANG_GUARD)) == [1, 1, 1, 5]


@pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")
@pytest.mark.parametrize("name", ["aiosqlite", "aiomysql"])
def test_async_stream_cancelled_gives_its_connection_back(name, request, tmp_path):
    """A task cancelled while its `async for` waits between batches: with a
    pool of one connection, the next statement can only run if the stream
    gave that connection back."""
    from Tessary.DB.Connector import AioMysqlConnector
    Row = declare_models().Row
    if name == "aiosqlite":
        connector = AioSqliteConnector(str(tmp_path / "cancel.db"), maxsize=1)
    else:
        connector = AioMysqlConnector(**request.getfixturevalue("mariadb_clean"), minsize=1, maxsize=1)

    async def main():
        from Tessary.DB.DB import DB
        from Tessary.DB.Generator import TableGenerator
        await DB.getInstance().executeSql(TableGenerator(Row).Build()[0])
        for n in range(5):
            await Row.getExecutor().save(Row(label=f"c{n}", rank=n))
        started = asyncio.Event()

        async def reader():
            async for _ in Row.getExecutor().iterAllBy(batchSize=2):
                started.set()
                await asyncio.sleep(3600)

        task = asyncio.create_task(reader())
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        found = len(await Row.getExecutor().findAllBy())
        await connector.close()
        return found

    with installed(connector):
        assert asyncio.run(asyncio.wait_for(main(), HANG_GUARD)) == 5


@pytest.mark.parametrize("kind", [RowStream, AsyncRowStream])
def test_streams_made_by_new_alone(kind):
    stream = kind.__new__(kind)
    if kind is RowStream:
        with pytest.raises(RuntimeError, match="not initialised"):
            next(stream)
        stream.close()
        stream.close()
        with pytest.raises(RuntimeError, match="not initialised"):
            stream.__enter__()
    else:
        with pytest.raises(RuntimeError, match="not initialised"):
            stream.__anext__()
        asyncio.run(stream.aclose())
    del stream
    gc.collect()


def test_sync_stream_refuses_asyncio_connector(tmp_path):
    from Tessary.Model.Carrack import ModelExecutor
    connector = AioSqliteConnector(str(tmp_path / "a.db"))
    with installed(connector):
        with pytest.raises(TypeError, match="synchronous connector"):
            ModelExecutor(declare_models().Row).iterAllBy()


def test_aiosqlite_kept_cursor_between_other_statements(tmp_path):
    """The worker's kept cursor reads its result a batch at a time while other
    statements run on the same connection between the batches."""
    from Tessary.DB.DB import DB
    connector = AioSqliteConnector(str(tmp_path / "cursor.db"), maxsize=1)

    async def main():
        db = DB.getInstance()
        con = await connector.getCon()
        await db.executeSql("CREATE TABLE t (n INTEGER)", con=con)
        for n in range(5):
            await db.executeSql("INSERT INTO t VALUES (%s)", args=(n,), con=con)
        cursor = await con._openCursor("SELECT n FROM t WHERE n >= %s ORDER BY n", (1,))
        first = await con._fetch(cursor, 3)
        other = await db.executeSql("SELECT count(*) FROM t", con=con)
        second = await con._fetch(cursor, 3)
        after_end = await con._fetch(cursor, 3)
        con._closeCursor(cursor)
        con._closeCursor(cursor)  # a second close is harmless
        with pytest.raises(ValueError, match="size"):
            con._fetch(cursor, 0)
        await connector.releaseCon(con)
        await connector.close()
        return first, other, second, after_end

    with installed(connector):
        first, other, second, after_end = asyncio.run(asyncio.wait_for(main(), HANG_GUARD))
    assert [tuple(r) for r in first] == [(1,), (2,), (3,)]
    assert [tuple(r) for r in other] == [(5,)]
    assert [tuple(r) for r in second] == [(4,)]
    assert list(after_end) == []


def reentrant_model(on_row):
    """A model whose class call (the row converter of a model with its own
    metaclass) runs `on_row` for every row read."""
    Row = declare_models().Row

    class Calling(type(Row)):
        def __call__(cls, *args, **kwargs):
            on_row()
            return super().__call__(*args, **kwargs)

    class StRowHook(Row, metaclass=Calling):
        tableName = "st_row"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)
        rank = IntegerProperty(nullable=True)

    return StRowHook


def test_sync_next_or_close_from_the_row_converter(store, Row):
    if store.is_async:
        pytest.skip("the synchronous stream")
    seen = []
    stream = None

    def step_inside():
        try:
            next(stream)
        except RuntimeError as error:
            seen.append(str(error))

    Hook = reentrant_model(step_inside)
    stream = Hook.getExecutor().iterAllBy(batchSize=3)
    got = [x["id"] for x in stream]
    assert sorted(got) == list(range(1, ROWS + 1))
    assert len(seen) == ROWS and all("reads its next batch" in text for text in seen)

    def close_inside():
        stream.close()

    Hook = reentrant_model(close_inside)
    stream = Hook.getExecutor().iterAllBy(batchSize=3)
    assert list(stream) == [] and stream.closed
    assert len(Row.getExecutor().findAllBy()) == ROWS


class Refused(Exception):
    pass


def test_failure_mid_stream_ends_it_and_gives_the_connection_back(store, Row):
    """A row that fails to convert in the second batch: the error reaches the
    caller after the first batch's rows, the stream is closed, and the
    connector serves the next statement."""
    calls = []

    def fourth_fails():
        calls.append(1)
        if len(calls) == 4:
            raise Refused("row 4")

    Hook = reentrant_model(fourth_fails)
    got = []

    async def drain(stream):
        async for x in stream:
            got.append(x["id"])

    stream = Hook.getExecutor().iterAllBy(batchSize=3)
    with pytest.raises(Refused):
        if store.is_async:
            store.result(drain(stream))
        else:
            for x in stream:
                got.append(x["id"])
    assert len(got) == 3 and stream.closed
    assert len(store.result(Row.getExecutor().findAllBy())) == ROWS


def test_sync_stream_dropped_unfinished(store, Row, recwarn):
    """A stream dropped half-way closes its cursor (and MySQL's connection of
    its own) without complaint, and the connector serves the next statement."""
    if store.is_async:
        pytest.skip("the synchronous stream")
    for _ in range(3):
        stream = Row.getExecutor().iterAllBy(batchSize=2)
        next(stream)
        del stream
        gc.collect()
    assert not [w for w in recwarn if issubclass(w.category, (ResourceWarning, pytest.PytestUnraisableExceptionWarning))]
    assert len(Row.getExecutor().findAllBy()) == ROWS
