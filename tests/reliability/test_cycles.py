"""Reference cycles through every extension type are freed by the cyclic
collector: each case closes a cycle through a field of the type (so a
tp_traverse that misses the field keeps the cycle alive) and holds only a
weak reference to a plain object inside it."""

import asyncio
import gc
import sqlite3
import weakref

import pytest

from Tessary.DB.Connector import (
    AioMysqlConnector,
    AioSqliteConnector,
    Sqlite3Connector,
    Transaction,
)
from Tessary.DB.DB import DB
from Tessary.DB.Generator import (
    CustomColAnnounce,
    CustomSqlGenerator,
    FunctionCall,
    InOperatorGenerator,
    JoinCell,
    Q,
    QueryGroup,
    SqlGenerator,
    TableGenerator,
)
from Tessary.Ext.Dict import DictPlus
from Tessary.Ext.Folio import Folio, Page
from Tessary.Ext.Seeder import GeneratorRunner, RunnerTask
from Tessary.Model.Carrack import AsyncModelExecutor, BaseModelExecutor, ModelExecutor
from Tessary.Model.DataModel import InstanceList
from Tessary.Model.ModelProperty import FilterListCell

from reliability_support import installed


class Marker:
    """A plain object in the cycle; `back` closes it."""


def collected(build):
    """True when the cycle `build(marker)` makes is freed by the collector
    once nothing outside refers to it."""
    marker = Marker()
    build(marker)
    ref = weakref.ref(marker)
    del marker
    gc.collect()
    return ref() is None


def cell_holding(value):
    return FilterListCell(value)


def text_holding(m):
    """A value a column stores (a str) that refers to `m` through its class:
    a condition's value cell holds it as it is."""
    return type("S", (str,), {"m": m})("x")


def generator_cases(models):
    A = models.Account
    return {
        "SqlGenerator.whereCol": lambda m: setattr(m, "back", SqlGenerator().select(A.id).where(
            (A.email == text_holding(m)) & (A.name == "x"))),
        "SqlGenerator.selectCol": lambda m: setattr(m, "back", SqlGenerator().insert("t").values({"value": m})),
        "SqlGenerator.updateCol": lambda m: setattr(m, "back", SqlGenerator().update("t").set({"value": m})),
        "SqlGenerator.target": lambda m: setattr(m, "back", SqlGenerator().select().From(type("S", (str,), {"m": m})("t"))),
        "SqlGenerator.orderList": lambda m: setattr(m, "back", order_by(m)),
        "SqlGenerator._joinList": lambda m: setattr(m, "back", joined(m, A)),
        "JoinCell.key": lambda m: setattr(m, "back", JoinCell(m)),
        "QueryGroup.query": lambda m: setattr(m, "back", QueryGroup(cell_holding(m))),
        "Q": lambda m: setattr(m, "back", Q(cell_holding(m))),
        "InOperatorGenerator.temp": lambda m: setattr(m, "back", InOperatorGenerator([m], A.id)),
        "CustomSqlGenerator.args": lambda m: setattr(m, "back", CustomSqlGenerator("x", (m,))),
        "FunctionCall.args": lambda m: setattr(m, "back", FunctionCall("f", m)),
        "CustomColAnnounce.announce": lambda m: setattr(m, "back", CustomColAnnounce(type("S", (str,), {"m": m})("x"))),
        "TableGenerator.model": lambda m: setattr(m, "back", TableGenerator(type("M", (), {"m": m}))),
        "FilterListCell.value": lambda m: setattr(m, "back", cell_holding(m)),
        "FilterListCell.next": lambda m: setattr(m, "back", chained(m)),
    }


def order_by(m):
    sql = SqlGenerator()
    sql.orderBy(type("S", (str,), {"m": m})("x"))
    return sql


def joined(m, A):
    sql = SqlGenerator().select(A.id).From(A)
    sql.joinList.append(m)
    return sql


def chained(m):
    head = FilterListCell("a")
    head.addCell(cell_holding(m), 0)
    return head


@pytest.fixture(scope="module")
def cases(models):
    return generator_cases(models)


GENERATOR_CASES = ["SqlGenerator.whereCol", "SqlGenerator.selectCol", "SqlGenerator.updateCol", "SqlGenerator.target",
                   "SqlGenerator.orderList", "SqlGenerator._joinList", "JoinCell.key", "QueryGroup.query", "Q",
                   "InOperatorGenerator.temp", "CustomSqlGenerator.args", "FunctionCall.args",
                   "CustomColAnnounce.announce", "TableGenerator.model", "FilterListCell.value",
                   "FilterListCell.next"]


def test_every_generator_case_is_listed(cases):
    assert sorted(cases) == sorted(GENERATOR_CASES)


