"""Model instances made from driver rows, mappings and keyword arguments."""

import copy
import datetime
import decimal
import gc
import pickle

import pytest

from model_fixtures import models  # noqa: F401  (fixture)

from Tessary.Model.DataModel import DataModel, InstanceList, ModelInstance
from Tessary.Model.ModelProperty import (
    BooleanProperty,
    BytesProperty,
    DateProperty,
    DateTimeProperty,
    DecimalProperty,
    FloatProperty,
    IntegerProperty,
    TextProperty,
)


def test_from_row(models):
    inst = models.User((1, "ann", 30))
    assert type(inst) is ModelInstance and inst == {"id": 1, "name": "ann", "age": 30}
    assert list(inst) == ["id", "name", "age"]
    assert inst.object is models.User
    assert models.User([1, "ann", 30]) == inst


@pytest.mark.parametrize("source", [{"name": "x", "extra": 1}, type("M", (), {
    "keys": lambda self: ["name", "extra"], "__getitem__": lambda self, k: {"name": "x", "extra": 1}[k]})()])
def test_from_mapping_keeps_exactly_its_keys(models, source):
    inst = models.User(source)
    assert inst == {"name": "x", "extra": 1} and inst.object is models.User


def test_from_keywords_and_empty(models):
    assert models.User(name="x") == {"name": "x"}
    empty = models.User()
    assert empty == {} and empty.object is models.User


@pytest.mark.parametrize("args, kwargs, error, message", [
    (((1, 2),), {}, ValueError, "the row has 2 values, the model has 3 columns"),
    (((1, 2, 3, 4),), {}, ValueError, "the row has 4 values"),
    (("abc",), {}, TypeError, "takes a row (a sequence of values) or a mapping, got str"),
    ((5,), {}, TypeError, "'int' object is not iterable"),
    (((1, 2, 3), (1, 2, 3)), {}, TypeError, "takes at most 1 positional argument (2 given)"),
    (((1, 2, 3),), {"x": 1}, TypeError, "not both"),
])
def test_bad_input(models, args, kwargs, error, message):
    with pytest.raises(error) as err:
        models.User(*args, **kwargs)
    assert message in str(err.value)


class Kinds(DataModel):
    i = IntegerProperty()
    f = FloatProperty()
    d = DecimalProperty(10, 2)
    b = BooleanProperty()
    dt = DateTimeProperty()
    da = DateProperty()
    by = BytesProperty()
    t = TextProperty()


@pytest.mark.parametrize("column, driver, python", [
    ("dt", "2024-01-02 03:04:05", datetime.datetime(2024, 1, 2, 3, 4, 5)),
    ("dt", "2024-01-02 03:04:05.250000", datetime.datetime(2024, 1, 2, 3, 4, 5, 250000)),
    ("dt", datetime.datetime(2024, 1, 2), datetime.datetime(2024, 1, 2)),
    ("dt", datetime.date(2024, 1, 2), datetime.datetime(2024, 1, 2)),
    ("da", "2024-01-02", datetime.date(2024, 1, 2)),
    ("da", "2024-01-02 00:00:00", datetime.date(2024, 1, 2)),
    ("da", datetime.datetime(2024, 1, 2, 5), datetime.date(2024, 1, 2)),
    ("d", "1.50", decimal.Decimal("1.50")),
    ("d", 0.1, decimal.Decimal("0.1")),
    ("d", 3, decimal.Decimal(3)),
    ("d", decimal.Decimal("2.5"), decimal.Decimal("2.5")),
    ("b", 1, True), ("b", 0, False), ("b", b"\x00", False), ("b", b"\x01", True), ("b", True, True),
    ("by", bytearray(b"ab"), b"ab"), ("by", memoryview(b"ab"), b"ab"), ("by", b"ab", b"ab"),
    ("i", 5, 5), ("f", 1.5, 1.5), ("t", "x", "x"),
])
def test_driver_value_conversion(column, driver, python):
    row = [None] * len(Kinds.col)
    row[[c.name for c in Kinds.col].index(column)] = driver
    value = Kinds(row)[column]
    assert value == python and type(value) is type(python)
    assert Kinds({column: driver})[column] == python


