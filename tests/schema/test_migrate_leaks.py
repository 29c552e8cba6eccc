"""No reference leaks in the migration module: each stage, repeated many
times on its success and error paths, leaves the number of allocated blocks
flat. (The reference-leak mode leaves this folder out: its tests declare
model classes, which the model registry keeps by design.)"""

import gc
import sys

import pytest

from Tessary.DB.Connector import Sqlite3Connector
from Tessary.Error.MigrateError import DestructiveChangeError
from Tessary.Ext.Migrate import Column, Key, Operations, Reference, Table, apply, diff, inspect, make, modelSchema, \
    plan, rollback, status
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, Index, IntegerProperty, \
    VarcharProperty

from handle_support import installed

# Under the system allocator (the sanitizer run's PYTHONMALLOC=malloc) the
# interpreter counts no blocks: nothing to measure.
pytestmark = pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the allocator in use counts no blocks")

# What fills up and then stays (the interpreter's caches, SQLite's statement
# cache, the model registry's lookups) settles within a few hundred calls and
# keeps wandering by dozens of blocks, more late in a long test run; a block
# kept by each call shows as ROUNDS blocks in every measurement, so the lower
# of two measurements is compared.
WARMUP = 300
ROUNDS = 300
ALLOWED = ROUNDS


class LeakOwner(DataModel):
    tableName = "lk_owner"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(20, unique=True)


class LeakItem(DataModel):
    tableName = "lk_item"
    indexes = (Index("ix_lk_item_pair", "owner_id", "label", unique=True),)
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    owner_id = IntegerProperty(index=True)
    label = VarcharProperty(20, default="x")
    owner = ForeignKey(ForeignType.ONE_TO_MANY, "LeakOwner", "id", "owner_id", constraint=True)


def growth(operation):
    for _ in range(WARMUP):
        operation()
    measured = []
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(ROUNDS):
            operation()
        gc.collect()
        measured.append(sys.getallocatedblocks() - before)
    return min(measured)


def swallowing(error, call):
    def run():
        try:
            call()
        except error:
            pass
    return run


@pytest.fixture
def handle(tmp_path):
    connector = Sqlite3Connector(str(tmp_path / "leaks.db"))
    with installed(connector) as current:
        current.createTables(LeakOwner, LeakItem)
        yield current
    connector.close()


def one_table_op():
    op = Operations()
    table = Table("lk_other", [Column("id", "INT", nullable=False), Column("v", "VARCHAR(9)", default="'a'")],
                  primaryKey=["id"], keys=[Key("ix_lk_other_v", ["v"])],
                  references=[Reference("fk_lk_other_id", ["id"], "lk_owner", ["id"], onDelete="CASCADE")])
    op.createTable(table)
    op.addColumn("lk_other", Column("n", "INT"))
    op.alterColumn("lk_other", Column("n", "BIGINT"), before=Column("n", "INT"))
    op.renameColumn("lk_other", "n", "m")
    op.execute("UPDATE lk_other SET m = %s", (1,))
    return op


@pytest.mark.parametrize("operation", [
    lambda h, tmp: inspect(),
    lambda h, tmp: modelSchema(LeakOwner, LeakItem),
    lambda h, tmp: [repr(step) + str(step) for step in diff(LeakOwner, LeakItem)],
    lambda h, tmp: h.checkSchema(LeakOwner),  # lk_item is dropped: a destructive step
    lambda h, tmp: plan(one_table_op().operations),
    lambda h, tmp: swallowing(DestructiveChangeError, lambda: plan(diff(LeakOwner)))(),
    lambda h, tmp: swallowing(TypeError, lambda: plan([1]))(),
    lambda h, tmp: swallowing(ValueError, lambda: Column("", "INT"))(),
    lambda h, tmp: swallowing(FileNotFoundError, lambda: status(str(tmp / "none")))(),
], ids=["inspect", "modelSchema", "diff", "checkSchema", "plan", "refusal", "bad plan", "bad column", "no folder"])
def test_each_stage_leaves_no_blocks_behind(handle, tmp_path, operation):
    assert growth(lambda: operation(handle, tmp_path)) < ALLOWED


def test_make_apply_and_rollback_leave_no_blocks_behind(handle, tmp_path):
    class LeakExtra(DataModel):
        tableName = "lk_extra"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)

    folder = str(tmp_path / "migrations")
    make("extra", [LeakOwner, LeakItem, LeakExtra], folder)

    def cycle():
        apply(folder)
        status(folder)
        rollback(folder, allowDestructive=True)

    assert growth(cycle) < ALLOWED
