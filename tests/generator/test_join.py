"""Joins: JoinCell, joinList, join and its typed forms, the join text."""

import pytest

from Tessary.DB.Generator import JoinCell, JoinType, SqlGenerator, joinTypeMap


def ident(name):
    """A table name as statements write it: the reserved word `order` quoted."""
    return f"`{name}`" if name == "order" else name


def line(keyword, fk):
    """The join line of one relation property, from its own attributes."""
    target = ident(fk.target.tableName)
    return (f"       {keyword}{target} on {ident(fk.owner.tableName)}.{fk.bindCol.name} = "
            f"{target}.{fk.targetBindCol.name}\n")


def test_tables():
    assert {m.name: int(m) for m in JoinType} == {"JOIN": 0, "LEFT": 1, "RIGHT": 2, "INNER": 3}
    assert dict(joinTypeMap) == {0: "JOIN ", 1: "LEFT JOIN ", 2: "RIGHT JOIN ", 3: "INNER JOIN "}


def test_worked_example(models, chain):
    O = models.Order
    sql = SqlGenerator().select(O.id).From(O).leftJoin(O.buyer)
    sql.where(chain.link(chain.column(models.User.name), 2, chain.value("ann")))
    assert sql.Build() == (
        "SELECT `order`.id FROM `order`\n"
        "       LEFT JOIN user on `order`.user_id = user.id\n"
        " WHERE user.name  =  %s  ;", ("ann",))


@pytest.mark.parametrize("method, keyword", [
    (lambda s, fk: s.join(fk), "JOIN "),
    (lambda s, fk: s.join(fk, 0), "JOIN "),
    (lambda s, fk: s.join(foreignKey=fk, joinType=JoinType.RIGHT), "RIGHT JOIN "),
    (lambda s, fk: s.leftJoin(fk), "LEFT JOIN "),
    (lambda s, fk: s.rightJoin(foreignKey=fk), "RIGHT JOIN "),
    (lambda s, fk: s.innerJoin(fk), "INNER JOIN "),
])
def test_join_kinds(models, method, keyword):
    U = models.User
    sql = SqlGenerator().select(U.id).From(U)
    assert method(sql, U.orders) is sql
    assert len(sql.joinList) == 1
    assert sql.build_join() == "\n" + f"       {keyword}`order` on user.id = `order`.user_id\n"
    assert sql.Build()[0] == f"SELECT user.id FROM user\n       {keyword}`order` on user.id = `order`.user_id\n ;"


def test_joins_accumulate_in_call_order(models):
    U = models.User
    sql = SqlGenerator().select(U.id).From(U).leftJoin(U.orders).leftJoin(models.Order.buyer)
    assert sql.build_join() == "\n" + line("LEFT JOIN ", U.orders) + line("LEFT JOIN ", models.Order.buyer)


def test_many_to_many_goes_through_the_junction(models):
    U, T = models.User, models.Tag
    fk = U.tags
    assert fk.target is not fk.directTarget and fk.directTarget is T
    onward = fk.target.getOtherFkBy(U)
    sql = SqlGenerator().select(U.id, T.label).From(U).innerJoin(fk)
    assert len(sql.joinList) == 2
    text = sql.Build()[0]
    junction = fk.target.tableName
    assert text == ("SELECT user.id,tag.label FROM user\n"
                    + line("INNER JOIN ", fk) + line("INNER JOIN ", onward) + " ;")
    assert f"INNER JOIN {junction} on user.id = {junction}." in text
    assert text.index(f"JOIN {junction} ") < text.index("JOIN tag ")


def test_far_side_of_many_to_many_joins_the_junction(models):
    U, T = models.User, models.Tag
    back = getattr(T, U.tableName)
    assert back.target is back.directTarget is U.tags.target
    sql = SqlGenerator().select(T.label).From(T).join(back)
    assert len(sql.joinList) == 1
    assert sql.build_join() == "\n" + line("JOIN ", back)


