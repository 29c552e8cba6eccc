"""SQL fragments: IN lists, custom SQL, function calls, custom column texts."""

import pytest

from Tessary.DB.Generator import (
    CustomColAnnounce,
    CustomSqlGenerator,
    FunctionCall,
    InOperatorGenerator,
    Q,
    SqlGenerator,
)
from Tessary.Model.ModelProperty import FilterListCell

build_where = SqlGenerator.build_where


class TestIn:
    def test_worked_example(self, models):
        assert InOperatorGenerator([1, 2, 3], models.User.id).Build() == (" user.id in (%s, %s, %s) ", (1, 2, 3))

    def test_keywords_and_any_sequence(self, models):
        gen = InOperatorGenerator(others=range(2), pro=models.User.age)
        assert gen.Build() == (" user.age in (%s, %s) ", (0, 1))

    def test_string_stays_one_value(self, models):
        assert InOperatorGenerator(["abc", "it's"], models.User.name).Build() == (
            " user.name in (%s, %s) ", ("abc", "it's"))

    def test_model_instances_give_their_key(self, models):
        U = models.User
        ann = U({"id": 7, "name": "ann", "age": None})
        gen = InOperatorGenerator([1, ann, 3], U.id)
        assert gen.Build() == (" user.id in (%s, %s, %s) ", (1, 7, 3))

    @pytest.mark.parametrize("bad", [(1, 2), [1], {"a": 1}, ()])
    def test_containers_are_rejected(self, models, bad):
        with pytest.raises(TypeError, match=f"cannot be a {type(bad).__name__}"):
            InOperatorGenerator([1, bad], models.User.id)

    def test_empty_matches_nothing(self, models):
        assert InOperatorGenerator([], models.User.id).Build() == (" 1 = 0 ", ())

    def test_in_a_chain(self, models, chain):
        U = models.User
        cond = chain.link(FilterListCell(InOperatorGenerator([1, 2], U.id)), 0,
                          chain.column(U.name), 9, chain.value("a%"))
        assert build_where(cond) == (" WHERE  user.id in (%s, %s)  AND user.name  LIKE  %s ", [1, 2, "a%"])

    def test_property_in(self, models):
        U = models.User
        cond = U.id.In([4, 5]) & (U.name == "x")
        text, args = build_where(cond)
        assert text == " WHERE  user.id in (%s, %s)  AND user.name  =  %s "
        assert args == [4, 5, "x"]

    def test_property_type(self):
        with pytest.raises(TypeError, match=r"Argument 'pro' has incorrect type \(expected "
                                            r"Tessary.Model.ModelProperty.BaseProperty, got str\)"):
            InOperatorGenerator([1], "user.id")

    def test_missing_property_fails_at_build(self):
        gen = InOperatorGenerator([1], None)
        with pytest.raises(AttributeError):
            gen.Build()

    def test_sequence_errors_propagate(self, models):
        class Short:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i:
                    raise IndexError(i)
                return 1
        with pytest.raises(IndexError):
            InOperatorGenerator(Short(), models.User.id)
        with pytest.raises(TypeError):
            InOperatorGenerator(5, models.User.id)


class TestCustomSql:
    def test_returns_what_it_was_given(self):
        args = (1, "a")
        gen = CustomSqlGenerator(" x = %s OR y = %s ", args)
        text, built = gen.Build()
        assert text == " x = %s OR y = %s " and built is args
        assert CustomSqlGenerator(sql=None, args=None).Build() == (None, None)

    def test_verbatim_in_a_chain(self, models, chain):
        cond = chain.link(FilterListCell(CustomSqlGenerator("  a>%s", (1,))), 1,
                          chain.column(models.User.id), 2, chain.value(2))
        assert build_where(cond) == (" WHERE   a>%s OR user.id  =  %s ", [1, 2])

    def test_none_arguments_fail_where_added(self):
        with pytest.raises(TypeError):
            build_where(FilterListCell(CustomSqlGenerator("x", None)))

    @pytest.mark.parametrize("sql, args, name", [(1, (), "sql"), ("x", [1], "args")])
    def test_types(self, sql, args, name):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            CustomSqlGenerator(sql, args)

class TestFunctionCall:
    def test_worked_examples(self, models):
        U = models.User
        assert FunctionCall("IFNULL", U.age, 0).Build() == ("IFNULL(user.age, %s) ", (0,))
        assert FunctionCall("COUNT", U.id).Build() == ("COUNT(user.id) ", ())

    def test_nested_calls_keep_argument_order(self, models):
        U = models.User
        inner = FunctionCall("COALESCE", U.name, "x")
        gen = FunctionCall("CONCAT", "a", inner, CustomSqlGenerator("?", ("b",)), U.age, 5)
        assert gen.Build() == ("CONCAT(%s, COALESCE(user.name, %s) , ?, user.age, %s) ", ("a", "x", "b", 5))

    def test_group_argument(self, models, chain):
        group = Q(chain.link(chain.column(models.User.id), 2, chain.value(3))).value
        assert FunctionCall("NOT", group).Build() == ("NOT( ( user.id  =  %s ) ) ", (3,))

    def test_as_condition(self, models, chain):
        cond = chain.link(FilterListCell(FunctionCall("ISNULL", models.User.age)), 0,
                          chain.column(models.User.id), 3, chain.value(1))
        assert build_where(cond) == (" WHERE ISNULL(user.age)  AND user.id  >  %s ", [1])

    def test_without_arguments(self):
        assert FunctionCall("NOW").Build() == ("NOW() ", ())
        assert FunctionCall(func_name="RAND").Build() == ("RAND() ", ())

    def test_name_checks(self):
        with pytest.raises(TypeError, match="Argument 'func_name' has incorrect type"):
            FunctionCall(3)
        with pytest.raises(TypeError):
            FunctionCall()
        with pytest.raises(TypeError):
            FunctionCall("A", func_name="B")
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            FunctionCall("A", x=1)
        with pytest.raises(TypeError):
            FunctionCall(None, 1).Build()

    def test_generator_argument_must_give_a_tuple(self):
        class Listy(CustomSqlGenerator):
            def Build(self):
                return ["x", ()]
        with pytest.raises(TypeError, match="Expected tuple, got list"):
            FunctionCall("F", Listy("", ())).Build()

    def test_custom_col_announce_is_not_an_argument(self):
        with pytest.raises(AttributeError):
            FunctionCall("F", CustomColAnnounce("x")).Build()


class TestCustomColAnnounce:
    def test_build_is_not_public(self):
        assert not hasattr(CustomColAnnounce("x"), "Build")

    def test_checks(self):
        CustomColAnnounce(announce=None)
        with pytest.raises(TypeError, match="Argument 'announce' has incorrect type"):
            CustomColAnnounce(b"x")
        with pytest.raises(TypeError):
            CustomColAnnounce()


def test_deeply_nested_calls(models):
    call = FunctionCall("F", 1)
    for _ in range(50):
        call = FunctionCall("G", call)
    text, args = call.Build()
    assert args == (1,) and text.count("G(") == 50
    for _ in range(30_000):
        call = FunctionCall("G", call)
    with pytest.raises(RecursionError):
        call.Build()
