"""Query operations: find/By, findAllBy, findOneBy, findAnyMatch."""

import pytest

from Tessary.Error.QueryError import QueryResoutIsNotOne
from Tessary.Error.SqlError import SqlInStanceError, WhereSQLError
from Tessary.Model.Carrack import ModelExecutor

SELECT_ALL = "SELECT ex_user.id,ex_user.name,ex_user.age,ex_user.active FROM ex_user"


def ids(instances):
    return [i["id"] for i in instances]


class TestFindAllBy:
    def test_no_filter_selects_every_row_and_column(self, users, statements):
        assert ids(users.getExecutor().findAllBy()) == [1, 2, 3, 4]
        assert statements == [(SELECT_ALL + " ;", ())]

    def test_filter(self, users, statements):
        assert ids(users.getExecutor().findAllBy(Filter=users.age > 29)) == [1, 3]
        assert statements == [(SELECT_ALL + " WHERE ex_user.age  >  %s  ;", (29,))]

    @pytest.mark.parametrize("method", ["By", "findAllBy", "findOneBy"])
    def test_filter_type_checked_before_anything(self, models, statements, method):
        ex = ModelExecutor(models.User)
        with pytest.raises(TypeError) as err:
            getattr(ex, method)(Filter=42)
        assert str(err.value) == ("Argument 'Filter' has incorrect type "
                                  "(expected Tessary.Model.ModelProperty.FilterListCell, got int)")
        assert statements == [] and ex.sql.Build() is None

    def test_too_many_arguments(self, models):
        with pytest.raises(TypeError) as err:
            ModelExecutor(models.User).findAllBy(None, None)
        assert str(err.value) == "findAllBy() takes at most 1 positional argument (2 given)"


class TestFindOneBy:
    def test_exactly_one(self, users):
        assert users.getExecutor().findOneBy(users.name == "bob") == {
            "id": 2, "name": "bob", "age": 0, "active": False}

    @pytest.mark.parametrize("matching", [0, 2])
    def test_none_or_several_raise(self, users, matching):
        condition = {0: users.id == 99, 2: users.active == True}[matching]  # noqa: E712
        with pytest.raises(QueryResoutIsNotOne) as err:
            users.getExecutor().findOneBy(condition)
        assert err.value.args == ()

    def test_result_of_an_overridden_find_all_by_is_checked(self, users):
        class Odd(ModelExecutor):
            def findAllBy(self, Filter=None):
                return ["not", "an", "instance list"]

        with pytest.raises(TypeError) as err:
            Odd(users).findOneBy()
        assert str(err.value) == "Cannot convert list to Tessary.Model.DataModel.InstanceList"


class TestFindBy:
    def test_selected_columns_under_their_own_names(self, users, statements):
        found = users.getExecutor().find(users.age, users.name).By(users.id == 2)
        assert found == [{"age": 0, "name": "bob"}]
        assert found[0].object is users
        assert statements == [("SELECT ex_user.age,ex_user.name FROM ex_user WHERE ex_user.id  =  %s  ;", (2,))]

    def test_find_returns_the_executor(self, models):
        ex = ModelExecutor(models.User)
        assert ex.find(models.User.id) is ex

    def test_find_takes_no_keywords(self, models):
        with pytest.raises(TypeError) as err:
            ModelExecutor(models.User).find(col=models.User.id)
        assert str(err.value) == "find() got an unexpected keyword argument 'col'"

    def test_by_on_a_fresh_executor(self, models, statements):
        with pytest.raises(WhereSQLError):
            ModelExecutor(models.User).By(models.User.id == 1)
        assert statements == []

    def test_select_chosen_by_edit_sql_then_find(self, models):
        ex = ModelExecutor(models.User).editSql(lambda sql: sql.select(models.User.id))
        with pytest.raises(SqlInStanceError):
            ex.find(models.User.name)


class TestFindAnyMatch:
    def test_set_fields_become_conditions(self, users, statements):
        assert ids(users.getExecutor().findAnyMatch(users(name="dan", active=True))) == [4]
        assert statements == [(SELECT_ALL + " WHERE  %s  AND ex_user.name  =  %s  AND ex_user.active  =  %s  ;",
                               ("1", "dan", True))]

    @pytest.mark.parametrize("example, expected", [
        ({"age": 0}, [2]),
        ({"name": ""}, [3]),
        ({"active": False}, [2]),
        ({"age": None, "name": "ann"}, [1]),
    ])
    def test_falsy_values_are_conditions_none_is_not(self, users, example, expected):
        assert ids(users.getExecutor().findAnyMatch(users(example))) == expected

    def test_every_column_is_examined(self, users):
        last = users.col[-1].name
        assert ids(users.getExecutor().findAnyMatch(users({last: False}))) == [2]

    @pytest.mark.parametrize("args, expected, tail", [
        ((1,), [1], "  order by ex_user.id limit 0, 1;"),
        ((1, 1), [4], "  order by ex_user.id limit 1, 1;"),
        ((0, 5), [1, 4], "  order by ex_user.id ;"),
        ((-1, 5), [1, 4], "  order by ex_user.id ;"),
    ])
    def test_limit_and_offset(self, users, statements, args, expected, tail):
        ex = users.getExecutor().editSql(lambda sql: sql.orderBy("ex_user.id"))
        assert ids(ex.findAnyMatch(users(active=True), *args)) == expected
        assert statements[0][0].endswith(tail)

    def test_no_set_field_is_refused_when_built(self, users):
        with pytest.raises(SqlInStanceError):
            users.getExecutor().findAnyMatch(users(name=None))

    def test_none_fails_when_the_first_column_is_examined(self, users):
        with pytest.raises(AttributeError):
            users.getExecutor().findAnyMatch(None)

    def test_instance_type_checked_after_select(self, models):
        ex = ModelExecutor(models.User)
        with pytest.raises(TypeError) as err:
            ex.findAnyMatch({"name": "ann"})
        assert str(err.value) == "Cannot convert dict to Tessary.Model.DataModel.ModelInstance"
        with pytest.raises(SqlInStanceError):  # select had already run
            ex.sql.select()

    @pytest.mark.parametrize("args, error", [
        ((), TypeError), (("x", "y"), TypeError), ((None, 2**31), OverflowError), ((None, 1, 2, 3), TypeError),
    ])
    def test_argument_checks(self, models, args, error):
        with pytest.raises(error):
            ModelExecutor(models.User).findAnyMatch(*args)
