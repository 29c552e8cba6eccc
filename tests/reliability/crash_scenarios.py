"""Inputs that could crash the interpreter rather than raise, run one per
child process by test_crash_prone.py: `python crash_scenarios.py NAME`.
Each scenario prints one line "NAME: outcome" and the process must exit
normally afterwards (objects freed, no fault)."""

import faulthandler
import gc
import sqlite3
import sys

from Tessary.DB.Connector import Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import FunctionCall, InOperatorGenerator, Q, SqlGenerator, TableGenerator
from Tessary.Ext.Dict import DictPlus
from Tessary.Ext.Seeder import GeneratorRunner, create_task, data_task
from Tessary.Model.Carrack import ModelExecutor
from Tessary.Model.DataModel import DataModel, ModelInstance
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty


class CrashUser(DataModel):
    tableName = "crash_user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64, nullable=True)
    posts = ForeignKey(ForeignType.ONE_TO_MANY, "CrashPost", bindCol="id", targetBindCol="user_id")


class CrashPost(DataModel):
    tableName = "crash_post"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty(nullable=True)
    title = VarcharProperty(64, nullable=True)


U = CrashUser
DEPTH = 200_000
SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


def outcome(call):
    try:
        result = call()
    except Exception as error:  # the point: an exception, not a crash
        return f"{type(error).__name__}"
    return f"returned {type(result).__name__}"


def database():
    DB.getInstance().connector = Sqlite3Connector(":memory:")
    for model in (CrashUser, CrashPost):
        DB.getInstance().executeSql(TableGenerator(model).Build()[0])


# --- depth --------------------------------------------------------------------


@scenario
def nested_groups():
    cond = U.id == 0
    for _ in range(DEPTH):
        cond = Q(cond)
    result = outcome(lambda: SqlGenerator().select(U.id).From(U).where(cond).Build())
    del cond  # freed without overflowing the C stack
    return result


@scenario
def nested_function_calls():
    call = FunctionCall("f", 1)
    for _ in range(DEPTH):
        call = FunctionCall("f", call)
    result = outcome(call.Build)
    del call
    return result


@scenario
def nested_in_generators():
    gen = InOperatorGenerator([1], U.id)
    for _ in range(DEPTH):
        gen = InOperatorGenerator([gen], U.id)
    result = outcome(gen.Build)
    del gen
    return result


@scenario
def long_chain():
    cells = [U.id == i for i in range(DEPTH)]
    for a, b in zip(cells, cells[1:]):
        a.addCell(b, 1)
    head = cells[0]
    del cells
    text, args = SqlGenerator.build_where(head)
    del head
    return f"{len(args)} arguments"


@scenario
def nested_dicts_in_instance():
    inner = U(name="x")
    for _ in range(DEPTH):
        inner = DictPlus(child=inner)
    result = outcome(lambda: repr(inner))
    del inner
    return result


# --- Python code that changes what the native code is working on ----------------


victims = []


@scenario
def in_values_cleared_while_rendering():
    class Vanishing:
        def __init__(self, key):
            self.key = key

        def __eq__(self, other):
            victims.clear()
            return False

        __hash__ = object.__hash__

    victims.extend([1, Vanishing(2), "x"])
    gen = InOperatorGenerator(victims, U.id)
    victims.clear()
    return outcome(gen.Build)


@scenario
def builder_replaced_by_edit_callback():
    database()
    ex = ModelExecutor(U)

    def swap(sql):
        ex.sql = None
        gc.collect()

    ex.editSql(swap)
    return outcome(lambda: ex.findAllBy(U.id == 1))


@scenario
def build_override_drops_the_executor_builder():
    database()

    class Dropping(SqlGenerator):
        def Build(self):
            holder.sql = SqlGenerator()
            gc.collect()
            return ("SELECT id, name FROM crash_user", ())

    holder = ModelExecutor(U)
    holder.sql = Dropping().select(*U.col).From(U)
    return outcome(holder.execute)


@scenario
def relation_list_mutates_its_owner():
    database()
    owner = U(name="o")

    def posts():
        yield CrashPost(title="a")
        owner.clear()  # the instance being saved loses every key, the relation included
        gc.collect()
        yield CrashPost(title="b")

    owner["posts"] = posts()
    return outcome(lambda: ModelExecutor(U).save(owner))


@scenario
def instance_get_empties_the_instance():
    database()

    class Draining(ModelInstance):
        def get(self, key, default=None):
            value = super().get(key, default)
            self.clear()
            gc.collect()
            return value

    inst = Draining(name="x", id=3)
    inst.object = U
    return outcome(lambda: ModelExecutor(U).findAnyMatch(inst))


@scenario
def connector_replaced_during_a_statement():
    database()

    class Switching(Sqlite3Connector):
        def connect(self):
            DB.getInstance().connector = Sqlite3Connector(":memory:")
            gc.collect()
            return sqlite3.connect(":memory:", isolation_level=None)

    DB.getInstance().connector = Switching(":memory:")
    return outcome(lambda: ModelExecutor(U).findAllBy())


@scenario
def column_name_with_nul_and_surrogates():
    return outcome(lambda: SqlGenerator().update("t").set({"name": "a\0\udc80", "value": 1}).Build())


@scenario
def seeding_failures_register_nothing():
    """Registrations that fail register nothing: a run afterwards saves only
    what the one good task makes."""
    database()
    bad = [
        lambda: data_task(U, True),
        lambda: data_task(U, None)(lambda time: U(name="bad")),
        lambda: data_task(U, 2 ** 31)(lambda time: U(name="bad")),
        lambda: create_task(lambda time: U(name="bad"), U, "3"),
        lambda: create_task(lambda time: U(name="bad"), U, 1, ["unhashable group"]),
        lambda: create_task(lambda time: U(name="bad"), U, 1, "g", "extra"),
    ]
    failures = sum(outcome(call) in ("TypeError", "OverflowError") for call in bad)
    data_task(U, 2)(lambda time: U(name=f"good{time}"))
    GeneratorRunner().run()
    names = [row["name"] for row in ModelExecutor(U).findAllBy()]
    return f"{failures} failed, saved {names}"


def main(name):
    faulthandler.enable()
    sys.setrecursionlimit(10_000)
    print(f"{name}: {SCENARIOS[name]()}", flush=True)
    gc.collect()


if __name__ == "__main__":
    main(sys.argv[1])
