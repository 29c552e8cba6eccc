"""Ordering and limits: orderBy with columns, asc()/desc() terms and
expressions; findAllBy's orderBy/limit/offset keywords; Folio's orderBy.
Texts on SQLite, results against raw SQL on the four connectors."""

import pytest

from Tessary.DB.Generator import FunctionCall, OrderTerm, SqlGenerator
from Tessary.Ext.Folio import Folio

SELECT_USER = "SELECT q_user.id,q_user.name,q_user.age,q_user.visits,q_user.email FROM q_user"


@pytest.fixture
def texts(sync_backend, blog, statements):
    """findAllBy(**kw) on SQLite -> the (text, args) it sent."""
    sync_backend.create(*blog.tables)
    statements.clear()

    def sent(*args, **kw):
        sync_backend.executor(blog.User).findAllBy(*args, **kw)
        (_, text, values), = statements
        statements.clear()
        return text, values
    return sent


TEXT_CASES = {
    "none": ({}, " ;", ()),
    "column": ({"orderBy": lambda U: U.age}, " order by q_user.age ;", ()),
    "terms": ({"orderBy": lambda U: [U.age.desc(), U.name.asc(), "q_user.id desc"]},
              " order by q_user.age DESC, q_user.name ASC, q_user.id desc ;", ()),
    "expression": ({"orderBy": lambda U: (OrderTerm(FunctionCall("COALESCE", U.age, 99), True), U.id)},
                   " order by COALESCE(q_user.age, %s) DESC, q_user.id ;", (99,)),
    "own-terms": ({"orderBy": lambda U: [FunctionCall("COALESCE", U.age, 99).desc(), (U.visits + 1).asc()]},
                  " order by COALESCE(q_user.age, %s) DESC, q_user.visits + %s ASC ;", (99, 1)),
    "limit": ({"limit": 2}, " limit 2;", ()),
    "limit-offset": ({"orderBy": lambda U: U.id.desc(), "limit": 2, "offset": 1},
                     " order by q_user.id DESC limit 2 offset 1;", ()),
    "offset": ({"offset": 3}, " limit 9223372036854775807 offset 3;", ()),
    "zero": ({"limit": 0, "offset": 0}, " limit 0 offset 0;", ()),
}


@pytest.mark.parametrize("case", TEXT_CASES.values(), ids=TEXT_CASES.keys())
def test_statement_texts(texts, blog, case):
    keywords, tail, args = case
    keywords = {k: v(blog.User) if callable(v) else v for k, v in keywords.items()}
    assert texts(**keywords) == (SELECT_USER + tail, args)


def test_filter_arguments_come_before_the_ordering_ones(texts, blog):
    U = blog.User
    order = FunctionCall("COALESCE", U.visits, -3)
    assert texts(U.name != "x", orderBy=order, limit=1) == (
        SELECT_USER + " WHERE q_user.name  !=  %s  order by COALESCE(q_user.visits, %s) limit 1;", ("x", -3))


def test_without_the_keywords_the_statement_is_unchanged(texts, blog):
    U = blog.User
    assert texts(U.age > 1) == texts(U.age > 1, orderBy=None, limit=None, offset=None) == (
        SELECT_USER + " WHERE q_user.age  >  %s  ;", (1,))


def ids(found):
    return [row["id"] for row in found]


