"""Objects of the package's C types made with `__new__` and never
initialised, run one type per child process by test_uninitialised.py:
`python uninitialised_sweep.py MODULE QUALNAME`. Every method, property and
slot of the object (of the type itself and of a Python subclass) is called
with a few plausible arguments; each call may raise, none may bring the
interpreter down. The child prints how many calls it made and exits."""

import asyncio
import faulthandler
import gc
import importlib
import inspect
import os
import sys

from Tessary.DB.Connector import AioSqliteConnector, Sqlite3Connector, Transaction
from Tessary.DB.DB import DB
from Tessary.DB.Generator import SqlGenerator, TableGenerator
from Tessary.Ext.Folio import _Folio
from Tessary.Ext.Seeder import RunnerTask
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

MODULES = (
    "Tessary._coro",
    "Tessary.Model.ModelProperty",
    "Tessary.Model.DataModel",
    "Tessary.DB.Generator",
    "Tessary.DB.Connector",
    "Tessary.DB.DB",
    "Tessary.Model.Carrack",
    "Tessary.Ext.Dict",
    "Tessary.Ext.Folio",
    "Tessary.Ext.Seeder",
)

# Builtin bases whose own methods are not the package's to test.
FOREIGN_OWNERS = (object, type, dict, list, int, BaseException)
# Names whose call would initialise the object (the point is that it is not)
# or only tear down the interpreter's view of it.
SKIPPED = {"__init__", "__new__", "__init_subclass__", "__subclasshook__", "__class_getitem__", "__del__",
           "__dealloc__", "__getattribute__", "__setattr__", "__delattr__", "__reduce__", "__reduce_ex__",
           "__getstate__", "__sizeof__", "__dir__", "__format__", "__subclasses__", "mro"}
# Only a hung awaitable reaches this; a guard, not a measurement.
AWAIT_GUARD = 10


class SweepUser(DataModel):
    tableName = "sweep_user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64, nullable=True)
    posts = ForeignKey(ForeignType.ONE_TO_MANY, "SweepPost", bindCol="id", targetBindCol="user_id")


class SweepPost(DataModel):
    tableName = "sweep_post"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty(nullable=True)
    title = VarcharProperty(64, nullable=True)


def extension_types():
    """Every type the package defines in C (a static type, not a class made
    by Python code), by its module and qualified name, once each."""
    for name in MODULES:
        importlib.import_module(name)
    found = {}
    pending = [object]
    while pending:
        cls = pending.pop()
        subclasses = type.__subclasses__(cls) if isinstance(cls, type) else []
        pending.extend(subclasses)
        module = getattr(cls, "__module__", "") or ""
        if module.startswith("Tessary") and not cls.__flags__ & (1 << 9):  # Py_TPFLAGS_HEAPTYPE
            found[(module, cls.__qualname__)] = cls
    return found


def bare(cls):
    """An object of `cls` made by __new__ alone, as an argument: what reads
    its fields must not take it for an initialised one either."""
    return cls.__new__(cls)


def plausible_arguments():
    U = SweepUser
    return [(), (None,), (1,), ("x",), (U,), (U(name="x", id=1),), (U.id == 1,), (lambda *a, **k: None,),
            (SqlGenerator(),), (U, 1, 5), (1, 5), ({},), ([U(name="y")],), (U.id,),
            (bare(ModelExecutor),), (bare(AsyncModelExecutor),), (bare(AioSqliteConnector),),
            (bare(RunnerTask),), (bare(_Folio),), (bare(Transaction),)]


def drive(result):
    """Runs an awaitable the call returned, on the running loop."""
    if inspect.isawaitable(result):
        return asyncio.wait_for(_await(result), AWAIT_GUARD)
    return None


async def _await(awaitable):
    return await awaitable


async def settle(result, counts):
    pending = drive(result)
    if pending is None:
        return
    counts["awaited"] += 1
    try:
        await pending
    except (Exception, asyncio.CancelledError):
        pass


