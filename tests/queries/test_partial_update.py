"""update(instance, columns=...): only the columns named, or only those
assigned since the instance was loaded, made or written (changed()), on
every connector; the life cycle of changed()."""

import pytest

from Tessary.Model.DataModel import ModelInstance


def test_changed_records_assignments_to_columns(blog):
    User = blog.User
    user = User(name="ann", age=3)
    assert user.changed() == set(), "made: nothing assigned yet"
    user.name = "Ann"
    user["age"] = 4
    user.update({"visits": 1}, email=None)
    user.setdefault("id", 9)
    user.setdefault("name", "kept")  # present: nothing assigned
    user["posts"] = []               # a relation, not a column
    user.nickname = "x"              # not a column either
    first = user.changed()
    assert first == {"name", "age", "visits", "email", "id"}
    first.add("junk")
    assert "junk" not in user.changed(), "a new set each call"
    other = User(name="b")
    other |= {"age": 1}
    assert other.changed() == {"age"}
    assert user.copy().changed() == set()
    del user["age"]
    user.pop("visits")
    assert user.changed() == {"name", "email", "id"}, "a key deleted since has no value to write"
    user["age"] = 5
    assert "age" in user.changed()
    assert ModelInstance().changed() == set()


def test_loading_and_writing_start_clean(backend, filled):
    User, Post = filled.User, filled.Post
    ex = backend.executor(User)
    loaded = backend.run(ex.findAllBy())
    assert all(u.changed() == set() for u in loaded)
    ann = backend.run(ex.findOneBy(User.id == 1))
    backend.run(ex.findForeignKey(ann))
    assert ann.changed() == set() and all(p.changed() == set() for p in ann.posts)
    new = User(name="eve")
    new.visits = 2
    saved = backend.run(ex.save(new))
    assert saved.changed() == set()
    ann.age = 32
    ann.visits = 6
    backend.run(ex.update(ann, columns=["age"]))
    assert ann.changed() == {"visits"}, "a partial update forgets only what it wrote"
    backend.run(ex.update(ann))
    assert ann.changed() == set()
    post = backend.run(backend.executor(Post).findOneBy(Post.id == 2))
    post.title = "x"
    post.title = "Again"
    assert post.changed() == {"title"}


def test_changed_columns_only_are_written(backend, filled):
    User = filled.User
    ex = backend.executor(User)
    ann = backend.run(ex.findOneBy(User.id == 1))
    # Someone else changes another column meanwhile: a partial write keeps it.
    backend.rows("UPDATE q_user SET visits = 99 WHERE id = 1")
    ann.age = 40
    ann.name = "it's 100%s\x00"
    assert backend.run(ex.update(ann, columns="changed")) is ann
    assert ex.rowcount == 1
    assert backend.rows("SELECT name, age, visits FROM q_user WHERE id = 1") == [("it's 100%s\x00", 40, 99)]
    ann.email = "new@example.org"
    backend.run(ex.update(ann, columns=("email",)))
    assert backend.rows("SELECT email, visits FROM q_user WHERE id = 1") == [("new@example.org", 99)]


def test_nothing_changed_sends_no_update_but_writes_relations(backend, filled, statements):
    User = filled.User
    ex = backend.executor(User)
    ann = backend.run(ex.findOneBy(User.id == 1))
    backend.run(ex.findForeignKey(ann))
    ann.posts[0].title = "retitled"
    statements.clear()
    assert backend.run(ex.update(ann, columns="changed")) is ann
    assert ex.rowcount == 0
    updates = [sql for _, sql, _ in statements if sql.startswith("UPDATE")]
    assert updates and all(sql.startswith("UPDATE q_post") for sql in updates)
    assert backend.rows("SELECT title FROM q_post WHERE id = 1") == [("retitled",)]
    statements.clear()
    assert backend.run(ex.update(ann, columns=[])) is ann and ex.rowcount == 0
    assert not any(sql.startswith("UPDATE q_user") for _, sql, _ in statements)


def test_statement_texts(sync_backend, blog, statements):
    sync_backend.create(*blog.tables)
    Post = blog.Post
    ex = sync_backend.executor(Post)
    post = ex.save(Post(user_id=1, title="t", score=1, version=1))
    post = ex.findOneBy(Post.id == post.id)
    statements.clear()
    ex.update(post)
    post.version = 2
    post.score = 5
    ex.update(post, columns="changed")
    ex.update(post, columns=["title"])
    sent = [(sql, list(args)) for _, sql, args in statements]
    assert sent == [
        ("UPDATE q_post SET `id` = %s,`user_id` = %s,`title` = %s,`score` = %s,`version` = %s "
         "WHERE q_post.id  =  %s ;", [1, 1, "t", 1, 1, 1]),
        ("UPDATE q_post SET `score` = %s,`version` = %s WHERE q_post.id  =  %s ;", [5, 2, 1]),
        ("UPDATE q_post SET `title` = %s WHERE q_post.id  =  %s ;", ["t", 1]),
    ]


@pytest.mark.parametrize("columns, error, text", [
    ("title", TypeError, "'title'"),
    (["title", "nope", "posts"], ValueError, "'nope', 'posts'"),
    ([b"title"], TypeError, "bytes"),
    (b"title", TypeError, "bytes"),
    (3, TypeError, "int"),
])
def test_refused_columns_send_nothing(sync_backend, blog, statements, columns, error, text):
    sync_backend.create(blog.Post)
    statements.clear()
    ex = sync_backend.executor(blog.Post)
    post = blog.Post(id=1, user_id=1, title="t", score=1, version=1)
    with pytest.raises(error, match=text):
        ex.update(post, columns=columns)
    assert statements == [] and ex.rowcount == -1


def test_changed_needs_an_instance_on_the_coroutine_executor(backend, filled):
    if not backend.is_async:
        pytest.skip("the synchronous update takes only instances")
    ex = backend.executor(filled.Tag)
    with pytest.raises(TypeError, match="ModelInstance"):
        ex.update({"id": 1, "label": "x"}, columns="changed")
    assert backend.run(ex.update({"id": 1, "label": "x"}, columns=["label"])) is not None
    assert backend.rows("SELECT label FROM q_tag WHERE id = 1") == [("x",)]
