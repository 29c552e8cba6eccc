"""`__init__` run again, with other arguments, by Python code that an
operation of the same object calls back (an override, a callback, a
connector, another task of the loop), one scenario per child process, run
by test_reinit.py: `python reinit_scenarios.py NAME`. Each prints one line
"NAME: outcome"; the process must exit normally afterwards. Collections run
at the callback free what the re-run __init__ replaced, at once."""

import asyncio
import faulthandler
import gc
import os
import sqlite3
import sys
import tempfile

from Tessary.DB.Connector import AioSqliteConnector, Sqlite3Connector, Transaction
from Tessary.DB.DB import DB
from Tessary.DB.Generator import FunctionCall, InOperatorGenerator, SqlGenerator, TableGenerator
from Tessary.Ext.Folio import Folio, _Folio
from Tessary.Ext.Seeder import GeneratorRunner, RunnerTask, data_task
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


def outcome(call):
    try:
        result = call()
    except Exception as error:  # the point: an exception, not a crash
        return f"{type(error).__name__}: {error}"
    if isinstance(result, (int, str, list)) and not isinstance(result, dict):
        return f"returned {result!r}"
    return f"returned {type(result).__name__}"


def async_outcome(make):
    return outcome(lambda: asyncio.run(make()))


def model_pair():
    """Two model classes made for the scenario alone: the only references to
    a class that a re-run __init__ replaces are the ones the code holds."""

    class ReUser(DataModel):
        tableName = "re_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(64, nullable=True)
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "RePost", bindCol="id", targetBindCol="user_id")

    class RePost(DataModel):
        tableName = "re_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(64, nullable=True)

    return ReUser, RePost


User, Post = model_pair()


def fill(connector):
    DB.getInstance().connector = connector
    for model in (User, Post):
        DB.getInstance().executeSql(TableGenerator(model).Build()[0])
    for n in range(3):
        DB.getInstance().executeSql("INSERT INTO re_user (name) VALUES (%s)", (f"u{n}",))
        DB.getInstance().executeSql("INSERT INTO re_post (user_id, title) VALUES (%s, %s)", (n + 1, f"p{n}"))


def database():
    fill(Sqlite3Connector(":memory:"))


def async_database(path):
    fill(Sqlite3Connector(path))
    DB.getInstance().connector = AioSqliteConnector(path)


def collect():
    for _ in range(2):
        gc.collect()


# --- paging controller -----------------------------------------------------------


@scenario
def folio_edit_sql_callback_reinits_the_controller():
    database()
    f = Folio(User, 1, 5)

    def reinit(sql):
        f.__init__(Post, 1, 2)
        collect()

    f.editSql(reinit)
    return outcome(lambda: len(f.execute()["content"]))


@scenario
def folio_related_loading_reinits_the_controller():
    """A model's getExecutor override, reached while findForeign loads the
    related rows of the page, re-runs the controller's __init__."""
    database()

    class Reinit(DataModel):
        tableName = "re_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(64, nullable=True)

        @classmethod
        def getExecutor(cls, con=None):
            f.__init__(Post, 1, 5)
            collect()
            return ModelExecutor(cls, con)

    User.posts.__init__(ForeignType.ONE_TO_MANY, Reinit, bindCol="id", targetBindCol="user_id")
    f = Folio(User, 1, 5, True)
    return outcome(lambda: len(f.execute()["content"]))


@scenario
def folio_count_override_reinits_the_controller():
    database()

    class Counting(_Folio):
        def _getCount(self):
            rows = super()._getCount()
            self.__init__(Post, 2, 1)
            collect()
            return rows

    f = Counting(User, 1, 5)
    return outcome(lambda: len(f.execute()["content"]))


@scenario
def async_folio_reinit_between_its_steps():
    async def run():
        f = Folio(User, 1, 5, True)

        class Reinit(DataModel):
            tableName = "re_post"
            id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
            user_id = IntegerProperty(nullable=True)
            title = VarcharProperty(64, nullable=True)

            @classmethod
            def getExecutor(cls, con=None):
                f.__init__(Post, 1, 5)
                collect()
                return AsyncModelExecutor(cls, con)

        User.posts.__init__(ForeignType.ONE_TO_MANY, Reinit, bindCol="id", targetBindCol="user_id")
        f.editSql(lambda sql: (f.__init__(User, 1, 2, True), collect()))
        page = await f.execute()
        return len(page["content"])

    async_database(temporary_file())
    return async_outcome(run)


