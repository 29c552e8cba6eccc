"""AsyncModelExecutor.save by the cached plan, on both coroutine connectors:
the statement text and arguments the driver receives are the general path's
to the byte, the plan follows the model class when it changes, anything the
general path would look up differently leaves the save to it, and the await
of the statement is a window where other code may re-initialise the executor
or start another save of it."""

import asyncio
import datetime
import decimal
import logging

import pytest

from Tessary.DB.Connector import AioSqliteConnector
from Tessary.DB.DB import DB
from Tessary.Model import Carrack
from Tessary.Model.Carrack import AsyncModelExecutor
from Tessary.Model.DataModel import DataModel, ModelMeta
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from save_plan_support import LOGGER, declare, sent  # noqa: F401  (a fixture)

from async_support import installed, make_backend

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

ApWide, ApTimed, ApCustom, ApOwner, ApItem = MODELS = declare("ap")


class General(AsyncModelExecutor):
    """The general path on purpose: a Python subclass is looked up attribute by attribute."""


@pytest.fixture
def tables(backend):
    backend.create(*MODELS)


def quoting(backend):
    return 1 if backend.name == "aiosqlite" else 0


def both_ways(backend, model, values, records):
    """Saves the same values by the plan and by the general path: the two
    statement records and the two saved instances."""
    records.clear()
    planned = backend.run(model.getExecutor().save(model(**values)))
    general = backend.run(General(model).save(model(**values)))
    inserts = [r for r in records if r.statement.startswith("INSERT")]
    assert len(inserts) == 2, [r.getMessage() for r in records]
    return inserts[0], inserts[1], planned, general


async def took_the_plan(executor, instance):
    """Saves with an executor that has run a statement before: the general
    path's reset gives it a new builder, the plan keeps the one it has."""
    before = executor.sql
    await executor.save(instance)
    return executor.sql is before


CASES = [
    pytest.param(ApWide, {"name": "ann", "age": 30, "score": 1.5, "price": decimal.Decimal("9.99"), "active": True},
                 id="every-column"),
    pytest.param(ApWide, {"name": "bob"}, id="defaults-left-to-the-table"),
    pytest.param(ApWide, {"name": "", "age": 0, "score": None, "active": False}, id="falsy-values-and-none"),
    pytest.param(ApTimed, {"at": datetime.datetime(2026, 12, 8, 11, 30, 15, 250), "day": datetime.date(2026, 2, 28),
                           "data": {"k": [1, 2, None], "s": "é"}}, id="datetime-date-json"),
    pytest.param(ApOwner, {"name": "solo"}, id="with-relation-not-carried"),
]


@pytest.mark.parametrize("model, values", CASES)
def test_plan_sends_the_general_paths_text_and_arguments(backend, tables, sent, model, values):
    planned, general, planned_row, general_row = both_ways(backend, model, values, sent)
    assert (planned.statement, planned.sql) == (general.statement, general.sql)
    assert planned.params == general.params and type(planned.params) is tuple
    assert [type(p) for p in planned.params] == [type(p) for p in general.params]
    assert planned.getMessage().split(" | ")[:2] == general.getMessage().split(" | ")[:2]
    assert Carrack._savePlan(model) == [(planned.statement, quoting(backend))]
    assert planned_row["id"] == planned.lastrowid and general_row["id"] == general.lastrowid
    assert dict(planned_row, id=None) == dict(general_row, id=None)


def test_saves_in_one_transaction_get_their_keys(backend, tables, sent):
    connector = DB.getInstance().connector

    async def work():
        async with connector.transaction() as con:
            executor = ApItem.getExecutor(con)
            keys = [(await executor.save(ApItem(label=str(i))))["id"] for i in range(5)]
            assert await took_the_plan(executor, ApItem(label="5"))
            found = await executor.findAllBy(ApItem.id > 4)
        return keys, [item["label"] for item in found]

    assert backend.run(work()) == ([1, 2, 3, 4, 5], ["4", "5"])
    assert backend.rows("SELECT count(*) FROM ap_item") == [(6,)]


def test_related_rows_are_saved_as_by_the_general_path(backend, tables, sent):
    for executor in (ApOwner.getExecutor(), General(ApOwner)):
        owner = ApOwner(name="o", items=[ApItem(label="a"), ApItem(label="b")])
        assert backend.run(executor.save(owner))["id"] in (1, 2)
    assert backend.rows("SELECT owner_id, label FROM ap_item ORDER BY id") == [(1, "a"), (1, "b"), (2, "a"), (2, "b")]
    assert Carrack._savePlan(ApOwner)


