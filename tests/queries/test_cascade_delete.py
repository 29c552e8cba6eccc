"""delete(instance, cascade=True): the instance's row, the rows its
one-to-one and one-to-many relations reach (found by query, recursively) and
the junction rows of its many-to-many relations, in one transaction; each
row once, whatever the cycles; a failure leaves every row in place."""

import pytest

from Tessary.Error.DBError import DeleteWithOutPrimaryKeyError
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from queries_support import BLOG_ROWS, fill


class QNode(DataModel):
    tableName = "q_node"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    parent_id = IntegerProperty(nullable=True)
    label = VarcharProperty(32)
    children = ForeignKey(ForeignType.ONE_TO_MANY, "QNode", bindCol="id", targetBindCol="parent_id")


class QGhost(DataModel):
    """No primary key, and no table: deleting its rows fails."""
    tableName = "q_ghost"
    q_user_id = IntegerProperty()


def table_counts(backend):
    return {table: backend.rows(f"SELECT COUNT(*) FROM {table}")[0][0] for table, _, _ in BLOG_ROWS}


def test_cascade_deletes_the_children_found_by_query(backend, filled):
    user = backend.run(backend.executor(filled.User).findOneBy(filled.User.id == 1))
    assert "posts" not in user  # nothing loaded: the children are found by query
    # A post written after the user was read goes as well.
    backend.insert("q_post", ("user_id", "title"), [(1, "late")])
    before = table_counts(backend)
    backend.run(backend.executor(filled.User).delete(user, cascade=True))
    assert backend.rows("SELECT id FROM q_user ORDER BY id") == [(2,), (3,), (4,)]
    assert backend.rows("SELECT COUNT(*) FROM q_post WHERE user_id = 1") == [(0,)]
    assert backend.rows("SELECT id FROM q_comment ORDER BY id") == [(3,)]
    assert backend.rows("SELECT q_post_id, q_tag_id FROM q_post_tag") == [(3, 2)]
    after = table_counts(backend)
    assert after["q_tag"] == before["q_tag"]  # the far rows of a many-to-many stay
    assert after["q_post"] == before["q_post"] - 3


def test_cascade_false_is_the_plain_delete(sync_backend, blog, statements):
    sync_backend.create(*blog.tables)
    fill(sync_backend)
    user = sync_backend.executor(blog.User).findOneBy(blog.User.id == 2)
    statements.clear()
    sync_backend.executor(blog.User).delete(user)
    plain = list(statements)
    fill(sync_backend)
    statements.clear()
    sync_backend.executor(blog.User).delete(user, cascade=False)
    assert statements == plain and len(plain) == 1
    assert sync_backend.rows("SELECT COUNT(*) FROM q_post WHERE user_id = 2") == [(2,)]


def test_cascade_statements(sync_backend, blog, statements):
    sync_backend.create(*blog.tables)
    fill(sync_backend)
    user = sync_backend.executor(blog.User).findOneBy(blog.User.id == 2)
    statements.clear()
    sync_backend.executor(blog.User).delete(user, cascade=True)
    sent = [(sql.split()[0], sql, args) for _, sql, args in statements]
    selects = [(sql, args) for verb, sql, args in sent if verb == "SELECT"]
    deletes = [(sql, args) for verb, sql, args in sent if verb == "DELETE"]
    assert len(selects) == 2 and "q_post" in selects[0][0] and tuple(selects[0][1]) == (2,)
    assert "q_comment" in selects[1][0] and tuple(selects[1][1]) == (3,)
    tables = [sql.split("FROM")[1].split()[0].strip('`"') for sql, _ in deletes]
    assert tables == ["q_post_tag", "q_comment", "q_post", "q_user"]
    assert [list(args) for _, args in deletes] == [[3], [3], [3], [2]]
    assert all("2" not in sql.split("WHERE")[1].replace("%s", "") for sql, _ in deletes)


@pytest.fixture
def nodes(backend):
    backend.create(QNode)
    # 1 is its own parent; 2 and 3 point at each other; 4 -> 5 -> 6 is a chain; 7 stays.
    backend.insert("q_node", ("id", "parent_id", "label"),
                   [(1, 1, "self"), (2, 3, "a"), (3, 2, "b"), (4, None, "top"), (5, 4, "mid"), (6, 5, "o'low%s\0"),
                    (7, None, "other")])
    return backend


@pytest.mark.parametrize("root, gone", [(1, {1}), (2, {2, 3}), (4, {4, 5, 6})])
def test_cycles_visit_each_row_once(nodes, root, gone):
    node = nodes.run(nodes.executor(QNode).findOneBy(QNode.id == root))
    nodes.run(nodes.executor(QNode).delete(node, cascade=True))
    left = {row[0] for row in nodes.rows("SELECT id FROM q_node")}
    assert left == set(range(1, 8)) - gone


