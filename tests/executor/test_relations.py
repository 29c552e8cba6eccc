"""Relations on both backends: saving an owner with its related rows,
loading them back with findForeignKey, the cache and level rules, and the
relation-aware update."""

import logging
import sqlite3
import types

import pymysql
import pytest

from Tessary.DB.DB import DB
from Tessary.Error.DBError import UpdateWithOutPrimaryKeyError
from Tessary.Model.Carrack import ModelExecutor
from Tessary.Model.DataModel import DataModel, InstanceList
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)


@pytest.fixture(scope="module")
def schema():
    class RelUser(DataModel):
        tableName = "rel_user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32, nullable=True)
        profile = ForeignKey(ForeignType.ONE_TO_ONE, "RelProfile", bindCol="id", targetBindCol="user_id")
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "RelPost", bindCol="id", targetBindCol="user_id")

    class RelProfile(DataModel):
        tableName = "rel_profile"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        bio = VarcharProperty(32, nullable=True)
        score = IntegerProperty(nullable=True, default=7)

    class RelPost(DataModel):
        tableName = "rel_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty(nullable=True)
        title = VarcharProperty(32, nullable=True)
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "RelTag", bindCol="id", targetBindCol="id")

    class RelTag(DataModel):
        tableName = "rel_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)

    class RelNode(DataModel):
        tableName = "rel_node"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        parent_id = IntegerProperty(nullable=True)
        parent = ForeignKey(ForeignType.ONE_TO_ONE, "RelNode", bindCol="parent_id", targetBindCol="id")

    return types.SimpleNamespace(User=RelUser, Profile=RelProfile, Post=RelPost, Tag=RelTag, Node=RelNode,
                                 PostTag=RelPost.tags.middleModel)


@pytest.fixture
def tables(backend, schema):
    backend.create(schema.User, schema.Profile, schema.Post, schema.Tag, schema.PostTag, schema.Node)
    return schema


def new_user(s):
    return s.User(name="ann", profile=s.Profile(bio="", score=0),
                  posts=[s.Post(title="first", tags=[s.Tag(label="a"), s.Tag(label="b")]), s.Post(title="")])


@pytest.fixture
def saved(tables):
    """One user with a profile, two posts, the first with two new tags."""
    return ModelExecutor(tables.User).save(new_user(tables))


def table(backend, name):
    return backend.rows(f"SELECT * FROM {name} ORDER BY 1, 2")


class TestSave:
    def test_owner_and_related_rows_are_written(self, backend, saved):
        assert table(backend, "rel_user") == [(1, "ann")]
        assert table(backend, "rel_profile") == [(1, 1, "", 0)]  # "" and 0 are values, not defaults
        assert table(backend, "rel_post") == [(1, 1, "first"), (2, 1, "")]
        assert table(backend, "rel_tag") == [(1, "a"), (2, "b")]
        assert table(backend, "rel_post_rel_tag") == [(1, 1), (1, 2)]

    def test_result_carries_keys_and_the_saved_one_to_one(self, saved):
        assert saved["id"] == 1
        assert saved["profile"] == {"bio": "", "score": 0, "user_id": 1, "id": 1}
        assert [p["user_id"] for p in saved["posts"]] == [1, 1]

    def test_a_row_without_values_takes_the_defaults(self, backend, tables):
        empty = tables.User(name=None)
        assert ModelExecutor(tables.User).save(empty) is empty
        assert empty["id"] == 1 and table(backend, "rel_user") == [(1, None)]

    def test_existing_far_rows_are_only_linked(self, backend, tables, statements):
        tag = ModelExecutor(tables.Tag).save(tables.Tag(label="old"))
        statements.clear()
        ModelExecutor(tables.Post).save(tables.Post(title="p", tags=[tag, tables.Tag(label="new")]))
        inserts = [sql.split(" (")[0] for sql, _ in statements if sql.startswith("INSERT")]
        assert inserts == ["INSERT INTO rel_post", "INSERT INTO rel_post_rel_tag", "INSERT INTO rel_tag",
                           "INSERT INTO rel_post_rel_tag"]
        assert table(backend, "rel_post_rel_tag") == [(1, 1), (1, 2)]

    def test_relation_writers_are_reached_by_attribute(self, tables):
        calls = []

        class Recording(ModelExecutor):
            def _saveOTM(self, fk, instance):
                calls.append(fk.name)

        Recording(tables.User).save(new_user(tables))
        assert calls == ["posts"]

    def test_duplicate_key(self, backend, saved, tables):
        again = tables.User(id=1, name="renamed", posts=[tables.Post(id=2, user_id=1, title="edited")])
        if backend.name == "sqlite":
            with pytest.raises(sqlite3.IntegrityError):
                ModelExecutor(tables.User).save(again)
            return
        assert ModelExecutor(tables.User).save(again) is again
        assert table(backend, "rel_user") == [(1, "renamed")]
        assert table(backend, "rel_post") == [(1, 1, "first"), (2, 1, "edited")]

    def test_one_transaction(self, backend, tables):
        with pytest.raises(LookupError):
            with DB.getInstance().transaction() as con:
                ModelExecutor(tables.User, con).save(new_user(tables))
                raise LookupError
        for name in ("rel_user", "rel_profile", "rel_post", "rel_tag", "rel_post_rel_tag"):
            assert table(backend, name) == []
        with DB.getInstance().transaction() as con:
            tables.User.getExecutor(con).save(new_user(tables))
        assert len(table(backend, "rel_post_rel_tag")) == 2


