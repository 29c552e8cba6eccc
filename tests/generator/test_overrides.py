"""Subclasses written in Python: overridden From, update, join and Build are
used by the builder itself; other subclasses behave as their base."""

import pytest

from Tessary.DB.Generator import (
    BaseSqlGenerator,
    CustomColAnnounce,
    CustomSqlGenerator,
    FunctionCall,
    InOperatorGenerator,
    QueryGroup,
    SqlGenerator,
    TableGenerator,
    buildDefault,
)
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import FilterListCell, IntegerProperty

build_where = SqlGenerator.build_where


class Prefixed(SqlGenerator):
    """Every table name gets a schema prefix."""

    def From(self, target):
        name = target if isinstance(target, str) else target.tableName
        return super().From("app." + name)


@pytest.mark.parametrize("start, text", [
    (lambda s: s.select().From("user"), "SELECT  FROM app.user ;"),
    (lambda s: s.update("user").set(), "UPDATE app.user SET;"),
    (lambda s: s.delete("user"), "DELETE FROM app.user "),
    (lambda s: s.insert("user").values(), "INSERT INTO app.user () values ();"),
])
def test_from_override_is_used(use_connector, start, text):
    use_connector(con_type=0)
    assert start(Prefixed()).Build()[0] == text


def test_model_class_through_from_override(models):
    assert Prefixed().delete(models.User).Build()[0] == "DELETE FROM app.user "


@pytest.mark.parametrize("result, ok", [(None, True), (5, False)])
def test_from_override_result_is_checked(result, ok):
    class Odd(SqlGenerator):
        def From(self, target):
            super().From(target)
            return result

    for method in ("update", "delete", "insert"):
        sql = Odd()
        if ok:
            assert getattr(sql, method)("user") is sql
        else:
            with pytest.raises(TypeError):
                getattr(sql, method)("user")


def test_plain_subclass_builds_as_base(models, chain):
    class Plain(SqlGenerator):
        pass

    U = models.User
    cond = chain.link(chain.column(U.id), 2, chain.value(1))
    a = Plain().select(U.id).From(U).where(cond)
    b = SqlGenerator().select(U.id).From(U).where(cond)
    a.Limit(1, 0)
    b.Limit(1, 0)
    assert a.Build() == b.Build()


def test_build_override_of_a_statement():
    class Fixed(SqlGenerator):
        def Build(self):
            return ("SELECT 1;", ())

    assert Fixed().Build() == ("SELECT 1;", ())


class TestGroupValueOverrides:
    def test_group_subclass(self, models, chain):
        class Negated(QueryGroup):
            def Build(self):
                text, args = super().Build()
                return " NOT" + text, args

        inner = chain.link(chain.column(models.User.id), 2, chain.value(1))
        cond = FilterListCell(Negated(inner))
        assert build_where(cond) == (" WHERE  NOT ( user.id  =  %s ) ", [1])

    def test_in_subclass(self, models):
        class NotIn(InOperatorGenerator):
            def Build(self):
                text, args = super().Build()
                return text.replace(" in (", " not in ("), args

        assert build_where(FilterListCell(NotIn([1], models.User.id))) == (" WHERE  user.id not in (%s) ", [1])

    def test_function_subclass_nested(self, models):
        class Upper(FunctionCall):
            def Build(self):
                return ("UPPER(x) ", ("u",))

        assert FunctionCall("F", Upper("ignored"), 2).Build() == ("F(UPPER(x) , %s) ", ("u", 2))

    def test_base_subclass_with_build(self):
        class Raw(BaseSqlGenerator):
            def Build(self):
                return (" raw ", (1,))

        assert build_where(FilterListCell(Raw())) == (" WHERE  raw ", [1])

    def test_base_subclass_without_build(self):
        class Nothing(BaseSqlGenerator):
            pass

        with pytest.raises(AttributeError):
            build_where(FilterListCell(Nothing()))


class TestDefaultOverrides:
    """Column defaults use the virtual Build, which a subclass may replace."""

    def model_with_default(self, default):
        class WithDefault(DataModel):
            tableName = "with_default"
            value = IntegerProperty(default=default)
        return WithDefault

    def test_announce_subclass(self):
        class Now(CustomColAnnounce):
            def Build(self):
                return ("NOW()", None)

        assert buildDefault(self.model_with_default(Now("x")).value) == "NOW()"

    def test_override_must_give_a_tuple(self):
        class Listy(CustomColAnnounce):
            def Build(self):
                return ["x"]

        with pytest.raises(TypeError, match="Expected tuple, got list"):
            buildDefault(self.model_with_default(Listy("x")).value)

    def test_announce_subclass_without_build(self):
        class Quiet(CustomColAnnounce):
            pass

        assert buildDefault(self.model_with_default(Quiet("7")).value) == "7"

    def test_base_generator_default_has_no_text(self):
        with pytest.raises(IndexError):
            buildDefault(self.model_with_default(BaseSqlGenerator()).value)

    def test_statement_as_default(self, models):
        sub = SqlGenerator().select(models.User.id).From("user")
        assert buildDefault(self.model_with_default(sub).value) == "SELECT user.id FROM user ;"

    def test_table_generator_as_default(self, models):
        text = buildDefault(self.model_with_default(TableGenerator(models.Tag)).value)
        assert text.startswith("CREATE TABLE tag( \n")

    def test_custom_sql_default(self):
        assert buildDefault(self.model_with_default(CustomSqlGenerator("(1+1)", ())).value) == "(1+1)"
