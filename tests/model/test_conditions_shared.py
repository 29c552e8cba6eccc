"""Conditions combined while the caller holds them: the held chain's cells
are shared rather than copied, so building an n-term chain costs O(n), yet
every condition held along the way keeps the text and arguments it had,
whatever is built from it, read from it or appended to it later."""

import operator

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from model_fixtures import chain, models  # noqa: F401  (fixture)
from Tessary.DB.Generator import SqlGenerator
from Tessary.Model.ModelProperty import FilterListCell

LINKS = {"and": operator.and_, "or": operator.or_}


def where(cond):
    return SqlGenerator.build_where(cond)


def fresh(U, tree):
    """The condition of `tree` built afresh from temporaries nobody holds."""
    if tree[0] == "id":
        return U.id == tree[1]
    if tree[0] == "age":
        return U.age == tree[1]
    return LINKS[tree[0]](fresh(U, tree[1]), fresh(U, tree[2]))


steps = st.lists(st.tuples(st.sampled_from(["and", "or"]), st.integers(0, 40), st.integers(0, 40),
                           st.sampled_from(["held", "temporary left", "temporary right", "next", "cells",
                                            "dropped"])),
                 max_size=30)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=steps)
def test_held_conditions_keep_their_text(models, steps):
    U = models.User
    pool, trees = [U.id == 0], [("id", 0)]
    texts = [where(pool[0])]
    for n, (link, i, j, how) in enumerate(steps, start=1):
        i, j = i % len(pool), j % len(pool)
        if how == "next":
            cell = pool[i]
            while cell is not None:
                cell = cell.next
            continue
        if how == "cells":
            pool[i].cells()
            continue
        if how == "dropped":   # the result is made and dropped at once
            LINKS[link](pool[i], U.age == n)
            continue
        if how == "held":
            made, tree = LINKS[link](pool[i], pool[j]), (link, trees[i], trees[j])
        elif how == "temporary left":
            made, tree = LINKS[link](U.age == n, pool[j]), (link, ("age", n), trees[j])
        else:
            made, tree = LINKS[link](pool[i], U.age == n), (link, trees[i], ("age", n))
        pool.append(made)
        trees.append(tree)
        texts.append(where(made))
        assert [where(c) for c in pool] == texts
    assert texts == [where(fresh(U, tree)) for tree in trees]


def test_every_prefix_of_a_loop_built_chain_keeps_its_own_terms(models):
    U = models.User
    cond, kept = U.id == 0, []
    for i in range(1, 200):
        kept.append(cond)
        cond = cond | (U.id == i)
    for count, prefix in enumerate(kept, start=1):
        text, args = where(prefix)
        assert args == list(range(count)) and text.count(" OR ") == count - 1
    assert where(cond)[1] == list(range(200))


def test_a_long_chain_renders_in_order(models):
    U = models.User
    cond = U.id == 0
    for i in range(1, 20000):
        cond = cond | (U.id == i)
    text, args = SqlGenerator().select(U.id).From(U).where(cond).Build()
    assert args == tuple(range(20000)) and text.count(" OR ") == 19999


@pytest.mark.parametrize("read", ["next", "cells", "addCell", "combine again", "where"])
def test_an_extended_condition_reads_as_it_was(models, read):
    U = models.User
    held = (U.id == 1) | (U.id == 2)
    longer = held | (U.id == 3)
    if read == "next":
        assert held.next.next.next.next is None
    elif read == "cells":
        assert [c.value for c in held.cells()] == ["id", 1, "id", 2]
    elif read == "addCell":
        held.addCell(FilterListCell("age", col=U.age), 0).addCell(FilterListCell(5), 3)
        assert where(held) == (" WHERE user.id  =  %s  OR user.id  =  %s  AND user.age  >  %s ", [1, 2, 5])
    elif read == "combine again":
        other = held & (U.age > 5)
        assert where(other)[1] == [1, 2, 5] and "(" in where(other)[0]
    assert where(longer)[1] == [1, 2, 3]
    if read != "addCell":
        assert where(held)[1] == [1, 2]


@pytest.mark.parametrize("link", ["and", "or"])
def test_a_condition_linked_with_itself(models, link):
    U = models.User
    held = (U.id == 1) | (U.name == "a")
    twice = LINKS[link](held, held)
    assert where(twice)[1] == [1, "a", 1, "a"]
    assert where(held)[1] == [1, "a"]
    if link == "or":
        assert chain(twice) == chain(held)[:3] + [("a", 1, False)] + chain(held)


def test_a_held_inner_cell_of_a_linked_chain_is_not_relinked(models):
    U = models.User
    cond = (U.id == 1) | (U.id == 2)
    inner = cond.next.next         # reachable from here now, not only through cond
    longer = cond | (U.id == 3)
    assert where(inner)[1] == [2] and inner.next.next is None
    assert where(longer)[1] == [1, 2, 3]
