"""Models v1 -> v2 -> v1 through migration files on a database holding rows:
every value kept where the schema keeps its column, the schema equal to the
models' at each stage, and files applied on an empty database equal to the
tables createTables makes."""

import os

import pytest
from migration_support import drop_every_table

from Tessary.DB.DB import DB
from Tessary.Error.MigrateError import DestructiveChangeError
from Tessary.Ext.Migrate import apply, inspect, make, rollback
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement, ForeignKey, ForeignType, Index, IntegerProperty, TextProperty, VarcharProperty,
)


class RtAuthor1(DataModel):
    tableName = "rt_author"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64)
    bio = TextProperty(nullable=True)


class RtBook1(DataModel):
    tableName = "rt_book"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    title = VarcharProperty(100)
    pages = IntegerProperty(nullable=True)
    author_id = IntegerProperty(nullable=True)


class RtAuthor2(DataModel):
    """bio dropped, email added with a default, name unique and email indexed."""
    tableName = "rt_author"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64, unique=True)
    email = VarcharProperty(128, default="", index=True)
    books = ForeignKey(ForeignType.ONE_TO_MANY, "RtBook2", bindCol="id", targetBindCol="author_id",
                       constraint=True, onDelete="CASCADE")


class RtBook2(DataModel):
    """title renamed by declaration, pages NOT NULL, author_id a foreign-key constraint."""
    tableName = "rt_book"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    headline = VarcharProperty(100, renamedFrom="title")
    pages = IntegerProperty()
    author_id = IntegerProperty(nullable=True)
    indexes = (Index("rt_book_by_author", "author_id", "headline"),)


V1 = [RtAuthor1, RtBook1]
V2 = [RtAuthor2, RtBook2]
BOOKS = [(1, "Tides", 100, 1), (2, "Stones", 200, 2), (3, "Orphans", 300, None)]


@pytest.fixture(autouse=True)
def emptied_after(db):
    yield
    drop_every_table(db)


def check(*models):
    return DB.getInstance().checkSchema(*models)


def test_models_v1_to_v2_and_back_keep_the_rows(db, tmp_path):
    folder = str(tmp_path / "migrations")
    handle = DB.getInstance()
    handle.createTables(*V1)
    made_by_create_tables = inspect()
    drop_every_table(db)

    make("first", V1, folder)
    assert apply(folder) == ["0001"]
    assert inspect() == made_by_create_tables and check(*V1) == []
    db.insert("rt_author", ["id", "name", "bio"], [(1, "ann", "poet"), (2, "bob", None)])
    db.insert("rt_book", ["id", "title", "pages", "author_id"], BOOKS)

    path = make("second", V2, folder)
    text = open(path).read()
    for step in ("renameColumn", "addColumn", "dropColumn", "alterColumn", "createIndex", "addForeignKey"):
        assert f"op.{step}(" in text, step
    with pytest.raises(DestructiveChangeError, match="bio"):
        apply(folder)
    assert check(*V1) == []  # refused before any statement ran
    assert apply(folder, allowDestructive=True) == ["0002"]
    assert check(*V2) == []
    assert db.rows("SELECT id, name, email FROM rt_author ORDER BY id") == [(1, "ann", ""), (2, "bob", "")]
    assert db.rows("SELECT id, headline, pages, author_id FROM rt_book ORDER BY id") == BOOKS
    assert make("nothing", V2, folder) is None

    assert rollback(folder, allowDestructive=True) == ["0002"]
    assert check(*V1) == []
    assert db.rows("SELECT id, name, bio FROM rt_author ORDER BY id") == [(1, "ann", None), (2, "bob", None)]
    assert db.rows("SELECT id, title, pages, author_id FROM rt_book ORDER BY id") == BOOKS
    assert sorted(os.listdir(folder)) == ["0001_first.py", "0002_second.py"]

    drop_every_table(db)
    assert apply(folder, allowDestructive=True) == ["0001", "0002"]
    applied_on_empty = inspect()
    drop_every_table(db)
    DB.getInstance().createTables(*V2)
    assert inspect() == applied_on_empty
