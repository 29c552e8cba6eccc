"""inspect() reads a live schema; modelSchema() writes the schema the models
ask for. Tables made from models must inspect equal to those models' schema
on every database, whatever the column types and defaults."""

import datetime
import decimal
import enum
import uuid

import pytest
from handle_support import installed

from Tessary.DB.DB import DB
from Tessary.DB.Generator import CustomColAnnounce
from Tessary.Ext.Migrate import Column, Key, Reference, Table, inspect, modelSchema
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement, BigIntegerProperty, BooleanProperty, BytesProperty, DateProperty, DateTimeProperty,
    DecimalProperty, EnumProperty, FloatProperty, ForeignKey, ForeignType, Index, IntegerProperty, JsonProperty,
    TextProperty, UuidProperty, VarcharProperty,
)


class EveryType(DataModel):
    tableName = "insp_every_type"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    count = IntegerProperty(default=5)
    debt = IntegerProperty(default=-3, nullable=True)
    big = BigIntegerProperty(nullable=True)
    ratio = FloatProperty(default=1.5)
    price = DecimalProperty(10, 2, default=decimal.Decimal("1.5"))
    wide = DecimalProperty(20, 4, nullable=True)
    name = VarcharProperty(64, default="bo'b")
    body = TextProperty(nullable=True)
    active = BooleanProperty(default=True)
    hidden = BooleanProperty(default=False, nullable=True)
    stamp = DateTimeProperty(default=datetime.datetime(2024, 1, 2, 3, 4, 5))
    made = DateTimeProperty(default=CustomColAnnounce("CURRENT_TIMESTAMP"))
    day = DateProperty(default=datetime.date(2024, 1, 2))
    blob = BytesProperty(nullable=True)
    doc = JsonProperty(nullable=True)
    data = JsonProperty(default={"a": [1, 2]})
    greeting = VarcharProperty(16, default="héllo")
    quarter = FloatProperty(default=0.25, nullable=True)
    loss = DecimalProperty(6, 3, default=decimal.Decimal("-2"))


class BigKey(DataModel):
    tableName = "insp_big_key"
    id = BigIntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    code = VarcharProperty(8)


class TextKey(DataModel):
    tableName = "insp_text_key"
    code = VarcharProperty(16, isPrimaryKey=True)
    label = VarcharProperty(32, nullable=True, default="none")


class Shelf(DataModel):
    tableName = "insp_shelf"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    books = ForeignKey(ForeignType.MANY_TO_MANY, "Book", bindCol="id", targetBindCol="id", constraint=True)


class Book(DataModel):
    tableName = "insp_book"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)


class Owner(DataModel):
    tableName = "insp_owner"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    code = VarcharProperty(8, unique=True)
    pets = ForeignKey(ForeignType.ONE_TO_MANY, "Pet", bindCol="id", targetBindCol="owner_id", constraint=True,
                      onDelete="CASCADE")


class Pet(DataModel):
    tableName = "insp_pet"
    indexes = (Index("insp_pet_pair", "owner_id", "name", unique=True),)
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    owner_id = IntegerProperty(nullable=True, index=True)
    name = VarcharProperty(20)


class Mood(enum.Enum):
    GLAD = "glad"
    CROSS = "cross"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class Tagged(DataModel):
    tableName = "insp_tagged"
    id = UuidProperty(isPrimaryKey=True)
    mood = EnumProperty(Mood, default=Mood.GLAD)
    level = EnumProperty(Level, nullable=True, default=Level.HIGH)
    wide = EnumProperty(Mood, 20, nullable=True)
    ref = UuidProperty(default=uuid.UUID(int=7))


def drop(db, *tables):
    for table in tables:
        DB.getInstance().executeSql(f"DROP TABLE IF EXISTS {table}")


@pytest.mark.parametrize("model", [EveryType, BigKey, TextKey], ids=lambda m: m.tableName)
def test_tables_made_from_models_inspect_as_the_models_ask(db, model):
    DB.getInstance().createTables(model)
    try:
        live = inspect()
        wanted = modelSchema(model)
        assert list(wanted) == [model.tableName]
        assert live[model.tableName] == wanted[model.tableName], (
            f"\nlive:   {live[model.tableName]!r}\nwanted: {wanted[model.tableName]!r}")
    finally:
        drop(db, model.tableName)


def test_enum_and_uuid_columns_inspect_as_their_model_asks(db):
    DB.getInstance().createTables(Tagged)
    try:
        wanted = modelSchema(Tagged)["insp_tagged"]
        assert [c.type for c in wanted.columns] == ["VARCHAR(36)", "VARCHAR(5)", "INT", "VARCHAR(20)", "VARCHAR(36)"]
        assert inspect()["insp_tagged"] == wanted
    finally:
        drop(db, "insp_tagged")


