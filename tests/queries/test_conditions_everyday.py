"""Conditions beyond equality: IS [NOT] NULL, NOT IN, BETWEEN, case-blind LIKE,
NOT, column against column, and IN / EXISTS over a subquery. Texts on SQLite,
results against raw SQL on the four connectors."""

import pytest

from Tessary.DB.Generator import ColumnComparison, Exists, Q, SqlGenerator
from Tessary.Model.ModelProperty import FilterListCell, IntegerProperty

SELECT_USER = "SELECT q_user.id,q_user.name,q_user.age,q_user.visits,q_user.email FROM q_user"


def posts_of(blog, *cols):
    return SqlGenerator().select(*cols).From(blog.Post)


# (condition on the blog, WHERE text, arguments)
TEXT_CASES = {
    "is-null": (lambda b: b.User.age.isNull(), " WHERE q_user.age  IS NULL ", ()),
    "is-not-null": (lambda b: b.User.email.isNotNull(), " WHERE q_user.email  IS NOT NULL ", ()),
    "not-in": (lambda b: b.User.id.notIn([1, 3]), " WHERE  q_user.id NOT IN (%s, %s) ", (1, 3)),
    "not-in-empty": (lambda b: b.User.id.notIn([]), " WHERE  1 = 1 ", ()),
    "in-empty": (lambda b: b.User.id.In(()), " WHERE  1 = 0 ", ()),
    "between": (lambda b: b.User.age.between(25, 40) & (b.User.visits > 1),
                " WHERE  q_user.age BETWEEN %s AND %s  AND q_user.visits  >  %s ", (25, 40, 1)),
    "ilike": (lambda b: b.User.name.ilike("b%"), " WHERE  LOWER(q_user.name) LIKE LOWER(%s) ", ("b%",)),
    "not": (lambda b: ~((b.User.id == 1) | b.User.age.isNull()),
            " WHERE  NOT ( q_user.id  =  %s  OR q_user.age  IS NULL ) ", (1,)),
    "columns": (lambda b: b.User.visits > b.User.age, " WHERE  q_user.visits > q_user.age ", ()),
    "in-query": (lambda b: b.User.id.In(posts_of(b, b.Post.user_id).where(b.Post.score >= 5)) & (b.User.age < 50),
                 " WHERE  q_user.id IN (SELECT q_post.user_id FROM q_post WHERE q_post.score  >=  %s)"
                 "  AND q_user.age  <  %s ", (5, 50)),
    "exists": (lambda b: (b.User.age > 20) & ~Exists(posts_of(b, b.Post.id).where(b.Post.user_id == b.User.id)),
               " WHERE q_user.age  >  %s  AND  NOT (  EXISTS (SELECT q_post.id FROM q_post WHERE  "
               "q_post.user_id = q_user.id) ) ", (20,)),
}


@pytest.mark.parametrize("case", TEXT_CASES.values(), ids=TEXT_CASES.keys())
def test_statement_texts_and_arguments(sync_backend, blog, statements, case):
    condition, where, args = case
    sync_backend.create(*blog.tables)
    statements.clear()
    sync_backend.executor(blog.User).findAllBy(condition(blog))
    assert statements == [("execute", SELECT_USER + where + " ;", args)]


# (condition, the same question in raw SQL on q_user, its arguments)
RESULT_CASES = [
    (lambda b: b.User.age.isNull(), "age IS NULL", ()),
    (lambda b: b.User.email.isNotNull(), "email IS NOT NULL", ()),
    (lambda b: b.User.id.notIn([1, 3]), "id NOT IN (1, 3)", ()),
    (lambda b: b.User.id.notIn([]), "1 = 1", ()),
    (lambda b: b.User.age.between(25, 31), "age BETWEEN 25 AND 31", ()),
    (lambda b: b.User.name.ilike("B%") | b.User.name.ilike("%N"), "name IN ('Bob', 'ann')", ()),
    (lambda b: ~(b.User.age > 30), "NOT (age > 30)", ()),
    (lambda b: b.User.visits > b.User.age, "visits > age", ()),
    (lambda b: b.User.id.In(posts_of(b, b.Post.user_id).where(b.Post.score >= 5)),
     "id IN (SELECT user_id FROM q_post WHERE score >= 5)", ()),
    (lambda b: b.User.id.notIn(posts_of(b, b.Post.user_id).where(b.Post.user_id.isNotNull())),
     "id NOT IN (SELECT user_id FROM q_post WHERE user_id IS NOT NULL)", ()),
    (lambda b: Exists(posts_of(b, b.Post.id).where((b.Post.user_id == b.User.id) & (b.Post.version > 1))),
     "EXISTS (SELECT 1 FROM q_post WHERE q_post.user_id = q_user.id AND version > 1)", ()),
    (lambda b: ~Exists(posts_of(b, b.Post.id).where(b.Post.user_id == b.User.id)) & b.User.age.isNotNull(),
     "NOT EXISTS (SELECT 1 FROM q_post WHERE q_post.user_id = q_user.id) AND age IS NOT NULL", ()),
    # Hostile values travel as arguments: they match what they match, and nothing else.
    (lambda b: b.User.name.ilike("%'%") | b.User.name.ilike("%%s%") | b.User.name.ilike("a\0%"),
     "LOWER(name) LIKE LOWER(%s) OR LOWER(name) LIKE LOWER(%s) OR LOWER(name) LIKE LOWER(%s)", ("%'%", "%%s%", "a\0%")),
    (lambda b: b.User.name.notIn(["ann'); DROP TABLE q_user; --", "%s", "Bob"]),
     "name NOT IN (%s, %s, %s)", ("ann'); DROP TABLE q_user; --", "%s", "Bob")),
    (lambda b: b.User.name.between("B", "c"), "name BETWEEN %s AND %s", ("B", "c")),
]