# --- executors ---------------------------------------------------------------------


@scenario
def executor_edit_sql_callback_reinits_it():
    database()
    ex = ModelExecutor(User)
    ex.editSql(lambda sql: (ex.__init__(Post), collect()))
    return outcome(lambda: len(ex.findAllBy()))


@scenario
def executor_reset_override_reinits_it():
    database()

    class Resetting(ModelExecutor):
        def reset(self):
            self.__init__(Post)
            collect()
            return super().reset()

    ex = Resetting(User)
    return outcome(lambda: [len(ex.findAllBy()), len(ex.findAllBy(Post.id == 1)), ex.findOneBy(Post.id == 2)["title"]])


@scenario
def executor_instance_lookup_reinits_it():
    """findAnyMatch reads the example instance field by field; each read
    re-runs the executor's __init__ with another model."""
    database()
    ex = ModelExecutor(User)
    models = iter([Post, User] * 10)

    probe = User(name="u1")

    class Instance(type(probe)):
        def get(self, key, default=None):
            ex.__init__(next(models))
            collect()
            return super().get(key, default)

    inst = Instance(name="u1")
    inst.object = User
    return outcome(lambda: ex.findAnyMatch(inst))


@scenario
def executor_delete_key_lookup_reinits_it():
    database()
    ex = ModelExecutor(User)

    class Instance(type(User())):
        def __getitem__(self, key):
            ex.__init__(Post)
            collect()
            return super().__getitem__(key)

    inst = Instance(id=3)
    inst.object = User
    return outcome(lambda: [ex.delete(inst), len(ModelExecutor(User).findAllBy())])


@scenario
def executor_reinit_by_the_connector_mid_statement():
    database()
    holder = {}

    class Reiniting(Sqlite3Connector):
        def connect(self):
            holder["ex"].__init__(Post)
            collect()
            con = sqlite3.connect(":memory:", isolation_level=None)
            con.execute("CREATE TABLE re_user (id INTEGER PRIMARY KEY, name TEXT)")
            return con

    DB.getInstance().connector = Reiniting(":memory:")
    holder["ex"] = ModelExecutor(User)
    return outcome(lambda: len(holder["ex"].findAllBy()))


@scenario
def executor_related_loading_reinits_it():
    """A related model's getExecutor override re-runs the __init__ of the
    executor that is loading the related rows."""
    database()
    ex = ModelExecutor(User)

    class Reinit(DataModel):
        tableName = "re_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(64, nullable=True)

        @classmethod
        def getExecutor(cls, con=None):
            ex.__init__(Post)
            collect()
            return ModelExecutor(cls, con)

    User.posts.__init__(ForeignType.ONE_TO_MANY, Reinit, bindCol="id", targetBindCol="user_id")
    rows = ModelExecutor(User).findAllBy()
    return outcome(lambda: [ex.findForeignKey(rows[0]), ex.findListForeignKey(rows, True)])


@scenario
def async_executor_reset_override_reinits_it():
    async def run():
        class Resetting(AsyncModelExecutor):
            def reset(self):
                self.__init__(Post)
                collect()
                return super().reset()

        ex = Resetting(User)
        first = await ex.findOneBy(Post.id == 1)
        return [first["title"], len(await ex.findAllBy())]

    async_database(temporary_file())
    return async_outcome(run)


# --- seeding -----------------------------------------------------------------------


@scenario
def task_generator_reinits_its_task():
    database()

    def other(time):
        return Post(title=f"other{time}")

    def first(time):
        task = next(o for o in gc.get_referrers(first) if isinstance(o, RunnerTask))
        task.__init__(Post, 1, other)
        collect()
        return User(name=f"seeded{time}")

    data_task(User, 2, "reinit")(first)
    GeneratorRunner().run_group("reinit")
    names = sorted(r["name"] for r in ModelExecutor(User).findAllBy() if r["name"].startswith("seeded"))
    return f"saved {names}"