class TestJoinList:
    def test_fresh_and_stable(self, models):
        sql = SqlGenerator()
        empty = sql.joinList
        assert empty == []
        assert sql.joinList is not empty  # an empty list is replaced on every access
        sql.join(models.User.orders)
        entries = sql.joinList
        assert sql.joinList is entries and len(entries) == 1

    def test_read_only(self):
        with pytest.raises(AttributeError):
            SqlGenerator().joinList = []

    def test_no_entries_renders_a_newline(self):
        assert SqlGenerator().build_join() == "\n"

    def test_foreign_entries_are_rejected(self, models):
        sql = SqlGenerator().select(models.User.id).From("user").join(models.User.orders)
        sql.joinList.append("JOIN x")
        with pytest.raises(TypeError, match="Cannot convert str to Tessary.DB.Generator.JoinCell"):
            sql.Build()

    def test_joins_are_ignored_outside_select(self, models):
        sql = SqlGenerator().delete("user").join(models.User.orders)
        assert sql.Build() == ("DELETE FROM user ", ())


class TestJoinCell:
    @pytest.mark.parametrize("kind, keyword", [(None, "JOIN "), (1, "LEFT JOIN "), (3, "INNER JOIN ")])
    def test_entries_made_by_hand(self, models, kind, keyword):
        sql = SqlGenerator().select(models.User.id).From("user")
        fk = models.User.orders
        sql.joinList.append(JoinCell(fk) if kind is None else JoinCell(fk=fk, joinType=kind))
        assert sql.build_join() == "\n" + line(keyword, fk)

    @pytest.mark.parametrize("kind", [4, -1, 2**31 - 1])
    def test_unknown_kind_fails_at_build(self, models, kind):
        sql = SqlGenerator().select(models.User.id).From("user").join(models.User.orders, kind)
        with pytest.raises(TypeError):
            sql.Build()

    @pytest.mark.parametrize("args, kwargs, error", [
        ((), {}, TypeError),
        ((1, 2, 3), {}, TypeError),
        ((1, "x"), {}, TypeError),
        ((1, 2**31), {}, OverflowError),
        ((1,), {"kind": 2}, TypeError),
    ])
    def test_constructor_checks(self, args, kwargs, error):
        with pytest.raises(error):
            JoinCell(*args, **kwargs)

    def test_join_checks_its_kind(self, models):
        with pytest.raises(TypeError):
            SqlGenerator().join(models.User.orders, "LEFT")
        with pytest.raises(OverflowError):
            SqlGenerator().join(models.User.orders, 2**40)


def test_lookup_errors_propagate_after_first_entry(models):
    class HalfKey:
        owner = models.User
        target = models.Order

        @property
        def directTarget(self):
            raise LookupError("directTarget")

    sql = SqlGenerator()
    with pytest.raises(LookupError):
        sql.join(HalfKey())
    assert len(sql.joinList) == 1


class Recording(SqlGenerator):
    def __init__(self):
        super().__init__()
        self.calls = []

    def join(self, foreignKey, joinType=0):
        self.calls.append(joinType)
        return super().join(foreignKey, joinType)


def test_typed_joins_go_through_an_override(models):
    sql = Recording().select(models.User.id).From("user")
    assert sql.leftJoin(models.User.orders) is sql
    sql.rightJoin(models.User.orders)
    sql.innerJoin(models.User.orders)
    assert sql.calls == [1, 2, 3]


@pytest.mark.parametrize("result, ok", [(None, True), (SqlGenerator(), True), (5, False), ("x", False)])
def test_override_result_is_checked(models, result, ok):
    class Odd(SqlGenerator):
        def join(self, foreignKey, joinType=0):
            return result

    sql = Odd()
    if ok:
        assert sql.leftJoin(models.User.orders) is result
    else:
        with pytest.raises(TypeError):
            sql.leftJoin(models.User.orders)
