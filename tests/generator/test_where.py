"""Where clauses: chains, groups, Q, where() and their failures."""

import pytest

from Tessary.DB.Generator import (
    CustomSqlGenerator,
    Q,
    QueryGroup,
    SqlGenerator,
    SqlInStanceError,
    SqlMissingRelationshipError,
    WhereSQLError,
    relationshipMap,
)
from Tessary.Model.ModelProperty import FilterListCell

build_where = SqlGenerator.build_where


def test_relationship_map():
    assert dict(relationshipMap) == {0: " AND ", 1: " OR ", 2: " = ", 3: " > ", 4: " >= ", 5: " < ",
                                     6: " <= ", 7: " != ", 9: " LIKE "}


def test_worked_example(models, chain):
    U = models.User
    cond = chain.link(chain.column(U.name), 2, chain.value("bob"), 0, chain.column(U.age), 3, chain.value(3))
    assert build_where(cond) == (" WHERE user.name  =  %s  AND user.age  >  %s ", ["bob", 3])


@pytest.mark.parametrize("code, op", sorted(relationshipMap.items()))
def test_every_operator(models, chain, code, op):
    cond = chain.link(chain.column(models.User.age), code, chain.value(1))
    assert build_where(cond) == (f" WHERE user.age {op} %s ", [1])


def test_no_condition():
    assert build_where(None) == ("", [])


@pytest.mark.parametrize("lone", ["value", "column"])
def test_a_lone_cell_is_not_a_condition(models, chain, lone):
    cell = chain.value(3) if lone == "value" else chain.column(models.User.id)
    with pytest.raises(SqlInStanceError) as raised:
        build_where(cell)
    assert raised.value.args == ()


def test_lone_group_is_a_condition():
    assert build_where(Q(None)) == (" WHERE  () ", [])


def test_group_texts(models, chain):
    U = models.User
    group = QueryGroup(chain.link(chain.column(U.id), 2, chain.value(5)))
    assert group.Build() == (" ( user.id  =  %s ) ", (5,))
    assert QueryGroup(None).Build() == (" () ", ())
    assert QueryGroup(query=None).Build() == (" () ", ())


def test_group_in_a_chain(models, chain):
    U = models.User
    inner = chain.link(chain.column(U.id), 2, chain.value(1), 1, chain.column(U.name), 2, chain.value("n"))
    cond = chain.link(Q(inner), 0, chain.column(U.age), 2, chain.value(9))
    assert build_where(cond) == (
        " WHERE  ( user.id  =  %s  OR user.name  =  %s )  AND user.age  =  %s ", [1, "n", 9])


def test_nested_groups_keep_no_where(models, chain):
    U = models.User
    innermost = chain.link(chain.column(U.id), 2, chain.value(1))
    middle = chain.link(Q(innermost), 1, chain.column(U.age), 5, chain.value(2))
    cond = chain.link(chain.column(U.name), 2, chain.value("a"), 0, Q(middle))
    text, args = build_where(cond)
    assert text == " WHERE user.name  =  %s  AND  (  ( user.id  =  %s )  OR user.age  <  %s ) "
    assert args == ["a", 1, 2]
    assert text.count("WHERE") == 1


def test_deep_nesting_is_bounded(models, chain):
    cond = chain.link(chain.column(models.User.id), 2, chain.value(0))
    for _ in range(100):
        cond = Q(cond)
    text, args = build_where(cond)
    assert args == [0] and text.count("(") == 100
    for _ in range(30_000):
        cond = Q(cond)
    with pytest.raises(RecursionError):
        build_where(cond)
    del cond


def test_unmapped_code_on_last_cell_adds_nothing(models, chain):
    cond = chain.link(chain.column(models.User.id), 2, chain.value(1))
    assert cond.next.relationship == 8
    assert build_where(cond)[0] == " WHERE user.id  =  %s "


@pytest.mark.parametrize("broken", ["column", "value"])
def test_missing_connector(models, chain, broken):
    U = models.User
    if broken == "value":
        cond = chain.link(chain.column(U.id), 2, chain.value(1), 8, chain.column(U.age), 2, chain.value(2))
        cell, following = cond.next, cond.next.next
    else:
        cond = chain.link(chain.column(U.id), 8, chain.value(1))
        cell, following = cond, cond.next
    with pytest.raises(SqlMissingRelationshipError) as raised:
        build_where(cond)
    assert raised.value.args == (cell.value, str(following))


def test_group_cell_with_code_8_runs_on(models, chain):
    U = models.User
    group = Q(chain.link(chain.column(U.id), 2, chain.value(1)))
    cond = chain.link(group, 8, chain.column(U.age), 2, chain.value(2))
    assert build_where(cond) == (" WHERE  ( user.id  =  %s ) user.age  =  %s ", [1, 2])


