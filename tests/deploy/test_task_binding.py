"""Inside `async with connector.transaction()`, the statements the same task
runs without a connection (executors, Folio, executeSql) run on the block's
connection: a rollback leaves nothing of them. Other tasks, those created
inside the block included, keep to connections of their own."""

import asyncio

import pytest

from Tessary.Ext.Folio import Folio

from tasks_support import HANDLE, Failed, Note, aio_backend, committed, insert, seen  # noqa: F401 (fixture)


def test_a_rolled_back_block_leaves_nothing_of_unbound_statements(aio_backend):
    async def story():
        with pytest.raises(Failed):
            async with HANDLE.transaction():
                await Note.getExecutor().save(Note(body="executor"))
                await insert("sql")
                page = await Folio(Note, 1, 10).orderBy("tk_note.id").execute()
                found = await Note.getExecutor().findAllBy(Note.body == "sql")
                assert [n.body for n in page.content] == ["executor", "sql"] and page.total == 2
                assert [n.body for n in found] == ["sql"]
                raise Failed
        return await seen()
    assert aio_backend.run(story()) == []
    assert committed(aio_backend) == []


def test_a_block_that_ends_normally_commits_unbound_statements(aio_backend):
    async def story():
        async with HANDLE.transaction() as con:
            await Note.getExecutor().save(Note(body="executor"))
            await insert("sql")
            assert committed(aio_backend) == []
            assert await seen(con) == ["executor", "sql"]
    aio_backend.run(story())
    assert committed(aio_backend) == ["executor", "sql"]


def test_a_task_outside_the_block_does_not_see_its_connection(aio_backend):
    entered, checked = asyncio.Event(), asyncio.Event()

    async def in_block():
        with pytest.raises(Failed):
            async with HANDLE.transaction():
                await insert("inside")
                entered.set()
                await checked.wait()
                inside = await seen()
                raise Failed
        return inside

    async def outside():
        await entered.wait()
        try:
            return await seen()
        finally:
            checked.set()

    async def story():
        return await asyncio.gather(in_block(), outside())
    assert aio_backend.run(story()) == [["inside"], []]
    assert committed(aio_backend) == []


def test_a_task_created_inside_the_block_runs_outside_it(aio_backend):
    async def story():
        with pytest.raises(Failed):
            async with HANDLE.transaction():
                await insert("inside")
                # Made in the block and handed over: the child task's statement all the same.
                child = await asyncio.create_task(seen())
                gathered = await asyncio.gather(seen(), seen())
                raise Failed
        return child, gathered
    child, gathered = aio_backend.run(story())
    assert child == [] and gathered == [[], []]


def test_nested_blocks_are_savepoints_of_the_task(aio_backend):
    async def story():
        async with HANDLE.transaction() as outer:
            await insert("outer")
            with pytest.raises(Failed):
                async with HANDLE.transaction() as inner:
                    assert inner is outer
                    await insert("dropped")
                    raise Failed
            async with HANDLE.transaction():
                await insert("kept")
            assert await seen() == ["outer", "kept"]
        # The block is over: the next statement commits on a pooled connection.
        await insert("after")
    aio_backend.run(story())
    assert committed(aio_backend) == ["outer", "kept", "after"]


def test_a_block_abandoned_without_its_exit_unbinds_the_task(aio_backend):
    async def story():
        block = HANDLE.transaction()
        await block.__aenter__()
        await insert("abandoned")
        del block  # its connection goes back, its work rolled back
        await insert("after")
        return await seen()
    assert aio_backend.run(story()) == ["after"]


def test_hostile_use_of_a_transaction_block(aio_backend):
    from Tessary.DB.Connector import AioTransaction
    bare = AioTransaction.__new__(AioTransaction)
    with pytest.raises(RuntimeError):
        bare.__aenter__()
    with pytest.raises(RuntimeError, match="not been entered"):
        HANDLE.transaction().__aexit__(None, None, None)

    async def story():
        block = HANDLE.transaction()
        con = await block.__aenter__()
        with pytest.raises(RuntimeError, match="already been entered"):
            block.__aenter__()
        with pytest.raises(RuntimeError, match="re-initialised"):
            block.__init__(aio_backend.connector)
        await block.__aexit__(None, None, None)
        return con
    assert aio_backend.run(story()) is not None


def test_many_tasks_cycling_through_blocks_never_share_a_connection(aio_backend):
    """Requests of 5 concurrent tasks, each a scope holding a block: every row lands, and no
    connection is ever lent to two tasks at once. Fewer on SQLite, whose one writer at a time
    makes the others wait (with sleeps) for its lock."""
    holders = {}
    cycles = 8 if aio_backend.is_sqlite else 40

    async def worker(w):
        for n in range(cycles):
            async with aio_backend.connector.scope() as con:
                assert holders.setdefault(id(con), w) == w
                await insert(f"{w}.{n}")
                async with HANDLE.transaction() as block:
                    assert block is con
                    await insert(f"{w}.{n}.block")
                del holders[id(con)]

    async def story():
        await asyncio.gather(*(worker(w) for w in range(5)))
        return await HANDLE.executeSql("SELECT COUNT(*) FROM tk_note")
    assert aio_backend.run(story())[0][0] == 5 * cycles * 2
