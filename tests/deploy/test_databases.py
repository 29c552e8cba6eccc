"""Several databases in one process: a MariaDB and a SQLite database side by
side, one the handle's connector and the other registered as "cache" (each
way round, synchronous and asyncio). Models that name `database = "cache"`
go to the registered one, the others to the handle's; a statement given a
connection is written in that connection's SQL."""

import asyncio
import logging
import sqlite3

import pytest

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Ext.Folio import Folio
from Tessary.Ext.Seeder import GeneratorRunner, create_task
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from backend_support import Backend


class DbAuthor(DataModel):
    tableName = "db_author"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(32, nullable=True)
    books = ForeignKey(ForeignType.ONE_TO_MANY, "DbBook", bindCol="id", targetBindCol="author_id")


class DbBook(DataModel):
    tableName = "db_book"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    author_id = IntegerProperty(nullable=True)
    title = VarcharProperty(32, nullable=True)


class DbTag(DataModel):
    database = "cache"
    tableName = "db_tag"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    label = VarcharProperty(32, nullable=True)
    notes = ForeignKey(ForeignType.ONE_TO_MANY, "DbNote", bindCol="id", targetBindCol="tag_id")


class DbNote(DataModel):
    database = "cache"
    tableName = "db_note"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    tag_id = IntegerProperty(nullable=True)
    body = VarcharProperty(32, nullable=True)


class DbStray(DataModel):
    """On the handle's database, related to a model of the cache."""
    tableName = "db_stray"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    tag_id = IntegerProperty(nullable=True)
    tag = ForeignKey(ForeignType.ONE_TO_ONE, "DbTag", bindCol="tag_id", targetBindCol="id")


class DbMisnamed(DataModel):
    database = 5
    tableName = "db_misnamed"
    id = IntegerProperty(isPrimaryKey=True)


OPPOSITE = {"sqlite": "mariadb", "mariadb": "sqlite", "aiosqlite": "aiomysql", "aiomysql": "aiosqlite"}


def other_database(name, request, tmp_path, loop):
    """A database of engine `name` whose coroutine connector (if any) runs on `loop`."""
    if "sqlite" in name:
        path = str(tmp_path / "cache.db")
        aio = AioSqliteConnector(path) if loop else None
        return Backend(name, lambda: sqlite3.connect(path), Sqlite3Connector(path), aio, loop)
    import pymysql
    params = request.getfixturevalue("mariadb_clean")
    aio = AioMysqlConnector(**params) if loop else None
    return Backend(name, lambda: pymysql.connect(**params), MysqlConnector(**params), aio, loop)


@pytest.fixture
def cache(backend, request, tmp_path):
    """The other engine, of the same kind as the handle's connector, registered as "cache"."""
    other = other_database(OPPOSITE[backend.name], request, tmp_path, backend.loop)
    handle = DB.getInstance()
    handle.register("cache", other.connector)
    try:
        yield other
    finally:
        handle.register("cache", None)
        other.raw.close()
        other.sync_connector.close()
        if other.is_async:
            backend.loop.run_until_complete(other.connector.close())


def table_names(side):
    if side.is_sqlite:
        return {name for (name,) in side.rows("SELECT name FROM sqlite_master WHERE type = 'table'")}
    return {name for (name,) in side.rows("SHOW TABLES")}


@pytest.fixture
def tables(backend, cache):
    backend.run(DB.getInstance().createTables(DbTag, DbAuthor, DbNote, DbBook))
    return backend, cache


