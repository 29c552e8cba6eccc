"""Helpers of the everyday query and write tests: a small blog (users, posts,
comments, tags) and the backends: one database behind the handle, the
executor kind that goes with its connector, and a raw driver connection of
the test's own."""

import types

from Tessary.Model.DataModel import DataModel, MiddleDataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)

from backend_support import Backend, make_backend  # noqa: F401  (used by this folder's tests)
from handle_support import installed  # noqa: F401  (also used by this folder's tests)


def declare_blog():
    class QUser(DataModel):
        tableName = "q_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32)
        age = IntegerProperty(nullable=True)
        visits = IntegerProperty(default=0)
        email = VarcharProperty(64, nullable=True)
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "QPost", bindCol="id", targetBindCol="user_id")

    class QPost(DataModel):
        tableName = "q_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(64)
        score = IntegerProperty(default=0)
        version = IntegerProperty(default=1)
        comments = ForeignKey(ForeignType.ONE_TO_MANY, "QComment", bindCol="id", targetBindCol="post_id")
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "QTag", bindCol="id", targetBindCol="id",
                          middleModel="QPostTag")

    class QComment(DataModel):
        tableName = "q_comment"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        post_id = IntegerProperty(nullable=True)
        body = VarcharProperty(64)

    class QTag(DataModel):
        tableName = "q_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32)

    class QPostTag(MiddleDataModel):
        tableName = "q_post_tag"
        q_post_id = IntegerProperty()
        q_tag_id = IntegerProperty()

    return types.SimpleNamespace(User=QUser, Post=QPost, Comment=QComment, Tag=QTag, PostTag=QPostTag,
                                 tables=(QUser, QPost, QComment, QTag, QPostTag))


# The rows `filled` writes: (table, columns, rows). Names are chosen so that
# case-insensitive matching, NULLs and ties have something to show.
BLOG_ROWS = [
    ("q_user", ("name", "age", "visits", "email"), [
        ("ann", 31, 5, "ann@example.org"),
        ("Bob", 25, 0, None),
        ("cy", None, 12, "cy@example.org"),
        ("dee", 61, 3, None),
    ]),
    ("q_post", ("user_id", "title", "score", "version"), [
        (1, "Hello", 10, 1),
        (1, "Again", 3, 1),
        (2, "bob's post", 7, 2),
        (3, "100% sure", 0, 1),
        (None, "orphan", 1, 1),
    ]),
    ("q_comment", ("post_id", "body"), [(1, "nice"), (1, "more"), (3, "hm")]),
    ("q_tag", ("label",), [("news",), ("misc",)]),
    ("q_post_tag", ("q_post_id", "q_tag_id"), [(1, 1), (1, 2), (3, 2)]),
]


def fill(backend):
    """The blog's rows (BLOG_ROWS) written through the backend's raw connection."""
    for table, columns, rows in BLOG_ROWS:
        backend.insert(table, columns, rows)
