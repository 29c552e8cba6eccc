"""Values that reach the drivers in a form of their own are stored as what
they mean, on each connector (SQLite, MariaDB, aiosqlite, aiomysql): binary
buffers (bytes, bytearray, memoryview) as their octets, in values and in
conditions; datetimes with their microseconds; timezone-aware datetimes
refused before anything is sent."""

import array
import datetime

import pytest

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    BytesProperty,
    DateTimeProperty,
    IntegerProperty,
    VarcharProperty,
)

from reliability_support import installed, make_backend


class StoredBlob(DataModel):
    tableName = "stored_blob"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    data = BytesProperty(nullable=True)


class StoredMoment(DataModel):
    tableName = "stored_moment"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    label = VarcharProperty(40, nullable=True)
    created = DateTimeProperty(nullable=True)


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def store(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(StoredBlob, StoredMoment)
            if current.is_async:
                # The pool made ready first: a statement refused before it
                # reaches the driver then leaves no setup half-way behind.
                current.run(StoredBlob.getExecutor().findAllBy())
            yield current
        finally:
            current.close()


def blob(data, **fields):
    """A row holding `data` as it is: the model's constructor would already
    turn a buffer into bytes, an assignment keeps it."""
    row = StoredBlob(**fields)
    row["data"] = data
    return row


def done(store, result):
    """The executor's result: awaited on the asyncio connectors."""
    return store.run(result) if store.is_async else result


# --- buffers ----------------------------------------------------------------------

OCTETS = b"\x00\x01'\"\\%s\xff bytes"

# Each buffer stands for the octets it holds.
BUFFERS = {
    "bytes": lambda octets: bytes(octets),
    "bytearray": lambda octets: bytearray(octets),
    "memoryview": lambda octets: memoryview(octets),
    "memoryview-of-bytearray": lambda octets: memoryview(bytearray(octets)),
    "memoryview-slice": lambda octets: memoryview(b"--" + octets + b"--")[2:-2],
    "memoryview-strided": lambda octets: memoryview(bytes(b for o in octets for b in (o, 0)))[::2],
    "memoryview-signed-bytes": lambda octets: memoryview(array.array("b", octets)),
}


@pytest.mark.parametrize("kind", list(BUFFERS))
def test_buffer_saved_as_its_octets_and_found_by_equal_and_in(store, kind):
    make = BUFFERS[kind]
    saved = done(store, StoredBlob.getExecutor().save(blob(make(OCTETS))))
    assert store.rows("SELECT data FROM stored_blob WHERE id = %s", (saved["id"],)) == [(OCTETS,)]
    done(store, StoredBlob.getExecutor().save(StoredBlob(data=b"other")))

    found = done(store, StoredBlob.getExecutor().findAllBy(StoredBlob.data == make(OCTETS)))
    assert [(row["id"], row["data"]) for row in found] == [(saved["id"], OCTETS)]
    assert type(found[0]["data"]) is bytes
    found = done(store, StoredBlob.getExecutor().findAllBy(StoredBlob.data.In([make(b"none"), make(OCTETS)])))
    assert [row["id"] for row in found] == [saved["id"]]


@pytest.mark.parametrize("kind", list(BUFFERS))
def test_buffer_written_by_update(store, kind):
    saved = done(store, StoredBlob.getExecutor().save(StoredBlob(data=b"before")))
    done(store, StoredBlob.getExecutor().update(blob(BUFFERS[kind](OCTETS), id=saved["id"])))
    assert store.rows("SELECT data FROM stored_blob WHERE id = %s", (saved["id"],)) == [(OCTETS,)]


@pytest.mark.parametrize("view", [
    memoryview(array.array("i", [1, 2])),
    memoryview(array.array("d", [1.5])),
    memoryview(b"abcd").cast("H"),
], ids=["int", "double", "cast-to-short"])
def test_memoryview_of_wider_items_refused(store, view):
    with pytest.raises(TypeError, match=f"memoryview of format '{view.format}'"):
        done(store, StoredBlob.getExecutor().save(blob(view)))
    assert store.count(StoredBlob) == 0
    with pytest.raises(TypeError, match="memoryview of format"):
        done(store, StoredBlob.getExecutor().findAllBy(StoredBlob.data == view))
    done(store, StoredBlob.getExecutor().save(StoredBlob(data=view.cast("B"))))
    assert store.rows("SELECT data FROM stored_blob") == [(view.tobytes(),)]


@pytest.fixture
def plain_sqlite(tmp_path):
    """Sqlite3Connector on its own sqlite3 connection (the store's records
    its statements through a wrapper), which binds buffers in place."""
    connector = Sqlite3Connector(str(tmp_path / "plain.db"))
    with installed(connector) as handle:
        handle.executeSql(TableGenerator(StoredBlob).Build()[0])
        yield handle
    connector.close()


@pytest.mark.parametrize("kind", list(BUFFERS))
def test_buffers_on_a_plain_sqlite_connection(plain_sqlite, kind):
    make = BUFFERS[kind]
    saved = StoredBlob.getExecutor().save(blob(make(OCTETS)))
    StoredBlob.getExecutor().update(blob(make(OCTETS + b"!"), id=saved["id"]))
    found = StoredBlob.getExecutor().findAllBy(StoredBlob.data.In([make(OCTETS + b"!")]))
    assert [(row["id"], row["data"]) for row in found] == [(saved["id"], OCTETS + b"!")]
    with pytest.raises(TypeError, match="memoryview of format 'i'"):
        StoredBlob.getExecutor().save(blob(memoryview(array.array("i", [1]))))
    assert plain_sqlite.executeSql("SELECT COUNT(*) FROM stored_blob")[0][0] == 1


def test_released_memoryview_refused(store):
    view = memoryview(b"gone")
    view.release()
    with pytest.raises(ValueError, match="released"):
        done(store, StoredBlob.getExecutor().save(blob(view)))
    assert store.count(StoredBlob) == 0


def test_buffers_through_execute_sql(store):
    handle = DB.getInstance()
    done(store, handle.executeSql("INSERT INTO stored_blob (data) VALUES (%s), (%s), (%s)",
                                  args=(memoryview(b"ab"), bytearray(b"cd"), b"ef")))
    assert store.rows("SELECT data FROM stored_blob ORDER BY id") == [(b"ab",), (b"cd",), (b"ef",)]
    rows = done(store, handle.executeSql("SELECT id FROM stored_blob WHERE data IN (%s, %s)",
                                         args=[memoryview(b"xabx")[1:3], bytearray(b"ef")]))
    assert sorted(row[0] for row in rows) == [1, 3]


# --- datetimes ----------------------------------------------------------------------

LAST_MICROSECOND = datetime.datetime(2024, 12, 31, 23, 59, 59, 999999)


@pytest.mark.parametrize("moment", [
    LAST_MICROSECOND,
    datetime.datetime(2024, 2, 29, 12, 0, 0, 1),
    datetime.datetime(2000, 1, 1, 0, 0, 0),
], ids=["last-microsecond", "one-microsecond", "whole-second"])
def test_datetime_read_back_equal_and_found_by_equal(store, moment):
    saved = done(store, StoredMoment.getExecutor().save(StoredMoment(label="a", created=moment)))
    done(store, StoredMoment.getExecutor().save(StoredMoment(label="b", created=moment.replace(microsecond=0)
                                                             + datetime.timedelta(seconds=-1))))
    found = done(store, StoredMoment.getExecutor().findAllBy(StoredMoment.created == moment))
    assert [(row["id"], row["created"]) for row in found] == [(saved["id"], moment)]
    found = done(store, StoredMoment.getExecutor().findAllBy(StoredMoment.created.In([moment])))
    assert [row["id"] for row in found] == [saved["id"]]
    later = moment + datetime.timedelta(microseconds=1)
    assert done(store, StoredMoment.getExecutor().findAllBy(StoredMoment.created == later)) == []


class NoOffset(datetime.tzinfo):
    """A tzinfo that knows no offset: its datetimes count as naive."""

    def utcoffset(self, dt):
        return None

    def dst(self, dt):
        return None


AWARE = [
    datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc),
    datetime.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=datetime.timezone(datetime.timedelta(hours=-5))),
]
REFUSED = "DateTimeProperty 'created' takes naive datetimes: got a timezone-aware value"


