"""Related rows read on the connection the coroutine executor is bound to:
inside `async with connector.transaction() as con`, a graph saved in the
block is loaded back whole through executors bound to `con` (one-to-one,
one-to-many and, one level further, many-to-many), by findForeignKey and
findListForeignKey, on both asynchronous connectors. With a pool of one
connection an unbound read inside the block would wait for the connection
the block holds; with two it would not see the block's rows. An executor
bound to no connection reads on the pool as before. The graph is saved
through the same executors, so every statement, writes included, runs on
the bound connection."""

import asyncio

import pytest

from Tessary.DB.DB import DB

from async_support import declare_models, installed, make_backend

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

# A load that waits for itself never ends: a guard, not a measurement.
DEADLOCK_GUARD = 30


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=[("aiosqlite", 1), ("aiosqlite", 2), ("aiomysql", 1), ("aiomysql", 2)],
                ids=["aiosqlite-pool1", "aiosqlite-pool2", "aiomysql-pool1", "aiomysql-pool2"])
def pooled(request, tmp_path, models):
    name, size = request.param
    backend = make_backend(name, request, tmp_path, maxsize=size)
    with installed(backend.connector):
        try:
            backend.create(models.User, models.Profile, models.Post, models.Tag, models.PostTag)
            yield backend
        finally:
            backend.close()


def run(backend, story):
    return backend.loop.run_until_complete(asyncio.wait_for(story, DEADLOCK_GUARD))


def new_graph(s, name):
    return s.User(name=name, profile=s.Profile(bio=f"{name}'s"),
                  posts=[s.Post(title="first", tags=[s.Tag(label="a"), s.Tag(label="b")]), s.Post(title="second")])


def shape(user):
    """What was loaded for a user: its profile's bio, and each post's title with its tags' labels."""
    profile = user.get("profile")
    return (profile["bio"] if profile else None,
            [(post["title"], [tag["label"] for tag in post.get("tags") or []]) for post in user.get("posts") or []])


def full_shape(name):
    return (f"{name}'s", [("first", ["a", "b"]), ("second", [])])


@pytest.fixture
def connections():
    """Every connection a statement was run on (None: the pool), recorded
    when the handle's execute is called."""
    handle = DB.getInstance()
    seen = []
    run_statement = DB.execute

    def recording(executor, con=None):
        seen.append(con)
        return run_statement(handle, executor=executor, con=con)

    handle.execute = recording
    try:
        yield seen
    finally:
        del handle.__dict__["execute"]


async def load_one(s, con, name):
    user = await s.User.getExecutor(con).findOneBy(s.User.name == name)
    return await s.User.getExecutor(con).findForeignKey(user, deep=True)


async def load_all(s, con, *names):
    users = await s.User.getExecutor(con).findAllBy(s.User.name.In(list(names)))
    await s.User.getExecutor(con).findListForeignKey(users, True)
    return {user["name"]: shape(user) for user in users}


def test_deep_load_in_a_transaction_sees_the_rows_saved_in_it(pooled, models, connections):
    async def story():
        async with DB.getInstance().transaction() as con:
            await models.User.getExecutor(con).save(new_graph(models, "ann"))
            loaded = shape(await load_one(models, con, "ann"))
            return loaded, con
    loaded, con = run(pooled, story())
    assert loaded == full_shape("ann")
    assert connections and all(c is con for c in connections)


def test_list_load_in_a_transaction_sees_the_rows_saved_in_it(pooled, models, connections):
    async def story():
        async with DB.getInstance().transaction() as con:
            for name in ("ann", "bob"):
                await models.User.getExecutor(con).save(new_graph(models, name))
            return await load_all(models, con, "ann", "bob"), con
    loaded, con = run(pooled, story())
    assert loaded == {"ann": full_shape("ann"), "bob": full_shape("bob")}
    assert connections and all(c is con for c in connections)


def test_unbound_executor_reads_on_the_pool(pooled, models, connections):
    async def story():
        await models.User.getExecutor().save(new_graph(models, "ann"))
        connections.clear()  # the graph's save ran in a transaction of its own, on its connection
        return shape(await load_one(models, None, "ann")), await load_all(models, None, "ann")
    assert run(pooled, story()) == (full_shape("ann"), {"ann": full_shape("ann")})
    assert connections and all(c is None for c in connections)