@pytest.mark.parametrize("case", GENERATOR_CASES)
def test_generator_cycles(cases, case):
    assert collected(cases[case])


def test_instance_referring_to_itself_through_a_relation(models):
    def build(m):
        account = models.Account(email="a@x")
        account["posts"] = InstanceList([models.Post(title="t", owner=account)])
        account["m"] = m
        m.back = account
    assert collected(build)


def test_instance_list_and_dict_plus(models):
    def build(m):
        items = InstanceList([m])
        d = DictPlus(items=items, m=m)
        d.me = d
        m.back = d
    assert collected(build)


def test_page_holding_itself():
    def build(m):
        page = Page(1, 10, content=[m])
        page.self = page
        m.back = page
    assert collected(build)


@pytest.mark.parametrize("kind", [BaseModelExecutor, ModelExecutor, AsyncModelExecutor])
def test_executor_cycles(models, kind):
    def through_dict(m):
        ex = kind(models.Account)
        ex.m = m
        m.back = ex

    def through_work(m):
        m.back = kind(models.Account, work=type("Con", (), {"m": m})())

    def through_sql(m):
        ex = kind(models.Account)
        ex.editSql(lambda sql: sql.select(models.Account.id).where((models.Account.email == text_holding(m)) & (models.Account.id == 1)))
        m.back = ex

    for build in (through_dict, through_work, through_sql):
        assert collected(build), build.__name__


def test_foreign_key_path_cache(tmp_path, models):
    connector = Sqlite3Connector(str(tmp_path / "path.db"))
    with installed(connector):
        for model in models.all:
            DB.getInstance().executeSql(TableGenerator(model).Build()[0])
        saved = models.Account.getExecutor().save(models.Account(email="a@x", posts=[models.Post(title="p")]))

        def build(m):
            path = {}
            account = models.Account.getExecutor().findOneBy(models.Account.id == saved["id"])
            models.Account.getExecutor().findForeignKey(account, True, path)
            for post in account["posts"]:
                post["path"] = path  # every cached instance reaches the cache again
            path["m"] = m
            m.back = account
        try:
            assert collected(build)
        finally:
            connector.close()


def test_folio_controller(models):
    def build(m):
        folio = Folio(models.Account)
        folio.filter(models.Account.email == text_holding(m))
        m.back = folio
    assert collected(build)


def test_seeder_objects(models):
    def task(m):
        t = RunnerTask(models.Account, 1, lambda time: m)
        m.back = t

    def runner(m):
        m.back = GeneratorRunner(type("Loop", (), {"m": m})())
    assert collected(task)
    assert collected(runner)


def test_connector_objects(tmp_path):
    def own_connection(m):
        class Connector(Sqlite3Connector):
            def connect(self):
                return type("Con", (), {"m": m})()
        c = Connector(str(tmp_path / "x.db"))
        c.getCon()
        m.back = c

    def transaction(m):
        class Connector(Sqlite3Connector):
            pass
        c = Connector(":memory:")
        c.m = m
        m.back = Transaction(c)

    assert collected(own_connection)
    assert collected(transaction)


@pytest.mark.parametrize("base", [AioSqliteConnector, AioMysqlConnector])
def test_async_connectors(base):
    class Connector(base):
        pass

    def build(m):
        c = Connector()
        c.m = m
        m.back = c
    assert collected(build)


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
def test_coroutine_frame_holding_its_caller(tmp_path, models):
    """A coroutine of the asyncio executor whose argument refers back to the
    coroutine: unstarted, and suspended inside its first statement."""
    connector = AioSqliteConnector(str(tmp_path / "coro.db"))
    loop = asyncio.new_event_loop()
    with installed(connector):
        async def setup():
            for model in models.all:
                await DB.getInstance().executeSql(TableGenerator(model).Build()[0])
        loop.run_until_complete(setup())

        def unstarted(m):
            account = models.Account(email="a@x", m=m)
            account["coro"] = AsyncModelExecutor(models.Account).save(account)
            m.back = account

        def suspended(m):
            account = models.Account(email="b@x", m=m)
            coro = AsyncModelExecutor(models.Account).save(account)
            account["coro"] = coro
            # The native engine runs a statement inline: it suspends only
            # while another connection's lock is in the way.
            blocker = sqlite3.connect(str(tmp_path / "coro.db"), isolation_level=None)
            try:
                blocker.execute("BEGIN EXCLUSIVE")
                loop.run_until_complete(step_once(coro))
            finally:
                blocker.close()
            m.back = account

        try:
            assert collected(unstarted)
            assert collected(suspended)
        finally:
            loop.run_until_complete(connector.close())
            loop.close()


async def step_once(coro):
    """Runs `coro` up to its first suspension and leaves it there."""
    awaited = coro.send(None)
    if isinstance(awaited, asyncio.Future):
        await asyncio.wait([awaited])
