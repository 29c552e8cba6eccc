"""Deep relation loading that recurses far, run in a child interpreter by
test_deep_loading.py, since a native recursion without a bound kills the
process rather than raising:

    python deep_loading_child.py SCENARIO CONNECTOR RECURSION_LIMIT [PARAMS_JSON]

CONNECTOR is one of sqlite, mariadb, aiosqlite, aiomysql; PARAMS_JSON holds
the MariaDB connection parameters, or the SQLite file for the others. The
child prints one line "SCENARIO: outcome" and must exit normally."""

import asyncio
import faulthandler
import json
import sqlite3
import sys

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel, InstanceList
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty

# Rows of the three-table chain: far beyond any recursion limit.
CHAIN = 12_000


class DeepNode(DataModel):
    """A tree node; a node that is its own parent is its own child forever."""
    tableName = "deep_node"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    parent_id = IntegerProperty(nullable=True)
    children = ForeignKey(ForeignType.ONE_TO_MANY, "DeepNode", bindCol="id", targetBindCol="parent_id")


# A chain that goes round three tables: deep_a -> deep_b (one-to-one),
# deep_b -> deep_c (one-to-many), deep_c -> deep_a (many-to-many through a
# junction table), each row leading to the next one.
class DeepA(DataModel):
    tableName = "deep_a"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    next_id = IntegerProperty(nullable=True)
    b = ForeignKey(ForeignType.ONE_TO_ONE, "DeepB", bindCol="next_id", targetBindCol="id")


class DeepB(DataModel):
    tableName = "deep_b"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    next_id = IntegerProperty(nullable=True)
    cs = ForeignKey(ForeignType.ONE_TO_MANY, "DeepC", bindCol="next_id", targetBindCol="id")


class DeepC(DataModel):
    tableName = "deep_c"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    as_ = ForeignKey(ForeignType.MANY_TO_MANY, "DeepA", bindCol="id", targetBindCol="id")


MODELS = (DeepNode, DeepA, DeepB, DeepC, DeepC.as_.middleModel)


def connector_of(kind, params):
    return {
        "sqlite": lambda: Sqlite3Connector(params),
        "mariadb": lambda: MysqlConnector(**params),
        "aiosqlite": lambda: AioSqliteConnector(params),
        "aiomysql": lambda: AioMysqlConnector(**params),
    }[kind]()


def raw_connection(kind, params):
    if kind.endswith("sqlite"):
        return sqlite3.connect(params), "?"
    import pymysql
    return pymysql.connect(**params), "%s"


def fill(kind, params):
    """The rows, written through the driver in bulk: node 5 is its own parent;
    the chain a1 -> b1 -> c1 -> a2 -> ... holds CHAIN rows."""
    con, mark = raw_connection(kind, params)
    per_table = CHAIN // 3
    junction = MODELS[-1].tableName
    # The many-to-many results are cached under deep_a by the deep_c key,
    # next to the root a1: c keys start past it, so that no row is cached.
    c_key = per_table
    rows = {
        "deep_node": ("(id, parent_id)", [(5, 5)]),
        "deep_a": ("(id, next_id)", [(i, i) for i in range(1, per_table + 1)]),
        "deep_b": ("(id, next_id)", [(i, c_key + i) for i in range(1, per_table + 1)]),
        "deep_c": ("(id)", [(c_key + i,) for i in range(1, per_table + 1)]),
        junction: ("(deep_c_id, deep_a_id)", [(c_key + i, i + 1) for i in range(1, per_table)]),
    }
    cur = con.cursor()
    for table, (columns, values) in rows.items():
        marks = ",".join([mark] * len(values[0]))
        cur.executemany(f"INSERT INTO {table} {columns} VALUES ({marks})", values)
    con.commit()
    con.close()


def outcome_of(run):
    try:
        result = run()
    except RecursionError:
        return "RecursionError"
    return f"returned {type(result).__name__}"


def sync_scenario(name):
    if name == "own_parent":
        node = DeepNode.getExecutor().findOneBy(DeepNode.id == 5)
        return outcome_of(lambda: DeepNode.getExecutor().findForeignKey(node, deep=True, level=20_000))
    if name == "chain":
        first = DeepA.getExecutor().findOneBy(DeepA.id == 1)
        return outcome_of(lambda: DeepA.getExecutor().findForeignKey(first, deep=True, level=10**9))
    if name == "chain_list":
        rows = DeepA.getExecutor().findAllBy(DeepA.id == 1)
        return outcome_of(lambda: DeepA.getExecutor().findListForeignKey(rows, True, level=10**9))
    raise SystemExit(f"unknown scenario {name}")


async def async_scenario(name):
    if name == "own_parent":
        node = await DeepNode.getExecutor().findOneBy(DeepNode.id == 5)
        load = DeepNode.getExecutor().findForeignKey(node, deep=True, level=20_000)
    elif name == "chain":
        first = await DeepA.getExecutor().findOneBy(DeepA.id == 1)
        load = DeepA.getExecutor().findForeignKey(first, deep=True, level=10**9)
    elif name == "chain_list":
        rows = await DeepA.getExecutor().findAllBy(DeepA.id == 1)
        assert type(rows) is InstanceList
        load = DeepA.getExecutor().findListForeignKey(rows, True, level=10**9)
    else:
        raise SystemExit(f"unknown scenario {name}")
    try:
        result = await load
    except RecursionError:
        return "RecursionError"
    return f"returned {type(result).__name__}"


async def run_async(kind, params, name):
    handle = DB.getInstance()
    handle.connector = connector_of(kind, params)
    try:
        for model in MODELS:
            await handle.executeSql(TableGenerator(model).Build()[0])
        fill(kind, params)
        return await async_scenario(name)
    finally:
        await handle.connector.close()


def run_sync(kind, params, name):
    handle = DB.getInstance()
    handle.connector = connector_of(kind, params)
    for model in MODELS:
        handle.executeSql(TableGenerator(model).Build()[0])
    fill(kind, params)
    try:
        return sync_scenario(name)
    finally:
        handle.connector.close()


def main():
    faulthandler.enable()
    name, kind, limit, params = sys.argv[1], sys.argv[2], int(sys.argv[3]), json.loads(sys.argv[4])
    sys.setrecursionlimit(limit)
    if kind.startswith("aio"):
        result = asyncio.run(run_async(kind, params, name))
    else:
        result = run_sync(kind, params, name)
    print(f"{name}: {result}", flush=True)


if __name__ == "__main__":
    main()
