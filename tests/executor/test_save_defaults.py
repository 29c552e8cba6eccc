"""save and saveAll of a row that gives no value (an empty dict, an instance
whose every column is None), on the four connectors: the row is inserted
with the table's defaults and gets its generated key. An instance of another
model class is refused by name before anything is written."""

import functools
import types

import pytest

from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from save_support import CONNECTORS, open_store

# MariaDB notes that it names every primary key PRIMARY.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


@functools.cache
def declare_models():
    class DvBox(DataModel):
        tableName = "dv_box"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)
        size = IntegerProperty(nullable=True, default=7)
        items = ForeignKey(ForeignType.ONE_TO_MANY, "DvItem", bindCol="id", targetBindCol="box_id")

    class DvItem(DataModel):
        tableName = "dv_item"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        box_id = IntegerProperty(nullable=True)
        name = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(Box=DvBox, Item=DvItem, all=(DvBox, DvItem))


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path, models):
    yield from open_store(request, tmp_path, models)


def boxes(store):
    return store.rows("SELECT id, label, size FROM dv_box ORDER BY id")


@pytest.mark.parametrize("make", [dict, lambda: declare_models().Box(label=None, size=None)],
                         ids=["empty-dict", "every-column-none"])
def test_save_of_a_row_without_values_inserts_the_defaults(store, models, make):
    store.save(models.Box, models.Box(label="first"))
    row = make()
    saved = store.save(models.Box, row)
    assert saved is row and saved["id"] == 2
    assert boxes(store) == [(1, "first", 7), (2, None, 7)]


def test_a_row_without_values_carries_its_related_rows(store, models):
    box = store.save(models.Box, models.Box(items=[models.Item(name="pen")]))
    assert box["id"] == 1 and box["items"][0]["box_id"] == 1
    assert store.rows("SELECT id, box_id, name FROM dv_item") == [(1, 1, "pen")]


def test_save_all_inserts_each_row_without_values_and_sets_its_key(store, models):
    rows = [models.Box(), {}, models.Box(label="named"), models.Box(label=None, items=[models.Item(name="cup")])]
    saved = store.result(models.Box.getExecutor().saveAll(rows))
    assert saved == rows
    keys = [row["id"] for row in rows]
    assert sorted(keys) == [1, 2, 3, 4]
    assert sorted(boxes(store)) == sorted(
        [(key, row.get("label"), 7) for key, row in zip(keys, rows)])
    assert store.rows("SELECT box_id, name FROM dv_item") == [(rows[3]["id"], "cup")]


def test_an_instance_of_another_model_is_refused_by_name(store, models):
    with pytest.raises(TypeError) as error:
        store.save(models.Box, models.Item(name="pen"))
    assert "DvItem" in str(error.value) and "DvBox" in str(error.value)
    assert boxes(store) == [] and store.rows("SELECT id FROM dv_item") == []
    # A plain mapping still names columns by itself.
    assert store.save(models.Box, {"label": "plain"})["id"] == 1