TRACE = os.environ.get("TESSARY_SWEEP_TRACE") == "1"


async def attempt(call, counts, what):
    counts["calls"] += 1
    if TRACE:
        print(what, file=sys.stderr, flush=True)
    try:
        result = call()
    except Exception:
        counts["raised"] += 1
        return
    await settle(result, counts)


def own_attributes(cls):
    """Names defined by the package's classes in the MRO, with the object
    they are found as on the class."""
    seen = {}
    for owner in reversed(cls.__mro__):
        if owner in FOREIGN_OWNERS or owner.__module__ in ("builtins",):
            continue
        for name, value in vars(owner).items():
            if name not in SKIPPED:
                seen[name] = value
    return seen


async def call_every_attribute(obj, cls, counts):
    for name, descriptor in own_attributes(cls).items():
        is_data = hasattr(type(descriptor), "__set__") or isinstance(descriptor, property)
        if is_data:
            await attempt(lambda: getattr(obj, name), counts, f"get {name}")
            for value in (None, 1, "x", SqlGenerator()):
                await attempt(lambda: setattr(obj, name, value), counts, f"set {name} {value!r}")
            await attempt(lambda: delattr(obj, name), counts, f"del {name}")
            continue
        for args in plausible_arguments():
            await attempt(lambda: getattr(obj, name)(*args), counts, f"call {name}{args!r}")
        gc.collect()


async def use_every_slot(obj, counts):
    U = SweepUser
    ops = [repr, str, hash, bool, len, iter, lambda o: next(iter(o)), lambda o: list(o), lambda o: 1 in o,
           lambda o: o[0], lambda o: o["x"], lambda o: o.__setitem__("x", 1), lambda o: o.__delitem__("x"),
           lambda o: o == o, lambda o: o != 1, lambda o: o < o, lambda o: o + o, lambda o: -o, lambda o: o & o,
           lambda o: o | U.id, lambda o: o(), lambda o: o(1), lambda o: o(U), lambda o: o.__await__(),
           lambda o: o.__aiter__(), lambda o: o.__enter__(), lambda o: o.__exit__(None, None, None),
           lambda o: o.send(None), lambda o: o.throw(ValueError()), lambda o: o.close(), lambda o: vars(o),
           lambda o: o.__dict__, lambda o: int(o), lambda o: o.__get__(None, U), lambda o: o.__get__(U(), U)]
    for index, op in enumerate(ops):
        await attempt(lambda: op(obj), counts, f"slot operation {index}")


def instances_of(cls):
    """The uninitialised objects to probe: `cls.__new__(cls)` and, when the
    class can be subclassed, `cls.__new__(Sub)` of a subclass made in Python."""
    made = []
    try:
        made.append(cls.__new__(cls))
    except Exception:
        pass
    if cls.__flags__ & (1 << 10):  # Py_TPFLAGS_BASETYPE
        try:
            sub = type(cls)(f"Python{cls.__name__}", (cls,), {})
        except Exception:
            sub = None
        if sub is not None:
            try:
                made.append(cls.__new__(sub))
            except Exception:
                pass
    return made


async def sweep(cls):
    counts = {"calls": 0, "raised": 0, "awaited": 0, "objects": 0}
    for obj in instances_of(cls):
        counts["objects"] += 1
        await call_every_attribute(obj, cls, counts)
        await use_every_slot(obj, counts)
        del obj
        gc.collect()
    return counts


def database():
    DB.getInstance().connector = Sqlite3Connector(":memory:")
    for model in (SweepUser, SweepPost):
        DB.getInstance().executeSql(TableGenerator(model).Build()[0])


def main(module, qualname):
    faulthandler.enable()
    database()
    cls = extension_types()[(module, qualname)]
    counts = asyncio.run(sweep(cls))
    gc.collect()
    print(f"{qualname}: {counts['objects']} objects, {counts['calls']} calls", flush=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        for module, qualname in sorted(extension_types()):
            print(module, qualname)
    else:
        main(sys.argv[1], sys.argv[2])
