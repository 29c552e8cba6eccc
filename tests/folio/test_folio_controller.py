"""_Folio and Folio: construction, the chained calls, the count statement and
the replaceable steps of a fetch."""

import os
import subprocess
import sys
import textwrap

import pytest

from Tessary.DB.Generator import SqlGenerator
from Tessary.Error.SqlError import SqlInStanceError
from Tessary.Ext.Folio import Folio, Page, T, _Folio


def builder(folio):
    """The pending statement builder of the controller's executor."""
    seen = []
    folio.editSql(seen.append)
    return seen[0]


class TestConstruction:
    def test_defaults(self, models):
        folio = Folio(models.User)
        assert type(folio) is _Folio
        assert (folio.page, folio.pageSize, folio.deep) == (1, 10, False)
        assert builder(folio).Build() is None  # getExecutor's fresh builder, no statement kind yet

    def test_factory_converts_its_arguments(self, models):
        folio = Folio(models.User, True, 3, findForeign=[0])
        assert (folio.page, folio.pageSize, folio.deep) == (1, 3, True)

    def test_each_controller_has_its_own_executor(self, models):
        assert builder(Folio(models.User)) is not builder(Folio(models.User))

    @pytest.mark.parametrize("make", [Folio, _Folio])
    @pytest.mark.parametrize("page, pageSize, message", [
        (1, 0, "pageSize参数必须为大于零的整数"),
        (1, -3, "pageSize参数必须为大于零的整数"),
        (0, 0, "pageSize参数必须为大于零的整数"),  # pageSize is tested first
        (0, 10, "page参数必须为大于零的整数"),
        (-1, 1, "page参数必须为大于零的整数"),
    ])
    def test_page_arguments_are_asserted(self, models, make, page, pageSize, message):
        with pytest.raises(AssertionError) as info:
            make(models.User, page, pageSize)
        assert str(info.value) == message

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"page": 2 ** 31}, OverflowError, "value too large to convert to int"),
        ({"pageSize": -2 ** 31 - 1}, OverflowError, "value too large to convert to int"),
        ({"page": "1"}, TypeError, None),
        ({"pageSize": 2.0}, TypeError, None),
    ])
    def test_page_arguments_are_c_ints(self, models, kwargs, error, message):
        for make in (Folio, _Folio):
            with pytest.raises(error) as info:
                make(models.User, **kwargs)
            if message:
                assert str(info.value) == message

    def test_argument_count(self, models):
        with pytest.raises(TypeError, match=r"takes at most 4 positional arguments \(5 given\)"):
            Folio(models.User, 1, 10, False, None)
        with pytest.raises(TypeError, match=r"takes at least 1 positional argument \(0 given\)"):
            _Folio()

    def test_model_without_executor_is_rejected(self, models):
        class NoExecutor(models.User):
            @classmethod
            def getExecutor(cls, con=None):
                return None

        with pytest.raises(TypeError, match=r"getExecutor\(\) returned None"):
            Folio(NoExecutor)

    def test_executor_must_be_a_model_executor(self):
        class Fake:
            @staticmethod
            def getExecutor():
                return object()

        with pytest.raises(TypeError, match="^Cannot convert object to Tessary.Model.Carrack.BaseModelExecutor$"):
            Folio(Fake)

    def test_type_variable(self):
        assert T.__name__ == "T"


def test_assertions_follow_debug_at_import(models):
    """Under -O the page arguments are not checked; a zero page size then
    fails when the page count is computed."""
    script = textwrap.dedent("""
        from Tessary.DB.DB import DB
        from Tessary.Ext.Folio import Folio
        from Tessary.Model.DataModel import DataModel
        from Tessary.Model.ModelProperty import IntegerProperty
        class M(DataModel):
            tableName = "m"
            id = IntegerProperty(isPrimaryKey=True)
        DB.getInstance().executeSql("CREATE TABLE m (id INTEGER PRIMARY KEY)")
        folio = Folio(M, 0, 0)
        print(folio.page, folio.pageSize)
        try:
            folio.execute()
        except ZeroDivisionError:
            print("ZeroDivisionError")
    """)
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True,
                         env=os.environ, check=True).stdout
    assert out.split("\n") == ["0 0", "ZeroDivisionError", ""]


