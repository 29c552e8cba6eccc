"""diff() and checkSchema(): the operations between a live database and the
models, on SQLite and MariaDB. A database is built at one version of the
models (createTables, plus raw statements for what a model cannot ask for)
and compared with the next version."""

import pytest

from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Ext.Migrate import Operation, _inverse, diff
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (AutoIncrement, BigIntegerProperty, DecimalProperty, ForeignKey, ForeignType,
                                         IntegerProperty, TextProperty, VarcharProperty)


def model(table, renamedFrom=None, **columns):
    body = {"tableName": table, "id": IntegerProperty(isPrimaryKey=True, default=AutoIncrement), **columns}
    if renamedFrom:
        body["renamedFrom"] = renamedFrom
    return type(f"M_{table}", (DataModel,), body)


def build(db, *models, extra=()):
    """The database at one version: every table of earlier builds dropped, the
    models' tables created, then the raw statements of `extra`."""
    if not db.is_sqlite:
        db.rows("SET FOREIGN_KEY_CHECKS = 0")
    for (name,) in db.rows("SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'df%%'"
                           if db.is_sqlite else
                           "SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE()"):
        db.rows(f"DROP TABLE `{name}`")
    if not db.is_sqlite:
        db.rows("SET FOREIGN_KEY_CHECKS = 1")
    DB.getInstance().createTables(*models)
    for statement in extra:
        db.rows(statement)


def pet_referring_to_owner(pet):
    """df_pet's CREATE TABLE with a foreign key to df_owner, written by hand."""
    create_pet = TableGenerator(pet).Build()[0]
    return create_pet[:create_pet.rindex(")")] + (
        ", CONSTRAINT `fk_df_pet_owner_id` FOREIGN KEY (`owner_id`) REFERENCES `df_owner` (`id`) ON DELETE CASCADE)")


def kinds(ops):
    return [(op.kind, op.table) for op in ops]


def test_tables_and_columns_created_altered_and_dropped(db):
    build(db, model("df_author", name=VarcharProperty(32), nick=VarcharProperty(16, nullable=True)),
          model("df_shelf"))
    author = model("df_author", name=VarcharProperty(64), email=VarcharProperty(80, nullable=True))
    ops = diff(author, model("df_book", author_id=IntegerProperty()))
    assert kinds(ops) == [("createTable", "df_book"), ("addColumn", "df_author"), ("alterColumn", "df_author"),
                          ("dropColumn", "df_author"), ("dropTable", "df_shelf")]
    assert [op.destructive for op in ops] == [False, False, False, True, True]
    assert str(ops[2]) == "alter column df_author.name VARCHAR(32) NOT NULL -> VARCHAR(64) NOT NULL"
    assert str(ops[3]) == "drop column df_author.nick (destructive)"
    assert str(ops[4]) == "drop table df_shelf (destructive)"
    assert repr(ops[3]) == "op.dropColumn('df_author', Column('nick', 'VARCHAR(16)'))"
    assert ops == diff(author, model("df_book", author_id=IntegerProperty()))  # the same list, in the same order
    assert DB.getInstance().checkSchema(author, model("df_book", author_id=IntegerProperty())) == ops


def test_a_column_is_renamed_only_when_the_model_says_so(db):
    build(db, model("df_user", nick=VarcharProperty(16)))
    guessed = diff(model("df_user", handle=VarcharProperty(16)))
    assert kinds(guessed) == [("addColumn", "df_user"), ("dropColumn", "df_user")]
    declared = diff(model("df_user", handle=VarcharProperty(16, renamedFrom="nick")))
    assert [repr(op) for op in declared] == ["op.renameColumn('df_user', 'nick', 'handle')"]
    assert repr(_inverse(declared[0])) == "op.renameColumn('df_user', 'handle', 'nick')"


def test_a_table_is_renamed_only_when_the_model_says_so(db):
    build(db, model("df_person", name=VarcharProperty(16)))
    assert kinds(diff(model("df_member", name=VarcharProperty(16)))) == [("createTable", "df_member"),
                                                                         ("dropTable", "df_person")]
    ops = diff(model("df_member", renamedFrom="df_person", name=VarcharProperty(16), age=IntegerProperty(default=0)))
    assert kinds(ops) == [("renameTable", "df_member"), ("addColumn", "df_member")]
    assert repr(ops[0]) == "op.renameTable('df_person', 'df_member')"
    assert str(ops[1]) == "add column df_member.age INT NOT NULL DEFAULT 0"


def test_indexes_and_foreign_keys_the_models_lost_are_dropped_first(db):
    owner = model("df_owner", code=VarcharProperty(8))
    pet = model("df_pet", owner_id=IntegerProperty(), name=VarcharProperty(20))
    build(db, owner, extra=[pet_referring_to_owner(pet), "CREATE INDEX `ix_df_pet_name` ON `df_pet` (`name`, `owner_id`)"])
    ops = diff(owner, model("df_pet", owner_id=IntegerProperty(), name=VarcharProperty(20, index=True),
                            age=IntegerProperty(nullable=True)))
    # The index changed its columns: dropped, then made again once the columns are in place.
    assert kinds(ops) == [("dropForeignKey", "df_pet"), ("dropIndex", "df_pet"), ("addColumn", "df_pet"),
                          ("createIndex", "df_pet")]
    assert not any(op.destructive for op in ops)
    assert str(ops[1]) == "drop index df_pet.ix_df_pet_name (name, owner_id)"
    assert str(ops[3]) == "create index df_pet.ix_df_pet_name (name)"
    assert str(ops[0]).endswith("(owner_id) -> df_owner (id) ON DELETE CASCADE")
    assert [_inverse(op).kind for op in ops] == ["addForeignKey", "createIndex", "dropColumn", "dropIndex"]