def test_results_match_raw_sql(backend, filled):
    U = filled.User
    users = backend.executor(U)
    cases = [
        ({"orderBy": U.visits.desc()}, "ORDER BY visits DESC"),
        ({"orderBy": [U.age.asc(), U.id.desc()], "limit": 3},
         "ORDER BY age ASC, id DESC LIMIT 3"),
        ({"orderBy": (FunctionCall("LOWER", U.name),), "limit": 2, "offset": 1},
         "ORDER BY LOWER(name) LIMIT 2 OFFSET 1"),
        ({"orderBy": U.id, "offset": 2}, "ORDER BY id LIMIT 100 OFFSET 2"),
        ({"orderBy": [(U.visits * 2).desc(), FunctionCall("LOWER", U.name).asc()]},
         "ORDER BY visits * 2 DESC, LOWER(name) ASC"),
        ({"orderBy": U.id, "limit": 0}, "ORDER BY id LIMIT 0"),
    ]
    for keywords, raw in cases:
        found = backend.run(users.findAllBy(**keywords))
        assert ids(found) == [row[0] for row in backend.rows(f"SELECT id FROM q_user {raw}")], raw
    filtered = backend.run(users.findAllBy(U.age.isNotNull(), orderBy=U.age.desc(), limit=2))
    assert ids(filtered) == [row[0] for row in backend.rows(
        "SELECT id FROM q_user WHERE age IS NOT NULL ORDER BY age DESC LIMIT 2")]


def test_folio_orders_by_terms(backend, filled):
    U = filled.User
    page = backend.run(Folio(U, 1, 2).filter(U.visits > 0).orderBy(U.visits.desc(), U.id).execute())
    assert ids(page.content) == [row[0] for row in backend.rows(
        "SELECT id FROM q_user WHERE visits > 0 ORDER BY visits DESC, id LIMIT 2")]
    assert page.total == 3


class TestRefusals:
    @pytest.mark.parametrize("keywords, error, message", [
        ({"limit": True}, TypeError, "limit must be an int, got bool"),
        ({"offset": "1"}, TypeError, "offset must be an int, got str"),
        ({"limit": 1.0}, TypeError, "limit must be an int, got float"),
        ({"limit": -1}, ValueError, "limit must not be negative, got -1"),
        ({"offset": -2}, ValueError, "offset must not be negative"),
        ({"limit": 2**70}, OverflowError, ""),
        ({"orderBy": 5}, TypeError, "orderBy\\(\\) takes columns, asc\\(\\)/desc\\(\\) terms, expressions or SQL text, got int"),
        ({"orderBy": [object()]}, TypeError, "got object"),
        ({"order": "id"}, TypeError, "unexpected keyword argument 'order'"),
    ])
    def test_findAllBy_keywords(self, sync_backend, blog, keywords, error, message):
        with pytest.raises(error, match=message):
            sync_backend.executor(blog.User).findAllBy(**keywords)

    def test_keywords_are_keyword_only(self, sync_backend, blog):
        with pytest.raises(TypeError, match="at most 1 positional argument \\(2 given\\)"):
            sync_backend.executor(blog.User).findAllBy(None, blog.User.id)

    def test_a_refused_term_leaves_the_executor_usable(self, sync_backend, blog):
        sync_backend.create(blog.User)
        users = sync_backend.executor(blog.User)
        with pytest.raises(TypeError):
            users.findAllBy(orderBy=[blog.User.id, 3.5])
        assert list(users.findAllBy(orderBy=blog.User.id)) == []

    def test_an_executor_without_a_builder_refuses_clearly(self, sync_backend, blog):
        users = sync_backend.executor(blog.User)
        users.sql = None
        with pytest.raises(AttributeError, match="orderBy"):
            users.findAllBy(orderBy=blog.User.id)

    @pytest.mark.parametrize("make, message", [
        (lambda U: OrderTerm(3), "orders by a column of a model class or an expression, got int"),
        (lambda U: OrderTerm(U.id.desc()), "got Tessary.DB.Generator.OrderTerm"),
        (lambda U: OrderTerm(U.id, 1), "descending must be a bool, got int"),
        (lambda U: U.id.desc(True), "desc"),
        (lambda U: SqlGenerator().orderBy("a", None), "got NoneType"),
    ])
    def test_order_terms(self, blog, make, message):
        with pytest.raises(TypeError, match=message):
            make(blog.User)

    def test_build_order_refuses_terms_with_arguments(self, blog):
        assert SqlGenerator.build_order((blog.User.id.desc(), "x")) == " order by q_user.id DESC, x"
        with pytest.raises(ValueError, match="carry arguments"):
            SqlGenerator.build_order((FunctionCall("ABS", 1),))