@pytest.mark.parametrize("aware", AWARE, ids=["utc", "minus-five"])
def test_timezone_aware_datetime_refused_before_anything_is_sent(store, aware):
    with pytest.raises(ValueError, match=REFUSED):
        done(store, StoredMoment.getExecutor().save(StoredMoment(label="x", created=aware)))
    assert store.count(StoredMoment) == 0

    naive = aware.replace(tzinfo=None)
    saved = done(store, StoredMoment.getExecutor().save(StoredMoment(label="x", created=naive)))
    with pytest.raises(ValueError, match=REFUSED):
        done(store, StoredMoment.getExecutor().update(StoredMoment(id=saved["id"], label="y", created=aware)))
    assert store.rows("SELECT label FROM stored_moment") == [("x",)]
    with pytest.raises(ValueError, match=REFUSED):
        StoredMoment.created == aware
    with pytest.raises(ValueError, match=REFUSED):
        StoredMoment.created.In([naive, aware])
    with pytest.raises(ValueError, match=REFUSED):
        StoredMoment.created.toDBValue(aware)


def test_tzinfo_without_offset_counts_as_naive(store):
    moment = datetime.datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=NoOffset())
    saved = done(store, StoredMoment.getExecutor().save(StoredMoment(created=moment)))
    found = done(store, StoredMoment.getExecutor().findAllBy(StoredMoment.created == moment))
    assert [(row["id"], row["created"]) for row in found] == [(saved["id"], moment.replace(tzinfo=None))]


# --- the column type text ----------------------------------------------------------


class TypedMoments(DataModel):
    tableName = "typed_moments"
    plain = DateTimeProperty()
    millis = DateTimeProperty(3, nullable=True)
    stamp = DateTimeProperty(nullable=True, default=datetime.datetime(2020, 1, 2, 3, 4, 5, 6))


@pytest.mark.parametrize("connector, lines", [
    (Sqlite3Connector, ["   `plain` DATETIME NOT NULL ,",
                        "   `millis` DATETIME(3) NULL ,",
                        "   `stamp` DATETIME NULL DEFAULT '2020-01-02 03:04:05.000006'"]),
    (MysqlConnector, ["   `plain` DATETIME(6) NOT NULL ,",
                      "   `millis` DATETIME(3) NULL ,",
                      "   `stamp` DATETIME(6) NULL DEFAULT '2020-01-02 03:04:05.000006'"]),
], ids=["sqlite", "mysql"])
def test_datetime_column_type_text(connector, lines):
    with installed(connector()):
        text, = TableGenerator(TypedMoments).Build()
    assert text.splitlines()[1:-1] == lines
