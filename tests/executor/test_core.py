"""Executor core: construction, the builder's life cycle, process dispatch
and ModelExecutor.execute."""

import pytest

from Tessary.DB.DB import DB
from Tessary.DB.Generator import SqlGenerator
from Tessary.Error.SqlError import SqlInStanceError
from Tessary.Model.Carrack import BaseModelExecutor, ModelExecutor
from Tessary.Model.DataModel import InstanceList, ModelInstance

SQL_ERROR = "Cannot convert int to Tessary.DB.Generator.SqlGenerator"


class Spy:
    """Stands in for the handle's execute: records its keyword arguments."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        return self.result


@pytest.fixture
def spy():
    handle = DB.getInstance()
    handle.execute = Spy()
    yield handle.execute
    del handle.__dict__["execute"]


class TestConstruction:
    @pytest.mark.parametrize("args, message", [
        ((), "__init__() takes at least 1 positional argument (0 given)"),
        ((1, 2, 3), "__init__() takes at most 2 positional arguments (3 given)"),
    ])
    def test_argument_count(self, args, message):
        with pytest.raises(TypeError) as err:
            BaseModelExecutor(*args)
        assert str(err.value) == message

    def test_fresh_state(self, models):
        ex = ModelExecutor(models.User)
        assert isinstance(ex.sql, SqlGenerator)
        assert ex.generator is ex.sql
        assert ex.__dict__ == {}
        assert ex.reset() is None

    def test_constructor_replaces_the_attribute_dictionary(self, models):
        ex = ModelExecutor.__new__(ModelExecutor)
        ex.note = 1
        ex.__init__(models.User)
        assert ex.__dict__ == {}

    @pytest.mark.parametrize("work, expected", [
        (type("Wrapper", (), {"con": "the connection"})(), "the connection"),
        ("plain connection", "plain connection"),
    ])
    def test_work_is_unwrapped_from_its_con(self, models, spy, work, expected):
        ModelExecutor(models.User, work=work).execute()
        assert spy.calls[0]["con"] == expected

    @pytest.mark.parametrize("falsy", [0, [], ""])
    def test_falsy_work_counts_as_no_connection(self, models, spy, falsy):
        ex = ModelExecutor(models.User, falsy)
        ex.execute()
        assert spy.calls == [{"executor": ex}]

    def test_python_subclass(self, models):
        class Mine(ModelExecutor):
            def __init__(self, model):
                super().__init__(model)
                self.extra = "kept"

        ex = Mine(models.User)
        assert ex.extra == "kept" and ex.__dict__ == {"extra": "kept"}


class TestSqlAttribute:
    def test_typed_setter_keeps_the_old_builder(self, models):
        ex = ModelExecutor(models.User)
        before = ex.sql
        with pytest.raises(TypeError) as err:
            ex.sql = 42
        assert str(err.value) == SQL_ERROR
        assert ex.sql is before

    def test_accepts_builder_subclass_and_none(self, models):
        class Mine(SqlGenerator):
            pass

        ex = ModelExecutor(models.User)
        ex.sql = Mine()
        assert type(ex.generator) is Mine
        del ex.sql
        assert ex.sql is None and ex.generator is None

    def test_generator_is_read_only(self, models):
        with pytest.raises(AttributeError):
            ModelExecutor(models.User).generator = SqlGenerator()


class TestLifeCycle:
    def test_reset_after_execute_gives_a_fresh_builder(self, users):
        ex = users.getExecutor()
        ex.findAllBy()
        old = ex.sql
        assert ex.reset() is ex
        assert ex.sql is not old and ex.reset() is None

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1,), {}, "reset() takes exactly 0 positional arguments (1 given)"),
        ((), {"x": 1}, "reset() got an unexpected keyword argument 'x'"),
    ])
    def test_reset_takes_no_arguments(self, models, args, kwargs, message):
        with pytest.raises(TypeError) as err:
            ModelExecutor(models.User).reset(*args, **kwargs)
        assert str(err.value) == message

    def test_edit_sql_before_a_query_reaches_it(self, users, statements):
        ex = users.getExecutor()
        assert ex.editSql(lambda sql: sql.Limit(2, 1)) is ex
        assert [u.id for u in ex.findAllBy()] == [2, 3]
        assert statements[-1][0].endswith(" limit 1, 2;")

    def test_edit_sql_right_after_a_run_is_discarded(self, users, statements):
        ex = users.getExecutor()
        ex.findAllBy()
        ex.editSql(lambda sql: sql.Limit(1, 0))
        assert len(ex.findAllBy()) == 4
        assert "limit" not in statements[-1][0]

    def test_reset_then_edit_sql_carries_the_clause(self, users, statements):
        ex = users.getExecutor()
        ex.findAllBy()
        ex.reset()
        ex.editSql(lambda sql: sql.Limit(1, 0))
        assert len(ex.findAllBy()) == 1

    def test_edit_sql_callback_error_propagates(self, models):
        def broken(sql):
            raise LookupError("from callback")

        with pytest.raises(LookupError, match="from callback"):
            ModelExecutor(models.User).editSql(callback=broken)

    def test_bare_base_executor_runs_nothing(self, models):
        ex = BaseModelExecutor(models.User)
        assert ex.execute() is None
        assert ex.findAllBy() is None
        with pytest.raises(SqlInStanceError) as err:
            ex.findAllBy()
        assert err.value.args == (0, 0)

    def test_failed_run_still_counts_as_executed(self, backend, models):
        ex = models.User.getExecutor()  # no table yet
        with pytest.raises(Exception):
            ex.findAllBy()
        backend.create(models.User)
        assert ex.findAllBy() == []


class TestExecute:
    def test_keywords_passed_to_the_handle(self, models, spy):
        ex = ModelExecutor(models.User)
        ex.execute()
        bound = ModelExecutor(models.User, work="con")
        bound.execute()
        assert spy.calls == [{"executor": ex}, {"executor": bound, "con": "con"}]

    def test_result_is_the_handles(self, models, spy):
        spy.result = "from the handle"
        assert ModelExecutor(models.User).findAllBy() == "from the handle"

    @pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"con": 1})])
    def test_takes_no_arguments(self, models, args, kwargs):
        with pytest.raises(TypeError):
            ModelExecutor(models.User).execute(*args, **kwargs)

    def test_handle_rejects_other_executors(self, models):
        with pytest.raises(TypeError) as err:
            DB.getInstance().execute(executor="nope")
        assert str(err.value) == ("Argument 'executor' has incorrect type "
                                  "(expected Tessary.Model.Carrack.BaseModelExecutor, got str)")


class TestProcess:
    def test_select_maps_rows_to_instances(self, users):
        found = users.getExecutor().findAllBy(users.id == 1)
        assert type(found) is InstanceList
        assert type(found[0]) is ModelInstance and found[0].object is users
        assert found == [{"id": 1, "name": "ann", "age": 30, "active": True}]

    def test_empty_select_gives_an_empty_list(self, users):
        found = users.getExecutor().findAllBy(users.id == 99)
        assert type(found) is InstanceList and found == []

    def test_update_without_stored_instance_gives_none(self, users):
        ex = users.getExecutor()
        ex.sql.update(users).set(users.name.updateCell("zed")).where(users.id == 1)
        assert ex.execute() is None

    def test_update_gives_the_stored_instance(self, users):
        ex = users.getExecutor()
        ex.instance = "stored"
        ex.sql.update(users).set(users.name.updateCell("zed")).where(users.id == 1)
        assert ex.execute() == "stored"

    def test_delete_gives_none(self, users):
        ex = users.getExecutor()
        ex.sql.delete(users).where(users.id == 4)
        assert ex.execute() is None

    def test_insert_without_stored_instance_gives_the_key(self, users):
        ex = users.getExecutor()
        ex.sql.insert(users).values(users.name.insertCell("eve"))
        made = ex.execute()
        assert made == {"id": 5} and made.object is users

    def test_insert_completes_a_missing_key(self, users):
        inst = users(name="eve", id=None)
        assert users.getExecutor().save(inst) is inst
        assert inst["id"] == 5

    def test_insert_keeps_a_key_the_instance_carries(self, users):
        inst = users(id=70, name="eve")
        assert users.getExecutor().save(inst) == {"id": 70, "name": "eve"}

    def test_generated_key_beyond_32_bits(self, backend, models):
        big = models.Big
        backend.create(big)
        first = 2**31 + 10
        if backend.name == "mariadb":
            DB.getInstance().executeSql(f"ALTER TABLE ex_big AUTO_INCREMENT = {first}")
        else:
            DB.getInstance().executeSql(f"INSERT INTO ex_big (id) VALUES ({first - 1})")
        saved = big.getExecutor().save(big(label="wide"))
        assert saved["id"] == first
        assert backend.rows("SELECT id FROM ex_big WHERE label = %s", ("wide",)) == [(first,)]


class TestAttributeLookup:
    def test_operations_reach_overrides(self, users):
        calls = []

        class Tracing(ModelExecutor):
            def reset(self):
                calls.append("reset")
                return super().reset()

            def execute(self):
                calls.append("execute")
                return super().execute()

            def findAllBy(self, Filter=None):
                calls.append("findAllBy")
                return super().findAllBy(Filter)

        ex = Tracing(users)
        assert ex.findOneBy(users.id == 1)["name"] == "ann"
        assert calls == ["reset", "findAllBy", "reset", "execute"]

    def test_instance_attribute_shadows_the_method(self, users):
        ex = users.getExecutor()
        ex.execute = lambda: "shadowed"
        assert ex.findAllBy() == "shadowed"
