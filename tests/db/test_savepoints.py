"""transaction() blocks inside one another on the same thread: the outermost
begins and commits (or rolls back) as it always did, each inner one is a
savepoint that a raising block rolls back to while the outer block goes on."""

import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB


class Failed(Exception):
    pass


class RecordingCursor:
    def __init__(self, cursor, seen):
        self._cursor = cursor
        self._seen = seen

    def execute(self, text, args=None):
        self._seen.append(text)
        return self._cursor.execute(text) if args is None else self._cursor.execute(text, args)

    def __getattr__(self, name):
        return getattr(self._cursor, name)


class RecordingConnection:
    """Notes every statement text and every begin(), commit() and rollback()."""

    def __init__(self, con, seen):
        self._con = con
        self._seen = seen
        if hasattr(con, "begin"):
            self.begin = self._noted("begin")

    def _noted(self, name):
        def call():
            self._seen.append(f"{name}()")
            return getattr(self._con, name)()
        return call

    def cursor(self, *args):
        return RecordingCursor(self._con.cursor(*args), self._seen)

    def commit(self):
        return self._noted("commit")()

    def rollback(self):
        return self._noted("rollback")()

    def __getattr__(self, name):
        return getattr(self._con, name)


class RecordingSqlite(Sqlite3Connector):
    seen = None

    def connect(self):
        return RecordingConnection(super().connect(), self.seen)


class RecordingMysql(MysqlConnector):
    seen = None

    def connect(self):
        return RecordingConnection(super().connect(), self.seen)


@pytest.fixture(params=["sqlite", "mariadb"])
def db(request, install, tmp_path):
    """(statements seen, raw connection factory, BEGIN as seen) with a table t(k primary key)."""
    seen = []
    if request.param == "sqlite":
        path = str(tmp_path / "savepoints.db")
        connector = RecordingSqlite(path)
        raw = lambda: sqlite3.connect(path)  # noqa: E731
        begin = "BEGIN IMMEDIATE"  # the connector's default transactionMode
    else:
        params = request.getfixturevalue("mariadb_clean")
        connector = RecordingMysql(**params)
        raw = lambda: pymysql.connect(**params)  # noqa: E731
        begin = "begin()"
    connector.seen = seen
    install(connector)
    DB.getInstance().executeSql("CREATE TABLE t (k INTEGER PRIMARY KEY) ENGINE=InnoDB"
                                if request.param == "mariadb" else "CREATE TABLE t (k INTEGER PRIMARY KEY)")
    seen.clear()
    return seen, raw, begin


def insert(k, con=None):
    DB.getInstance().executeSql("INSERT INTO t VALUES (%s)", (k,), con=con)


def committed(raw):
    con = raw()
    try:
        cur = con.cursor()
        cur.execute("SELECT k FROM t ORDER BY k")
        return [row[0] for row in cur.fetchall()]
    finally:
        con.close()


def statements(seen):
    """What was sent, the INSERTs shown by their value."""
    return [text.replace("INSERT INTO t VALUES ", "INSERT ") for text in seen]


def insert_text(seen):
    return next(t for t in seen if t.startswith("INSERT")).replace("INSERT INTO t VALUES ", "INSERT ")


def test_inner_block_raises_and_the_outer_commits_its_own_rows(db):
    seen, raw, begin = db
    handle = DB.getInstance()
    with handle.transaction() as outer:
        insert(1, outer)
        with pytest.raises(Failed):
            with handle.transaction() as inner:
                assert inner is outer
                insert(2, inner)
                raise Failed
        insert(3, outer)
    assert committed(raw) == [1, 3]
    ins = insert_text(seen)
    assert statements(seen) == [begin, ins, "SAVEPOINT sp_1", ins, "ROLLBACK TO SAVEPOINT sp_1",
                                "RELEASE SAVEPOINT sp_1", ins, "commit()"]


def test_inner_block_ends_normally_and_everything_commits(db):
    seen, raw, begin = db
    handle = DB.getInstance()
    with handle.transaction() as outer:
        insert(1, outer)
        with handle.transaction() as inner:
            insert(2, inner)
        assert committed(raw) == []
    assert committed(raw) == [1, 2]
    ins = insert_text(seen)
    assert statements(seen) == [begin, ins, "SAVEPOINT sp_1", ins, "RELEASE SAVEPOINT sp_1", "commit()"]


def test_outer_block_raises_after_the_inner_one_ended(db):
    seen, raw, begin = db
    handle = DB.getInstance()
    with pytest.raises(Failed):
        with handle.transaction() as outer:
            insert(1, outer)
            with handle.transaction():
                insert(2)
            raise Failed
    assert committed(raw) == []
    assert statements(seen)[-2:] == ["RELEASE SAVEPOINT sp_1", "rollback()"]


def test_three_levels(db):
    seen, raw, begin = db
    handle = DB.getInstance()
    with handle.transaction():
        insert(1)
        with handle.transaction():
            insert(2)
            with pytest.raises(Failed):
                with handle.transaction():
                    insert(3)
                    raise Failed
            with handle.transaction():
                insert(4)
        insert(5)
    assert committed(raw) == [1, 2, 4, 5]
    ins = insert_text(seen)
    assert statements(seen) == [
        begin, ins, "SAVEPOINT sp_1", ins,
        "SAVEPOINT sp_2", ins, "ROLLBACK TO SAVEPOINT sp_2", "RELEASE SAVEPOINT sp_2",
        "SAVEPOINT sp_2", ins, "RELEASE SAVEPOINT sp_2",
        "RELEASE SAVEPOINT sp_1", ins, "commit()"]


def test_an_outermost_block_alone_sends_what_it_always_did(db):
    seen, raw, begin = db
    handle = DB.getInstance()
    with handle.transaction():
        insert(1)
    with pytest.raises(Failed):
        with handle.transaction():
            insert(2)
            raise Failed
    ins = insert_text(seen)
    assert statements(seen) == [begin, ins, "commit()", begin, ins, "rollback()"]
    assert committed(raw) == [1]


def test_savepoints_through_executors(install, tmp_path):
    """The executors' related-row writes inside an inner block go with it."""
    from Tessary.Model.DataModel import DataModel
    from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

    class SpOwner(DataModel):
        tableName = "sp_owner"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(20)
        items = ForeignKey(ForeignType.ONE_TO_MANY, "SpItem", bindCol="id", targetBindCol="owner_id")

    class SpItem(DataModel):
        tableName = "sp_item"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        owner_id = IntegerProperty(nullable=True)
        label = VarcharProperty(20)

    install(Sqlite3Connector(str(tmp_path / "executors.db")))
    handle = DB.getInstance()
    handle.createTables(SpOwner, SpItem)
    with handle.transaction() as con:
        SpOwner.getExecutor(con).save(SpOwner(name="kept", items=[SpItem(label="a")]))
        try:
            with handle.transaction() as inner:
                SpOwner.getExecutor(inner).save(SpOwner(name="dropped", items=[SpItem(label="b")]))
                raise Failed
        except Failed:
            pass
    assert [o.name for o in SpOwner.getExecutor().findAllBy()] == ["kept"]
    assert [i.label for i in SpItem.getExecutor().findAllBy()] == ["a"]
