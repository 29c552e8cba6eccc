"""Combining conditions nobody else holds links them in place; a condition
any part of which can still be reached elsewhere is copied, so that what a
caller holds never changes."""

import pytest

from model_fixtures import chain, models  # noqa: F401  (fixture)
from Tessary.Model.ModelProperty import FilterListCell


def test_temporaries_combine_to_the_same_chain_as_held_conditions(models):
    User = models.User
    a, b = User.name == "x", User.age > 3
    expected = chain(a & b)
    assert chain((User.name == "x") & (User.age > 3)) == expected
    assert chain((User.name == "x") | (User.age > 3))[1] == ("x", 1, False)


@pytest.mark.parametrize("side", ["left", "right"])
def test_a_held_inner_cell_is_not_relinked(models, side):
    User = models.User
    kept = []

    def temporary_with_shared_tail():
        cond = User.name == "x"
        kept.append(cond.next)   # the tail is reachable from here, the head only from the stack
        return cond

    if side == "left":
        both = temporary_with_shared_tail() & (User.age > 3)
    else:
        both = (User.age > 3) & temporary_with_shared_tail()
    tail = kept[0]
    assert (tail.value, tail.relationship, tail.next) == ("x", 8, None)
    assert all(cell is not tail for cell in both.cells())
    assert len(both.cells()) == 4


def test_subclass_cells_are_copied(models):
    class Marked(FilterListCell):
        pass

    User = models.User
    seen = []

    def marked():
        head = Marked("age", col=User.age)
        head.addCell(FilterListCell(3), 3)
        seen.append(type(head))
        return head

    both = marked() & (User.name == "y")
    assert seen == [Marked] and type(both) is FilterListCell
    assert chain(both) == [("age", 3, True), (3, 0, False), ("name", 2, True), ("y", 8, False)]


def test_temporary_or_under_and_is_grouped(models):
    gen = pytest.importorskip("Tessary.DB.Generator")
    User = models.User
    cond = ((User.name == "a") | (User.name == "b")) & (User.age > 3)
    assert isinstance(cond.value, gen.QueryGroup)
    assert gen.SqlGenerator().select(User.id).From(User).where(cond).Build() == (
        "SELECT user.id FROM user WHERE  ( user.name  =  %s  OR user.name  =  %s )  AND user.age  >  %s  ;",
        ("a", "b", 3))


def test_chained_temporaries_render_in_order(models):
    gen = pytest.importorskip("Tessary.DB.Generator")
    User = models.User
    cond = (User.id == 1) & (User.name == "a") & (User.age >= 2) | (User.age < 0)
    assert gen.SqlGenerator().select(User.id).From(User).where(cond).Build() == (
        "SELECT user.id FROM user WHERE user.id  =  %s  AND user.name  =  %s  AND user.age  >=  %s  "
        "OR user.age  <  %s  ;", (1, "a", 2, 0))