def test_values_never_enter_the_text(models, chain):
    nasty = "x' OR '1'='1"
    cond = chain.link(chain.column(models.User.name), 2, chain.value(nasty))
    text, args = build_where(cond)
    assert nasty not in text and args == [nasty]


def test_column_value_must_be_text(models):
    U = models.User
    bad = FilterListCell(42, col=U.id)
    bad.addCell(FilterListCell(1), 2)
    with pytest.raises(TypeError):
        build_where(bad)


def test_later_changes_to_the_chain_show(models, chain):
    U = models.User
    cond = chain.link(chain.column(U.id), 2, chain.value(1))
    sql = SqlGenerator().select(U.id).From(U).where(cond)
    first = sql.Build()
    cond.addCell(chain.column(U.age), 0).addCell(chain.value(2), 3)
    assert sql.Build() != first
    assert sql.Build() == ("SELECT user.id FROM user WHERE user.id  =  %s  AND user.age  >  %s  ;", (1, 2))


class Weird(CustomSqlGenerator):
    def __init__(self, result):
        super().__init__("", ())
        self.result = result

    def Build(self):
        return self.result


@pytest.mark.parametrize("result, error", [
    (("x",), ValueError),
    (("x", (), 3), ValueError),
    (("x", [1]), TypeError),
    (5, TypeError),
])
def test_group_value_build_must_give_a_pair(models, chain, result, error):
    cond = chain.link(FilterListCell(Weird(result)), 0, chain.column(models.User.id), 2, chain.value(1))
    with pytest.raises(error):
        build_where(cond)


def test_group_value_may_give_none_arguments_only_as_tuple(models, chain):
    cond = FilterListCell(Weird(("x", None)))
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        build_where(cond)


def test_group_value_pair_from_any_iterable():
    cond = FilterListCell(Weird(iter([" a = 1 ", ()])))
    assert build_where(cond) == (" WHERE  a = 1 ", [])


def test_get_where_cell_str(models, chain):
    args = []
    col = chain.link(chain.column(models.User.age), 4, chain.value(18))
    assert SqlGenerator._getWhereCellStr(col, args) == "user.age  >= "
    assert SqlGenerator._getWhereCellStr(col.next, args) == " %s "
    assert args == [18]
    with pytest.raises(TypeError, match="Argument 'args' has incorrect type"):
        SqlGenerator._getWhereCellStr(col, ())


class TestWhereMethod:
    def test_stores_and_replaces(self, models, chain):
        U = models.User
        sql = SqlGenerator().select(U.id).From("user")
        assert sql.where(chain.link(chain.column(U.id), 2, chain.value(1))) is sql
        sql.where(args=chain.link(chain.column(U.age), 2, chain.value(2)))
        assert sql.Build() == ("SELECT user.id FROM user WHERE user.age  =  %s  ;", (2,))
        sql.where()
        assert sql.Build() == ("SELECT user.id FROM user ;", ())
        sql.where(chain.link(chain.column(U.age), 2, chain.value(2)))
        sql.where(None)
        assert sql.Build() == ("SELECT user.id FROM user ;", ())

    def test_needs_a_statement_kind(self, models, chain):
        sql = SqlGenerator()
        with pytest.raises(WhereSQLError) as raised:
            sql.where(chain.link(chain.column(models.User.id), 2, chain.value(1)))
        assert raised.value.args == ()
        assert sql.Build() is None

    @pytest.mark.parametrize("call", [
        lambda c: SqlGenerator().select().where(c),
        lambda c: QueryGroup(c),
        lambda c: Q(c),
    ])
    @pytest.mark.parametrize("bad", [3, "user.id = 1", [FilterListCell(1)]])
    def test_type_checks(self, call, bad):
        with pytest.raises(TypeError, match=r"Argument '(args|query)' has incorrect type \(expected "
                                            r"Tessary.Model.ModelProperty.FilterListCell, got"):
            call(bad)

    def test_argument_counts(self):
        with pytest.raises(TypeError):
            QueryGroup()
        with pytest.raises(TypeError):
            Q(None, None)
        with pytest.raises(TypeError):
            SqlGenerator().select().where(None, None)


def test_q_makes_a_group_cell(models, chain):
    inner = chain.link(chain.column(models.User.id), 2, chain.value(1))
    cell = Q(inner)
    assert isinstance(cell, FilterListCell)
    assert isinstance(cell.value, QueryGroup)
    assert cell.next is None
    assert cell.relationship == 8
