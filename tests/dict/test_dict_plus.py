"""DictPlus: a dict whose keys read and write as attributes, the key winning
over a member of the same name."""

import gc
import pickle
import sys
import weakref

import pytest
from hypothesis import given, strategies as st

from Tessary.Ext.Dict import DictPlus


class Sub(DictPlus):
    __slots__ = ("__weakref__",)
    kind = "sub"

    def describe(self):
        return "described"


class CountingLookups(DictPlus):
    """Counts item lookups, and member lookups through a property."""
    __slots__ = ()
    lookups = 0
    property_reads = 0

    def __getitem__(self, key):
        type(self).lookups += 1
        return super().__getitem__(key)

    @property
    def missing_member(self):
        type(self).property_reads += 1
        raise AttributeError("missing_member")

    @property
    def broken_member(self):
        type(self).property_reads += 1
        raise ValueError("broken")


@pytest.fixture
def counting():
    CountingLookups.lookups = CountingLookups.property_reads = 0
    return CountingLookups(hit=1)


class StopEverything(BaseException):
    pass


# -- the class ---------------------------------------------------------------

def test_is_a_dict_without_instance_storage():
    d = DictPlus()
    assert isinstance(d, dict)
    assert DictPlus.__mro__ == (DictPlus, dict, object)
    assert DictPlus.__slots__ == ()
    assert not hasattr(d, "__dict__")
    assert DictPlus.__module__ == "Tessary.Ext.Dict"


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, {}),
    (({"a": 1},), {}, {"a": 1}),
    (([("a", 1), ("b", 2)],), {}, {"a": 1, "b": 2}),
    (({"a": 1},), {"b": 2}, {"a": 1, "b": 2}),
    ((), {"a": 1}, {"a": 1}),
])
def test_constructs_like_dict(args, kwargs, expected):
    d = DictPlus(*args, **kwargs)
    assert d == expected and type(d) is DictPlus
    assert repr(d) == repr(expected)


def test_dict_behaviour_is_inherited():
    d = DictPlus(a=1)
    d.update(b=2)
    assert list(d) == ["a", "b"] and len(d) == 2 and "a" in d
    assert d.get("c", 3) == 3 and list(d.items()) == [("a", 1), ("b", 2)]
    assert type(d.copy()) is dict and d.copy() == d
    assert d.pop("a") == 1 and d == {"b": 2}


# -- attribute read ------------------------------------------------------------

@pytest.mark.parametrize("value", [1, None, 0, "", False, [], DictPlus()])
def test_stored_value_is_a_hit_whatever_it_is(value):
    d = DictPlus(a=value)
    assert d.a is value
    assert getattr(d, "a", "default") is value
    assert hasattr(d, "a")


@pytest.mark.parametrize("name", ["items", "keys", "get", "update", "copy", "__class__", "__len__"])
def test_key_wins_over_member(name):
    d = DictPlus({name: 3})
    assert getattr(d, name) == 3
    assert type(d) is DictPlus and len(d) == 1


def test_key_named_items_shadows_the_method_only_as_attribute():
    d = DictPlus(items=3, other=4)
    assert d.items == 3
    with pytest.raises(TypeError, match="'int' object is not callable"):
        d.items()
    assert list(dict.items(d)) == [("items", 3), ("other", 4)]
    assert list(d) == ["items", "other"] and len(d) == 2


def test_members_are_found_when_no_key():
    d = Sub(a=1)
    assert d.kind == "sub" and d.describe() == "described"
    assert d.keys() == {"a": 1}.keys()
    d["kind"] = "key"
    assert d.kind == "key" and Sub.kind == "sub"


@pytest.mark.parametrize("cls, class_name", [(DictPlus, "Tessary.Ext.Dict.DictPlus"), (Sub, "Sub")])
def test_missing_name_is_the_interpreters_attribute_error(cls, class_name):
    d = cls(a=1)
    with pytest.raises(AttributeError) as caught:
        d.b
    assert str(caught.value) == f"'{class_name}' object has no attribute 'b'"
    assert type(caught.value.__context__) is KeyError
    assert caught.value.__context__.args == ("b",)
    assert not hasattr(d, "b")
    assert getattr(d, "b", "default") == "default"