# --- the general path wherever something is not the package's own --------------------------


def hide_hook(hook):
    def detour(executor, calls):
        original = getattr(executor, hook)
        setattr(executor, hook, lambda: (calls.append(hook), original())[1])
    return detour


def wrap_handle(executor, calls):
    handle = DB.getInstance()
    run = type(handle).execute
    handle.execute = lambda executor, con=None: (calls.append("handle"), run(handle, executor=executor, con=con))[1]


DETOURS = {"reset-attribute": hide_hook("reset"), "execute-attribute": hide_hook("execute"),
           "handle-wrapper": wrap_handle}


@pytest.mark.parametrize("detour", DETOURS)
def test_hooks_the_general_path_would_call_are_called(backend, tables, sent, detour):
    executor, calls = ApItem.getExecutor(), []
    backend.run(executor.save(ApItem(label="first")))
    Carrack._clearSavePlans()
    DETOURS[detour](executor, calls)
    try:
        assert not backend.run(took_the_plan(executor, ApItem(label="w")))
    finally:
        DB.getInstance().__dict__.pop("execute", None)
    assert calls and Carrack._savePlan(ApItem) == []
    assert backend.rows("SELECT label FROM ap_item ORDER BY id") == [("first",), ("w",)]


def test_a_column_class_of_python_code_converts_by_the_general_path(backend, tables, sent):
    planned, general, _, _ = both_ways(backend, ApCustom, {"code": "ab"}, sent)
    assert planned.params == general.params == ("AB",) and Carrack._savePlan(ApCustom) == []


def test_a_metaclass_of_the_application_takes_the_general_path(backend, sent):
    class Meta(ModelMeta):
        pass

    class ApMeta(DataModel, metaclass=Meta):
        tableName = "ap_meta"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(16, nullable=True)

    backend.create(ApMeta)
    assert backend.run(ApMeta.getExecutor().save(ApMeta(label="m")))["id"] == 1
    assert Carrack._savePlan(ApMeta) == []


def test_a_connector_subclass_takes_the_general_path(tmp_path, sent):
    class Mine(AioSqliteConnector):
        pass

    loop = asyncio.new_event_loop()
    connector = Mine(str(tmp_path / "sub.db"))
    try:
        with installed(connector):
            async def work():
                await DB.getInstance().createTables(ApItem)
                return (await ApItem.getExecutor().save(ApItem(label="s")))["id"]

            assert loop.run_until_complete(work()) == 1
            assert Carrack._savePlan(ApItem) == []
    finally:
        loop.run_until_complete(connector.close())
        loop.close()


# --- a model class that changes ---------------------------------------------------------------


def test_the_plan_follows_the_columns_and_the_table(backend, sent):
    class ApMoving(DataModel):
        tableName = "ap_moving"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        a = VarcharProperty(16, nullable=True)
        b = VarcharProperty(16, nullable=True)

    class ApMoved(DataModel):
        tableName = "ap_moved"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        a = VarcharProperty(16, nullable=True)

    backend.create(ApMoving, ApMoved)
    first, _, _, _ = both_ways(backend, ApMoving, {"a": "1", "b": "2"}, sent)
    ApMoving.col = ApMoving.col[:2]
    narrower, general, _, _ = both_ways(backend, ApMoving, {"a": "3", "b": "4"}, sent)
    assert "b" in first.statement and "b" not in narrower.statement
    assert (narrower.statement, narrower.params) == (general.statement, general.params)
    ApMoving.tableName = "ap_moved"
    moved, general, _, _ = both_ways(backend, ApMoving, {"a": "5"}, sent)
    assert moved.statement == general.statement and "ap_moved" in moved.statement
    assert Carrack._savePlan(ApMoving) == [(moved.statement, quoting(backend))]
    assert backend.rows("SELECT a FROM ap_moved") == [("5",), ("5",)]


# --- failures are the general path's ------------------------------------------------------------


def outcome(backend, awaitable):
    try:
        return "saved", backend.run(awaitable)["label"]
    except Exception as error:  # compared between the two paths
        return "failed", type(error).__name__, str(error)


def test_a_duplicate_key_updates_the_row_as_the_general_path(backend, tables, sent):
    backend.run(ApItem.getExecutor().save(ApItem(id=7, label="first")))
    outcomes = [outcome(backend, executor.save(ApItem(id=7, owner_id=None, label=label)))
                for executor, label in ((ApItem.getExecutor(), "again"), (General(ApItem), "again"))]
    # Either driver's IntegrityError makes the coroutine save an update of the row.
    assert outcomes == [("saved", "again")] * 2
    assert backend.rows("SELECT id, label FROM ap_item") == [(7, "again")]


