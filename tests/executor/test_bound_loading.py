"""Related rows read on the connection the executor is bound to: a graph
written on a connection whose transaction is still open is loaded back whole
through executors bound to that connection (one-to-one, one-to-many and,
one level further, many-to-many), by findForeignKey and findListForeignKey,
on SQLite and MariaDB; an executor bound to no connection reads on the
handle's own. The rows are saved through the same executors, so every
statement, writes included, runs on the bound connection."""

import types

import pytest

from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty


@pytest.fixture(scope="module")
def schema():
    class BoundUser(DataModel):
        tableName = "bound_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32, nullable=True)
        profile = ForeignKey(ForeignType.ONE_TO_ONE, "BoundProfile", bindCol="id", targetBindCol="user_id")
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "BoundPost", bindCol="id", targetBindCol="user_id")

    class BoundProfile(DataModel):
        tableName = "bound_profile"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        bio = VarcharProperty(32, nullable=True)

    class BoundPost(DataModel):
        tableName = "bound_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(32, nullable=True)
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "BoundTag", bindCol="id", targetBindCol="id")

    class BoundTag(DataModel):
        tableName = "bound_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    return types.SimpleNamespace(User=BoundUser, Profile=BoundProfile, Post=BoundPost, Tag=BoundTag,
                                 PostTag=BoundPost.tags.middleModel)


@pytest.fixture
def tables(backend, schema):
    backend.create(schema.User, schema.Profile, schema.Post, schema.Tag, schema.PostTag)
    return schema


def new_graph(s, name):
    return s.User(name=name, profile=s.Profile(bio=f"{name}'s"),
                  posts=[s.Post(title="first", tags=[s.Tag(label="a"), s.Tag(label="b")]), s.Post(title="second")])


def shape(user):
    """What was loaded for a user: its profile's bio, and each post's title with its tags' labels."""
    profile = user["profile"]
    return (profile["bio"] if profile else None,
            [(post["title"], [tag["label"] for tag in post.get("tags") or []]) for post in user["posts"] or []])


def full_shape(name):
    return (f"{name}'s", [("first", ["a", "b"]), ("second", [])])


@pytest.fixture
def connections():
    """Every connection a statement was run on (None: the handle's own),
    recorded by wrapping the handle's execute."""
    handle = DB.getInstance()
    seen = []
    run = DB.execute

    def recording(executor, con=None):
        seen.append(con)
        return run(handle, executor=executor, con=con)

    handle.execute = recording
    try:
        yield seen
    finally:
        del handle.__dict__["execute"]


@pytest.fixture
def open_connection(backend, tables):
    """A second connection of the connector, in a transaction that is rolled
    back at the end: what it writes only it can see."""
    con = backend.connector.connect()
    backend.connector.begin(con)
    try:
        yield con
    finally:
        con.rollback()
        con.close()


def load_one(s, con, name, **options):
    user = s.User.getExecutor(con).findOneBy(s.User.name == name)
    return s.User.getExecutor(con).findForeignKey(user, deep=True, **options)


def load_all(s, con, *names):
    users = s.User.getExecutor(con).findAllBy(s.User.name.In(list(names)))
    s.User.getExecutor(con).findListForeignKey(users, True)
    return {user["name"]: shape(user) for user in users}


def test_deep_load_on_a_connection_in_a_transaction_sees_its_rows(tables, open_connection, connections):
    tables.User.getExecutor(open_connection).save(new_graph(tables, "ann"))
    assert shape(load_one(tables, open_connection, "ann")) == full_shape("ann")
    assert connections and all(con is open_connection for con in connections)


def test_list_load_on_a_connection_in_a_transaction_sees_its_rows(tables, open_connection, connections):
    for name in ("ann", "bob"):
        tables.User.getExecutor(open_connection).save(new_graph(tables, name))
    assert load_all(tables, open_connection, "ann", "bob") == {"ann": full_shape("ann"), "bob": full_shape("bob")}
    assert connections and all(con is open_connection for con in connections)


def test_in_a_transaction_block(tables, connections):
    with DB.getInstance().transaction() as con:
        tables.User.getExecutor(con).save(new_graph(tables, "ann"))
        assert shape(load_one(tables, con, "ann")) == full_shape("ann")
    assert connections and all(c is con for c in connections)


def test_unbound_executor_reads_on_the_handles_connection(tables, connections):
    tables.User.getExecutor().save(new_graph(tables, "ann"))
    connections.clear()  # the graph's save ran in a transaction of its own, on its connection
    assert shape(load_one(tables, None, "ann")) == full_shape("ann")
    assert load_all(tables, None, "ann") == {"ann": full_shape("ann")}
    assert connections and all(con is None for con in connections)
