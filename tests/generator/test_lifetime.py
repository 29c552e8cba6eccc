"""Ownership: cycles through generator fields are collected, and building or
failing repeatedly allocates nothing that stays."""

import array
import gc
import sys
import weakref

import pytest

from Tessary.DB.Generator import (
    CustomSqlGenerator,
    FunctionCall,
    InOperatorGenerator,
    JoinCell,
    Q,
    QueryGroup,
    SqlGenerator,
    SqlInStanceError,
    TableGenerator,
)
from Tessary.Model.ModelProperty import FilterListCell


class Box:
    pass


def sub(cls):
    return type("Sub" + cls.__name__, (cls,), {})


def cycle_sql():
    s = sub(SqlGenerator)()
    s.select(s)
    return s


def cycle_join():
    s = sub(SqlGenerator)()
    s.joinList.append(JoinCell(s))
    return s


def cycle_order():
    s = sub(SqlGenerator)()
    text = type("Text", (str,), {})("x")
    text.s = s
    s.orderBy(text)
    return s


def cycle_group():
    g = sub(QueryGroup)(None)
    g.__init__(FilterListCell(g))
    return g


def cycle_in():
    box = Box()
    g = sub(InOperatorGenerator)([box], None)
    box.g = g
    return g


def cycle_custom():
    box = Box()
    g = sub(CustomSqlGenerator)("x", (box,))
    box.g = g
    return g


def cycle_function():
    box = Box()
    g = sub(FunctionCall)("F", box)
    box.g = g
    return g


def cycle_table():
    box = Box()
    g = sub(TableGenerator)(box)
    box.g = g
    return g


@pytest.mark.parametrize("make", [cycle_sql, cycle_join, cycle_order, cycle_group, cycle_in, cycle_custom,
                                  cycle_function, cycle_table])
def test_cycles_are_collected(make):
    ref = weakref.ref(make())
    gc.collect()
    assert ref() is None


def steady(operation, rounds=3000, warmup=500):
    """Fails when allocated blocks keep growing across the rounds: in every
    interval, or by a tenth of a block per call or more. A cache of the
    interpreter's that grows once (a dict resized) is not a leak."""
    for _ in range(warmup):
        operation()
    samples = array.array("q", bytes(8 * 10))
    for i in range(10):
        for _ in range(rounds // 10):
            operation()
        gc.collect()
        samples[i] = sys.getallocatedblocks()
    steps = [later - earlier for earlier, later in zip(samples[1:], samples[2:])]
    assert min(steps) <= 0 and samples[-1] - samples[1] < rounds // 10, list(samples)


def test_no_leak_building(models, chain, use_connector):
    use_connector(con_type=0)
    U = models.User

    def run():
        cond = Q(U.id.In([1, 2]) | (U.name == "x")) & U.name.like("a%")
        sql = SqlGenerator().select(U.id, U.name).From(U).where(cond).leftJoin(U.orders)
        sql.orderBy("user.id")
        sql.Limit(1, 2)
        sql.Build()
        SqlGenerator().insert(U).values(U.name.insertCell("n")).Build()
        SqlGenerator().update(U).set(U.name.updateCell("n")).where(U.id == 1).Build()
        SqlGenerator().delete(U).where(U.id == 2).Build()
        FunctionCall("F", U.id, 1, FunctionCall("G", 2)).Build()
        TableGenerator(models.Tag).Build()

    steady(run)


def test_no_leak_failing(models, chain):
    U = models.User

    def run():
        sql = SqlGenerator().select(U.id)
        try:
            sql.select()
        except SqlInStanceError:
            pass
        try:
            sql.Build()
        except TypeError:
            pass
        try:
            SqlGenerator.build_where(chain.link(chain.column(U.id), 8, chain.value(1)))
        except Exception:
            pass
        try:
            InOperatorGenerator([1, [2]], U.id)
        except TypeError:
            pass

    steady(run)
