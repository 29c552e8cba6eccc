"""Unique keys, indexes and foreign-key constraints declared on models: the
texts TableGenerator writes, the order createTables runs them in, and what
the databases then enforce."""

import copy
import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement, ForeignKey, ForeignType, Index, IntegerProperty, JsonProperty, VarcharProperty,
)

from handle_support import installed

INTEGRITY_ERRORS = (sqlite3.IntegrityError, pymysql.err.IntegrityError)


class Author(DataModel):
    tableName = "dcl_author"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    email = VarcharProperty(64, unique=True)
    surname = VarcharProperty(32, index=True)
    given = VarcharProperty(32)
    indexes = (Index("ix_dcl_author_name", surname, "given", unique=True),)
    books = ForeignKey(ForeignType.ONE_TO_MANY, "Book", "id", "author_id", constraint=True, onDelete="CASCADE")
    notes = ForeignKey(ForeignType.ONE_TO_MANY, "Note", "id", "author_id", constraint=True, onDelete="SET NULL")
    card = ForeignKey(ForeignType.ONE_TO_ONE, "Card", "id", "author_id", constraint=True)


class Book(DataModel):
    tableName = "dcl_book"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    author_id = IntegerProperty()
    title = VarcharProperty(32)
    shelves = ForeignKey(ForeignType.MANY_TO_MANY, "Shelf", "id", "id", constraint=True)


class Note(DataModel):
    tableName = "dcl_note"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    author_id = IntegerProperty(nullable=True)


class Card(DataModel):
    tableName = "dcl_card"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    author_id = IntegerProperty()
    # The key column is on this side whichever side declares the relation.
    owner = ForeignKey(ForeignType.ONE_TO_ONE, Author, "author_id", "id", constraint=True)


class Shelf(DataModel):
    tableName = "dcl_shelf"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)


BookShelf = Book.shelves.middleModel
ALL = (Author, Book, Note, Card, Shelf, BookShelf)


@pytest.fixture
def sqlite_handle():
    connector = Sqlite3Connector(":memory:")
    with installed(connector) as handle:
        yield handle
    connector.close()


def enforce_on_sqlite(db):
    # SQLite checks foreign keys only when a connection turns them on.
    if db.is_sqlite:
        DB.getInstance().executeSql("PRAGMA foreign_keys = ON")


def test_create_table_texts(sqlite_handle):
    assert TableGenerator(Author).Build()[0] == (
        "CREATE TABLE dcl_author( \n"
        "   `id` INTEGER,\n"
        "   `email` VARCHAR(64) NOT NULL ,\n"
        "   `surname` VARCHAR(32) NOT NULL ,\n"
        "   `given` VARCHAR(32) NOT NULL ,\n"
        "   constraint dcl_author_pk PRIMARY KEY (id),\n"
        "   constraint uq_dcl_author_email UNIQUE (email)\n"
        ") ;")
    assert TableGenerator(Author).BuildIndexes() == (
        "CREATE INDEX ix_dcl_author_surname ON dcl_author (surname) ;",
        "CREATE UNIQUE INDEX ix_dcl_author_name ON dcl_author (surname, given) ;",
    )
    assert TableGenerator(BookShelf).Build()[0] == (
        "CREATE TABLE dcl_book_dcl_shelf( \n"
        "   `dcl_book_id` INT NOT NULL ,\n"
        "   `dcl_shelf_id` INT NOT NULL ,\n"
        "   constraint fk_dcl_book_dcl_shelf_dcl_book_id FOREIGN KEY (dcl_book_id) REFERENCES dcl_book (id) "
        "ON DELETE CASCADE,\n"
        "   constraint fk_dcl_book_dcl_shelf_dcl_shelf_id FOREIGN KEY (dcl_shelf_id) REFERENCES dcl_shelf (id) "
        "ON DELETE CASCADE\n"
        ") ;")
    assert TableGenerator(Shelf).BuildIndexes() == ()


