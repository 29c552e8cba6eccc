"""Arithmetic on columns and function calls (Expression), comparisons of
expressions and calls, computed select items and the grouping clauses of the
statement builder: their texts and arguments, and their results against raw
SQL on every connector."""

from decimal import Decimal

import pytest

from Tessary.DB.Generator import ColumnAlias, Expression, FunctionCall, SqlGenerator
from Tessary.Error.SqlError import SqlInStanceError
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import DecimalProperty, FilterListCell, IntegerProperty

from queries_support import declare_blog

BLOG = declare_blog()
User, Post = BLOG.User, BLOG.Post


class Priced(DataModel):
    tableName = "priced"
    id = IntegerProperty(isPrimaryKey=True)
    price = DecimalProperty(10, 2)


def select_text(*cols, where=None):
    builder = SqlGenerator().select(*cols).From(User)
    if where is not None:
        builder.where(where)
    return builder.Build()


@pytest.mark.parametrize("expression, text, args", [
    (User.visits + 1, "q_user.visits + %s", (1,)),
    (1 + User.visits, "%s + q_user.visits", (1,)),
    (User.visits - User.age, "q_user.visits - q_user.age", ()),
    ((User.age + 1) * 2, "(q_user.age + %s) * %s", (1, 2)),
    (User.age * 2 + 1, "q_user.age * %s + %s", (2, 1)),
    (User.age - (User.visits - 1), "q_user.age - (q_user.visits - %s)", (1,)),
    (User.age - User.visits - 1, "q_user.age - q_user.visits - %s", (1,)),
    (User.age / (User.visits * 2), "q_user.age / (q_user.visits * %s)", (2,)),
    (10 / User.visits, "%s / q_user.visits", (10,)),
    (FunctionCall("count", User.id) * 2, "count(q_user.id) * %s", (2,)),
    (FunctionCall("sum", User.visits * 2), "sum(q_user.visits * %s) ", (2,)),
])
def test_expression_texts(expression, text, args):
    assert expression.Build() == (text, args)


def test_a_value_beside_a_column_is_stored_as_the_column_stores_it():
    assert (Priced.price * Decimal("1.5")).Build() == ("priced.price * %s", ("1.50",))
    assert (True + User.visits).Build() == ("%s + q_user.visits", (1,))
    # Not beside a column: the value stays as given.
    assert ((Priced.price * 2) + Decimal("1.5")).Build()[1] == ("2.00", Decimal("1.5"))


def test_expression_parts_and_repr():
    e = User.visits + 1
    assert isinstance(e, Expression) and e.left is User.visits and e.op == "+" and e.right == 1
    assert repr(e) == "Expression(IntegerProperty(q_user.visits), '+', 1)"
    assert Expression(User.age, "*", 3).Build() == ("q_user.age * %s", (3,))


def test_expressions_and_calls_compare_like_columns():
    condition = (User.visits + 1 > 10) & (FunctionCall("lower", User.name) == "ann")
    assert isinstance(condition, FilterListCell)
    assert select_text(User.id, where=condition) == (
        "SELECT q_user.id FROM q_user WHERE q_user.visits + %s >  %s  AND lower(q_user.name)  =  %s  ;",
        (1, 10, "ann"))
    # Against a column, the column's own comparison with the operator mirrored.
    assert select_text(User.id, where=User.age * 2 < User.visits) == (
        "SELECT q_user.id FROM q_user WHERE q_user.visits  > q_user.age * %s ;", (2,))
    either = (FunctionCall("length", User.name) <= 2) | (User.visits - User.age >= FunctionCall("abs", -3))
    assert select_text(User.id, where=either) == (
        "SELECT q_user.id FROM q_user WHERE length(q_user.name)  <=  %s  OR q_user.visits - q_user.age >= abs(%s)  ;",
        (2, -3))


def test_computed_select_items_and_aliases():
    assert select_text(User.name, FunctionCall("count", User.id), (User.visits + 1).As("next"),
                       FunctionCall("max", User.age).As("order")) == (
        "SELECT q_user.name,count(q_user.id),q_user.visits + %s AS next,max(q_user.age) AS `order` FROM q_user ;",
        (1,))
    alias = (User.visits * 2).As("twice")
    assert isinstance(alias, ColumnAlias) and alias.name == "twice" and isinstance(alias.source, Expression)


def test_grouping_clauses_in_statement_order():
    builder = SqlGenerator().select(User.name, FunctionCall("count", User.id).As("n")).From(User)
    assert builder.where(User.visits > 0) is builder
    assert builder.groupBy(User.name, User.age + 1) is builder
    assert builder.having(FunctionCall("count", User.id) > 1) is builder
    assert builder.distinct() is builder
    builder.orderBy("n desc")
    builder.Limit(5, 0)
    assert builder.Build() == (
        "SELECT DISTINCT q_user.name,count(q_user.id) AS n FROM q_user WHERE q_user.visits  >  %s  "
        "GROUP BY q_user.name, q_user.age + %s HAVING count(q_user.id)  >  %s  order by n desc limit 0, 5;",
        (0, 1, 1))
    # Without the new clauses the statement is what it always was.
    plain = SqlGenerator().select(User.name).From(User).where(User.visits > 0)
    assert plain.Build() == ("SELECT q_user.name FROM q_user WHERE q_user.visits  >  %s  ;", (0,))