class Statements(logging.Handler):
    """The driver texts of the statement log."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.sql = []

    def emit(self, record):
        self.sql.append(record.sql)


@pytest.fixture
def statements():
    logger = logging.getLogger("Tessary.sql")
    saved = logger.level
    kept = Statements()
    logger.addHandler(kept)
    logger.setLevel(logging.DEBUG)
    yield kept.sql
    logger.removeHandler(kept)
    logger.setLevel(saved)


def test_create_tables_puts_each_model_on_its_database(tables):
    backend, cache = tables
    assert {"db_author", "db_book"} <= table_names(backend) and not {"db_tag", "db_note"} & table_names(backend)
    assert {"db_tag", "db_note"} <= table_names(cache) and not {"db_author", "db_book"} & table_names(cache)
    handle = DB.getInstance()
    assert handle.connectorFor(DbTag) is handle.connectorFor("cache") is cache.connector
    assert handle.connectorFor(DbAuthor(name="x")) is handle.connector is backend.connector
    for model, side in ((DbTag, cache), (DbAuthor, backend)):
        assert ("AUTO_INCREMENT" in TableGenerator(model).Build()[0]) is not side.is_sqlite


def test_check_schema_compares_the_models_with_their_own_database(tables):
    backend, _ = tables
    handle = DB.getInstance()
    assert backend.run(handle.checkSchema(DbTag, DbNote)) == []
    assert backend.run(handle.checkSchema(DbAuthor, DbBook)) == []
    with pytest.raises(ValueError, match="one database"):
        handle.checkSchema(DbAuthor, DbTag)


def streamed(side, stream):
    if not side.is_async:
        with stream:
            return list(stream)

    async def read():
        return [row async for row in stream]

    return side.loop.run_until_complete(read())


def test_models_read_and_write_their_own_database(tables):
    backend, cache = tables
    run = backend.run
    kind = AsyncModelExecutor if backend.is_async else ModelExecutor
    assert type(DbTag.getExecutor()) is kind and type(DbAuthor.getExecutor()) is kind
    run(DbAuthor.getExecutor().save(DbAuthor(name="ann", books=[DbBook(title="b1")])))
    run(DbTag.getExecutor().save(DbTag(label="red", notes=[DbNote(body="n1"), DbNote(body="n2")])))
    run(DbTag.getExecutor().save(DbTag(label="blue")))
    assert cache.rows("SELECT label FROM db_tag ORDER BY id") == [("red",), ("blue",)]
    assert cache.rows("SELECT tag_id, body FROM db_note ORDER BY id") == [(1, "n1"), (1, "n2")]
    assert backend.rows("SELECT author_id, title FROM db_book") == [(1, "b1")]

    red = run(DbTag.getExecutor().findOneBy(DbTag.label == "red"))
    loaded = run(DbTag.getExecutor().findForeignKey(red, deep=True))
    assert sorted(note["body"] for note in loaded["notes"]) == ["n1", "n2"]
    run(DbTag.getExecutor().update(DbTag(id=2, label="green")))
    run(DbNote.getExecutor().delete(DbNote(id=2, tag_id=1, body="n2")))
    assert cache.rows("SELECT label FROM db_tag ORDER BY id") == [("red",), ("green",)]
    assert cache.rows("SELECT body FROM db_note") == [("n1",)]

    run(DbTag.getExecutor().saveAll([DbTag(label="s1"), DbTag(label="s2", notes=[DbNote(body="n3")])]))
    assert run(DbNote.getExecutor().count()) == 2 and run(DbTag.getExecutor().count()) == 4
    assert [tag["label"] for tag in streamed(backend, DbTag.getExecutor().iterAllBy(batchSize=2))] == \
        ["red", "green", "s1", "s2"]
    run(DbTag.getExecutor().deleteWhere(DbTag.label.In(["s1", "s2"])))

    page = run(Folio(DbTag, 1, 1).orderBy(DbTag.id).execute())
    assert [tag["label"] for tag in page.content] == ["red"] and page.total == 2
    authors = run(Folio(DbAuthor).findForeign().execute())
    assert [[book["title"] for book in a["books"]] for a in authors.content] == [["b1"]]
    run(DbTag.getExecutor().upsert([DbTag(id=1, label="red2"), DbTag(id=9, label="new")], [DbTag.id], [DbTag.label]))
    assert cache.rows("SELECT id, label FROM db_tag ORDER BY id") == [(1, "red2"), (2, "green"), (9, "new")]


def in_block(side, work):
    """work(con) inside a transaction block of the side's connector."""
    if not side.is_async:
        with side.connector.transaction() as con:
            return work(con)

    async def block():
        async with side.connector.transaction() as con:
            return await work(con)

    return side.loop.run_until_complete(block())


