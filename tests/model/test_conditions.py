"""Filter chains made by comparisons, and combining them with & and |."""

import datetime
import decimal

import pytest

from model_fixtures import chain, models  # noqa: F401  (fixture)
from Tessary.Model.ModelProperty import FilterListCell, IntegerProperty, Relationship


@pytest.mark.parametrize("make, code", [
    (lambda c: c == 5, 2), (lambda c: c != 5, 7), (lambda c: c > 5, 3), (lambda c: c >= 5, 4),
    (lambda c: c < 5, 5), (lambda c: c <= 5, 6), (lambda c: c.like(5), 9),
    (lambda c: 5 == c, 2), (lambda c: 5 < c, 3),
])
def test_comparison_codes(models, make, code):
    cond = make(models.User.age)
    assert chain(cond) == [("age", code, True), (5, 8, False)]
    assert cond.col is models.User.age and cond.next.col is None


@pytest.mark.parametrize("value, stored", [
    (None, None),
    (True, 1),
    (datetime.datetime(2024, 1, 2, 3, 4, 5), "2024-01-02 03:04:05"),
    (datetime.date(2024, 1, 2), "2024-01-02"),
    (decimal.Decimal("1.50"), "1.50"),
])
def test_compared_value_is_stored_form(models, value, stored):
    assert (models.User.age == value).next.value == stored


def test_relationship_enum_matches_codes():
    assert [m.value for m in Relationship] == list(range(10))
    assert Relationship.LIKE == 9 and Relationship.NOT_RELATED == 8


def test_and_or_link_copies(models):
    User = models.User
    a, b = User.name == "x", User.age > 3
    before = (chain(a), chain(b))
    both = a & b
    assert chain(both) == [("name", 2, True), ("x", 0, False), ("age", 3, True), (3, 8, False)]
    assert chain(a | b)[1] == ("x", 1, False)
    assert (chain(a), chain(b)) == before
    assert all(x is not y for x in both.cells() for y in a.cells() + b.cells())
    assert both.col is User.name and both.next.next.col is User.age


def test_operand_with_top_level_or_is_grouped_under_and(models):
    gen = pytest.importorskip("Tessary.DB.Generator")
    User = models.User
    either = (User.name == "a") | (User.name == "b")
    cond = either & (User.age > 3)
    assert isinstance(cond.value, gen.QueryGroup) and cond.relationship == 0
    build = gen.SqlGenerator().select(User.id).From(User).where(cond).Build
    expected = ("SELECT user.id FROM user WHERE  ( user.name  =  %s  OR user.name  =  %s )  AND user.age  >  %s  ;",
                ("a", "b", 3))
    assert build() == expected
    assert build() == expected   # the chain is not changed by building or combining
    flat = gen.SqlGenerator().select(User.id).From(User).where(either | (User.age > 3)).Build()
    assert flat[0] == "SELECT user.id FROM user WHERE user.name  =  %s  OR user.name  =  %s  OR user.age  >  %s  ;"


def test_same_condition_reused_gives_same_sql(models):
    gen = pytest.importorskip("Tessary.DB.Generator")
    User = models.User
    cond = User.age > 1
    first = gen.SqlGenerator().select(User.id).From(User).where(cond & (User.name == "a")).Build()
    second = gen.SqlGenerator().select(User.id).From(User).where(cond & (User.name == "a")).Build()
    assert first == second
    assert gen.SqlGenerator().select(User.id).From(User).where(cond).Build() == (
        "SELECT user.id FROM user WHERE user.age  >  %s  ;", (1,))


def test_in_makes_group_cell(models):
    gen = pytest.importorskip("Tessary.DB.Generator")
    User = models.User
    cond = User.id.In([1, datetime.date(2024, 1, 2)]) & (User.age <= 3)
    assert isinstance(cond.value, gen.InOperatorGenerator) and cond.col is None
    assert gen.SqlGenerator().select(User.id).From(User).where(cond).Build() == (
        "SELECT user.id FROM user WHERE  user.id in (%s, %s)  AND user.age  <=  %s  ;", (1, "2024-01-02", 3))
    inst = User((7, "x", 1))
    assert gen.SqlGenerator().select(User.id).From(User).where(User.id.In([inst, 8])).Build()[1] == (7, 8)


def test_in_rejects_text(models):
    with pytest.raises(TypeError, match="In\\(\\) expects a sequence of values, got str"):
        models.User.id.In("abc")


def test_properties_hash_by_identity_and_compare_by_identity(models):
    User = models.User
    assert hash(User.id) == hash(User.id) and {User.id: 1}[User.id] == 1
    # Two columns compare into a condition whose truth value is identity.
    assert bool(User.id == User.id) is True and bool(User.id == User.name) is False
    assert bool(User.id != User.name) is True
    assert User.name in User.col and User.age not in (User.id, User.name)
    assert User.col.index(User.age) == 2
    with pytest.raises(TypeError, match="no truth value"):
        bool(User.id < User.name)


def test_unbound_property_cannot_compare():
    with pytest.raises(TypeError, match="belongs to no model class"):
        IntegerProperty() == 1


def test_cell_constructor_and_fields(models):
    cell = FilterListCell("1")
    assert (cell.value, cell.relationship, cell.next, cell.col) == ("1", 8, None, None)
    column = FilterListCell("age", col=models.User.age)
    assert column.col is models.User.age
    with pytest.raises(TypeError, match=r"Argument 'col' has incorrect type \(expected "
                                        r"Tessary.Model.ModelProperty.BaseProperty, got int\)"):
        FilterListCell("age", col=3)
    with pytest.raises(TypeError, match=r"__init__\(\) takes at least 1 positional argument \(0 given\)"):
        FilterListCell()
    with pytest.raises(AttributeError):
        cell.value = 2


def test_add_cell_appends_at_chain_end(models):
    head = FilterListCell("1")
    column = head.addCell(FilterListCell("age", col=models.User.age), 0)
    value = column.addCell(FilterListCell(5), 2)
    assert value.value == 5
    head.addCell(FilterListCell("name", col=models.User.name), 0).addCell(FilterListCell("x"), 2)
    assert chain(head) == [("1", 0, False), ("age", 2, True), (5, 0, False), ("name", 2, True), ("x", 8, False)]


@pytest.mark.parametrize("args, error", [
    (("x", 0), TypeError), ((None, 0), TypeError), ((FilterListCell(1), "0"), TypeError),
    ((FilterListCell(1), 2 ** 40), OverflowError),
])
def test_add_cell_bad_arguments(args, error):
    with pytest.raises(error):
        FilterListCell(0).addCell(*args)


def test_add_cell_refuses_a_loop():
    head = FilterListCell(0)
    second = head.addCell(FilterListCell(1), 0)
    for cell in (head, second):
        with pytest.raises(ValueError, match="already part of this chain"):
            second.addCell(cell, 0)
    assert second.next is None


def test_cell_text(models):
    cond = models.User.age == 3
    assert str(cond) == "FilterListCell('age', col=IntegerProperty(user.age), relationship=2)"
    assert repr(cond.next) == "FilterListCell(3, relationship=8)"
    assert repr(IntegerProperty()) == "IntegerProperty(<unbound>)"


@pytest.mark.parametrize("other", [1, None, "x"])
def test_combining_with_non_cells_is_a_type_error(models, other):
    with pytest.raises(TypeError):
        (models.User.age == 1) & other


def test_long_chain_is_freed_without_recursion(models):
    head = FilterListCell(0)
    tail = head
    for i in range(200_000):
        tail = tail.addCell(FilterListCell(i), 0) if i % 1000 else head.addCell(FilterListCell(i), 0)
    del head, tail