def test_results_match_raw_sql(backend, filled):
    users = backend.executor(filled.User)
    for condition, where, args in RESULT_CASES:
        found = backend.run(users.findAllBy(condition(filled)))
        expected = backend.rows(f"SELECT id FROM q_user WHERE {where} ORDER BY id", args)
        assert sorted(u["id"] for u in found) == [row[0] for row in expected], where
    assert backend.rows("SELECT COUNT(*) FROM q_user") == [(4,)]


def test_ilike_ignores_ascii_case_on_every_connector(backend, filled):
    found = backend.run(backend.executor(filled.Post).findAllBy(filled.Post.title.ilike("%POST%")))
    assert [p["title"] for p in found] == ["bob's post"]


def test_hostile_values_stay_out_of_the_text(sync_backend, blog, statements):
    sync_backend.create(*blog.tables)
    statements.clear()
    U = blog.User
    hostile = ["'; --", "%s", "a\0b", "\\"]
    sync_backend.executor(U).findAllBy(U.name.notIn(hostile) & U.email.between(*hostile[:2])
                                       & U.name.ilike(hostile[2]))
    (_, text, args), = statements
    assert args == (*hostile, *hostile[:2], hostile[2])
    assert text.count("%s") == len(args)
    for value in ("'", "--", "\0", "\\"):
        assert value not in text


class TestColumnComparison:
    def test_truth_value_is_identity_for_equality(self, blog):
        U, P = blog.User, blog.Post
        assert type(P.user_id == U.id) is ColumnComparison
        assert bool(U.id == U.id) and not bool(U.id == U.name) and bool(U.id != U.name)
        assert U.name in [U.id, U.name] and U.age not in (U.id, U.name) and {U.id: 1, U.name: 2}[U.name] == 2
        assert hash(U.id) == object.__hash__(U.id)

    def test_other_comparisons_have_no_truth_value(self, blog):
        with pytest.raises(TypeError, match="no truth value"):
            bool(blog.User.visits >= blog.User.age)

    def test_linked_and_alone_it_is_a_condition(self, blog):
        U, P = blog.User, blog.Post
        # Alone, a comparison whose truth value is False is still the condition.
        assert SqlGenerator.build_where(P.user_id == U.id) == (" WHERE  q_post.user_id = q_user.id ", [])
        assert SqlGenerator.build_where(P.user_id != U.id) == (" WHERE  q_post.user_id != q_user.id ", [])
        # Linked, the copy is a plain condition cell.
        linked = (P.user_id == U.id) & (P.score > 1)
        assert type(linked) is FilterListCell
        with pytest.raises(TypeError):
            bool(linked)

    def test_unbound_properties_compare_by_identity_only(self):
        a, b = IntegerProperty(), IntegerProperty()
        assert (a == a) is True and (a == b) is False and (a != b) is True


class TestRefusals:
    @pytest.mark.parametrize("make, error, message", [
        (lambda b: b.User.name.ilike(3), TypeError, "ilike\\(\\) expects a str pattern, got int"),
        (lambda b: b.User.age.between(1), TypeError, "between"),
        (lambda b: b.User.age.isNull(1), TypeError, "isNull"),
        (lambda b: b.User.id.notIn("12"), TypeError, "notIn\\(\\) expects a sequence of values, got str"),
        (lambda b: b.User.id.notIn([[1]]), TypeError, "cannot be a list"),
        (lambda b: b.User.id.In(posts_of(b, b.Post.id, b.Post.user_id)), ValueError,
         "exactly one column, this one selects 2"),
        (lambda b: b.User.id.notIn(SqlGenerator().From(b.Post)), ValueError, "SELECT builder"),
        (lambda b: Exists(5), TypeError, "Exists\\(\\) takes a SqlGenerator selecting rows, got int"),
        (lambda b: Exists(SqlGenerator().delete(b.Post)), ValueError, "SELECT builder"),
        (lambda b: ~b.User.id, TypeError, "bad operand type for unary ~"),
        (lambda b: IntegerProperty().between(1, 2), TypeError, "belongs to no model class"),
    ])
    def test_wrong_arguments(self, blog, make, error, message):
        with pytest.raises(error, match=message):
            make(blog)

    def test_a_subquery_inside_itself_is_a_recursion_error(self, blog):
        sub = posts_of(blog, blog.Post.user_id)
        sub.where(blog.Post.user_id.In(sub))
        with pytest.raises(RecursionError):
            sub.Build()

    def test_deep_negation_is_a_recursion_error(self, blog):
        condition = blog.User.id == 1
        for _ in range(100_000):
            condition = ~condition
        with pytest.raises(RecursionError):
            SqlGenerator.build_where(condition)

    def test_group_keeps_the_subquery_where(self, blog):
        U, P = blog.User, blog.Post
        text, _ = SqlGenerator.build_where(Q(U.id.In(posts_of(blog, P.user_id).where(P.score > 1)) & (U.age > 1)))
        assert text.count("WHERE") == 2