@pytest.mark.parametrize("make", [
    lambda: User.visits + "x",
    lambda: User.visits + None,
    lambda: User.visits * [1],
    lambda: (User.age > 1) + 1,
    lambda: FunctionCall("abs", User.age) - {},
    lambda: FunctionCall("lower", User.name) == [1, 2],
    lambda: SqlGenerator().select(User.id).From(User).groupBy("name"),
    lambda: SqlGenerator().select(User.id).From(User).having(3),
    lambda: SqlGenerator().select(User.id).From(User).distinct(True),
    lambda: Expression(User.age, "+", "1"),
])
def test_wrong_kinds_are_type_errors(make):
    with pytest.raises(TypeError):
        make()


def test_refused_constructions():
    with pytest.raises(ValueError, match="operator"):
        Expression(User.age, "%", 2)
    with pytest.raises(ValueError, match="None"):
        FunctionCall("lower", User.name) < None
    with pytest.raises(ValueError, match="select"):
        SqlGenerator().groupBy(User.id)
    with pytest.raises(SqlInStanceError):
        SqlGenerator().delete(User).having(User.id > 1)
    with pytest.raises(ValueError):
        Expression.__new__(Expression).Build()
    with pytest.raises(TypeError, match="groupBy\\(\\) argument 'columns'"):
        SqlGenerator().select(User.id).groupBy(User.id, 3)


def test_hostile_values_stay_arguments():
    hostile = "x'); DROP TABLE q_user; -- %s \0"
    text, args = select_text(User.id, FunctionCall("coalesce", User.email, hostile).As("e"),
                             where=(FunctionCall("lower", User.name) == hostile) & (User.visits * 2 > 0))
    assert hostile not in text and "DROP" not in text
    assert args == (hostile, hostile, 2, 0)


def test_function_calls_stay_hashable():
    call = FunctionCall("count", User.id)
    assert {call: 1}[call] == 1
    assert isinstance(call == FunctionCall("count", User.id), FilterListCell)


def names(rows):
    return sorted(row[0] if isinstance(row, tuple) else row["name"] for row in rows)


def test_conditions_on_expressions_find_what_raw_sql_finds(backend, filled):
    users = backend.executor(filled.User)
    U = filled.User
    found = backend.run(users.findAllBy((U.visits + 1 > 5) | (U.visits * 2 - 1 == 5)))
    assert names(found) == names(backend.rows("SELECT name FROM q_user WHERE visits + 1 > 5 OR visits * 2 - 1 = 5"))
    found = backend.run(backend.executor(filled.User).findAllBy(FunctionCall("lower", U.name) == "bob"))
    assert names(found) == ["Bob"]
    found = backend.run(backend.executor(filled.User).findAllBy(U.age * 2 > U.visits + 60))
    assert names(found) == names(backend.rows("SELECT name FROM q_user WHERE age * 2 > visits + 60"))


def test_none_is_an_is_null_test(backend, filled):
    U = filled.User
    lower_email = FunctionCall("lower", U.email)
    assert select_text(U.id, where=(lower_email == None) & (U.visits + 1 != None)) == (  # noqa: E711
        "SELECT q_user.id FROM q_user WHERE lower(q_user.email) IS NULL  AND q_user.visits + %s IS NOT NULL  ;", (1,))
    found = backend.run(backend.executor(U).findAllBy(lower_email == None))  # noqa: E711
    assert names(found) == names(backend.rows("SELECT name FROM q_user WHERE lower(email) IS NULL"))
    found = backend.run(backend.executor(U).findAllBy(lower_email != None))  # noqa: E711
    assert names(found) == ["ann", "cy"]


def test_hostile_texts_match_as_values(backend, filled):
    P = filled.Post
    posts = backend.executor(P)
    found = backend.run(posts.findAllBy(FunctionCall("lower", P.title) == "bob's post"))
    assert [p["title"] for p in found] == ["bob's post"]
    found = backend.run(backend.executor(P).findAllBy(FunctionCall("upper", P.title) == "100% SURE"))
    assert [p["title"] for p in found] == ["100% sure"]


def test_selected_expressions_read_back(backend, filled):
    U = filled.User
    rows = backend.run(backend.executor(U).values(U.name, (U.visits * 2 + 1).As("v"),
                                                  FunctionCall("lower", U.name).As("low"), orderBy="q_user.id"))
    raw = backend.rows("SELECT name, visits * 2 + 1, lower(name) FROM q_user ORDER BY id")
    assert [(r["name"], r["v"], r["low"]) for r in rows] == raw


def test_found_computed_items_need_a_name(backend, filled):
    U = filled.User
    users = backend.executor(U)
    for unnamed in (U.visits + 1, FunctionCall("lower", U.name)):
        with pytest.raises(TypeError, match=r"has no name to key its value in the rows: select it with \.As\(alias\)"):
            backend.run(users.find(U.id, unnamed).By(U.id == 1))
    found = backend.run(users.find(U.id, (U.visits + 1).As("next")).By(U.id == 1))
    assert [(row["id"], row["next"]) for row in found] == backend.rows("SELECT id, visits + 1 FROM q_user WHERE id = 1")


def test_deep_nesting_is_a_recursion_error_not_a_crash():
    deep = User.visits + 0
    for i in range(100_000):
        deep = deep + i
    with pytest.raises(RecursionError):
        deep.Build()
    del deep  # freed without exhausting the C stack
