"""Registering tasks (data_task, create_task), RunnerTask, and the runner's
arguments. Runs go through run_group with a group of the test's own and a
model whose executor records what it is asked to save."""

import enum

import pytest

from Tessary.Ext import Seeder
from Tessary.Ext.Seeder import GeneratorRunner, RunnerTask, create_task, data_task
from Tessary.Model.Carrack import ModelExecutor


@pytest.fixture
def saved():
    return []


@pytest.fixture
def Model(models, saved):
    """SdUser whose getExecutor() returns an executor recording each save."""
    class Recording(ModelExecutor):
        def save(self, instance):
            saved.append(instance)
            return "ignored"

    class Recorded(models.User):
        @classmethod
        def getExecutor(cls, con=None):
            return Recording(cls)

    return Recorded


def recorder(Model, calls):
    def generate(time):
        calls.append(time)
        return Model(name=f"n{time}", n=time)
    return generate


class TestDataTask:
    def test_decorated_function_is_returned_unchanged_and_run_in_order(self, Model, group, saved):
        calls = []

        @data_task(Model, 3, group)
        def make(time):
            calls.append(time)
            return Model(n=time)

        assert make.__name__ == "make" and make(time=7)["n"] == 7
        calls.clear()
        assert GeneratorRunner().run_group(group) is None
        assert calls == [1, 2, 3]
        assert [(i.object, i["n"]) for i in saved] == [(Model, 1), (Model, 2), (Model, 3)]

    def test_arguments_by_keyword_and_decorator_argument_by_keyword(self, Model, group, saved):
        calls = []
        generate = recorder(Model, calls)
        assert data_task(group=group, count=2, model=Model)(fun=generate) is generate
        GeneratorRunner().run_group(group)
        assert calls == [1, 2] and len(saved) == 2

    def test_default_count_is_one(self, Model, group):
        calls = []
        data_task(Model, group=group)(recorder(Model, calls))
        GeneratorRunner().run_group(group)
        assert calls == [1]

    @pytest.mark.parametrize("count, name", [(True, "bool"), (2.0, "float"), ("2", "str")])
    def test_count_must_be_exactly_an_integer(self, Model, group, count, name):
        with pytest.raises(TypeError) as info:
            data_task(Model, count, group)
        assert str(info.value) == f"Argument 'count' has incorrect type (expected int, got {name})"

    def test_count_none_fails_when_applied_and_registers_nothing(self, Model, group):
        calls = []
        inner = data_task(Model, None, group)
        with pytest.raises(TypeError):
            inner(recorder(Model, calls))
        GeneratorRunner().run_group(group)
        assert calls == []

    def test_create_task_is_looked_up_at_each_call(self, monkeypatch, Model):
        seen = []
        inner = data_task(Model, 4, "g")
        monkeypatch.setattr(Seeder, "create_task", lambda *args: seen.append(args))
        generate = recorder(Model, [])
        assert inner(generate) is generate
        assert seen == [(generate, Model, 4, "g")]

    def test_argument_counts(self, Model):
        with pytest.raises(TypeError, match=r"data_task\(\) takes at most 3 positional arguments \(4 given\)"):
            data_task(Model, 1, "g", 4)
        with pytest.raises(TypeError):
            data_task(Model)()
        with pytest.raises(TypeError):
            data_task(Model)(1, 2)


class Kind(enum.Enum):
    A = "a"
    B = "b"


