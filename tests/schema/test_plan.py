"""The statements of each step (plan()), run on SQLite and MariaDB: the
schema inspect() reads afterwards, SQLite's table rebuild (rows, indexes and
triggers kept, foreign keys checked), the refusal of destructive steps, and
the `op` object's argument checks."""

import pytest

from Tessary.DB.DB import DB
from Tessary.Error.MigrateError import DestructiveChangeError, MigrationError
from Tessary.Ext.Migrate import Column, Key, Operations, Reference, Table, inspect, plan


def run(db, operations, **options):
    """Runs a plan as the migration runner does: the foreign-key pragmas
    around a transaction holding the statements, where a foreign_key_check
    row fails (and rolls back) the whole."""
    handle = DB.getInstance()
    statements = plan(operations, **options)
    switches = [s for s in statements if s[0].startswith("PRAGMA foreign_keys =")]
    if switches:
        handle.executeSql(*switches[0])
    try:
        with db.connector.transaction():
            for sql, args in statements:
                if (sql, args) in switches:
                    continue
                rows = handle.executeSql(sql, args)
                if sql == "PRAGMA foreign_key_check" and rows:
                    raise MigrationError(f"foreign keys fail: {rows}")
    finally:
        if switches:
            handle.executeSql(*switches[-1])
    return statements


def key_type(db):
    return "INTEGER" if db.is_sqlite else "INT"


def person(db, *extra, keys=(), references=(), name="person"):
    return Table(name, [Column("id", key_type(db), nullable=False, autoIncrement=True),
                        Column("name", "VARCHAR(20)", nullable=False),
                        Column("age", "INT"), *extra],
                 primaryKey=["id"], keys=list(keys), references=list(references))


def ops(*steps):
    op = Operations()
    for step in steps:
        step(op)
    return op


def fill(db, table="person"):
    db.insert(table, ["name", "age"], [("ann", 31), ("bob", None), ("cy", 7)])


def rows(db, table="person"):
    return db.rows(f"SELECT id, name, age FROM `{table}` ORDER BY id")


def test_create_alter_and_drop_steps_leave_the_schema_inspect_reads(db):
    created = person(db, keys=[Key("ix_person_age", ["age"]),
                               Key("uq_person_name", ["name"], unique=True, constraint=True)])
    run(db, ops(lambda op: op.createTable(created)))
    assert inspect() == {"person": created}

    nick = Column("nick", "VARCHAR(10)")
    wider = Column("name", "VARCHAR(40)", nullable=False)
    run(db, ops(lambda op: op.addColumn("person", nick),
                lambda op: op.alterColumn("person", wider, before=created.columns[1]),
                lambda op: op.renameColumn("person", "nick", "handle"),
                lambda op: op.dropIndex("person", Key("ix_person_age", ["age"])),
                lambda op: op.createIndex("person", Key("ix_person_name_age", ["name", "age"], unique=True)),
                lambda op: op.renameTable("person", "people")))
    expected = Table("people", [created.columns[0], wider, created.columns[2], Column("handle", "VARCHAR(10)")],
                     primaryKey=["id"],
                     keys=[Key("ix_person_name_age", ["name", "age"], unique=True),
                           Key("uq_person_name", ["name"], unique=True, constraint=True)])
    assert inspect() == {"people": expected}

    run(db, ops(lambda op: op.dropColumn("people", Column("handle", "VARCHAR(10)")),
                lambda op: op.dropTable(expected)), allowDestructive=True)
    assert inspect() == {}


def test_a_rebuild_keeps_every_row_its_indexes_and_triggers(db):
    created = person(db, keys=[Key("ix_person_age", ["age"])])
    run(db, ops(lambda op: op.createTable(created)))
    fill(db)
    if db.is_sqlite:
        db.raw.execute("CREATE TABLE audit (name TEXT)")
        db.raw.execute("CREATE TRIGGER person_audit AFTER INSERT ON person BEGIN "
                       "INSERT INTO audit VALUES (new.name); END")
        db.raw.commit()
    before = rows(db)

    grown = Column("age", "BIGINT", default="0")
    wider = Column("name", "VARCHAR(40)", nullable=False)
    statements = run(db, ops(lambda op: op.alterColumn("person", grown, before=created.columns[2]),
                             lambda op: op.alterColumn("person", wider, before=created.columns[1])))

    assert rows(db) == before
    assert inspect()["person"] == Table("person", [created.columns[0], wider, grown], primaryKey=["id"],
                                        keys=created.keys)
    if db.is_sqlite:
        texts = [sql for sql, _ in statements]
        assert texts[0] == "PRAGMA foreign_keys = OFF" and texts[-1] == "PRAGMA foreign_keys = ON"
        assert sum(sql.startswith("CREATE TABLE `_tessary_new_person`") for sql in texts) == 1  # one rebuild
        db.insert("person", ["name", "age"], [("dee", 1)])
        assert db.rows("SELECT name FROM audit") == [("dee",)]
        db.raw.execute("DROP TABLE audit")
        db.raw.commit()