def load(s, user_id=1, **kwargs):
    user = s.User.getExecutor().findOneBy(s.User.id == user_id)
    return s.User.getExecutor().findForeignKey(user, **kwargs)


class TestFindForeignKey:
    def test_deep_load_matches_the_tables(self, backend, saved, tables):
        user = load(tables, deep=True)
        assert user["profile"] == dict(zip(("id", "user_id", "bio", "score"), table(backend, "rel_profile")[0]))
        assert [tuple(p[c.name] for c in tables.Post.col) for p in user["posts"]] == table(backend, "rel_post")
        assert [t["label"] for t in user["posts"][0]["tags"]] == ["a", "b"]
        assert type(user["posts"][1]["tags"]) is InstanceList and user["posts"][1]["tags"] == []

    def test_shallow_load(self, saved, tables, statements):
        user = load(tables)
        assert "tags" not in user["posts"][0]
        assert len(statements) == 1 + 2  # the user, then profile and posts

    @pytest.mark.parametrize("level, loaded_tags", [(1, False), (2, False), (3, True)])
    def test_level_limit(self, saved, tables, statements, level, loaded_tags):
        user = load(tables, deep=True, level=level)
        assert ("tags" in user["posts"][0]) is loaded_tags
        assert len(statements) == 3 + (2 if loaded_tags else 0)

    def test_not_a_root_call_is_limited_at_once(self, saved, tables, statements):
        user = tables.User.getExecutor().findOneBy(tables.User.id == 1)
        statements.clear()
        assert tables.User.getExecutor().findForeignKey(user, True, None, 3, 3) is None
        assert statements == [] and "posts" not in user

    def test_before_skips_the_relation(self, saved, tables):
        post = tables.Post.getExecutor().findOneBy(tables.Post.id == 1)
        post["tags"] = "untouched"
        assert tables.Post.getExecutor().findForeignKey(post, before="rel_tag")["tags"] == "untouched"

    def test_many_to_many_cache_and_log_line(self, saved, tables, statements, caplog):
        post = tables.Post.getExecutor().findOneBy(tables.Post.id == 1)
        path = {}
        tables.Post.getExecutor().findForeignKey(post, path=path)
        assert path == {"rel_tag": {1: post["tags"]}}
        statements.clear()
        other = tables.Post(id=1)
        with caplog.at_level(logging.INFO):
            tables.Post.getExecutor().findForeignKey(other, path=path)
        assert statements == [] and other["tags"] is post["tags"]
        assert caplog.messages == ["当前外键tags已经查询过"]

    def test_root_registered_and_reused_for_one_to_many(self, saved, tables, statements):
        user = tables.User.getExecutor().findOneBy(tables.User.id == 1)
        post = tables.Post(id=5)
        path = {"rel_post": {1: post}}
        statements.clear()
        tables.User.getExecutor().findForeignKey(user, deep=True, path=path)
        assert user["posts"] == [post] and path["rel_user"] == {1: user}
        assert all("rel_post " not in sql for sql, _ in statements)

    def test_missing_related_rows(self, tables):
        ModelExecutor(tables.User).save(tables.User(name="alone"))
        user = load(tables)
        assert user["profile"] is None
        assert type(user["posts"]) is InstanceList and user["posts"] == []

    def test_own_model_is_always_queried(self, tables, statements):
        node = ModelExecutor(tables.Node).save(tables.Node(parent_id=1))
        statements.clear()
        tables.Node.getExecutor().findForeignKey(node, deep=True)
        assert len(statements) == 1 and node["parent"]["id"] == 1

    def test_list_form(self, saved, tables, statements):
        ModelExecutor(tables.User).save(tables.User(name="bob"))
        users = tables.User.getExecutor().findAllBy()
        statements.clear()
        path = {}
        assert tables.User.getExecutor().findListForeignKey(users, False, path) is None
        assert [len(u["posts"]) for u in users] == [2, 0]
        assert path["rel_user"] == {2: users[1]}  # the second root replaced the first
        assert tables.User.getExecutor().findListForeignKey(InstanceList(), True) is None

    @pytest.mark.parametrize("kwargs, message", [
        ({"instance": {}}, "Argument 'instance' has incorrect type (expected "
                           "Tessary.Model.DataModel.ModelInstance, got dict)"),
        ({"instance": None, "path": []}, "Argument 'path' has incorrect type (expected dict, got list)"),
        ({"instance": None, "before": 1}, "Argument 'before' has incorrect type (expected str, got int)"),
    ])
    def test_argument_checks(self, tables, kwargs, message):
        with pytest.raises(TypeError) as err:
            ModelExecutor(tables.User).findForeignKey(**kwargs)
        assert str(err.value) == message

    def test_argument_count(self, tables):
        with pytest.raises(TypeError) as err:
            ModelExecutor(tables.User).findForeignKey(None, 1, None, 1, 3, None, 7)
        assert str(err.value) == "findForeignKey() takes at most 6 positional arguments (7 given)"


