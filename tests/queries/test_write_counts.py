"""The rows a write counted: rowcount after save, update, delete, and the
counts updateWhere and deleteWhere return, checked against raw SQL on every
connector; the statements updateWhere and deleteWhere send."""

import pytest

from Tessary.DB.Generator import FunctionCall
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, JsonProperty

HOSTILE = ["it's", 'say "hi"', "100%s", "50%% off", "nul\x00inside", "`tick`; DROP TABLE q_post; --"]


def test_rowcount_follows_each_write(backend, filled):
    ex = backend.executor(filled.User)
    assert ex.rowcount == -1
    user = backend.run(ex.save(filled.User(name="eve", visits=1)))
    assert ex.rowcount == 1
    user = backend.run(ex.findOneBy(filled.User.id == user.id))
    # Writing a row's own values back still matches it: 1 on MariaDB too.
    backend.run(ex.update(user))
    assert ex.rowcount == 1
    backend.run(ex.findAllBy(filled.User.visits > 100))
    assert ex.rowcount == 1, "a read leaves the count of the last write"
    frequent = backend.rows("SELECT COUNT(*) FROM q_user WHERE visits >= %s", (5,))[0][0]
    backend.run(ex.delete(filter=filled.User.visits >= 5))
    assert ex.rowcount == frequent == 2
    backend.run(ex.delete(user))
    assert ex.rowcount == 1
    backend.run(ex.delete(user))
    assert ex.rowcount == 0


def test_update_where_counts_matched_rows(backend, filled):
    ex = backend.executor(filled.User)
    before = backend.rows("SELECT id, name, visits FROM q_user ORDER BY id")
    adults = backend.rows("SELECT COUNT(*) FROM q_user WHERE age >= %s", (30,))[0][0]
    assert backend.run(ex.updateWhere(filled.User.age >= 30, visits=7)) == adults == ex.rowcount
    # Unchanged values are matched all the same.
    assert backend.run(ex.updateWhere(filled.User.age >= 30, visits=7)) == adults
    expected = [(i, n, 7 if i in (1, 4) else v) for i, n, v in before]
    assert backend.rows("SELECT id, name, visits FROM q_user ORDER BY id") == expected
    assert backend.run(ex.updateWhere(filled.User.name == "nobody", visits=1)) == 0


def test_update_where_embeds_generators(backend, filled):
    ex = backend.executor(filled.Post)
    count = backend.run(ex.updateWhere(filled.Post.score < 5, score=FunctionCall("ABS", -40), title="low"))
    assert count == 3
    assert backend.rows("SELECT title, score FROM q_post WHERE score = %s ORDER BY id", (40,)) == [
        ("low", 40), ("low", 40), ("low", 40)]


def test_delete_where_and_every_row(backend, filled):
    ex = backend.executor(filled.Comment)
    assert backend.run(ex.deleteWhere(filled.Comment.post_id == 1)) == 2 == ex.rowcount
    assert backend.rows("SELECT body FROM q_comment") == [("hm",)]
    tags = backend.executor(filled.Tag)
    assert backend.run(tags.updateWhere(None, everyRow=True, label="x")) == 2
    assert backend.run(tags.deleteWhere(None, everyRow=True)) == 2
    assert backend.rows("SELECT COUNT(*) FROM q_tag") == [(0,)]


def test_optimistic_locking_round_trip(backend, filled):
    Post = filled.Post
    ex = backend.executor(Post)
    post = backend.run(ex.findOneBy(Post.id == 3))
    version = post.version
    won = backend.run(ex.updateWhere((Post.id == post.id) & (Post.version == version), title="first",
                                     version=version + 1))
    assert won == 1
    lost = backend.run(ex.updateWhere((Post.id == post.id) & (Post.version == version), title="second",
                                      version=version + 1))
    assert lost == 0
    assert backend.rows("SELECT title, version FROM q_post WHERE id = 3") == [("first", version + 1)]


