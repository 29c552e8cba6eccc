"""save and update of instances whose loaded relations lead back to them
(a user's posts, each post's author that same user, each post's tags), on
the four connectors: every instance is written once, by identity, and the
whole walk is one transaction -- the caller's when one is open -- so that a
statement that fails half way leaves nothing written."""

import functools
import types

import pytest

from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from save_support import CONNECTORS, open_store

# MariaDB notes that it names every primary key PRIMARY.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


@functools.cache
def declare_models():
    class RwUser(DataModel):
        tableName = "rw_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(64, nullable=True)
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "RwPost", bindCol="id", targetBindCol="author_id")

    class RwPost(DataModel):
        tableName = "rw_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        author_id = IntegerProperty(nullable=True)
        title = VarcharProperty(64, extra="UNIQUE")
        author = ForeignKey(ForeignType.ONE_TO_ONE, "RwUser", bindCol="author_id", targetBindCol="id")
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "RwTag", bindCol="id", targetBindCol="id")

    class RwTag(DataModel):
        tableName = "rw_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(64, extra="UNIQUE")

    return types.SimpleNamespace(User=RwUser, Post=RwPost, Tag=RwTag,
                                 all=(RwUser, RwPost, RwTag, RwPost.tags.middleModel))


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path, models):
    yield from open_store(request, tmp_path, models)


@pytest.fixture
def sent():
    """The statements the executors send through the handle, as (sql, args)."""
    handle = DB.getInstance()
    seen = []
    run = DB.execute

    def recording(executor, con=None):
        seen.append(executor.sql.Build())
        return run(handle, executor=executor, con=con)

    handle.execute = recording
    try:
        yield seen
    finally:
        del handle.__dict__["execute"]


def everything(store):
    return (store.rows("SELECT id, name FROM rw_user ORDER BY id"),
            store.rows("SELECT id, author_id, title FROM rw_post ORDER BY id"),
            store.rows("SELECT id, label FROM rw_tag ORDER BY id"),
            store.rows("SELECT rw_post_id, rw_tag_id FROM rw_post_rw_tag ORDER BY 1, 2"))


@pytest.fixture
def loaded(store, models):
    """User "ann" with posts "one" (tag "red") and "two" (tag "blue"), loaded
    back with findForeignKey(deep=True): each post's author is the user object."""
    m = models
    ann = store.save(m.User, m.User(name="ann"))
    for title, label in (("one", "red"), ("two", "blue")):
        store.save(m.Post, m.Post(author_id=ann["id"], title=title, tags=[m.Tag(label=label)]))
    user = store.result(m.User.getExecutor().findOneBy(m.User.id == ann["id"]))
    store.result(m.User.getExecutor().findForeignKey(user, deep=True))
    assert all(post["author"] is user for post in user["posts"])
    return user


def statement_tables(sent):
    """(verb, table) of every statement sent, in order."""
    out = []
    for sql, _args in sent:
        words = sql.replace("(", " ").split()
        verb = words[0].upper()
        table = words[2] if verb in ("INSERT", "DELETE") else words[1]
        out.append((verb, table.strip("`\"'")))
    return out


def test_update_of_a_cyclic_graph_writes_each_row_once(store, models, loaded, sent):
    loaded["name"] = "renamed"
    loaded["posts"][0]["title"] = "first"
    loaded["posts"][1]["tags"][0]["label"] = "navy"
    result = store.update(models.User, loaded)
    assert result is loaded
    assert sorted(statement_tables(sent)) == sorted(
        [("UPDATE", "rw_user")] + [("UPDATE", "rw_post")] * 2 + [("UPDATE", "rw_tag")] * 2
        + [("DELETE", "rw_post_rw_tag")] * 2 + [("INSERT", "rw_post_rw_tag")] * 2)
    users, posts, tags, links = everything(store)
    assert users == [(1, "renamed")]
    assert [p[2] for p in posts] == ["first", "two"]
    assert [t[1] for t in tags] == ["red", "navy"]
    assert links == [(1, 1), (2, 2)]


def test_a_failing_statement_rolls_back_the_whole_update(store, models, loaded):
    before = everything(store)
    loaded["name"] = "renamed"
    loaded["posts"][0]["title"] = "first"
    loaded["posts"][0]["tags"][0]["label"] = "green"
    loaded["posts"][1]["tags"][0]["label"] = "green"  # the second tag's UPDATE clashes
    with pytest.raises(store.integrity_error):
        store.update(models.User, loaded)
    assert everything(store) == before


def test_save_of_a_cyclic_graph_inserts_each_row_once(store, models):
    m = models
    ann = m.User(name="ann")
    red = m.Tag(label="red")
    ann["posts"] = [m.Post(title="one", author=ann, tags=[red]), m.Post(title="two", author=ann, tags=[red])]
    saved = store.save(m.User, ann)
    assert saved is ann and ann["id"] == 1
    assert everything(store) == ([(1, "ann")], [(1, 1, "one"), (2, 1, "two")], [(1, "red")], [(1, 1), (2, 1)])


def test_a_failing_related_insert_rolls_back_the_owner(store, models):
    m = models
    store.save(m.Post, m.Post(title="taken"))
    before = everything(store)
    with pytest.raises(store.integrity_error):
        store.save(m.User, m.User(name="ann", posts=[m.Post(title="fresh"), m.Post(title="taken")]))
    assert everything(store) == before


def test_the_walk_runs_in_the_callers_transaction(store, models, loaded):
    """Inside the caller's block the walk's statements join it: the block's
    rollback takes them back too."""
    before = everything(store)
    loaded["name"] = "renamed"
    loaded["posts"][0]["tags"][0]["label"] = "green"
    executor = models.User.getExecutor()

    class Abandoned(Exception):
        pass

    if store.is_async:
        async def block():
            async with DB.getInstance().transaction() as con:
                await models.User.getExecutor(con).update(loaded)
                await executor.update(loaded)
                raise Abandoned

        with pytest.raises(Abandoned):
            store.result(block())
    else:
        with pytest.raises(Abandoned):
            with DB.getInstance().transaction():
                executor.update(loaded)
                raise Abandoned
    assert everything(store) == before