def test_keys_and_foreign_keys_the_models_gain(db):
    build(db, model("df_owner", code=VarcharProperty(8)), model("df_pet", owner_id=IntegerProperty()))
    owner = model("df_owner", code=VarcharProperty(8, unique=True), pets=ForeignKey(
        ForeignType.ONE_TO_MANY, "M_df_pet", bindCol="id", targetBindCol="owner_id", constraint=True,
        onDelete="CASCADE"))
    pet = model("df_pet", owner_id=IntegerProperty(index=True))
    ops = diff(pet, owner)
    assert kinds(ops) == [("createIndex", "df_owner"), ("createIndex", "df_pet"), ("addForeignKey", "df_pet")]
    assert [str(op) for op in ops] == [
        "add unique key df_owner.uq_df_owner_code (code)",
        "create index df_pet.ix_df_pet_owner_id (owner_id)",
        "add foreign key df_pet.fk_df_pet_owner_id (owner_id) -> df_owner (id) ON DELETE CASCADE"]
    assert repr(ops[2]) == ("op.addForeignKey('df_pet', Reference('fk_df_pet_owner_id', ['owner_id'], 'df_owner', "
                            "['id'], onDelete='CASCADE'))")


def test_the_inverse_of_a_diff_is_the_diff_back(db):
    """What undoes the steps from version A to B is what the diff from B to A finds."""
    a = (model("df_a", name=VarcharProperty(16), gone=IntegerProperty(nullable=True)), model("df_b"))
    b = (model("df_a", name=VarcharProperty(40), added=BigIntegerProperty(default=7)), model("df_c"))
    build(db, *a)
    forth = diff(*b)
    build(db, *b)
    back = diff(*a)
    assert sorted(map(repr, map(_inverse, forth))) == sorted(map(repr, back))
    assert sorted(map(_inverse, forth), key=repr) == sorted(back, key=repr)
    assert all(_inverse(_inverse(op)) == op for op in forth)
    alter = next(op for op in forth if op.kind == "alterColumn")
    assert "before=" in repr(alter) and hash(alter) == hash(_inverse(_inverse(alter)))


@pytest.mark.parametrize("before, after, destructive", [
    (VarcharProperty(64), VarcharProperty(16), True),
    (VarcharProperty(16), VarcharProperty(64), False),
    (BigIntegerProperty(), IntegerProperty(), True),
    (IntegerProperty(), BigIntegerProperty(), False),
    (TextProperty(), VarcharProperty(64), True),
    (DecimalProperty(10, 2), DecimalProperty(8, 2), True),
    (DecimalProperty(8, 2), DecimalProperty(12, 4), False),
    (VarcharProperty(16), IntegerProperty(), True),
    (IntegerProperty(), IntegerProperty(nullable=True), False),
])
def test_a_narrower_type_is_destructive(db, before, after, destructive):
    build(db, model("df_value", v=before))
    (op,) = diff(model("df_value", v=after))
    assert (op.kind, op.destructive) == ("alterColumn", destructive)
    assert str(op).endswith(" (destructive)") == destructive


def test_check_schema_is_empty_once_the_tables_are_created(backend):
    models = (model("df_tag", label=VarcharProperty(24, nullable=True)),
              model("df_note", text=TextProperty(), tag_id=IntegerProperty(default=0)))
    handle = DB.getInstance()
    backend.run(handle.createTables(*models))
    assert backend.run(handle.checkSchema(*models)) == []
    grown = model("df_note", text=TextProperty(), tag_id=IntegerProperty(default=0), pinned=IntegerProperty(default=0))
    (step,) = backend.run(handle.checkSchema(models[0], grown))
    assert (step.kind, step.table, str(step)) == ("addColumn", "df_note", "add column df_note.pinned INT NOT NULL DEFAULT 0")
    assert backend.run(diff(*models, connector=backend.connector)) == []


def test_bad_arguments(db):
    handle = DB.getInstance()
    with pytest.raises(TypeError, match=r"^checkSchema\(\) argument 2 must be a model class, not int$"):
        handle.checkSchema(model("df_x"), 5)
    with pytest.raises(TypeError, match=r"^diff\(\) argument 1 must be a model class, not the class str$"):
        diff(str)
    with pytest.raises(TypeError, match="unexpected keyword argument 'strict'"):
        handle.checkSchema(strict=True)
    with pytest.raises(TypeError, match="unexpected keyword argument 'conector'"):
        diff(conector=None)
    with pytest.raises(TypeError, match="cannot create 'Tessary.Ext.Migrate.Operation' instances"):
        Operation()
    with pytest.raises(TypeError, match="^expected an Operation, got str$"):
        _inverse("op.dropTable('x')")


def test_tables_are_created_before_and_dropped_after_the_tables_they_refer_to(db):
    owner = model("df_owner", pets=ForeignKey(ForeignType.ONE_TO_MANY, "M_df_pet", bindCol="id",
                                              targetBindCol="owner_id", constraint=True))
    pet = model("df_pet", owner_id=IntegerProperty())
    build(db)
    created = [op.table for op in diff(pet, model("df_zoo"), owner)]
    assert sorted(created) == ["df_owner", "df_pet", "df_zoo"] and created.index("df_owner") < created.index("df_pet")
    build(db, owner, model("df_zoo"), extra=[pet_referring_to_owner(pet)])
    assert kinds(diff()) == [("dropTable", "df_pet"), ("dropTable", "df_owner"), ("dropTable", "df_zoo")]