class TestUpdate:
    def test_related_rows_first_then_the_owner(self, backend, saved, tables, statements):
        user = load(tables, deep=True)
        user["name"] = "renamed"
        user["profile"]["bio"] = "edited"
        user["posts"][1]["title"] = "second"
        statements.clear()
        assert ModelExecutor(tables.User).update(user) is user
        kinds = [sql.split(" SET")[0] for sql, _ in statements]
        assert kinds[0] == "UPDATE rel_profile" and kinds[-1] == "UPDATE rel_user"
        assert table(backend, "rel_user") == [(1, "renamed")]
        assert table(backend, "rel_profile") == [(1, 1, "edited", 0)]
        assert table(backend, "rel_post") == [(1, 1, "first"), (2, 1, "second")]

    def test_every_column_is_written(self, backend, saved, tables, statements):
        profile = tables.Profile(id=1, user_id=1, bio=None, score=None)
        ModelExecutor(tables.Profile).update(profile)
        assert statements[0] == ("UPDATE rel_profile SET `id` = %s,`user_id` = %s,`bio` = %s,`score` = %s "
                                 "WHERE rel_profile.id  =  %s ;", (1, 1, None, None, 1))
        assert table(backend, "rel_profile") == [(1, 1, None, None)]

    def test_many_to_many_elements_and_junction_rows(self, backend, saved, tables):
        post = tables.Post.getExecutor().findOneBy(tables.Post.id == 1)
        post["tags"] = [tables.Tag(id=2, label="b2"), tables.Tag(label="c")]
        ModelExecutor(tables.Post).update(post)
        assert table(backend, "rel_tag") == [(1, "a"), (2, "b2"), (3, "c")]
        assert table(backend, "rel_post_rel_tag") == [(1, 2), (1, 3)]

    @pytest.mark.parametrize("key", [0, None])
    def test_without_primary_key(self, tables, statements, key):
        with pytest.raises(UpdateWithOutPrimaryKeyError):
            ModelExecutor(tables.User).update(tables.User(id=key, name="x"))
        assert statements == []

    def test_none_and_absent_relations_are_skipped(self, backend, saved, tables, statements):
        ModelExecutor(tables.User).update(tables.User(id=1, name="solo", profile=None))
        assert len(statements) == 1

    def test_instance_type(self, tables):
        with pytest.raises(TypeError) as err:
            ModelExecutor(tables.User).update({"id": 1})
        assert str(err.value) == ("Argument 'instance' has incorrect type "
                                  "(expected Tessary.Model.DataModel.ModelInstance, got dict)")


def test_integrity_error_is_bound_at_module_level():
    import Tessary.Model.Carrack as carrack

    assert carrack.IntegrityError is pymysql.IntegrityError