@pytest.mark.parametrize("column", [c.name for c in Kinds.col])
def test_none_stays_none(column):
    assert Kinds({column: None})[column] is None


def test_bad_driver_text_raises():
    with pytest.raises(ValueError):
        Kinds({"dt": "not a date"})


@pytest.mark.parametrize("prop, value, stored", [
    (DateTimeProperty(), datetime.datetime(2024, 1, 2, 3, 4, 5, 6), "2024-01-02 03:04:05.000006"),
    (DateTimeProperty(), datetime.date(2024, 1, 2), "2024-01-02 00:00:00"),
    (DateProperty(), datetime.datetime(2024, 1, 2, 3), "2024-01-02"),
    (DateProperty(), datetime.date(2024, 1, 2), "2024-01-02"),
    (DecimalProperty(), decimal.Decimal("1.10"), "1.10"),
    (BooleanProperty(), False, 0),
    (BytesProperty(), b"\x00", b"\x00"),
    (IntegerProperty(), None, None),
    (TextProperty(), datetime.time(1, 2), "01:02:00"),
])
def test_to_db_value(prop, value, stored):
    assert prop.toDBValue(value) == stored and type(prop.toDBValue(value)) is type(stored)


def test_insert_and_update_cells(models):
    name = models.User.name
    assert name.insertCell("x") == {"col": name, "value": "x"}
    assert name.updateCell(True) == {"name": "name", "value": 1}


def test_attribute_access(models):
    inst = models.User((1, "ann", 30))
    assert (inst.id, inst.name) == (1, "ann")
    assert inst.get("age") == 30 and callable(inst.keys)   # members come first
    inst.posts = []
    assert inst["posts"] == []
    del inst.posts
    assert "posts" not in inst
    with pytest.raises(AttributeError):
        inst.missing
    with pytest.raises(AttributeError):
        del inst.missing
    with pytest.raises(TypeError):
        inst.object = 3
    inst["keys"] = 1
    assert callable(inst.keys)


def test_instance_made_directly_and_subclassed():
    inst = ModelInstance(a=1)
    assert inst.a == 1 and inst.object is None

    class Mine(ModelInstance):
        pass

    mine = Mine(b=2)
    mine.c = 3
    assert mine == {"b": 2, "c": 3}


def test_copy_and_pickle_keep_model(models):
    inst = models.User((1, "ann", 30))
    for other in (copy.copy(inst), inst.copy()):
        assert other == inst and other is not inst and other.object is models.User


def test_pickle_round_trip():
    inst = Kinds({"i": 1})
    back = pickle.loads(pickle.dumps(inst))
    assert back == inst and back.object is Kinds and type(back) is ModelInstance


def test_instance_list():
    items = InstanceList()
    assert items == [] and isinstance(items, list)
    items.append(Kinds({"i": 1}))
    assert len(items) == 1 and type(InstanceList([1])) is InstanceList


def test_python_subclass_conversions():
    class Upper(TextProperty):
        def toDBValue(self, value):
            return value.upper()

        def fromDBValue(self, value):
            return value.lower()

    class Word(DataModel):
        w = Upper()

    assert Word(("ABC",)) == {"w": "abc"} and Word({"w": "ABC"}) == {"w": "abc"}
    assert Word.w.insertCell("x") == {"col": Word.w, "value": "X"}
    assert (Word.w == "x").next.value == "X"


def test_models_and_instances_are_collected():
    import weakref

    from Tessary.Model.DataModel import _models
    from Tessary.Model.ModelProperty import ForeignKey

    def declare():
        class Temp(DataModel):
            id = IntegerProperty(isPrimaryKey=True)
            others = ForeignKey(2, "TempFar", "id", "id")

        class TempFar(DataModel):
            id = IntegerProperty(isPrimaryKey=True)

        inst = Temp((1,))
        junction = Temp.others.middleModel
        assert TempFar.temp.target is junction and inst.object is Temp
        return [weakref.ref(c) for c in (Temp, TempFar, junction)]

    refs = [r for _ in range(3) for r in declare()]
    gc.collect()
    assert all(r() is None for r in refs)

    class Next(DataModel):   # registering a model drops the registry's dead entries
        pass

    assert all(r() is not None for r in _models)