def test_a_foreign_key_added_over_rows_that_break_it_fails(db):
    run(db, ops(lambda op: op.createTable(person(db))))
    fill(db)
    pet = Table("pet", [Column("id", key_type(db), nullable=False, autoIncrement=True),
                        Column("owner", "INT")], primaryKey=["id"])
    run(db, ops(lambda op: op.createTable(pet)))
    db.insert("pet", ["owner"], [(1,), (99,)])
    owner = Reference("fk_pet_owner", ["owner"], "person", ["id"], onDelete="CASCADE")
    with pytest.raises(Exception) as failure:
        run(db, ops(lambda op: op.addForeignKey("pet", owner)))
    assert isinstance(failure.value, MigrationError) or not db.is_sqlite

    db.rows("DELETE FROM pet WHERE owner = 99")
    run(db, ops(lambda op: op.addForeignKey("pet", owner)))
    assert inspect()["pet"].references == (owner,) or list(inspect()["pet"].references) == [owner]
    if db.is_sqlite:
        db.raw.execute("PRAGMA foreign_keys = ON")
    db.rows("DELETE FROM person WHERE id = 1")
    assert db.rows("SELECT COUNT(*) FROM pet") == [(0,)]

    run(db, ops(lambda op: op.dropForeignKey("pet", owner)))
    assert inspect()["pet"] == pet  # MariaDB's index for the key gone with it


def test_destructive_steps_are_refused_by_name_and_nothing_runs(db):
    run(db, ops(lambda op: op.createTable(person(db, Column("nick", "VARCHAR(10)")))))
    fill(db)
    db.insert("person", ["name"], [("eve",), ("fay",)])
    was = inspect()
    age = Column("age", "INT", nullable=False, default="0")
    steps = ops(lambda op: op.addColumn("person", Column("email", "VARCHAR(30)")),
                lambda op: op.dropColumn("person", Column("nick", "VARCHAR(10)")),
                lambda op: op.alterColumn("person", age, before=Column("age", "INT")))

    with pytest.raises(DestructiveChangeError) as refused:
        plan(steps)
    assert str(refused.value) == ("refusing destructive steps (allowDestructive=True to run them): "
                                  "drop column person.nick; NOT NULL on person.age, which holds 3 NULLs")
    assert inspect() == was

    run(db, steps, allowDestructive=True)
    assert db.rows("SELECT name, age FROM person ORDER BY id") == [
        ("ann", 31), ("bob", 0), ("cy", 7), ("eve", 0), ("fay", 0)]
    assert [c.name for c in inspect()["person"].columns] == ["id", "name", "age", "email"]


def test_a_data_step_carries_its_values_as_arguments(db):
    run(db, ops(lambda op: op.createTable(person(db))))
    fill(db)
    steps = ops(lambda op: op.execute("UPDATE person SET age = %s WHERE age IS NULL", (40,)),
                lambda op: op.execute("DELETE FROM person WHERE name = %s", ["cy"]))
    assert plan(steps) == [("UPDATE person SET age = %s WHERE age IS NULL", (40,)),
                           ("DELETE FROM person WHERE name = %s", ("cy",))]
    run(db, steps)
    assert db.rows("SELECT name, age FROM person ORDER BY id") == [("ann", 31), ("bob", 40)]


def test_odd_names_stay_inside_their_quotes_and_backticks_are_refused(db):
    odd = Table("we'ird; name", [Column("id", key_type(db), nullable=False, autoIncrement=True),
                                 Column("a\"b", "INT")], primaryKey=["id"])
    run(db, ops(lambda op: op.createTable(odd)))
    assert inspect() == {"we'ird; name": odd}
    run(db, ops(lambda op: op.dropTable(odd)), allowDestructive=True)

    op = Operations()
    for step in (lambda: op.renameTable("person", "x`; DROP TABLE y"),
                 lambda: op.renameColumn("person", "a", "b\0c"),
                 lambda: op.addColumn("bad`name", Column("a", "INT"))):
        with pytest.raises(ValueError):
            step()
    assert op.operations == []


def test_the_op_object_checks_its_arguments():
    op = Operations()
    with pytest.raises(TypeError):
        op.addColumn(1, Column("a", "INT"))
    with pytest.raises(TypeError):
        op.addColumn("t", "a INT")
    with pytest.raises(TypeError, match="before"):
        op.alterColumn("t", Column("a", "INT"))
    with pytest.raises(ValueError):
        op.alterColumn("t", Column("a", "INT"), before=Column("b", "INT"))
    with pytest.raises(TypeError):
        op.execute("DELETE FROM t", 5)
    with pytest.raises(TypeError):
        Operations(1)
    with pytest.raises(TypeError):
        plan([1])
    assert op.operations == []

    bare = Operations.__new__(Operations)
    assert bare.addColumn("t", Column("a", "INT")) is None
    [step] = bare.operations
    assert (step.kind, step.table, step.destructive) == ("addColumn", "t", False)
