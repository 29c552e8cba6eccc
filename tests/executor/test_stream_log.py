"""iterAllBy's statements in the statement log on all four connectors: one
DEBUG record of "Tessary.sql" per statement sent, written when the stream
ends (exhausted, closed early or failed) with every row it read."""

import functools
import logging
import types

import pytest

from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from handle_support import installed
from save_support import CONNECTORS, make_store

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

LOGGER = logging.getLogger("Tessary.sql")
ROWS = 7


@functools.cache
def declare_models():
    class SlgRow(DataModel):
        tableName = "slg_row"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(Row=SlgRow)


class Kept(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path):
    current = make_store(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(declare_models().Row)
            Row = declare_models().Row
            for n in range(ROWS):
                current.save(Row, Row(label=f"r{n}"))
            yield current
        finally:
            current.close()


@pytest.fixture
def records(store):
    saved = LOGGER.level, list(LOGGER.handlers)
    kept = Kept()
    LOGGER.addHandler(kept)
    LOGGER.setLevel(logging.DEBUG)
    yield kept.records
    LOGGER.setLevel(saved[0])
    LOGGER.handlers[:] = saved[1]


def selects(records):
    return [r for r in records if r.statement.lstrip().upper().startswith("SELECT")]


def read(store, stream, count=None):
    """The ids of the first `count` instances of the stream (all: None); the stream is closed after."""
    if not store.is_async:
        with stream:
            return [x["id"] for x, _ in zip(stream, range(count or ROWS + 1))]

    async def drain():
        got = []
        async with stream:
            async for x in stream:
                got.append(x["id"])
                if len(got) == count:
                    break
        return got
    return store.result(drain())


def one_statement_per_stream(store):
    """MySQL's asyncio stream reads each batch with a query of its own; the others run one statement."""
    return store.name != "aiomysql"


@pytest.mark.parametrize("batch", [3, 1000])
def test_stream_is_logged_with_every_row_read(store, records, batch):
    Row = declare_models().Row
    got = read(store, Row.getExecutor().iterAllBy(Row.id > 0, batchSize=batch))
    assert len(got) == ROWS
    logged = selects(records)
    assert logged and all("slg_row" in r.statement and r.error is None for r in logged)
    assert sum(r.rows for r in logged) == ROWS
    if one_statement_per_stream(store):
        (record,) = logged
        assert record.params == (0,) and "%s" in record.statement
        assert record.sql == (record.statement.replace("%s", "?") if "sqlite" in store.name else record.statement)
        assert isinstance(record.elapsed_ms, float) and record.elapsed_ms >= 0
        assert record.getMessage().endswith(f" | {ROWS} rows")
    else:
        assert len(logged) == -(-(ROWS + 1) // batch)  # the last query finds the end


def test_stream_closed_early_is_logged_once_with_the_rows_read(store, records):
    Row = declare_models().Row
    stream = Row.getExecutor().iterAllBy(batchSize=2)
    assert len(read(store, stream, count=3)) == 3
    logged = selects(records)
    assert sum(r.rows for r in logged) == 4  # two batches of two were read
    if one_statement_per_stream(store):
        assert len(logged) == 1
    # Closing again writes nothing more.
    if store.is_async:
        store.result(stream.aclose())
    else:
        stream.close()
    assert selects(records) == logged


class Refused(Exception):
    pass


def test_stream_failing_mid_way_is_logged_as_failed(store, records):
    Row = declare_models().Row
    calls = []

    class Failing(type(Row)):
        def __call__(cls, *args, **kwargs):
            calls.append(1)
            if len(calls) == 4:
                raise Refused("row 4")
            return super().__call__(*args, **kwargs)

    class SlgRowHook(Row, metaclass=Failing):
        tableName = "slg_row"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    with pytest.raises(Refused):
        read(store, SlgRowHook.getExecutor().iterAllBy(batchSize=3))
    if one_statement_per_stream(store):
        # aiomysql's batch queries are logged by the handle as they run, before their rows are converted.
        (record,) = selects(records)
        assert isinstance(record.error, Refused) and record.getMessage().endswith("failed: Refused: row 4")
        assert record.rows is None  # as for any statement that failed


def test_nothing_is_logged_while_the_logger_is_off(store):
    Row = declare_models().Row
    kept = Kept()
    LOGGER.addHandler(kept)
    saved = LOGGER.level
    LOGGER.setLevel(logging.INFO)
    try:
        assert len(read(store, Row.getExecutor().iterAllBy(batchSize=2))) == ROWS
    finally:
        LOGGER.setLevel(saved)
        LOGGER.removeHandler(kept)
    assert kept.records == []