def test_constraints_land_in_the_table_of_the_key_column():
    assert Author.foreignKeyConstraints == ()
    assert Book.foreignKeyConstraints == (("fk_dcl_book_author_id", "author_id", "dcl_author", "id", "CASCADE"),)
    assert Note.foreignKeyConstraints == (("fk_dcl_note_author_id", "author_id", "dcl_author", "id", "SET NULL"),)
    # Declared on both sides, one constraint.
    assert Card.foreignKeyConstraints == (("fk_dcl_card_author_id", "author_id", "dcl_author", "id", "NO ACTION"),)
    assert [(fk.name, fk.constraint, fk.onDelete) for fk in BookShelf.fk] == [
        ("dcl_book", True, "CASCADE"), ("dcl_shelf", True, "CASCADE")]


def test_constraints_of_a_relation_declared_later():
    class Early(DataModel):
        tableName = "dcl_early"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        parent_id = IntegerProperty(nullable=True)

    assert Early.foreignKeyConstraints == ()

    class Late(DataModel):
        tableName = "dcl_late"
        code = VarcharProperty(8, unique=True)
        early = ForeignKey(ForeignType.ONE_TO_MANY, Early, "code", "parent_id", constraint=True)

    assert Early.foreignKeyConstraints == (("fk_dcl_early_parent_id", "parent_id", "dcl_late", "code", "NO ACTION"),)


def test_declarations_are_read_only_and_survive_copies():
    column = VarcharProperty(8, unique=True, index=1, renamedFrom="old")
    assert (column.unique, column.index, column.renamedFrom) == (True, True, "old")
    copied = copy.copy(column)
    assert (copied.unique, copied.index, copied.renamedFrom) == (True, True, "old")
    assert copy.copy(Author.email).unique is True and copy.copy(Author.surname).index is True
    assert JsonProperty(index=True).index is True and IntegerProperty().renamedFrom is None
    with pytest.raises(AttributeError):
        column.unique = False  # type: ignore[misc]
    assert Author.indexes[0].columns == ("surname", "given") and Shelf.indexes == ()
    assert repr(Author.indexes[0]) == "Index('ix_dcl_author_name', 'surname', 'given', unique=True)"


@pytest.mark.parametrize("make, error, message", [
    (lambda: IntegerProperty(renamedFrom=3), TypeError, "renamedFrom"),
    (lambda: Index("ix"), ValueError, "names no column"),
    (lambda: Index("", "a"), ValueError, "must not be empty"),
    (lambda: Index(3, "a"), TypeError, "name must be a str"),
    (lambda: Index("ix", 3), TypeError, "column 1 must be a column name"),
    (lambda: Index("ix", "a", uniq=True), TypeError, "unexpected keyword"),
    (lambda: ForeignKey(ForeignType.ONE_TO_MANY, "X", "id", "x_id", onDelete="CASCADE"), ValueError,
     "needs constraint=True"),
    (lambda: ForeignKey(ForeignType.ONE_TO_MANY, "X", "id", "x_id", constraint=True, onDelete="cascade"),
     ValueError, "'CASCADE', 'SET NULL', 'RESTRICT', 'NO ACTION'"),
    (lambda: ForeignKey(ForeignType.ONE_TO_MANY, "X", "id", "x_id", None, None, True), TypeError,
     "at most 6 positional"),
])
def test_wrong_declarations(make, error, message):
    with pytest.raises(error, match=message):
        make()


def declare(body):
    namespace = {"tableName": "dcl_wrong", "id": IntegerProperty(isPrimaryKey=True), **body}
    return type(DataModel)("Wrong", (DataModel,), namespace)