def test_missing_name_tries_key_and_member_twice(counting):
    with pytest.raises(AttributeError):
        counting.missing_member
    assert (CountingLookups.lookups, CountingLookups.property_reads) == (2, 2)


def test_hit_looks_up_the_key_once(counting):
    assert counting.hit == 1
    assert (CountingLookups.lookups, CountingLookups.property_reads) == (1, 0)


def test_member_error_other_than_attribute_error_is_not_retried(counting):
    with pytest.raises(ValueError, match="broken") as caught:
        counting.broken_member
    assert type(caught.value.__context__) is KeyError
    assert (CountingLookups.lookups, CountingLookups.property_reads) == (1, 1)


class ValueErrorLookup(DictPlus):
    __slots__ = ()

    def __getitem__(self, key):
        raise ValueError(key)


class BaseExceptionLookup(DictPlus):
    __slots__ = ()

    def __getitem__(self, key):
        raise StopEverything(key)


class DefaultingLookup(DictPlus):
    __slots__ = ()

    def __missing__(self, key):
        return f"default {key}"


def test_item_lookup_exception_is_dropped_for_the_member():
    d = ValueErrorLookup(a=1)
    assert d.keys() == {"a": 1}.keys()
    with pytest.raises(AttributeError) as caught:
        d.a
    assert type(caught.value.__context__) is ValueError


def test_item_lookup_base_exception_propagates():
    d = BaseExceptionLookup()
    with pytest.raises(StopEverything):
        d.keys


def test_own_item_lookup_is_honoured_including_missing():
    d = DefaultingLookup(a=1)
    assert d.a == 1
    assert d.keys == "default keys"
    assert hasattr(d, "anything")


@pytest.mark.parametrize("hook", ["__getattribute__", "__getattr__"])
def test_read_hooks_called_explicitly(hook):
    method = getattr(DictPlus, hook)
    d = DictPlus(a=1)
    assert method(d, "a") == 1
    assert method(d, item="a") == 1
    assert method(d, "keys")() == d.keys()
    with pytest.raises(AttributeError, match="has no attribute 'b'"):
        method(d, "b")


