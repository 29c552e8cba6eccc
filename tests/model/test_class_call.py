"""Calling a model class: the fast call path gives what the metaclass call
gives, and a metaclass of the application's that replaces __call__ is
still the one called."""

import pytest

from model_fixtures import models  # noqa: F401  (fixture)
from Tessary.Model.DataModel import DataModel, ModelInstance, ModelMeta
from Tessary.Model.ModelProperty import BooleanProperty, IntegerProperty


@pytest.mark.parametrize("make, expected", [
    (lambda U: U(name="a", age=3), {"name": "a", "age": 3}),
    (lambda U: U(age=3, name="a"), {"age": 3, "name": "a"}),
    (lambda U: U((1, "a", 3)), {"id": 1, "name": "a", "age": 3}),
    (lambda U: U({"name": "x", "extra": 1}), {"name": "x", "extra": 1}),
    (lambda U: U(), {}),
])
def test_instances_from_every_form(models, make, expected):
    made = make(models.User)
    assert type(made) is ModelInstance and made.object is models.User
    assert made == expected and list(made) == list(expected)


def test_keyword_values_are_converted_like_row_values():
    class Flag(DataModel):
        tableName = "flag"
        id = IntegerProperty(isPrimaryKey=True)
        on = BooleanProperty()

    assert Flag(on=1)["on"] is True and Flag((1, 0))["on"] is False


@pytest.mark.parametrize("make, error", [
    (lambda U: U(1, 2), "takes at most 1 positional argument"),
    (lambda U: U((1,), name="x"), "not both"),
    (lambda U: U("text"), "got str"),
])
def test_wrong_calls(models, make, error):
    with pytest.raises(TypeError, match=error):
        make(models.User)


def test_a_metaclass_call_of_the_application_is_honoured():
    class Recording(ModelMeta):
        def __call__(cls, *args, **kwargs):
            return ("called", args, kwargs)

    class Item(DataModel, metaclass=Recording):
        tableName = "item"
        id = IntegerProperty(isPrimaryKey=True)

    assert Item(id=1) == ("called", (), {"id": 1})
    assert Item((1,)) == ("called", ((1,),), {})


def test_a_call_set_on_the_metaclass_later_is_honoured():
    class Late(ModelMeta):
        pass

    class Item(DataModel, metaclass=Late):
        tableName = "item"
        id = IntegerProperty(isPrimaryKey=True)

    assert Item(id=1) == {"id": 1}
    Late.__call__ = lambda cls, *args, **kwargs: ("late", args, kwargs)
    assert Item(id=1) == ("late", (), {"id": 1})
    assert Item((1,)) == ("late", ((1,),), {})