@pytest.mark.parametrize("body, error, message", [
    ({"indexes": (Index("ix_w", "nope"),)}, ValueError, "index 'ix_w' of .*names 'nope', which is not a column"),
    ({"indexes": (Index("ix_w", VarcharProperty()),)}, ValueError, "which is not a column"),
    ({"indexes": ("ix_w",)}, TypeError, "item 1 must be an Index"),
    ({"indexes": Index("ix_w", "id")}, TypeError, "must be a tuple or list of Index"),
    ({"indexes": [Index("ix_w", "id"), Index("ix_w", "id")]}, ValueError, "two indexes named 'ix_w'"),
    ({"indexes": IntegerProperty()}, ValueError, "'indexes' is reserved"),
])
def test_wrong_model_declarations(body, error, message):
    with pytest.raises(error, match=message):
        declare(body)


def test_a_constraint_must_reference_a_key():
    class Loose(DataModel):
        tableName = "dcl_loose"
        id = IntegerProperty(isPrimaryKey=True)
        ref = IntegerProperty()
        items = ForeignKey(ForeignType.ONE_TO_MANY, "LooseItem", "ref", "loose_ref", constraint=True)

    class LooseItem(DataModel):
        tableName = "dcl_loose_item"
        id = IntegerProperty(isPrimaryKey=True)
        loose_ref = IntegerProperty()

    with pytest.raises(ValueError, match="references .*Loose.ref, which is neither the primary key nor unique"):
        LooseItem.foreignKeyConstraints


def test_set_null_needs_a_nullable_key_column():
    class Kept(DataModel):
        tableName = "dcl_kept"
        id = IntegerProperty(isPrimaryKey=True)
        items = ForeignKey(ForeignType.ONE_TO_MANY, "KeptItem", "id", "kept_id", constraint=True,
                           onDelete="SET NULL")

    class KeptItem(DataModel):
        tableName = "dcl_kept_item"
        id = IntegerProperty(isPrimaryKey=True)
        kept_id = IntegerProperty()

    with pytest.raises(ValueError, match="SET NULL' needs the key column .*KeptItem.kept_id to be nullable"):
        KeptItem.foreignKeyConstraints


def test_unique_keys_and_foreign_keys_are_enforced(db):
    handle = DB.getInstance()
    handle.createTables(*ALL)
    enforce_on_sqlite(db)
    handle.executeSql("INSERT INTO dcl_author (email, surname, given) VALUES (%s, %s, %s)", ("a@x", "Ames", "Ann"))
    for sql, args in [
        ("INSERT INTO dcl_author (email, surname, given) VALUES (%s, %s, %s)", ("a@x", "Bo", "Bea")),  # uq_ email
        ("INSERT INTO dcl_author (email, surname, given) VALUES (%s, %s, %s)", ("b@x", "Ames", "Ann")),  # Index unique
        ("INSERT INTO dcl_book (author_id, title) VALUES (%s, %s)", (99, "orphan")),
        ("INSERT INTO dcl_book_dcl_shelf (dcl_book_id, dcl_shelf_id) VALUES (%s, %s)", (1, 1)),
    ]:
        with pytest.raises(INTEGRITY_ERRORS):
            handle.executeSql(sql, args)
    assert db.rows("SELECT COUNT(*) FROM dcl_author") == [(1,)]


