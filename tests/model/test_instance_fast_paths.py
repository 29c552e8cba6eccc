"""Instances made by keywords, mappings and rows take shortcuts when the
names given are the model's own column-name objects and when no column
converts; everything else must come out as it did through the general
path: equal names that are other objects, str subclasses, unknown keys,
columns converted by Python code, rows of the wrong length, rows that are
lists, and classes that change or are replaced at the same address."""

import gc
import sys
from pathlib import Path

import pytest

from Tessary.Model.DataModel import DataModel, ModelInstance, ModelMeta
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    BooleanProperty,
    IntegerProperty,
    JsonProperty,
    TextProperty,
    VarcharProperty,
)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "reliability"))
from reliability_support import installed, make_backend  # noqa: E402


class Shout(TextProperty):
    """A column whose driver values are converted by Python code."""

    def fromDBValue(self, value):
        return None if value is None else value.upper()


class Plain(DataModel):
    tableName = "fast_plain"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(20, nullable=True)
    age = IntegerProperty(nullable=True)


class Mixed(DataModel):
    tableName = "fast_mixed"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    flag = BooleanProperty(nullable=True)
    word = Shout(nullable=True)
    data = JsonProperty(nullable=True)


class Text(str):
    pass


def runtime(text):
    """`text` as a str made at run time: equal to the literal, another object."""
    made = "".join(list(text))
    assert made == text and made is not sys.intern(text)
    return made


def column_name(model, name):
    return next(col.name for col in model.col if col.name == name)


# --- keywords and mappings -----------------------------------------------------------

BY_NAME = {
    "keywords": lambda model, values: model(**values),
    "mapping": lambda model, values: model(values),
    "class call": lambda model, values: ModelMeta.__call__(model, **values),
}


@pytest.mark.parametrize("make", list(BY_NAME.values()), ids=list(BY_NAME))
@pytest.mark.parametrize("key", [lambda k: k, runtime, Text], ids=["interned", "equal", "str subclass"])
def test_a_column_named_by_any_equal_str_is_converted_and_keyed_by_the_column(make, key):
    made = make(Mixed, {key("flag"): 1, key("word"): "quiet"})
    assert type(made) is ModelInstance and made.object is Mixed
    assert made == {"flag": True, "word": "QUIET"}
    for name in made:
        assert type(name) is str and name is column_name(Mixed, name)


@pytest.mark.parametrize("make", list(BY_NAME.values()), ids=list(BY_NAME))
@pytest.mark.parametrize("key", [lambda k: k, runtime, Text], ids=["interned", "equal", "str subclass"])
def test_a_json_column_keeps_the_key_and_the_value_given(make, key):
    given = key("data")
    made = make(Mixed, {given: '{"a": 1}'})
    assert made == {"data": '{"a": 1}'}
    assert next(iter(made)) is given


@pytest.mark.parametrize("make", list(BY_NAME.values()), ids=list(BY_NAME))
def test_unknown_keys_are_kept_as_given_between_columns(make):
    odd = Text("extra")
    made = make(Mixed, {"word": "a", odd: "1", "flag": 0, runtime("zzz"): 1, "id": 5})
    assert list(made) == ["word", "extra", "flag", "zzz", "id"]
    assert made == {"word": "A", "extra": "1", "flag": False, "zzz": 1, "id": 5}
    assert type(list(made)[1]) is Text


@pytest.mark.parametrize("order", [
    ("id", "name", "age"), ("age", "name", "id"), ("name", "age"), ("age",), ("id", "age", "name"),
], ids=lambda order: ",".join(order))
def test_keys_keep_the_order_given(order):
    values = {name: (7 if name != "name" else "x") for name in order}
    made = Plain(**values)
    assert list(made) == list(order) and made == values


def test_a_key_whose_comparison_raises_propagates():
    class Hostile(str):
        def __hash__(self):
            return hash(str(self))

        def __eq__(self, other):
            raise RuntimeError("no comparing")

    with pytest.raises(RuntimeError, match="no comparing"):
        Plain(**{Hostile("name"): 1})


# --- rows --------------------------------------------------------------------------

@pytest.mark.parametrize("row", [(1, "ann", 30), [1, "ann", 30]], ids=["tuple", "list"])
def test_rows_of_a_model_whose_columns_store_as_they_come(row):
    made = Plain(row)
    assert made == {"id": 1, "name": "ann", "age": 30} and list(made) == ["id", "name", "age"]
    assert all(name is column_name(Plain, name) for name in made)