def test_an_empty_database_has_no_tables(db):
    assert inspect() == {}
    assert inspect(db.connector) == {}


def test_the_migration_record_and_the_engine_tables_are_left_out(db):
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE tessary_migrations (id INT)")
    handle.executeSql("CREATE TABLE insp_b (id INT)")
    handle.executeSql("CREATE TABLE insp_a (id INT)")
    try:
        if db.is_sqlite:  # sqlite_sequence comes with AUTOINCREMENT
            handle.executeSql("CREATE TABLE insp_c (id INTEGER PRIMARY KEY AUTOINCREMENT)")
        schema = inspect()
        assert list(schema)[:2] == ["insp_a", "insp_b"]
        assert "tessary_migrations" not in schema and not any(n.startswith("sqlite_") for n in schema)
        assert schema["insp_a"] == Table("insp_a", [Column("id", "INT")])
    finally:
        drop(db, "tessary_migrations", "insp_a", "insp_b", "insp_c")


def test_keys_and_references_written_by_hand_are_read_back(db):
    handle = DB.getInstance()
    handle.executeSql("CREATE TABLE insp_owner (id INT NOT NULL, code VARCHAR(8) NOT NULL, "
                      "CONSTRAINT insp_owner_pk PRIMARY KEY (id))")
    handle.executeSql(
        "CREATE TABLE insp_pet (id INT NOT NULL, owner_id INT NULL, name VARCHAR(20) NOT NULL, "
        "tag VARCHAR(8) NULL, CONSTRAINT insp_pet_pk PRIMARY KEY (id), "
        "CONSTRAINT uq_insp_pet_tag UNIQUE (tag), "
        "CONSTRAINT fk_insp_pet_owner_id FOREIGN KEY (owner_id) REFERENCES insp_owner (id) ON DELETE CASCADE)")
    handle.executeSql("CREATE INDEX ix_insp_pet_name ON insp_pet (name)")
    handle.executeSql("CREATE UNIQUE INDEX insp_pet_pair ON insp_pet (owner_id, name)")
    try:
        pet = inspect()["insp_pet"]
        assert pet.primaryKey == ("id",)
        assert pet.keys == (
            Key("insp_pet_pair", ["owner_id", "name"], unique=True),
            Key("ix_insp_pet_name", ["name"]),
            Key("uq_insp_pet_tag", ["tag"], unique=True, constraint=True),
        )
        assert pet.references == (
            Reference("fk_insp_pet_owner_id", ["owner_id"], "insp_owner", ["id"], onDelete="CASCADE"),)
    finally:
        drop(db, "insp_pet", "insp_owner")


def test_declared_keys_and_references_match_the_tables_they_describe(db):
    handle = DB.getInstance()
    key = "INTEGER" if db.is_sqlite else "INT NOT NULL AUTO_INCREMENT"
    handle.executeSql(f"CREATE TABLE insp_owner (id {key}, code VARCHAR(8) NOT NULL, "
                      "constraint insp_owner_pk PRIMARY KEY (id), constraint uq_insp_owner_code UNIQUE (code))")
    handle.executeSql(f"CREATE TABLE insp_pet (id {key}, owner_id INT NULL, name VARCHAR(20) NOT NULL, "
                      "constraint insp_pet_pk PRIMARY KEY (id), constraint fk_insp_pet_owner_id FOREIGN KEY "
                      "(owner_id) REFERENCES insp_owner (id) ON DELETE CASCADE)")
    handle.executeSql("CREATE INDEX ix_insp_pet_owner_id ON insp_pet (owner_id)")
    handle.executeSql("CREATE UNIQUE INDEX insp_pet_pair ON insp_pet (owner_id, name)")
    try:
        wanted = modelSchema(Pet, Owner)
        assert list(wanted) == ["insp_owner", "insp_pet"]  # the referenced table first
        assert inspect() == wanted
    finally:
        drop(db, "insp_pet", "insp_owner")


def test_tables_made_with_their_keys_and_references_inspect_as_declared(db):
    DB.getInstance().createTables(Pet, Owner)
    try:
        assert inspect() == modelSchema(Owner, Pet)
    finally:
        drop(db, "insp_pet", "insp_owner")


def test_model_schema_adds_the_junction_of_a_many_to_many_relation(db):
    schema = modelSchema(Shelf, Book)
    junction = Shelf.books.middleModel
    assert list(schema) == ["insp_shelf", "insp_book", junction.tableName]
    assert modelSchema(Shelf, Book, junction) == schema
    DB.getInstance().createTables(Shelf, Book, junction)
    try:
        assert inspect() == {name: schema[name] for name in sorted(schema)}
    finally:
        drop(db, *reversed(list(schema)))


