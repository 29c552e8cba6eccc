"""count, exists, aggregate and values on both executors: the statements
they send, their results against raw SQL on every connector, the types of
aggregate values, and their argument checks."""

import datetime
from decimal import Decimal

import pytest

from Tessary.DB.Generator import FunctionCall
from Tessary.Model.Carrack import ModelExecutor
from Tessary.Model.DataModel import DataModel
from Tessary.Error.SqlError import SqlInStanceError
from Tessary.Model.ModelProperty import DateProperty, DecimalProperty, FilterListCell, IntegerProperty

from queries_support import declare_blog

BLOG = declare_blog()
User, Post = BLOG.User, BLOG.Post


class Sale(DataModel):
    tableName = "q_sale"
    id = IntegerProperty(isPrimaryKey=True)
    day = DateProperty()
    amount = DecimalProperty(10, 2)


def test_the_statements_sent(sync_backend, statements):
    sync_backend.create(User)
    users = ModelExecutor(User)
    assert users.count(User.visits > 1) == 0
    assert users.exists() is False
    assert users.aggregate(n=FunctionCall("count", User.id), top=FunctionCall("max", User.visits + 1)) == \
        {"n": 0, "top": None}
    assert users.values(User.name, FunctionCall("count", User.id).As("n"), Filter=User.age > 3, groupBy=User.name,
                        having=FunctionCall("count", User.id) > 1, orderBy="n desc", limit=5, offset=2,
                        distinct=True) == []
    assert statements[1:] == [  # after the CREATE TABLE
        ("executeSql", "SELECT COUNT(*) FROM q_user WHERE q_user.visits  >  %s  ;", (1,)),
        ("executeSql", "SELECT 1 FROM q_user limit 0, 1;", ()),
        ("executeSql", "SELECT count(q_user.id) AS n,max(q_user.visits + %s) AS top FROM q_user ;", (1,)),
        ("executeSql", "SELECT DISTINCT q_user.name,count(q_user.id) AS n FROM q_user WHERE q_user.age  >  %s  "
                       "GROUP BY q_user.name HAVING count(q_user.id)  >  %s  order by n desc limit 2, 5;", (3, 1)),
    ]


def test_count_and_exists(backend, filled):
    U = filled.User
    assert backend.run(backend.executor(U).count()) == 4
    assert backend.run(backend.executor(U).count(U.age >= 30)) == backend.rows(
        "SELECT COUNT(*) FROM q_user WHERE age >= %s", (30,))[0][0]
    executor = backend.executor(U)
    assert backend.run(executor.exists(U.name == "cy")) is True
    assert backend.run(executor.exists(U.name == "x'; -- %s\0")) is False  # the same executor, reused


def test_aggregate_values_agree_between_databases(backend, filled):
    U, P = filled.User, filled.Post
    got = backend.run(backend.executor(U).aggregate(
        n=FunctionCall("count", U.id), oldest=FunctionCall("max", U.age), total=FunctionCall("sum", U.visits),
        mean=FunctionCall("avg", U.visits), spread=FunctionCall("max", U.visits) - FunctionCall("min", U.visits),
        Filter=U.id < 10))
    raw = backend.rows("SELECT COUNT(id), MAX(age), SUM(visits), AVG(visits), MAX(visits) - MIN(visits) FROM q_user")
    assert got == {"n": 4, "oldest": 61, "total": 20, "mean": got["mean"], "spread": 12}
    assert (type(got["n"]), type(got["total"])) == (int, int)
    # AVG as each database gives it: a float on SQLite, a Decimal on MariaDB.
    assert type(got["mean"]) is (float if backend.is_sqlite else Decimal) and got["mean"] == raw[0][3]
    nothing = backend.run(backend.executor(P).aggregate(n=FunctionCall("count", P.id), s=FunctionCall("sum", P.score),
                                                        Filter=P.score > 100))
    assert nothing == {"n": 0, "s": None}


def test_values_group_having_order(backend, filled):
    P = filled.Post
    rows = backend.run(backend.executor(P).values(
        P.user_id, FunctionCall("count", P.id).As("posts"), FunctionCall("sum", P.score).As("score"),
        Filter=P.user_id != None, groupBy=(P.user_id,), having=FunctionCall("count", P.id) >= 1,  # noqa: E711
        orderBy=("score desc",)))
    raw = backend.rows("SELECT user_id, COUNT(id), SUM(score) FROM q_post WHERE user_id IS NOT NULL "
                       "GROUP BY user_id HAVING COUNT(id) >= 1 ORDER BY SUM(score) DESC")
    assert [tuple(r.values()) for r in rows] == raw
    assert all(type(r["posts"]) is int and type(r["score"]) is int for r in rows)


