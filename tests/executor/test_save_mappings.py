"""save() on the mappings it accepts: exact dicts and instances are read with
the dict's own operations; subclasses are read through their overrides."""

import pytest

from Tessary.Model.DataModel import DataModel, ModelInstance
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty


@pytest.fixture
def empty(backend, models):
    backend.create(models.User)
    return models.User


def test_plain_dict_skips_none_and_gets_its_key(empty, backend, statements):
    row = {"name": "eve", "age": None, "active": True}
    saved = empty.getExecutor().save(row)
    assert saved is row and row["id"] == 1
    assert statements[-1][1] == ("eve", 1)
    assert backend.rows("SELECT name, age FROM ex_user") == [("eve", None)]


def test_mapping_subclass_is_read_through_its_overrides(empty, backend, statements):
    class Supplied(dict):
        def __contains__(self, key):
            return key == "name" or super().__contains__(key)

        def __getitem__(self, key):
            return "supplied" if key == "name" else super().__getitem__(key)

    row = Supplied(age=5)
    empty.getExecutor().save(row)
    assert statements[-1][1] == ("supplied", 5)
    assert backend.rows("SELECT name, age FROM ex_user") == [("supplied", 5)]


def test_instance_subclass_missing_key_is_honoured(empty, backend):
    class WithDefault(ModelInstance):
        def __missing__(self, key):
            return 99

    row = WithDefault(name="kim")
    saved = empty.getExecutor().save(row)
    # The primary key reads as 99 through __missing__: a key the row already
    # carries is never replaced by the generated one.
    assert saved is row and "id" not in row
    assert backend.rows("SELECT id, name FROM ex_user") == [(1, "kim")]


class Shouting(VarcharProperty):
    def insertCell(self, value):
        return super().insertCell(value.upper())


class Plain(VarcharProperty):
    pass


def whispering_column():
    column = Plain(64, nullable=True)
    column.insertCell = lambda value: VarcharProperty.insertCell(column, value.lower())
    return column


@pytest.mark.parametrize("make_column, stored", [
    (lambda: VarcharProperty(64, nullable=True), "Eve"),
    (lambda: Plain(64, nullable=True), "Eve"),
    (lambda: Shouting(64, nullable=True), "EVE"),
    (whispering_column, "eve"),
], ids=["exact", "subclass", "override", "instance-attribute"])
def test_save_takes_each_column_cell_from_its_insertCell(backend, make_column, stored):
    class Named(DataModel):
        tableName = "ex_named"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = make_column()

    backend.create(Named)
    Named.getExecutor().save(Named(name="Eve"))
    assert backend.rows("SELECT name FROM ex_named") == [(stored,)]
