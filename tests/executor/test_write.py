"""delete, and the argument contract of the base save and update."""

import pytest

from Tessary.Error.DBError import DeleteWithOutPrimaryKeyError
from Tessary.Error.SqlError import SqlInStanceError
from Tessary.Model.Carrack import BaseModelExecutor, ModelExecutor
from Tessary.Model.ModelProperty import FilterListCell


def remaining(backend):
    return [row[0] for row in backend.rows("SELECT id FROM ex_user ORDER BY id")]


class TestDelete:
    def test_instance_deletes_its_row(self, users, backend, statements):
        assert users.getExecutor().delete(users(id=2)) is None
        assert remaining(backend) == [1, 3, 4]
        assert statements == [("DELETE FROM ex_user  WHERE ex_user.id  =  %s ", (2,))]

    @pytest.mark.parametrize("key", [None, 0])
    def test_instance_without_key_is_refused(self, users, backend, statements, key):
        with pytest.raises(DeleteWithOutPrimaryKeyError) as err:
            users.getExecutor().delete(users(id=key, name="ann"))
        assert err.value.args == ()
        assert statements == [] and remaining(backend) == [1, 2, 3, 4]

    @pytest.mark.parametrize("call", [
        lambda ex, f: ex.delete(None, f),
        lambda ex, f: ex.delete(filter=f),
        lambda ex, f: ex.delete({"id": 1}, f),  # the instance is ignored
    ])
    def test_filter_deletes_what_it_matches(self, users, backend, call):
        call(users.getExecutor(), users.age > 29)
        assert remaining(backend) == [2, 4]

    def test_falsy_filter_counts_as_none(self, users, backend):
        class Falsy(FilterListCell):
            def __bool__(self):
                return False

        with pytest.raises(DeleteWithOutPrimaryKeyError):
            users.getExecutor().delete({"id": None}, Falsy("x"))
        users.getExecutor().delete({"id": 3}, Falsy("x"))
        assert remaining(backend) == [1, 2, 4]

    def test_none_instance_without_filter(self, models):
        with pytest.raises(TypeError):
            ModelExecutor(models.User).delete()

    def test_pending_select_refuses_the_delete(self, models):
        ex = ModelExecutor(models.User).editSql(lambda sql: sql.select())
        with pytest.raises(SqlInStanceError) as err:
            ex.delete(filter=models.User.id == 1)
        assert err.value.args == (0, 2)

    def test_too_many_arguments(self, models):
        with pytest.raises(TypeError) as err:
            ModelExecutor(models.User).delete(1, 2, 3)
        assert str(err.value) == "delete() takes at most 2 positional arguments (3 given)"


class TestBaseSaveUpdate:
    @pytest.mark.parametrize("method", ["save", "update"])
    def test_none_is_refused(self, models, method):
        with pytest.raises(TypeError) as err:
            getattr(BaseModelExecutor(models.User), method)(None)
        assert str(err.value) == ("Argument 'instance' has incorrect type "
                                  "(expected Tessary.Model.DataModel.ModelInstance, got NoneType)")

    @pytest.mark.parametrize("method", ["save", "update"])
    def test_base_forms_do_nothing(self, models, statements, method):
        ex = BaseModelExecutor(models.User)
        assert getattr(ex, method)(instance=models.User(name="x")) is None
        assert statements == [] and ex.__dict__ == {}

    def test_argument_count(self, models):
        with pytest.raises(TypeError) as err:
            BaseModelExecutor(models.User).save()
        assert str(err.value) == "save() takes exactly 1 positional argument (0 given)"