class TestCreateTask:
    def test_returns_none_and_registers(self, Model, group):
        calls = []
        assert create_task(recorder(Model, calls), Model, 2, group) is None
        GeneratorRunner().run_group(group)
        assert calls == [1, 2]

    def test_one_group_keeps_its_tasks_in_order(self, Model, group, saved):
        create_task(lambda time: Model(name="first", n=time), Model, 2, group)
        create_task(lambda time: Model(name="second", n=time), Model, count=1, group=group)
        GeneratorRunner().run_group(group)
        assert [(i["name"], i["n"]) for i in saved] == [("first", 1), ("first", 2), ("second", 1)]

    @pytest.mark.parametrize("falsy", ["", 0, None])
    def test_a_false_group_is_not_a_group(self, Model, falsy):
        calls = []
        create_task(recorder(Model, calls), Model, 1, falsy)
        GeneratorRunner().run_group(falsy)
        assert calls == []

    def test_enumeration_members_are_groups(self, Model, saved):
        calls = []
        # A fresh member each time would not be unique: the class is shared,
        # so this test only asserts the calls it added itself.
        create_task(recorder(Model, calls), Model, 1, Kind.A)
        GeneratorRunner().run_group(Kind.A)
        assert calls[-1:] == [1]

    @pytest.mark.parametrize("count, error", [(None, TypeError), ("1", TypeError), (2 ** 31, OverflowError)])
    def test_bad_count(self, Model, group, count, error):
        calls = []
        with pytest.raises(error):
            create_task(recorder(Model, calls), Model, count, group)
        GeneratorRunner().run_group(group)
        assert calls == []

    def test_unhashable_group(self, Model):
        with pytest.raises(TypeError, match="unhashable"):
            create_task(recorder(Model, []), Model, 1, ["g"])

    def test_argument_counts(self, Model):
        with pytest.raises(TypeError):
            create_task()
        with pytest.raises(TypeError):
            create_task(print, Model, 1, "g", 5)
        with pytest.raises(TypeError, match="unexpected keyword argument 'time'"):
            create_task(print, time=1)


class TestRunnerTask:
    def test_fields(self, Model):
        task = RunnerTask(count=2, generator=print, model=Model)
        assert task.model is Model
        with pytest.raises(AttributeError):
            task.model = None
        assert not hasattr(task, "count") and not hasattr(task, "generator")

    @pytest.mark.parametrize("absent", [None, 0, ""])
    def test_model_learned_once_from_the_generator(self, Model, absent):
        calls = []
        task = RunnerTask(absent, 5, recorder(Model, calls))
        assert task.model is Model and task.model is Model
        assert calls == [1]

    def test_learning_needs_an_instance(self):
        with pytest.raises(TypeError, match="^Cannot convert dict to Tessary.Model.DataModel.ModelInstance$"):
            RunnerTask(None, 1, lambda time: {"n": time}).model

    @pytest.mark.parametrize("args, error", [
        ((None, 1), TypeError), ((None, 1, print, 4), TypeError), ((None, "1", print), TypeError),
        ((None, 2 ** 32, print), OverflowError),
    ])
    def test_bad_arguments(self, args, error):
        with pytest.raises(error):
            RunnerTask(*args)


class TestGeneratorRunner:
    def test_arguments(self):
        GeneratorRunner()
        GeneratorRunner(None)
        GeneratorRunner(loop=object())
        with pytest.raises(TypeError):
            GeneratorRunner(None, None)
        with pytest.raises(TypeError):
            GeneratorRunner(lop=None)

    @pytest.mark.parametrize("method", ["run", "arun"])
    def test_no_arguments(self, method):
        with pytest.raises(TypeError):
            getattr(GeneratorRunner(), method)(1)

    def test_run_group_takes_no_keywords(self):
        with pytest.raises(TypeError, match="run_group\\(\\) got an unexpected keyword argument 'group'"):
            GeneratorRunner().run_group(group="a")

    def test_internal_pass_is_not_exposed(self):
        assert not hasattr(GeneratorRunner, "_run")

    def test_run_group_with_unhashable_name(self):
        with pytest.raises(TypeError, match="unhashable"):
            GeneratorRunner().run_group([])

    def test_groups_run_in_registration_order_each_once(self, Model, saved, group):
        other = group + "-other"
        for name, where in (("a", group), ("b", other), ("c", group + "-skipped"), ("d", other)):
            create_task(lambda time, name=name: Model(name=name, n=time), Model, 1, where)
        GeneratorRunner().run_group(other, group, group, "no such group")
        assert [i["name"] for i in saved] == ["a", "b", "d"]

    def test_unknown_group_runs_nothing(self, saved):
        assert GeneratorRunner().run_group("no such group") is None
        assert GeneratorRunner().run_group() is None
        assert saved == []

    def test_asynchronous_connector_without_loop(self, Model, group):
        class AsyncStandIn:
            isAsync, con_type, getCon = True, 0, None

        from Tessary.DB.DB import DB
        handle = DB.getInstance()
        previous, handle.connector = handle.connector, AsyncStandIn()
        try:
            create_task(recorder(Model, []), Model, 1, group)
            with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'is_running'"):
                GeneratorRunner().run_group(group)
        finally:
            handle.connector = previous