@scenario
def task_model_learned_while_its_generator_reinits_it():
    task = RunnerTask.__new__(RunnerTask)

    def learn(time):
        task.__init__(None, 1, lambda time: Post(title="x"))
        collect()
        return User(name="sample")

    task.__init__(None, 1, learn)
    return outcome(lambda: task.model.__name__)


@scenario
def runner_loop_reinits_the_runner():
    DB.getInstance().connector = AioSqliteConnector(":memory:")

    class Loop:
        def is_running(self):
            runner.__init__(Loop())
            collect()
            return False

        def run_until_complete(self, coroutine):
            coroutine.close()
            return None

    runner = GeneratorRunner(Loop())
    return outcome(runner.run)


# --- transactions and connectors -----------------------------------------------------


@scenario
def transaction_reinit_by_its_connector_begin():
    others = []

    class Beginning(Sqlite3Connector):
        def begin(self, con):
            others.append(Sqlite3Connector(":memory:"))
            block.__init__(others[-1])
            return super().begin(con)

    block = Transaction(Beginning(":memory:"))
    return outcome(lambda: block.__enter__())


@scenario
def transaction_reinit_inside_its_block():
    connector = Sqlite3Connector(":memory:")
    block = connector.transaction()
    with block as con:
        con.execute("CREATE TABLE t (x)")
        result = outcome(lambda: block.__init__(Sqlite3Connector(":memory:")))
    return f"{result}; depth back to 0: {not connector.inTransaction}"


@scenario
def async_transaction_reinit_while_it_is_entered():
    async def run():
        # The module path: its BEGIN waits for a worker thread, so the other
        # task runs while the block is being entered (the native engine
        # enters it without a pause).
        first = AioSqliteConnector(":memory:", driver="sqlite3")
        block = first.transaction()

        async def reinit():
            block.__init__(AioSqliteConnector(":memory:"))
            collect()

        async def enter():
            async with block:
                pass

        results = await asyncio.gather(enter(), reinit(), return_exceptions=True)
        return [type(r).__name__ for r in results]

    return outcome(lambda: asyncio.run(run()))


@scenario
def connector_reinit_by_its_own_connect():
    class Reconnecting(Sqlite3Connector):
        def connect(self):
            self.__init__(":memory:")
            collect()
            return super().connect()

    DB.getInstance().connector = Reconnecting(":memory:")
    return outcome(lambda: DB.getInstance().executeSql("SELECT 1 AS one"))


@scenario
def async_connector_reinit_while_a_statement_runs():
    async def run():
        path = temporary_file()
        async_database(path)
        connector = DB.getInstance().connector

        async def reinit():
            await asyncio.sleep(0)
            connector.__init__(path, 2)
            collect()

        results = await asyncio.gather(AsyncModelExecutor(User).findAllBy(), reinit(), return_exceptions=True)
        return [len(results[0]) if isinstance(results[0], list) else type(results[0]).__name__, results[1]]

    return outcome(lambda: asyncio.run(run()))


# --- statement builders ------------------------------------------------------------


@scenario
def function_call_argument_reinits_the_call():
    class Nested(SqlGenerator):
        def Build(self):
            outer.__init__("other", 1, 2)
            collect()
            return ("inner()", [])

    outer = FunctionCall("f", Nested(), 3)
    return outcome(outer.Build)


@scenario
def in_values_reinit_the_generator():
    class Nested(SqlGenerator):
        def Build(self):
            gen.__init__([1, 2], Post.id)
            collect()
            return ("SELECT 1", [])

    gen = InOperatorGenerator([Nested(), 5], User.id)
    return outcome(gen.Build)


@scenario
def builder_reinit_by_a_from_override():
    class Building(SqlGenerator):
        def From(self, target):
            self.__init__()
            collect()
            return super().From(target)

    return outcome(lambda: Building().select(*User.col).From(User).where(User.id == 1).Build())


# --- helpers -------------------------------------------------------------------------


_files = []


def temporary_file():
    fd, path = tempfile.mkstemp(suffix=".sqlite")
    os.close(fd)
    _files.append(path)
    return path


def main(name):
    faulthandler.enable()
    try:
        print(f"{name}: {SCENARIOS[name]()}", flush=True)
        collect()
    finally:
        for path in _files:
            os.unlink(path)


if __name__ == "__main__":
    main(sys.argv[1])
