"""only= on the relation loads: the instances load the relations it names
and no others (deeper levels load all of theirs), on the four connectors, in
the per-instance, list, batched and paged loads."""

import pytest

from Tessary.Ext.Folio import Folio
from queries_support import fill


def post_tags(backend, post_id):
    return [row[0] for row in backend.rows(
        "SELECT t.label FROM q_tag t JOIN q_post_tag pt ON pt.q_tag_id = t.id WHERE pt.q_post_id = %s"
        " ORDER BY t.id", (post_id,))]


def post_comments(backend, post_id):
    return [row[0] for row in backend.rows("SELECT body FROM q_comment WHERE post_id = %s ORDER BY id", (post_id,))]


def test_find_foreign_key_loads_only_the_named_relation(backend, filled):
    exc = backend.executor(filled.Post)
    post = backend.run(exc.findOneBy(filled.Post.id == 1))
    loaded = backend.run(backend.executor(filled.Post).findForeignKey(post, only=["tags"]))
    assert "comments" not in loaded
    assert [t["label"] for t in loaded["tags"]] == post_tags(backend, 1)


def test_deep_load_applies_only_at_the_first_level(backend, filled):
    user = backend.run(backend.executor(filled.User).findOneBy(filled.User.id == 1))
    loaded = backend.run(backend.executor(filled.User).findForeignKey(user, deep=True, only=("posts",)))
    posts = {p["id"]: p for p in loaded["posts"]}
    assert sorted(posts) == [row[0] for row in backend.rows("SELECT id FROM q_post WHERE user_id = 1 ORDER BY id")]
    for post_id, post in posts.items():
        assert [c["body"] for c in post.get("comments") or []] == post_comments(backend, post_id)
        assert [t["label"] for t in post.get("tags") or []] == post_tags(backend, post_id)


@pytest.mark.parametrize("loader", ["findListForeignKey", "findListForeignKeyIn"])
def test_list_loads_choose_relations(backend, filled, loader):
    posts = backend.run(backend.executor(filled.Post).findAllBy())
    backend.run(getattr(backend.executor(filled.Post), loader)(posts, only=["comments"]))
    for post in posts:
        assert "tags" not in post
        assert [c["body"] for c in post.get("comments") or []] == post_comments(backend, post["id"])


@pytest.mark.parametrize("method", ["findForeign", "findForeignIn"])
def test_folio_pages_load_only_the_named_relations(backend, filled, method):
    page = backend.run(getattr(Folio(filled.Post, pageSize=3), method)(only=["tags"]).execute())
    assert [p["id"] for p in page.content] == [1, 2, 3]
    for post in page.content:
        assert "comments" not in post
        assert [t["label"] for t in post.get("tags") or []] == post_tags(backend, post["id"])


def test_keyset_pages_load_only_the_named_relations(backend, filled):
    page = backend.run(Folio(filled.Post, pageSize=2).findForeign(only=["comments"]).keyset(filled.Post.id).execute())
    assert [p["id"] for p in page.content] == [1, 2]
    for post in page.content:
        assert "tags" not in post
        assert [c["body"] for c in post.get("comments") or []] == post_comments(backend, post["id"])


def test_a_page_naming_no_relation_fails_when_it_loads(sync_backend, blog):
    sync_backend.create(*blog.tables)
    fill(sync_backend)
    with pytest.raises(ValueError, match="'nope' is not a relation"):
        Folio(blog.Post).findForeignIn(only=["nope"]).execute()


def test_without_only_the_statements_are_unchanged(sync_backend, blog, statements):
    sync_backend.create(*blog.tables)
    fill(sync_backend)
    post = sync_backend.executor(blog.Post).findOneBy(blog.Post.id == 1)
    statements.clear()
    sync_backend.executor(blog.Post).findForeignKey(post)
    every = list(statements)
    statements.clear()
    sync_backend.executor(blog.Post).findForeignKey(post, only=None)
    assert statements == every
    statements.clear()
    sync_backend.executor(blog.Post).findForeignKey(post, only=["tags"])
    assert statements == [every[1]]
    assert "q_post_tag" in every[1][1] and tuple(every[1][2]) == (1,)


@pytest.mark.parametrize("only, error, text", [
    ("tags", TypeError, "single str"),
    (["tags", 3], TypeError, "str names"),
    (5, TypeError, "sequence of relation names"),
    (["tags", "title"], ValueError, "'title' is not a relation"),
    (["x'; DROP TABLE q_post; --"], ValueError, "DROP TABLE"),
])
def test_wrong_choices_are_refused_before_any_statement(sync_backend, blog, statements, only, error, text):
    sync_backend.create(*blog.tables)
    fill(sync_backend)
    post = sync_backend.executor(blog.Post).findOneBy(blog.Post.id == 1)
    posts = sync_backend.executor(blog.Post).findAllBy()
    statements.clear()
    exc = sync_backend.executor(blog.Post)
    for call in (lambda: exc.findForeignKey(post, only=only), lambda: exc.findListForeignKey(posts, only=only),
                 lambda: exc.findListForeignKeyIn(posts, only=only)):
        with pytest.raises(error, match=text):
            call()
    assert statements == []


def test_only_is_keyword_only(sync_backend, blog):
    sync_backend.create(*blog.tables)
    exc = sync_backend.executor(blog.Post)
    with pytest.raises(TypeError):
        exc.findForeignKey(blog.Post(id=1), False, None, 1, 3, None, ["tags"])
    with pytest.raises(TypeError):
        exc.findListForeignKeyIn([], False, 3, None, ["tags"])
    with pytest.raises(TypeError, match="single str"):
        Folio(blog.Post).findForeign(only="tags")
    with pytest.raises(TypeError):
        Folio(blog.Post).findForeignIn(["tags"])