def test_a_value_the_column_refuses_fails_the_same_way(backend, tables, sent):
    aware = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
    outcomes = [outcome(backend, executor.save(ApTimed(at=aware)))
                for executor in (ApTimed.getExecutor(), General(ApTimed))]
    assert outcomes[0] == outcomes[1] and outcomes[0][:2] == ("failed", "ValueError")
    assert backend.rows("SELECT count(*) FROM ap_timed") == [(0,)]


def test_a_closed_connector_sets_its_pool_up_again(backend, tables, sent):
    connector = DB.getInstance().connector

    async def work():
        first = await ApItem.getExecutor().save(ApItem(label="before"))
        await connector.close()
        second = await ApItem.getExecutor().save(ApItem(label="after"))
        return first["id"], second["id"]

    assert backend.run(work()) == (1, 2)


# --- the await is a window where other code runs ------------------------------------------------


class Reentering(logging.Handler):
    """Runs `action` once, when the first INSERT's record is written: inside
    the await of that statement, before its save resumes."""

    def __init__(self, action):
        super().__init__(logging.DEBUG)
        self.action, self.done = action, False

    def emit(self, record):
        if not self.done and record.statement.startswith("INSERT"):
            self.done = True
            self.action()


def test_init_run_again_during_the_await_fails_the_save(backend, tables, sent):
    executor = ApItem.getExecutor()
    handler = Reentering(lambda: executor.__init__(ApWide))
    LOGGER.addHandler(handler)
    try:
        with pytest.raises(RuntimeError, match="AsyncModelExecutor's statement builder was replaced"):
            backend.run(executor.save(ApItem(label="outer")))
    finally:
        LOGGER.removeHandler(handler)
    assert handler.done and backend.rows("SELECT label FROM ap_item") == [("outer",)]
    # The executor is the re-initialised one now, and saves by its own plan.
    assert backend.run(executor.save(ApWide(name="next")))["id"] == 1


@pytest.fixture(params=["aiosqlite-sqlite3", "aiomysql"])
def suspending(request, tmp_path):
    """A connector whose statements really suspend the awaiting task: the
    sqlite3 module's worker threads, or the MariaDB socket."""
    name, _, driver = request.param.partition("-")
    current = make_backend(name, request, tmp_path, **({"driver": driver} if driver else {}))
    with installed(current.connector):
        try:
            current.create(ApItem)
            yield current
        finally:
            current.close()


def test_a_save_started_during_the_await_fails_the_first_one(suspending, sent):
    executor = ApItem.getExecutor()
    # On MariaDB a busy machine can let the server's reply arrive before the
    # first save looks for it, and that save then ends without suspending:
    # another session's table lock holds both INSERTs at the server until
    # both saves wait.
    locked = suspending.name != "aiosqlite"
    if locked:
        cur = suspending.raw.cursor()
        cur.execute("LOCK TABLES ap_item WRITE")

    async def both():
        saves = asyncio.gather(executor.save(ApItem(label="first")), executor.save(ApItem(label="second")),
                               return_exceptions=True)
        if locked:
            await asyncio.sleep(0.2)
            cur.execute("UNLOCK TABLES")
        return await saves

    first, second = suspending.run(both())
    assert isinstance(first, RuntimeError) and "statement builder was replaced" in str(first)
    assert second["label"] == "second" and second["id"] in (1, 2)
    assert sorted(suspending.rows("SELECT label FROM ap_item")) == [("first",), ("second",)]


def test_saves_cancelled_during_the_await_leave_the_plan_usable(suspending, sent):
    executor = ApItem.getExecutor()

    async def work():
        await executor.save(ApItem(label="warm"))
        for n in range(70):  # more than the saves the plan follows at once
            task = asyncio.ensure_future(executor.save(ApItem(label=f"c{n}")))
            await asyncio.sleep(0)
            task.cancel()
            # Cancelled in its await, or done already when the reply came first.
            await asyncio.gather(task, return_exceptions=True)
        await asyncio.sleep(0.05)
        return await took_the_plan(executor, ApItem(label="last"))

    assert suspending.run(work())


def test_an_executor_made_by_new_alone_is_refused(backend, tables):
    bare = AsyncModelExecutor.__new__(AsyncModelExecutor)
    with pytest.raises(RuntimeError, match="not initialised"):
        bare.save(ApItem(label="n"))