def test_get_executor_on_a_connection_of_the_other_connector_writes_its_sql(tables, statements):
    backend, cache = tables
    cache.create(DbAuthor)  # the handle's model, written into the cache's database too
    statements.clear()
    saved = in_block(cache, lambda con: DbAuthor.getExecutor(con).save(DbAuthor(name="bob")))
    assert saved["id"] == 1
    assert cache.rows("SELECT name FROM db_author") == [("bob",)]
    assert backend.rows("SELECT name FROM db_author") == []
    insert = next(sql for sql in statements if sql.startswith("INSERT INTO db_author"))
    if cache.is_sqlite:
        assert "?" in insert and "db_author.name" not in insert
    else:
        assert "%s" in insert and "db_author.name" in insert
    found = in_block(cache, lambda con: DbAuthor.getExecutor(con).findAllBy(DbAuthor.name == "bob"))
    assert [author["id"] for author in found] == [1]


def test_seeding_goes_to_each_models_database(tables):
    backend, cache = tables
    group = f"databases-seed-{backend.name}"  # the registry lives as long as the process
    create_task(lambda time: DbTag(label=f"t{time}"), DbTag, 2, group)
    create_task(lambda time: DbAuthor(name=f"a{time}"), DbAuthor, 1, group)
    GeneratorRunner(backend.loop).run_group(group)
    assert cache.rows("SELECT label FROM db_tag ORDER BY id") == [("t1",), ("t2",)]
    assert backend.rows("SELECT name FROM db_author") == [("a1",)]


def test_a_relation_across_databases_is_refused(tables):
    backend, cache = tables
    backend.create(DbStray)
    with pytest.raises(ValueError, match="different databases"):
        backend.run(DbStray.getExecutor().save(DbStray(tag=DbTag(label="x"))))
    assert cache.rows("SELECT count(*) FROM db_tag") == [(0,)]
    assert backend.rows("SELECT count(*) FROM db_stray") == [(0,)]  # the save was one transaction
    backend.insert("db_stray", ["tag_id"], [(1,)])
    stray = backend.run(DbStray.getExecutor().findOneBy(DbStray.tag_id == 1))
    with pytest.raises(ValueError, match="different databases"):
        backend.run(DbStray.getExecutor().findForeignKey(stray))
    with pytest.raises(ValueError, match="different databases"):
        backend.run(DbStray.getExecutor().delete(stray, cascade=True))
    assert backend.rows("SELECT count(*) FROM db_stray") == [(1,)]


def test_a_connection_of_no_known_connector_is_refused(db, request):
    if db.is_sqlite:
        import pymysql
        foreign = pymysql.connect(**request.getfixturevalue("mariadb_clean"))
    else:
        foreign = sqlite3.connect(":memory:")
    try:
        with pytest.raises(ValueError, match="belongs to no connector"):
            DbAuthor.getExecutor(foreign)
    finally:
        foreign.close()


def test_register_checks_its_arguments():
    handle = DB.getInstance()
    first, second = Sqlite3Connector(":memory:"), Sqlite3Connector(":memory:")
    with pytest.raises(TypeError):
        handle.register(1, first)
    with pytest.raises(ValueError):
        handle.register("", first)
    with pytest.raises(TypeError, match="register"):
        handle.register("cache", object())
    with pytest.raises(TypeError, match="not the class"):
        handle.register("cache", Sqlite3Connector)
    with pytest.raises(KeyError, match="cache"):
        handle.register("cache", None)
    with pytest.raises(KeyError, match="cache"):
        handle.connectorFor(DbTag)
    with pytest.raises(TypeError):
        handle.connectorFor(42)
    handle.register("cache", first)
    handle.register("cache", second)
    try:
        assert handle.connectorFor("cache") is second
        assert handle.connectorFor(DbTag(label="x")) is second
    finally:
        handle.register("cache", None)
    with pytest.raises(KeyError, match="cache"):
        DbTag.getExecutor()
    with pytest.raises(TypeError, match="database must be a str"):
        DbMisnamed.getExecutor()