def test_model_schema_refuses_what_is_not_a_model(db):
    with pytest.raises(TypeError, match="argument 2 must be a model class"):
        modelSchema(Book, int)
    with pytest.raises(TypeError, match="unexpected keyword argument 'conn'"):
        modelSchema(Book, conn=None)
    with pytest.raises(TypeError, match="'connector' must be a connector or None, not int"):
        modelSchema(Book, connector=5)
    with pytest.raises(TypeError, match="'connector' must be a connector or None, not str"):
        inspect("blog.db")


def test_the_coroutine_path_reads_the_same_schema(backend):
    backend.create(EveryType)
    try:
        live = backend.run(inspect())
        wanted = backend.run(modelSchema(EveryType))
        assert live == wanted
        assert inspect(backend.sync_connector) == live  # a synchronous connector answers at once
    finally:
        with installed(backend.sync_connector) as handle:
            handle.executeSql("DROP TABLE insp_every_type")


# -- the schema objects ---------------------------------------------------------------------------

SAMPLES = [
    Column("age", "INT", nullable=False, default="0"),
    Column("id", "INTEGER", nullable=False, autoIncrement=True),
    Column("name", "VARCHAR(20)", default="'it''s'"),
    Key("ix_user_age", ["age"]),
    Key("uq_user_name", ["name"], unique=True, constraint=True),
    Reference("fk_post_user_id", ["user_id"], "user", ["id"], onDelete="SET NULL"),
    Reference("", ["a", "b"], "other", ["x", "y"]),
    Table("user", [Column("id", "INT", nullable=False), Column("name", "TEXT")], primaryKey=["id"],
          keys=[Key("ix_user_name", ["name"])], references=[Reference("fk", ["name"], "t", ["n"])]),
]


@pytest.mark.parametrize("obj", SAMPLES, ids=repr)
def test_a_repr_rebuilds_the_object(obj):
    names = {"Column": Column, "Key": Key, "Reference": Reference, "Table": Table}
    again = eval(repr(obj), names)
    assert again == obj and repr(again) == repr(obj)


def test_reprs_are_the_constructor_calls():
    assert repr(SAMPLES[0]) == "Column('age', 'INT', nullable=False, default='0')"
    assert repr(Key("k", ("a",))) == "Key('k', ['a'])"
    assert repr(Table("t", [Column("a", "INT")])) == "Table('t', [Column('a', 'INT')])"
    assert repr(SAMPLES[5]) == "Reference('fk_post_user_id', ['user_id'], 'user', ['id'], onDelete='SET NULL')"


def test_attributes_are_read_only_and_compare_by_value():
    table = SAMPLES[-1]
    assert table.columns[1] == Column("name", "TEXT") and table.columns[1] != Column("name", "TEXT", nullable=False)
    assert table.keys[0].columns == ("name",) and table.references[0].refColumns == ("n",)
    assert Key("a", ["x"]) != Key("b", ["x"])
    with pytest.raises(AttributeError):
        table.name = "other"
    with pytest.raises(TypeError):
        hash(table)


@pytest.mark.parametrize("make, error, text", [
    (lambda: Column(1, "INT"), TypeError, "Column name must be a str"),
    (lambda: Column("", "INT"), ValueError, "Column name must not be empty"),
    (lambda: Column("a", "INT", True), TypeError, "positional"),
    (lambda: Column("a", "INT", default=0), TypeError, "default"),
    (lambda: Key("k", "abc"), TypeError, "list or tuple of str"),
    (lambda: Key("k", []), ValueError, "at least one column"),
    (lambda: Key("k", ["a"], constraint=True), ValueError, "unique=True"),
    (lambda: Reference("r", ["a"], "t", ["x", "y"]), ValueError, "1 columns reference 2"),
    (lambda: Reference("r", ["a"], "t", ["x"], onDelete="DROP"), ValueError, "onDelete must be one of"),
    (lambda: Table("t", []), ValueError, "at least one column"),
    (lambda: Table("t", [Key("k", ["a"])]), TypeError, "Column objects"),
    (lambda: Table("t", [Column("a", "INT")], primaryKey=["b"]), ValueError, "'b'"),
    (lambda: Table("t", [Column("a", "INT"), Column("a", "TEXT")]), ValueError, "given twice"),
])
def test_constructors_check_their_arguments(make, error, text):
    with pytest.raises(error, match=text):
        make()


@pytest.mark.parametrize("kind", [Column, Key, Reference, Table])
def test_an_object_never_initialised_is_refused_not_crashed(kind):
    bare = kind.__new__(kind)
    with pytest.raises(RuntimeError, match="not initialised"):
        repr(bare)
    with pytest.raises(RuntimeError, match="not initialised"):
        bare.name
    with pytest.raises(RuntimeError, match="not initialised"):
        Table("t", [bare]) if kind is Column else bare == bare