@pytest.mark.parametrize("row", [(1, 1, "low", '{"a": [1]}'), [1, 1, "low", '{"a": [1]}']], ids=["tuple", "list"])
def test_rows_of_a_model_with_converters(row):
    assert Mixed(row) == {"id": 1, "flag": True, "word": "LOW", "data": {"a": [1]}}


@pytest.mark.parametrize("model, row", [
    (Plain, (1, "a")), (Plain, [1, "a", 2, 3]), (Plain, ()), (Mixed, (1, 1, "x")), (Mixed, [1] * 5),
], ids=["plain short", "plain long list", "plain empty", "mixed short", "mixed long list"])
def test_a_row_of_the_wrong_length(model, row):
    with pytest.raises(ValueError) as err:
        model(row)
    assert str(err.value) == (f"{model.__qualname__}(row): the row has {len(row)} values, "
                              f"the model has {len(model.col)} columns")


def test_a_converter_that_raises_leaves_no_instance():
    class Failing(TextProperty):
        def fromDBValue(self, value):
            raise LookupError(value)

    class Broken(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        word = Failing()

    with pytest.raises(LookupError, match="bad"):
        Broken((1, "bad"))


# --- the model's data, looked up once per class ---------------------------------------

def test_a_class_declared_again_in_the_same_place_uses_its_own_columns():
    # Classes made and dropped in a loop may reuse one address: each call must
    # see the columns of the class it is given.
    for round_ in range(30):
        kind = BooleanProperty if round_ % 2 else IntegerProperty
        Again = ModelMeta("Again", (DataModel,), {"id": IntegerProperty(isPrimaryKey=True), "flag": kind()})
        expected = bool(round_ % 2) if kind is BooleanProperty else round_ % 2
        assert Again(flag=round_ % 2)["flag"] == expected and type(Again(flag=round_ % 2)["flag"]) is type(expected)
        assert Again((1, round_ % 2))["flag"] == expected
        del Again
        gc.collect()


def test_a_class_whose_model_data_is_removed_or_replaced_refuses_to_make_instances():
    class Gone(DataModel):
        id = IntegerProperty(isPrimaryKey=True)

    assert Gone(id=1) == {"id": 1}
    info = Gone.__tessary_model__
    del Gone.__tessary_model__
    with pytest.raises(TypeError, match="was not set up as a model class"):
        Gone(id=1)
    Gone.__tessary_model__ = "not the model's data"
    with pytest.raises(TypeError, match="was not set up as a model class"):
        Gone((1,))
    Gone.__tessary_model__ = info
    assert Gone(id=2) == {"id": 2}


def test_a_subclass_and_its_base_alternate():
    class Base(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        on = IntegerProperty()

    class Sub(Base):
        on = BooleanProperty()

    for _ in range(3):
        assert Base(on=1)["on"] == 1 and type(Base(on=1)["on"]) is int
        assert Sub(on=1)["on"] is True and Sub((1, 0))["on"] is False


# --- rows from the databases ----------------------------------------------------------

@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def store(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(Plain, Mixed)
            yield current
        finally:
            current.close()


def done(store, result):
    return store.run(result) if store.is_async else result


def test_rows_read_back_through_both_paths(store):
    for name, age in [("ann", 30), ("bob", None), ("", 0)]:
        done(store, Plain.getExecutor().save(Plain(name=name, age=age)))
    for flag, word, data in [(True, "low", {"a": [1, None]}), (None, "up", None), (False, "", "text")]:
        done(store, Mixed.getExecutor().save(Mixed(flag=flag, word=word, data=data)))
    plain = done(store, Plain.getExecutor().findAllBy())
    mixed = done(store, Mixed.getExecutor().findAllBy())
    assert plain == [{"id": 1, "name": "ann", "age": 30}, {"id": 2, "name": "bob", "age": None},
                     {"id": 3, "name": "", "age": 0}]
    assert mixed == [{"id": 1, "flag": True, "word": "LOW", "data": {"a": [1, None]}},
                     {"id": 2, "flag": None, "word": "UP", "data": None},
                     {"id": 3, "flag": False, "word": "", "data": "text"}]
    assert all(type(made) is ModelInstance and made.object is Plain for made in plain)
    assert [type(made["flag"]) for made in mixed] == [bool, type(None), bool]