def test_values_rows_are_plain_dicts(backend, filled):
    U = filled.User
    every = backend.run(backend.executor(U).values(orderBy="q_user.id"))
    assert every == [dict(u) for u in backend.run(backend.executor(U).findAllBy())]
    assert all(type(r) is dict for r in every)
    page = backend.run(backend.executor(U).values(U.name, orderBy="q_user.name", limit=2, offset=1))
    assert page == [{"name": n} for (n,) in backend.rows("SELECT name FROM q_user ORDER BY name LIMIT 2 OFFSET 1")]
    tail = backend.run(backend.executor(U).values(U.id, orderBy="q_user.id", offset=3))
    assert tail == [{"id": 4}]
    ages = backend.run(backend.executor(filled.Post).values(filled.Post.version, distinct=True,
                                                            orderBy="q_post.version"))
    assert ages == [{"version": 1}, {"version": 2}]


def test_column_values_are_converted_as_the_column_converts_them(backend):
    backend.create(Sale)
    backend.insert("q_sale", ("id", "day", "amount"), [(1, "2024-05-01", "2.50"), (2, "2024-06-30", "10.25")])
    sales = backend.executor(Sale)
    rows = backend.run(sales.values(Sale.day, Sale.amount, orderBy="q_sale.id"))
    assert rows == [{"day": datetime.date(2024, 5, 1), "amount": Decimal("2.50")},
                    {"day": datetime.date(2024, 6, 30), "amount": Decimal("10.25")}]
    latest = backend.run(backend.executor(Sale).aggregate(last=FunctionCall("max", Sale.day),
                                                          n=FunctionCall("count", Sale.id)))
    assert latest == {"last": datetime.date(2024, 6, 30), "n": 2}


@pytest.mark.parametrize("call, error", [
    (lambda e: e.count(1), TypeError),
    (lambda e: e.count(Filter="id > 1"), TypeError),
    (lambda e: e.exists(User.id > 1, User.id > 2), TypeError),
    (lambda e: e.aggregate(), TypeError),
    (lambda e: e.aggregate(n=User.id), TypeError),
    (lambda e: e.aggregate(n=3), TypeError),
    (lambda e: e.aggregate(**{"two words": FunctionCall("count", User.id)}), ValueError),
    (lambda e: e.values(FunctionCall("count", User.id)), TypeError),
    (lambda e: e.values("name"), TypeError),
    (lambda e: e.values(User.name, User.name), ValueError),
    (lambda e: e.values(limit=True), TypeError),
    (lambda e: e.values(limit=1.5), TypeError),
    (lambda e: e.values(offset=-1), ValueError),
    (lambda e: e.values(having="count(*) > 1"), TypeError),
    (lambda e: e.values(distinct="yes"), TypeError),
    (lambda e: e.values(groupBy="name"), TypeError),
    (lambda e: e.values(sort="name"), TypeError),
])
def test_argument_checks(call, error):
    with pytest.raises(error):
        call(ModelExecutor(User))


@pytest.mark.parametrize("bad", [
    lambda e, U: e.values(U.id, groupBy="name"),
    lambda e, U: e.values(U.id, orderBy=[5]),
    lambda e, U: e.count(FilterListCell(5)),
], ids=["groupBy", "orderBy", "lone-cell"])
def test_a_refused_read_leaves_the_executor_usable(backend, filled, bad):
    """A read refused while its statement was being built does not leave that
    half-built statement pending for the executor's next operation."""
    users = backend.executor(filled.User)
    with pytest.raises((TypeError, SqlInStanceError)):
        backend.run(bad(users, filled.User))
    assert backend.run(users.count()) == 4
    assert len(backend.run(users.findAllBy())) == 4


def test_an_executor_made_without_init_is_refused():
    bare = ModelExecutor.__new__(ModelExecutor)
    for call in (bare.count, bare.exists, lambda: bare.values(), lambda: bare.aggregate(n=FunctionCall("count"))):
        with pytest.raises(Exception):
            call()


def test_an_alias_made_without_init_is_refused():
    from Tessary.DB.Generator import ColumnAlias
    with pytest.raises(TypeError, match="alias"):
        ModelExecutor(User).values(ColumnAlias.__new__(ColumnAlias))