def test_hostile_values_travel_as_arguments(backend, filled, statements):
    ex = backend.executor(filled.User)
    for i, value in enumerate(HOSTILE, start=1):
        assert backend.run(ex.updateWhere(filled.User.id == 1, name=value[:32], email=value)) == 1
        assert backend.rows("SELECT name, email FROM q_user WHERE id = 1") == [(value[:32], value)]
        assert backend.run(ex.deleteWhere(filled.User.email == value)) == 1
        backend.run(ex.save(filled.User(id=1, name="ann", visits=i)))
    for _, sql, args in statements:
        assert not any(value in sql for value in HOSTILE)
    assert backend.rows("SELECT COUNT(*) FROM q_post") == [(5,)]


def test_statement_texts(sync_backend, blog, statements):
    sync_backend.create(*blog.tables)
    statements.clear()
    Post = blog.Post
    ex = sync_backend.executor(Post)
    ex.updateWhere((Post.id == 3) & (Post.version == 2), title="t", version=3)
    ex.updateWhere(None, everyRow=True, score=FunctionCall("ABS", -1))
    ex.deleteWhere(Post.user_id == 9)
    ex.deleteWhere(None, everyRow=True)
    sent = [(sql, list(args)) for _, sql, args in statements]
    assert sent == [
        ("UPDATE q_post SET `title` = %s,`version` = %s WHERE q_post.id  =  %s  AND q_post.version  =  %s ;",
         ["t", 3, 3, 2]),
        ("UPDATE q_post SET `score` = ABS(%s) ;", [-1]),
        ("DELETE FROM q_post  WHERE q_post.user_id  =  %s ", [9]),
        ("DELETE FROM q_post ", []),
    ]
    # A value is converted by its column's toDBValue.
    class QNote(DataModel):
        tableName = "q_note"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        data = JsonProperty(nullable=True)

    sync_backend.create(QNote)
    statements.clear()
    sync_backend.executor(QNote).updateWhere(QNote.id == 1, data={"a": [1]})
    assert list(statements[0][2]) == ['{"a":[1]}', 1]


@pytest.mark.parametrize("call, error, text", [
    (lambda ex, M: ex.updateWhere(None, visits=1), ValueError, "everyRow=True"),
    (lambda ex, M: ex.deleteWhere(None), ValueError, "everyRow=True"),
    (lambda ex, M: ex.deleteWhere(Filter=None, everyRow=1), TypeError, "everyRow"),
    (lambda ex, M: ex.updateWhere(M.id == 1, posts=[], nickname="x"), ValueError, "'posts', 'nickname'"),
    (lambda ex, M: ex.updateWhere(M.id == 1), TypeError, "column value"),
    (lambda ex, M: ex.updateWhere("id = 1", visits=1), TypeError, "Filter"),
    (lambda ex, M: ex.deleteWhere({"id": 1}), TypeError, "Filter"),
    (lambda ex, M: ex.deleteWhere(), TypeError, "Filter"),
    (lambda ex, M: ex.deleteWhere(M.id == 1, Filter=None), TypeError, "multiple values"),
    (lambda ex, M: ex.deleteWhere(M.id == 1, cascade=True), TypeError, "cascade"),
    (lambda ex, M: ex.updateWhere(M.id == 1, M.id == 2, visits=1), TypeError, "positional"),
])
def test_refused_calls_send_nothing(sync_backend, blog, statements, call, error, text):
    ex = sync_backend.executor(blog.User)
    with pytest.raises(error, match=text):
        call(ex, blog.User)
    assert statements == [] and ex.rowcount == -1


@pytest.mark.parametrize("kind", [ModelExecutor, AsyncModelExecutor])
def test_an_executor_made_without_init_refuses(blog, kind):
    ex = kind.__new__(kind)
    for use in (lambda: ex.rowcount, lambda: ex.updateWhere(None, everyRow=True, visits=1),
                lambda: ex.deleteWhere(None, everyRow=True), lambda: ex.update(blog.User(id=1), columns="changed")):
        with pytest.raises(RuntimeError, match="not initialised"):
            use()