def test_on_delete_actions(db):
    handle = DB.getInstance()
    handle.createTables(*ALL)
    enforce_on_sqlite(db)
    handle.executeSql("INSERT INTO dcl_author (id, email, surname, given) VALUES (1, 'a', 'A', 'a'), (2, 'b', 'B', 'b')")
    handle.executeSql("INSERT INTO dcl_book (id, author_id, title) VALUES (1, 1, 't'), (2, 2, 'u')")
    handle.executeSql("INSERT INTO dcl_note (id, author_id) VALUES (1, 1), (2, 2)")
    handle.executeSql("INSERT INTO dcl_card (id, author_id) VALUES (1, 2)")
    handle.executeSql("INSERT INTO dcl_shelf (id) VALUES (1)")
    handle.executeSql("INSERT INTO dcl_book_dcl_shelf VALUES (1, 1), (2, 1)")
    handle.executeSql("DELETE FROM dcl_author WHERE id = 1")
    assert db.rows("SELECT id FROM dcl_book") == [(2,)]
    assert db.rows("SELECT id, author_id FROM dcl_note ORDER BY id") == [(1, None), (2, 2)]
    assert db.rows("SELECT dcl_book_id FROM dcl_book_dcl_shelf") == [(2,)]  # cascaded from the book
    with pytest.raises(INTEGRITY_ERRORS):  # NO ACTION: the card still points at author 2
        handle.executeSql("DELETE FROM dcl_author WHERE id = 2")
    handle.executeSql("DELETE FROM dcl_shelf")
    assert db.rows("SELECT COUNT(*) FROM dcl_book_dcl_shelf") == [(0,)]


class Team(DataModel):
    tableName = "dcl_team"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    captain_id = IntegerProperty(nullable=True)
    players = ForeignKey(ForeignType.ONE_TO_MANY, "Player", "id", "team_id", constraint=True)


class Player(DataModel):
    tableName = "dcl_player"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    team_id = IntegerProperty(nullable=True)
    captains = ForeignKey(ForeignType.ONE_TO_MANY, Team, "id", "captain_id", constraint=True,
                          onDelete="SET NULL")


def constraint_names(db, table):
    if db.is_sqlite:
        return sorted(row[0] for row in db.rows('SELECT "from" FROM pragma_foreign_key_list(%s)', (table,)))
    rows = db.rows("SELECT column_name FROM information_schema.key_column_usage WHERE table_schema = DATABASE() "
                   "AND table_name = %s AND referenced_table_name IS NOT NULL", (table,))
    return sorted(row[0] for row in rows)


def test_create_tables_runs_in_dependency_order(backend):
    handle = DB.getInstance()
    # Given backwards: the junction and the books need the tables they reference first.
    backend.run(handle.createTables(BookShelf, Book, Shelf, Card, Note, Author))
    assert constraint_names(backend, "dcl_book_dcl_shelf") == ["dcl_book_id", "dcl_shelf_id"]
    assert constraint_names(backend, "dcl_book") == ["author_id"]
    # A cycle of constraints: on MariaDB one of them is added once both tables exist.
    backend.run(handle.createTables(Team, Player))
    assert constraint_names(backend, "dcl_team") == ["captain_id"]
    assert constraint_names(backend, "dcl_player") == ["team_id"]
    # Everything there already: tables, constraints and indexes are left alone.
    backend.run(handle.createTables(Player, Team, *ALL, ifNotExists=True))
    assert constraint_names(backend, "dcl_team") == ["captain_id"]


def test_the_constraint_a_cycle_defers_is_an_alter_table(sqlite_handle):
    create, alters = TableGenerator(Team)._buildDeferring(("fk_dcl_team_captain_id",))
    assert create == TableGenerator(Team).Build()[0].replace(
        ",\n   constraint fk_dcl_team_captain_id FOREIGN KEY (captain_id) REFERENCES dcl_player (id) "
        "ON DELETE SET NULL", "")
    assert alters == ("ALTER TABLE dcl_team ADD constraint fk_dcl_team_captain_id FOREIGN KEY (captain_id) "
                      "REFERENCES dcl_player (id) ON DELETE SET NULL ;",)


def test_a_default_of_none_is_null(db):
    class NoneDefault(DataModel):
        tableName = "dc_none_default"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(10)
        rank = IntegerProperty(nullable=True, default=None)

    DB.getInstance().createTables(NoneDefault)
    try:
        db.insert("dc_none_default", ["label"], [("a",)])
        assert db.rows("SELECT label, `rank` FROM dc_none_default") == [("a", None)]
        assert DB.getInstance().checkSchema(NoneDefault) == []
    finally:
        db.rows("DROP TABLE dc_none_default")
