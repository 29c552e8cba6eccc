"""save() of something that is not a mapping, and of every kind of mapping,
on the four connectors; update() of a non-mapping."""

import collections.abc

import pytest

from Tessary.Ext.Dict import DictPlus

from save_support import CONNECTORS, accounts, declare_models, open_store

# MariaDB notes that it names every primary key PRIMARY.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path, models):
    yield from open_store(request, tmp_path, models)


@pytest.mark.parametrize("value", [
    pytest.param(lambda m: [m.Account(email="l@x")], id="list-of-instances"),
    pytest.param(lambda m: (m.Account(email="t@x"),), id="tuple"),
    pytest.param(lambda m: 5, id="int"),
    pytest.param(lambda m: None, id="None"),
    pytest.param(lambda m: "email", id="str"),
])
def test_save_refuses_what_is_not_a_mapping(store, models, statements, value):
    bad = value(models)
    with pytest.raises(TypeError) as err:
        # Raised at the call on both executors, before any coroutine exists.
        models.Account.getExecutor().save(bad)
    assert str(err.value) == f"save() argument 'instance' must be a mapping, not {type(bad).__name__}"
    assert statements == []
    assert accounts(store) == []


class Record(collections.abc.MutableMapping):
    """A mapping by inheritance from the abstract class alone."""

    def __init__(self, **values):
        self._values = dict(values)

    def __getitem__(self, key):
        return self._values[key]

    def __setitem__(self, key, value):
        self._values[key] = value

    def __delitem__(self, key):
        del self._values[key]

    def __iter__(self):
        return iter(self._values)

    def __len__(self):
        return len(self._values)


class Registered:
    """A mapping by registration only."""

    def __init__(self, **values):
        self._values = dict(values)

    def __contains__(self, key):
        return key in self._values

    def __getitem__(self, key):
        return self._values[key]

    def __setitem__(self, key, value):
        self._values[key] = value


collections.abc.MutableMapping.register(Registered)


@pytest.mark.parametrize("make", [
    pytest.param(lambda m: {"email": "m@x"}, id="dict"),
    pytest.param(lambda m: m.Account(email="m@x"), id="instance"),
    pytest.param(lambda m: DictPlus(email="m@x"), id="DictPlus"),
    pytest.param(lambda m: Record(email="m@x"), id="Mapping-subclass"),
    pytest.param(lambda m: Registered(email="m@x"), id="Mapping-registered"),
])
def test_save_takes_any_mapping(store, models, make):
    row = make(models)
    assert store.save(models.Account, row) is row
    assert row["id"] == 1
    assert accounts(store) == [(1, "m@x", None)]


@pytest.mark.parametrize("value", [
    pytest.param(lambda m: [m.Account(id=1, email="x@x")], id="list-of-instances"),
    pytest.param(lambda m: 5, id="int"),
])
def test_update_refuses_what_is_not_a_mapping(store, models, statements, value):
    store.save(models.Account, models.Account(email="a@x", name="ann"))
    statements.clear()
    with pytest.raises(TypeError):
        store.update(models.Account, value(models))
    assert statements == []
    assert accounts(store) == [(1, "a@x", "ann")]
