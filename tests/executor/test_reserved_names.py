"""Tables and columns named by reserved words (`order`, `group`, `key`,
`select`) or by names that are not plain identifiers, on all four
connectors: every statement kind quotes them, every other name keeps its
text."""

import functools
import types

import pytest

from Tessary.DB.Generator import SqlGenerator, TableGenerator
from Tessary.Ext.Folio import Folio
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (AutoIncrement, ForeignKey, ForeignType, IntegerProperty,
                                         VarcharProperty)
from Tessary.Model.DataModel import InstanceList

from handle_support import installed
from save_support import CONNECTORS, make_store

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


@functools.cache
def declare_models():
    class Order(DataModel):
        tableName = "order"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        group = VarcharProperty(32, extra=" UNIQUE")
        key = IntegerProperty(nullable=True)
        select = VarcharProperty(32, nullable=True)
        lines = ForeignKey(ForeignType.ONE_TO_MANY, "RwLine", bindCol="id", targetBindCol="order")
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "RwTag", bindCol="id", targetBindCol="index")

    class RwLine(DataModel):
        tableName = "rw line"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        order = IntegerProperty(nullable=True)
        where = VarcharProperty(32, nullable=True)

    class RwTag(DataModel):
        tableName = "table"
        index = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        values = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(Order=Order, Line=RwLine, Tag=RwTag,
                                 all=(Order, RwLine, RwTag, Order.tags.middleModel))


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path):
    current = make_store(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(*declare_models().all)
            yield current
        finally:
            current.close()


def orders(store):
    return store.rows("SELECT id, `group`, `key`, `select` FROM `order` ORDER BY id")


def test_create_quotes_the_table_and_its_key(store):
    text = TableGenerator(declare_models().Order).Build()[0]
    assert text.startswith("CREATE TABLE `order`( \n") and "constraint order_pk PRIMARY KEY (id)" in text
    assert "constraint `rw line_pk`" in TableGenerator(declare_models().Line).Build()[0]


def test_plain_names_keep_their_text():
    class RwPlain(DataModel):
        tableName = "rw_plain"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    text, args = SqlGenerator().select(RwPlain.id, RwPlain.label).From(RwPlain).where(RwPlain.label == "a").Build()
    assert text == "SELECT rw_plain.id,rw_plain.label FROM rw_plain WHERE rw_plain.label  =  %s  ;"


def test_select_and_where_quote_reserved_names():
    Order = declare_models().Order
    text, args = SqlGenerator().select(Order.id, Order.group).From(Order).where(Order.key == 1).Build()
    assert text == "SELECT `order`.id,`order`.`group` FROM `order` WHERE `order`.`key`  =  %s  ;"


def test_save_find_update_delete(store):
    Order = declare_models().Order
    executor = Order.getExecutor()
    saved = store.save(Order, Order(group="g1", key=1, select="s1"))
    store.save(Order, Order(group="g2", key=2, select="s2"))
    assert orders(store) == [(saved.id, "g1", 1, "s1"), (saved.id + 1, "g2", 2, "s2")]
    found = store.result(Order.getExecutor().findAllBy((Order.key >= 1) & (Order.select != "none")))
    assert sorted(o["group"] for o in found) == ["g1", "g2"]
    assert store.result(Order.getExecutor().findOneBy(Order.group == "g2"))["key"] == 2
    saved["select"] = "changed"
    store.update(Order, saved)
    assert orders(store)[0] == (saved.id, "g1", 1, "changed")
    store.result(executor.delete(saved))
    assert [row[1] for row in orders(store)] == ["g2"]


def test_save_all_and_upsert(store):
    Order = declare_models().Order
    store.result(Order.getExecutor().saveAll([Order(group=f"g{i}", key=i, select="a") for i in range(3)]))
    assert [row[1:] for row in orders(store)] == [("g0", 0, "a"), ("g1", 1, "a"), ("g2", 2, "a")]
    rows = [Order(group="g1", key=10, select="b"), Order(group="g9", key=9, select="b")]
    store.result(Order.getExecutor().upsert(rows, (Order.group,)))
    assert [row[1:] for row in orders(store)] == [("g0", 0, "a"), ("g1", 10, "b"), ("g2", 2, "a"), ("g9", 9, "b")]


def test_relation_save_and_batched_loading(store):
    models = declare_models()
    Order, Line = models.Order, models.Line
    Tag = models.Tag
    order = Order(group="with lines", key=1, lines=[Line(where="a"), Line(where="b")],
                  tags=[Tag(values="x"), Tag(values="y")])
    store.save(Order, order)
    assert store.rows("SELECT `order`, `where` FROM `rw line` ORDER BY id") == [(order.id, "a"), (order.id, "b")]
    assert store.rows("SELECT `values` FROM `table` ORDER BY `index`") == [("x",), ("y",)]
    assert len(store.rows(f"SELECT * FROM `{Order.tags.middleModel.tableName}`")) == 2
    roots = store.result(Order.getExecutor().findAllBy())
    store.result(Order.getExecutor().findListForeignKeyIn(roots))
    assert [line["where"] for line in roots[0]["lines"]] == ["a", "b"]
    assert sorted(tag["values"] for tag in roots[0]["tags"]) == ["x", "y"]
    one = store.result(Order.getExecutor().findOneBy(Order.id == order.id))
    store.result(Order.getExecutor().findListForeignKey(InstanceList([one]), True))
    assert [line["where"] for line in one["lines"]] == ["a", "b"]
    assert sorted(tag["values"] for tag in one["tags"]) == ["x", "y"]
    one["tags"] = [Tag(values="z")]
    store.update(Order, one)
    assert len(store.rows(f"SELECT * FROM `{Order.tags.middleModel.tableName}`")) == 1


def test_stream_and_pages(store):
    Order = declare_models().Order
    store.result(Order.getExecutor().saveAll([Order(group=f"g{i}", key=i) for i in range(5)]))
    stream = Order.getExecutor().iterAllBy(Order.key >= 0, batchSize=2)
    if store.is_async:
        async def drain():
            return [o["key"] async for o in stream]
        keys = store.result(drain())
    else:
        keys = [o["key"] for o in stream]
    assert sorted(keys) == [0, 1, 2, 3, 4]
    page = store.result(Folio(Order, pageSize=2).filter(Order.key >= 1).execute())
    assert len(page.content) == 2 and page.total == 4
    walked, after = [], None
    while True:
        page = store.result(Folio(Order, pageSize=2).keyset(Order.key, Order.id, after=after).execute())
        walked += [o["key"] for o in page.content]
        after = page.next
        if after is None:
            break
    assert walked == [0, 1, 2, 3, 4]
