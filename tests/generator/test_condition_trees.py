"""Random condition trees (AND/OR, groups, IN, LIKE, comparisons) rendered
through the model layer's operators: placeholders match arguments, values
never reach the text, arguments come in leaf order, and SQLite selects
exactly the rows the tree describes."""

import contextlib
import itertools
import operator
import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Tessary.DB.Generator import Q, SqlGenerator

MARK = "¤"  # every text value carries it; the SQL text never may
LETTERS = "abc"

COMPARISONS = {
    "==": operator.eq, "!=": operator.ne, ">": operator.gt,
    ">=": operator.ge, "<": operator.lt, "<=": operator.le,
}

ROWS = [
    {"id": i, "name": MARK + name, "age": age}
    for i, (name, age) in enumerate(
        itertools.product(["", "a", "ab", "b", "ca", "abc"], range(4)), start=1)
]

ints = st.integers(min_value=-1, max_value=25)
texts = st.text(alphabet=LETTERS, max_size=3).map(lambda s: MARK + s)

int_leaf = st.tuples(st.just("cmp"), st.sampled_from(["id", "age"]), st.sampled_from(sorted(COMPARISONS)), ints)
text_leaf = st.tuples(st.just("cmp"), st.just("name"), st.sampled_from(sorted(COMPARISONS)), texts)
in_leaf = st.one_of(
    st.tuples(st.just("in"), st.sampled_from(["id", "age"]), st.lists(ints, max_size=4)),
    st.tuples(st.just("in"), st.just("name"), st.lists(texts, max_size=4)),
)
like_leaf = st.tuples(st.just("like"), st.just("name"),
                      st.text(alphabet=LETTERS, max_size=2).map(lambda s: MARK + s + "%"))
leaves = st.one_of(int_leaf, text_leaf, in_leaf, like_leaf)
trees = st.recursive(
    leaves,
    lambda sub: st.one_of(st.tuples(st.sampled_from(["and", "or"]), sub, sub), st.tuples(st.just("group"), sub)),
    max_leaves=12,
)


def build(model, tree):
    kind = tree[0]
    if kind == "cmp":
        return COMPARISONS[tree[2]](getattr(model, tree[1]), tree[3])
    if kind == "in":
        return getattr(model, tree[1]).In(tree[2])
    if kind == "like":
        return getattr(model, tree[1]).like(tree[2])
    if kind == "group":
        return Q(build(model, tree[1]))
    left, right = build(model, tree[1]), build(model, tree[2])
    return left & right if kind == "and" else left | right


def holds(tree, row):
    kind = tree[0]
    if kind == "cmp":
        return COMPARISONS[tree[2]](row[tree[1]], tree[3])
    if kind == "in":
        return row[tree[1]] in tree[2]
    if kind == "like":
        return row[tree[1]].startswith(tree[2][:-1])
    if kind == "group":
        return holds(tree[1], row)
    if kind == "and":
        return holds(tree[1], row) and holds(tree[2], row)
    return holds(tree[1], row) or holds(tree[2], row)


def leaf_values(tree):
    kind = tree[0]
    if kind in ("cmp", "like"):
        return [tree[-1]]
    if kind == "in":
        return list(tree[2])
    return [v for sub in tree[1:] for v in leaf_values(sub)]


@pytest.fixture(scope="module")
def database():
    with contextlib.closing(sqlite3.connect(":memory:")) as con:
        con.execute("CREATE TABLE user (id INTEGER PRIMARY KEY, name TEXT NOT NULL, age INTEGER NOT NULL)")
        con.executemany("INSERT INTO user VALUES (:id, :name, :age)", ROWS)
        yield con


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree=trees)
def test_random_condition_trees(models, database, tree):
    U = models.User
    cond = build(U, tree)
    text, args = SqlGenerator.build_where(cond)

    assert text.count("%s") == len(args)
    assert MARK not in text
    assert args == leaf_values(tree)

    sql, built_args = SqlGenerator().select(U.id).From(U).where(cond).Build()
    assert built_args == tuple(args)
    found = [r[0] for r in database.execute(sql.replace("%s", "?"), built_args)]
    assert sorted(found) == [row["id"] for row in ROWS if holds(tree, row)]


def test_every_leaf_kind_renders(models, database):
    """A fixed tree using each construct once, as a readable anchor."""
    U = models.User
    tree = ("and", ("group", ("or", ("in", "id", [1, 2]), ("like", "name", MARK + "a%"))),
            ("and", ("in", "age", []), ("cmp", "age", "<", 3)))
    text, args = SqlGenerator.build_where(build(U, tree))
    assert args == [1, 2, MARK + "a%", 3]
    assert " 1 = 0 " in text and text.count("%s") == 4


@pytest.fixture
def mariadb(mariadb_clean):
    pymysql = pytest.importorskip("pymysql")
    with contextlib.closing(pymysql.connect(**mariadb_clean)) as con, con.cursor() as cur:
        cur.execute("CREATE TABLE user (id INTEGER PRIMARY KEY, name VARCHAR(8) NOT NULL, age INTEGER NOT NULL)")
        cur.executemany("INSERT INTO user VALUES (%(id)s, %(name)s, %(age)s)", ROWS)
        con.commit()
        yield cur


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree=trees)
def test_random_condition_trees_on_mariadb(models, mariadb, tree):
    U = models.User
    sql, args = SqlGenerator().select(U.id).From(U).where(build(U, tree)).Build()
    mariadb.execute(sql, args)
    assert sorted(r[0] for r in mariadb.fetchall()) == [row["id"] for row in ROWS if holds(tree, row)]