@pytest.mark.parametrize("call, message", [
    (lambda d: DictPlus.__getattribute__(d), r"__getattribute__\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda d: DictPlus.__getattr__(d, "a", "b"), r"__getattr__\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda d: DictPlus.__getattr__(d, name="a"), r"__getattr__\(\) got an unexpected keyword argument 'name'"),
    (lambda d: DictPlus.__setattr__(d, "a"), r"__setattr__\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda d: DictPlus.__getattribute__(d, 1), "attribute name must be string, not 'int'"),
    (lambda d: DictPlus.__setattr__(d, 1, 2), "attribute name must be string, not 'int'"),
    (lambda d: getattr(d, 1), "attribute name must be string, not 'int'"),
])
def test_hook_argument_errors(call, message):
    d = DictPlus(a=1)
    with pytest.raises(TypeError, match=message):
        call(d)
    assert d == {"a": 1}


# -- attribute write ---------------------------------------------------------

def test_attribute_write_stores_the_key():
    d = DictPlus()
    d.x = 5
    setattr(d, "y", None)
    assert d == {"x": 5, "y": None} and d["x"] == 5


@pytest.mark.parametrize("name", ["update", "keys", "__class__", "__dict__", "__slots__", ""])
def test_write_never_changes_members(name):
    d = DictPlus()
    setattr(d, name, 3)
    assert d == {name: 3}
    assert getattr(d, name) == 3
    assert type(d) is DictPlus
    assert DictPlus.update is dict.update


def test_setattr_called_explicitly():
    d = DictPlus()
    assert DictPlus.__setattr__(d, "a", 1) is None
    assert DictPlus.__setattr__(d, key="b", value=2) is None
    assert d == {"a": 1, "b": 2}


def test_key_named_setitem_receives_the_write():
    calls = []
    d = DictPlus()
    d["__setitem__"] = lambda key, value: calls.append((key, value)) or "ignored"
    d.x = 1
    assert calls == [("x", 1)]
    assert list(d) == ["__setitem__"]


def test_key_named_setitem_not_callable_fails_the_write():
    d = DictPlus(__setitem__=3)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        d.x = 1
    assert d == {"__setitem__": 3}


class UpperSetitem(DictPlus):
    __slots__ = ()

    def __setitem__(self, key, value):
        super().__setitem__(key.upper(), value)


class RefusingSetitem(DictPlus):
    __slots__ = ()
    error = ValueError("refused")

    def __setitem__(self, key, value):
        raise self.error


def test_own_item_assignment_is_honoured():
    d = UpperSetitem()
    d.name = 1
    assert d == {"NAME": 1}


def test_item_assignment_error_reaches_the_caller_unchanged():
    d = RefusingSetitem()
    with pytest.raises(ValueError) as caught:
        d.x = 1
    assert caught.value is RefusingSetitem.error
    assert d == {}


# -- attribute deletion --------------------------------------------------------

@pytest.mark.parametrize("name", ["x", "keys", "absent"])
def test_attribute_deletion_fails_and_keeps_keys(name):
    d = DictPlus(x=1)
    with pytest.raises(AttributeError):
        delattr(d, name)
    assert d == {"x": 1}
    del d["x"]
    assert d == {}


# -- type-dispatched operations ignore same-named keys ----------------------

def test_special_method_keys_do_not_affect_type_dispatch():
    specials = ["__len__", "__iter__", "__contains__", "__getitem__", "__eq__", "__repr__", "__hash__"]
    d = DictPlus({name: (lambda *a: 0) for name in specials})
    d["k"] = "v"
    assert len(d) == len(specials) + 1
    assert list(d)[-1] == "k" and "k" in d and d["k"] == "v"
    assert d == dict(d) and d != {}
    assert repr(d).startswith("{'__len__': <function")
    with pytest.raises(TypeError, match="unhashable"):
        hash(d)


# -- subclassing and lifetime -----------------------------------------------

def test_python_subclass_attribute_writes_go_to_the_dict():
    class Page(DictPlus):
        def __init__(self, total):
            super().__init__()
            self.total = total
            self.pages = (total + 9) // 10

    page = Page(25)
    assert page == {"total": 25, "pages": 3}
    assert page.total == 25 and page["pages"] == 3
    assert vars(page) == {}  # a subclass without __slots__ gets storage it never uses
    assert isinstance(page, DictPlus)


def test_cycle_through_a_key_is_collected():
    d = Sub()
    d.self = d
    ref = weakref.ref(d)
    del d
    gc.collect()
    assert ref() is None


def test_pickle_round_trip_of_contents():
    # No design of its own: whatever pickling does, the contents survive.
    d = pickle.loads(pickle.dumps(DictPlus(a=1, b=[2])))
    assert d == {"a": 1, "b": [2]}


@given(st.dictionaries(st.text(max_size=12), st.integers() | st.none() | st.text(max_size=3)))
def test_every_string_key_round_trips_through_attributes(entries):
    d = DictPlus()
    for key, value in entries.items():
        setattr(d, key, value)
    assert d == entries
    for key, value in entries.items():
        assert getattr(d, key) == value


@pytest.mark.parametrize("operation", ["hit", "miss", "write"])
def test_no_reference_leak(operation):
    d = DictPlus(a=1)
    steps = {
        "hit": lambda: d.a,
        "miss": lambda: getattr(d, "missing", None),
        "write": lambda: setattr(d, "b", object()),
    }[operation]
    samples = [0] * 20
    for i in range(len(samples)):
        for _ in range(500):
            steps()
        samples[i] = sys.getallocatedblocks()
    # Warm-up allocations settle in the first rounds; a leak grows every round.
    growth = samples[-1] - samples[5]
    assert growth < 500, samples