def test_a_chain_deeper_than_the_recursion_limit_raises_and_deletes_nothing(sync_backend):
    import sys
    sync_backend.create(QNode)
    depth = sys.getrecursionlimit() + 5
    sync_backend.insert("q_node", ("id", "parent_id", "label"),
                        [(i, i - 1 if i > 1 else None, "n") for i in range(1, depth + 1)])
    root = sync_backend.executor(QNode).findOneBy(QNode.id == 1)
    with pytest.raises(RecursionError):
        sync_backend.executor(QNode).delete(root, cascade=True)
    assert sync_backend.rows("SELECT COUNT(*) FROM q_node") == [(depth,)]


def test_a_failure_rolls_every_delete_back(backend, filled):
    class QUserWithGhosts(DataModel):
        tableName = "q_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32)
        ghosts = ForeignKey(ForeignType.ONE_TO_MANY, QGhost, bindCol="id", targetBindCol="q_user_id")
        posts = ForeignKey(ForeignType.ONE_TO_MANY, filled.Post, bindCol="id", targetBindCol="user_id")

    before = table_counts(backend)
    user = backend.run(backend.executor(QUserWithGhosts).findOneBy(QUserWithGhosts.id == 1))
    with pytest.raises(Exception, match="q_ghost"):
        # The junction rows, comments and posts go first; the ghosts' table is missing.
        backend.run(backend.executor(QUserWithGhosts).delete(user, cascade=True))
    assert table_counts(backend) == before


def test_wrong_calls(sync_backend, blog, statements):
    sync_backend.create(*blog.tables)
    fill(sync_backend)
    exc = sync_backend.executor(blog.User)
    statements.clear()
    with pytest.raises(TypeError):
        exc.delete(blog.User(id=1), None, True)  # cascade is keyword-only
    with pytest.raises(TypeError, match="'cascade' must be a bool, not str"):
        exc.delete(blog.User(id=1), cascade="yes")
    with pytest.raises(ValueError, match="filter"):
        exc.delete(blog.User(id=1), blog.User.id == 1, cascade=True)
    with pytest.raises(DeleteWithOutPrimaryKeyError):
        exc.delete(blog.User(id=None, name="nobody"), cascade=True)
    assert statements == []
    assert sync_backend.rows("SELECT COUNT(*) FROM q_user") == [(4,)]


@pytest.mark.parametrize("sync_backend", ["sqlite", "mariadb"], indirect=True)
def test_a_bound_executor_cascades_in_the_callers_transaction(sync_backend, blog):
    from Tessary.DB.DB import DB
    sync_backend.create(*blog.tables)
    fill(sync_backend)
    before = table_counts(sync_backend)
    with pytest.raises(LookupError, match="undo"):
        with DB.getInstance().transaction() as con:
            user = blog.User.getExecutor(con).findOneBy(blog.User.id == 1)
            blog.User.getExecutor(con).delete(user, cascade=True)
            assert blog.Comment.getExecutor(con).findAllBy(blog.Comment.post_id == 1) == []
            raise LookupError("undo")
    assert table_counts(sync_backend) == before


class QShelf(DataModel):
    tableName = "q_shelf"
    code = VarcharProperty(16, isPrimaryKey=True)
    books = ForeignKey(ForeignType.ONE_TO_MANY, "QBook", bindCol="code", targetBindCol="shelf_code")


class QBook(DataModel):
    tableName = "q_book"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    shelf_code = VarcharProperty(16)


@pytest.mark.parametrize("sync_backend", ["sqlite", "mariadb"], indirect=True)
def test_hostile_bind_values_travel_as_arguments(sync_backend, statements):
    hostile = "o'x%s\0;--"
    sync_backend.create(QShelf, QBook)
    sync_backend.insert("q_shelf", ("code",), [(hostile,), ("plain",)])
    sync_backend.insert("q_book", ("shelf_code",), [(hostile,), (hostile,), ("plain",)])
    statements.clear()
    sync_backend.executor(QShelf).delete(QShelf(code=hostile), cascade=True)
    assert statements and all(hostile not in sql and "o'x" not in sql for _, sql, _ in statements)
    assert any(hostile in args for _, _, args in statements)
    assert sync_backend.rows("SELECT code FROM q_shelf") == [("plain",)]
    assert sync_backend.rows("SELECT shelf_code FROM q_book") == [("plain",)]
