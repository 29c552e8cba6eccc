"""`async with connector.transaction()` inside another block of the same
connector in the same task: a savepoint on the outer block's connection
("SAVEPOINT sp_<level>", released, or rolled back to then released when the
inner block raises), while the outer block goes on and commits. Blocks in
other tasks keep connections of their own."""

import asyncio

import pytest

from Tessary.DB.DB import DB

from async_support import make_backend, installed

HANDLE = DB.getInstance()


class Failed(Exception):
    pass


@pytest.fixture
def table(backend):
    backend.run(HANDLE.executeSql("CREATE TABLE t_sp (k INTEGER PRIMARY KEY)"))
    return backend


def insert(k, con):
    return HANDLE.executeSql("INSERT INTO t_sp VALUES (%s)", args=(k,), con=con)


def committed(backend):
    return [k for (k,) in backend.rows("SELECT k FROM t_sp ORDER BY k")]


async def savepoint_statements(backend, con):
    """The savepoint statements the server has run on `con` (MariaDB counts
    them per session), or None on SQLite, which keeps no such count."""
    if backend.name != "aiomysql":
        return None
    rows = await HANDLE.executeSql("SHOW SESSION STATUS LIKE 'Com_%savepoint'", con=con)
    return {name: int(value) for name, value in rows}


def test_inner_block_raises_and_the_outer_commits_its_own_rows(table):
    async def story():
        async with HANDLE.transaction() as outer:
            await insert(1, outer)
            with pytest.raises(Failed):
                async with HANDLE.transaction() as inner:
                    assert inner is outer
                    await insert(2, inner)
                    raise Failed
            await insert(3, outer)
            return await savepoint_statements(table, outer)
    counts = table.run(story())
    assert committed(table) == [1, 3]
    if counts is not None:
        assert counts == {"Com_release_savepoint": 1, "Com_rollback_to_savepoint": 1, "Com_savepoint": 1}


def test_inner_block_ends_normally_and_everything_commits(table):
    async def story():
        async with HANDLE.transaction() as outer:
            await insert(1, outer)
            async with HANDLE.transaction() as inner:
                await insert(2, inner)
            assert committed(table) == []
            return await savepoint_statements(table, outer)
    counts = table.run(story())
    assert committed(table) == [1, 2]
    if counts is not None:
        assert counts == {"Com_release_savepoint": 1, "Com_rollback_to_savepoint": 0, "Com_savepoint": 1}


def test_outer_block_raises_after_the_inner_one_ended(table):
    async def story():
        with pytest.raises(Failed):
            async with HANDLE.transaction() as outer:
                await insert(1, outer)
                async with HANDLE.transaction() as inner:
                    await insert(2, inner)
                raise Failed
    table.run(story())
    assert committed(table) == []


def test_three_levels_and_their_names(table):
    async def story():
        async with HANDLE.transaction() as con:
            await insert(1, con)
            async with HANDLE.transaction():
                # Each level's savepoint exists under its name (a rollback to it keeps it).
                await HANDLE.executeSql("ROLLBACK TO SAVEPOINT sp_1", con=con)
                await insert(2, con)
                with pytest.raises(Failed):
                    async with HANDLE.transaction():
                        await insert(3, con)
                        await HANDLE.executeSql("ROLLBACK TO SAVEPOINT sp_2", con=con)
                        await insert(3, con)
                        raise Failed
                async with HANDLE.transaction():
                    await insert(4, con)
            await insert(5, con)
    table.run(story())
    assert committed(table) == [1, 2, 4, 5]


def test_blocks_of_other_tasks_take_their_own_connections(backend, request, tmp_path):
    # On SQLite a block of the default IMMEDIATE mode would wait for the outer
    # block's write lock while the outer block waits for it: the blocks here
    # are DEFERRED, so that the inner one, which only reads, can begin.
    options = {"transactionMode": "DEFERRED"} if backend.name == "aiosqlite" else {}
    table = make_backend(backend.name, request, tmp_path / "deferred", **options)

    async def inner_task(outer):
        async with HANDLE.transaction() as con:
            assert con is not outer
            # Its own connection: the outer block's uncommitted row is not seen.
            return [tuple(r) for r in await HANDLE.executeSql("SELECT k FROM t_sp", con=con)]

    async def story():
        async with HANDLE.transaction() as outer:
            await insert(1, outer)
            seen = await asyncio.gather(inner_task(outer))
            with pytest.raises(Failed):
                async with HANDLE.transaction() as inner:
                    assert inner is outer
                    raise Failed
            return seen
    with installed(table.connector):
        try:
            table.run(HANDLE.executeSql("CREATE TABLE t_sp (k INTEGER PRIMARY KEY)"))
            assert table.run(story()) == [[]]
            assert committed(table) == [1]
        finally:
            table.close()


def test_a_savepoint_needs_no_second_pooled_connection(backend, request, tmp_path):
    """With one pooled connection an inner block used to wait for a second one forever."""
    limited = make_backend(backend.name, request, tmp_path / "one", maxsize=1)

    async def story():
        await HANDLE.executeSql("CREATE TABLE t_sp (k INTEGER PRIMARY KEY)")
        async with HANDLE.transaction() as outer:
            await insert(1, outer)
            async with HANDLE.transaction() as inner:
                await insert(2, inner)
    with installed(limited.connector):
        try:
            limited.run(story())
            assert committed(limited) == [1, 2]
        finally:
            limited.close()
