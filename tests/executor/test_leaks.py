"""No reference leaks: the operations repeated many times leave the number of
allocated blocks flat, on their success and error paths."""

import gc
import sys

import pytest

from Tessary.DB.Connector import Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.Error.QueryError import QueryResoutIsNotOne
from Tessary.Model.Carrack import ModelExecutor

from handle_support import installed

WARMUP = 200
ROUNDS = 1000
# sqlite3 keeps a list of its cursors that it prunes every 200 cursors: growth
# below that bound is the driver's, a leak of one block per call is not.
ALLOWED = 250


def growth(operation):
    for _ in range(WARMUP):
        operation()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        operation()
    gc.collect()
    return sys.getallocatedblocks() - before


@pytest.fixture
def memory_users(models):
    with installed(Sqlite3Connector()):
        DB.getInstance().executeSql("CREATE TABLE ex_user (id INTEGER PRIMARY KEY, name TEXT, age INT, active INT)")
        ex = ModelExecutor(models.User)
        for name in ("ann", "bob"):
            ex.save(models.User(name=name, age=1, active=True))
        yield models.User
        DB.getInstance().connector.close()


def expect(error, call):
    def run():
        try:
            call()
        except error:
            pass
    return run


@pytest.mark.parametrize("operation", [
    lambda U: ModelExecutor(U).findAllBy(U.age == 1),
    lambda U: ModelExecutor(U).find(U.name).By(U.id == 1),
    lambda U: ModelExecutor(U).findAnyMatch(U(name="ann", age=0), 5, 0),
    lambda U: ModelExecutor(U).update(U(id=1, name="ann", age=1, active=True)),
    lambda U: ModelExecutor(U).delete(ModelExecutor(U).save(U(name="tmp"))),
    lambda U: expect(QueryResoutIsNotOne, lambda: ModelExecutor(U).findOneBy(U.age == 1))(),
    lambda U: expect(TypeError, lambda: ModelExecutor(U).findAllBy(Filter=3))(),
    lambda U: expect(Exception, lambda: DB.getInstance().executeSql("SELECT nope FROM ex_user"))(),
], ids=["findAllBy", "find-By", "findAnyMatch", "update", "save-delete", "findOneBy-error", "type-error",
        "driver-error"])
def test_no_growth(memory_users, operation):
    assert growth(lambda: operation(memory_users)) < ALLOWED