class TestChainedCalls:
    def test_every_call_returns_the_controller(self, models):
        folio = Folio(models.User)
        assert folio.filter(models.User.age > 1) is folio
        assert folio.orderBy("fo_user.id desc") is folio
        assert folio.setPage(2) is folio
        assert folio.findForeign() is folio and folio.deep is True
        assert folio.editSql(lambda sql: None) is folio

    @pytest.mark.parametrize("args, expected", [
        ((2,), (2, 10)), ((2, 0), (2, 10)), ((2, -5), (2, 10)), ((2, 20), (2, 20)),
        ((0,), (0, 10)), ((-4, 1), (-4, 1)),
    ])
    def test_set_page(self, models, args, expected):
        folio = Folio(models.User).setPage(*args)
        assert (folio.page, folio.pageSize) == expected

    def test_set_page_by_keyword_and_bad_values(self, models):
        folio = Folio(models.User).setPage(pageSize=4, page=3)
        assert (folio.page, folio.pageSize) == (3, 4)
        with pytest.raises(TypeError):
            folio.setPage()
        with pytest.raises(OverflowError):
            folio.setPage(1, 2 ** 40)
        assert (folio.page, folio.pageSize) == (3, 4)

    def test_filter_selects_every_column_with_the_condition(self, models):
        folio = Folio(models.User).filter(models.User.age >= 3)
        assert builder(folio).Build() == (
            "SELECT fo_user.id,fo_user.name,fo_user.age FROM fo_user WHERE fo_user.age  >=  %s  ;", (3,))

    def test_filter_by_keyword_and_none(self, models):
        assert builder(Folio(models.User).filter(args=None)).Build() == (
            "SELECT fo_user.id,fo_user.name,fo_user.age FROM fo_user ;", ())

    @pytest.mark.parametrize("condition, name", [(3, "int"), ("fo_user.id = 1", "str"),
                                                 (SqlGenerator(), "Tessary.DB.Generator.SqlGenerator")])
    def test_filter_argument_type(self, models, condition, name):
        with pytest.raises(TypeError) as info:
            Folio(models.User).filter(condition)
        assert str(info.value) == ("Argument 'args' has incorrect type (expected "
                                   f"Tessary.Model.ModelProperty.FilterListCell, got {name})")

    def test_second_filter_fails_and_keeps_the_first(self, models):
        folio = Folio(models.User).filter(models.User.id == 1)
        with pytest.raises(SqlInStanceError):
            folio.filter(models.User.id == 2)
        assert builder(folio).Build()[1] == (1,)

    def test_order_by_goes_to_the_builder(self, models):
        folio = Folio(models.User).filter().orderBy("fo_user.age desc", "fo_user.id")
        assert builder(folio).Build()[0] == (
            "SELECT fo_user.id,fo_user.name,fo_user.age FROM fo_user order by fo_user.age desc, fo_user.id ;")
        with pytest.raises(TypeError, match="orderBy\\(\\) got an unexpected keyword argument 'x'"):
            folio.orderBy(x="fo_user.id")

    def test_edit_sql_hands_over_the_pending_builder(self, models):
        seen = []
        folio = Folio(models.User)
        folio.editSql(callable=seen.append)
        assert len(seen) == 1 and type(seen[0]) is SqlGenerator
        with pytest.raises(TypeError):
            folio.editSql()

    @pytest.mark.parametrize("method", ["findForeign", "_getCount", "_execute", "_asyncExecute", "execute"])
    def test_methods_without_arguments(self, models, method):
        with pytest.raises(TypeError):
            getattr(Folio(models.User), method)(1)


class TestCountStatement:
    def test_without_conditions(self, backend, users, statements):
        assert list(backend.run(Folio(users)._getCount())) == [(25,)]
        assert statements == [("executeSql", "select count(fo_user.id) from fo_user  ", ())]

    def test_with_conditions(self, backend, users, statements):
        backend.run(Folio(users).filter((users.age > 1) & (users.name != "u04"))._getCount())
        assert statements == [("executeSql", "select count(fo_user.id) from fo_user   WHERE fo_user.age  >  %s "
                               " AND fo_user.name  !=  %s ", (1, "u04"))]

    def test_with_a_join(self, backend, users, models, statements):
        folio = Folio(users).filter(models.Post.title == "t").editSql(lambda sql: sql.leftJoin(users.posts))
        assert list(backend.run(folio._getCount())) == [(0,)]
        assert statements == [("executeSql", "select count(fo_user.id) from fo_user \n       LEFT JOIN fo_post on "
                               "fo_user.id = fo_post.user_id\n  WHERE fo_post.title  =  %s ", ("t",))]


def returning(backend, value):
    """`value` as the path of the backend expects it from a step: itself, or a coroutine yielding it."""
    if not backend.is_async:
        return value

    async def later():
        return value
    return later()


class TestReplaceableSteps:
    def test_count_is_looked_up_on_the_instance(self, backend, users):
        class Counted(_Folio):
            def _getCount(self):
                return returning(backend, [(3,)])

        page = backend.run(Counted(users, 1, 2).execute())
        assert (page.total, page.totalPage, [u.id for u in page.content]) == (3, 2, [1, 2])

    def test_page_count_is_exact_for_any_row_count(self, backend, users):
        huge = 10 * 2 ** 53 + 10  # total / pageSize is not representable as a float

        class Huge(_Folio):
            def _getCount(self):
                return returning(backend, [[huge]])

        page = backend.run(Huge(users).setPage(3).execute())
        assert page.total == huge and page.totalPage == 2 ** 53 + 1
        assert [u.id for u in page.content] == list(range(21, 26))

    @pytest.mark.parametrize("result", [None, Page(9, 9)])
    def test_execute_accepts_a_page_or_none_from_a_replacement(self, backend, users, result):
        class Replaced(_Folio):
            def _execute(self):
                return result

            def _asyncExecute(self):
                return returning(backend, result)

        assert backend.run(Replaced(users).execute()) is result

    def test_execute_checks_what_the_synchronous_fetch_returns(self, backend, users):
        class Replaced(_Folio):
            def _execute(self):
                return {"page": 1}

            def _asyncExecute(self):
                return {"page": 2}

        if backend.is_async:  # the coroutine path hands over what _asyncExecute() returned
            assert Replaced(users).execute() == {"page": 2}
            return
        with pytest.raises(TypeError, match="^Cannot convert dict to Tessary.Ext.Folio.Page$"):
            Replaced(users).execute()

    def test_a_failed_fetch_leaves_the_controller_usable(self, backend, models, statements):
        folio = Folio(models.User, pageSize=2)
        with pytest.raises(Exception, match="fo_user"):
            backend.run(folio.execute())  # no table yet
        backend.create(models.User)
        backend.insert("fo_user", ("name",), [("a",), ("b",), ("c",)])
        page = backend.run(folio.setPage(2).execute())
        assert (page.total, page.totalPage, [u.name for u in page.content]) == (3, 2, ["c"])
