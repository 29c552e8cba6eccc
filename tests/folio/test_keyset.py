"""Keyset pages on all four connectors: walking the pages by `next` gives
every matching row once, in the order of the keyset columns."""

import functools
import sys
import types
from pathlib import Path

import pytest

from Tessary.Ext.Folio import Folio
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "executor"))
from handle_support import installed  # noqa: E402
from save_support import CONNECTORS, make_store  # noqa: E402


@functools.cache
def declare_models():
    class KsRow(DataModel):
        tableName = "ks_row"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        age = IntegerProperty()
        label = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(Row=KsRow, all=(KsRow,))


AGES = [5, 3, 5, 1, 3, 5, 2, 3, 1, 4]  # ties inside and across pages


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path):
    current = make_store(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(*declare_models().all)
            Row = declare_models().Row
            for n, age in enumerate(AGES, 1):
                current.save(Row, Row(age=age, label=f"r{n}"))
            yield current
        finally:
            current.close()


def walk(store, size, condition=None, count=False):
    Row = declare_models().Row
    pages, after = [], None
    while True:
        page = store.result(Folio(Row, pageSize=size).filter(condition).keyset(Row.age, Row.id, after=after,
                                                                                 count=count).execute())
        pages.append(page)
        after = page.next
        if after is None:
            return pages


def expected(condition=lambda age: True):
    return sorted((age, n) for n, age in enumerate(AGES, 1) if condition(age))


@pytest.mark.parametrize("size", [1, 3, 5, len(AGES) - 1, len(AGES), len(AGES) + 1])
def test_pages_cover_every_row_once_in_order(store, size):
    pages = walk(store, size)
    rows = [(r["age"], r["id"]) for page in pages for r in page.content]
    assert rows == expected()
    assert all(len(p.content) == size for p in pages[:-1])
    assert pages[-1].next is None
    if len(AGES) % size == 0:
        assert pages[-1].content == []  # a full last page cannot know it is the last
    assert "total" not in pages[0]


def test_filter_and_count(store):
    Row = declare_models().Row
    pages = walk(store, 2, Row.age >= 3, count=True)
    assert [(r["age"], r["id"]) for p in pages for r in p.content] == expected(lambda a: a >= 3)
    assert {(p.total, p.totalPage) for p in pages} == {(7, 4)}


def test_next_is_the_last_rows_values(store):
    Row = declare_models().Row
    page = store.result(Folio(Row, pageSize=3).keyset(Row.age, Row.id).execute())
    last = page.content[-1]
    assert page.next == (last["age"], last["id"])
    assert page.pageSize == 3


def test_single_unique_column(store):
    Row = declare_models().Row
    page = store.result(Folio(Row, pageSize=4).keyset(Row.id, after=(6,)).execute())
    assert [r["id"] for r in page.content] == [7, 8, 9, 10]


@pytest.mark.parametrize("call, error, text", [
    (lambda R: Folio(R).keyset(), TypeError, "at least one column"),
    (lambda R: Folio(R).keyset("age"), TypeError, "column properties"),
    (lambda R: Folio(R).keyset(R.age, after=5), TypeError, "after must be a tuple"),
    (lambda R: Folio(R).keyset(R.age, R.id, after=(1,)), ValueError, "1 values for 2 columns"),
    (lambda R: Folio(R).keyset(R.age, sort="desc"), TypeError, "unexpected keyword"),
])
def test_bad_arguments(store, call, error, text):
    with pytest.raises(error, match=text):
        call(declare_models().Row)
