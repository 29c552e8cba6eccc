"""AsyncModelExecutor on both asynchronous backends: execute and the
inherited operations, findOneBy, argument checks at the call, saving with
every kind of relation, loading them back (cache, level and bind rules), the
relation-aware update, and one transaction across a save."""

import asyncio
import logging
import warnings

import pytest

from Tessary.DB.DB import DB
from Tessary.Error.DBError import UpdateWithOutPrimaryKeyError
from Tessary.Error.QueryError import QueryResoutIsNotOne
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.DataModel import InstanceList

# MariaDB notes that it names every primary key PRIMARY.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


def new_user(s):
    return s.User(name="ann", profile=s.Profile(bio="", score=0),
                  posts=[s.Post(title="first", tags=[s.Tag(label="a"), s.Tag(label="b")]), s.Post(title="")])


@pytest.fixture
def saved(backend, tables):
    """One user with a profile, two posts, the first with two new tags."""
    return backend.run(AsyncModelExecutor(tables.User).save(new_user(tables)))


def kinds(statements):
    """"INSERT as_tag", "DELETE as_post_as_tag"...: the verb and table of each statement."""
    words = [sql.split() for sql, _ in statements]
    return [w[0] + " " + (w[2] if w[1] in ("INTO", "FROM") else w[1]) for w in words]


def table(backend, name):
    return backend.rows(f"SELECT * FROM {name} ORDER BY 1, 2")


class TestExecute:
    def test_executors_of_models_are_coroutine_executors(self, tables):
        assert type(tables.User.getExecutor()) is AsyncModelExecutor

    def test_inherited_operations_return_the_unawaited_execute(self, backend, saved, tables, statements):
        pending = tables.User.getExecutor().findAllBy(tables.User.name == "ann")
        assert asyncio.iscoroutine(pending) and pending.__qualname__ == "AsyncModelExecutor.execute"
        assert statements == []
        found = backend.run(pending)
        assert type(found) is InstanceList and [u["id"] for u in found] == [1]
        assert statements == [("SELECT as_user.id,as_user.name FROM as_user WHERE as_user.name  =  %s  ;",
                               ("ann",))]

    def test_marks_executed_and_passes_the_connection(self, backend, tables):
        calls = []
        handle = DB.getInstance()

        async def recording(executor, con=None):
            calls.append(con)
            return "result"

        handle.execute = recording
        try:
            plain = AsyncModelExecutor(tables.User)
            assert backend.run(plain.execute()) == "result"
            assert plain.reset() is plain  # executed: reset makes a fresh builder
            assert backend.run(AsyncModelExecutor(tables.User, [1]).execute()) == "result"
            assert backend.run(AsyncModelExecutor(tables.User, []).execute()) == "result"
        finally:
            del handle.__dict__["execute"]
        assert calls == [None, [1], None]

    def test_delete_by_instance(self, backend, saved, tables):
        backend.run(tables.Post.getExecutor().delete(tables.Post(id=2)))
        assert table(backend, "as_post") == [(1, 1, "first")]

    def test_sixty_four_bit_key(self, backend, tables):
        big = tables.Big(id=2**40, label="far")
        assert backend.run(AsyncModelExecutor(tables.Big).save(big)) is big
        got = backend.run(AsyncModelExecutor(tables.Big).save(tables.Big(label="next")))
        assert got["id"] == 2**40 + 1


class TestFindOneBy:
    def test_one_none_or_several(self, backend, saved, tables):
        ex = tables.Post.getExecutor()
        assert backend.run(ex.findOneBy(tables.Post.id == 2))["title"] == ""
        assert backend.run(ex.findOneBy(tables.Post.id == 9)) is None
        with pytest.raises(QueryResoutIsNotOne):
            backend.run(ex.findOneBy(tables.Post.user_id == 1))


class TestArgumentsAtTheCall:
    @pytest.mark.parametrize("call, message", [
        (lambda ex: ex.execute(1), "execute() takes exactly 0 positional arguments (1 given)"),
        (lambda ex: ex.findOneBy(42), "Argument 'Filter' has incorrect type (expected "
                                      "Tessary.Model.ModelProperty.FilterListCell, got int)"),
        (lambda ex: ex.save(), "save() takes exactly 1 positional argument (0 given)"),
        (lambda ex: ex._saveOTO(1, 2), "_saveOTO() takes exactly 3 positional arguments (2 given)"),
        (lambda ex: ex._saveMTM(1, 2, 3), "_saveMTM() takes exactly 2 positional arguments (3 given)"),
        (lambda ex: ex.update(instance=1, other=2), "update() got an unexpected keyword argument 'other'"),
        (lambda ex: ex.findForeignKey({}), "Argument 'instance' has incorrect type (expected "
                                           "Tessary.Model.DataModel.ModelInstance, got dict)"),
        (lambda ex: ex.findForeignKey(None, before=1),
         "Argument 'before' has incorrect type (expected str, got int)"),
        (lambda ex: ex.findListForeignKey([]), "Argument 'instances' has incorrect type (expected "
                                               "Tessary.Model.DataModel.InstanceList, got list)"),
        (lambda ex: ex.findForeignKey(None, 1, None, 1, 3, None, 7),
         "findForeignKey() takes at most 6 positional arguments (7 given)"),
    ])
    def test_type_errors_before_any_await(self, models, call, message):
        with pytest.raises(TypeError) as err:
            call(AsyncModelExecutor(models.User))
        assert str(err.value) == message

    def test_update_takes_any_mapping(self, backend, saved, tables):
        with pytest.raises(TypeError) as err:
            backend.run(AsyncModelExecutor(tables.User).update(None))
        assert str(err.value) == "'NoneType' object is not subscriptable"
        assert backend.run(AsyncModelExecutor(tables.Tag).update({"id": 1, "label": "plain"})) == {
            "id": 1, "label": "plain"}
        assert table(backend, "as_tag")[0] == (1, "plain")


class TestSave:
    def test_owner_and_related_rows_are_written(self, backend, saved):
        assert table(backend, "as_user") == [(1, "ann")]
        assert table(backend, "as_profile") == [(1, 1, "", 0)]  # "" and 0 are values, not defaults
        assert table(backend, "as_post") == [(1, 1, "first"), (2, 1, "")]  # children got the owner's key
        assert table(backend, "as_tag") == [(1, "a"), (2, "b")]
        assert table(backend, "as_post_as_tag") == [(1, 1), (1, 2)]

    def test_result_carries_keys_and_the_saved_one_to_one(self, saved):
        assert saved["id"] == 1
        assert saved["profile"] == {"bio": "", "score": 0, "user_id": 1, "id": 1}
        assert [p["user_id"] for p in saved["posts"]] == [1, 1]

    def test_a_row_without_values_takes_the_defaults(self, backend, tables):
        empty = tables.User(name=None)
        assert backend.run(AsyncModelExecutor(tables.User).save(empty)) is empty
        assert empty["id"] == 1 and table(backend, "as_user") == [(1, None)]

    def test_existing_far_rows_are_only_linked(self, backend, tables, statements):
        tag = backend.run(AsyncModelExecutor(tables.Tag).save(tables.Tag(label="old")))
        statements.clear()
        backend.run(AsyncModelExecutor(tables.Post).save(tables.Post(title="p", tags=[tag, tables.Tag(label="new")])))
        assert kinds(statements) == ["INSERT as_post", "DELETE as_post_as_tag", "INSERT as_post_as_tag",
                                     "INSERT as_tag", "INSERT as_post_as_tag"]
        assert table(backend, "as_post_as_tag") == [(1, 1), (1, 2)]

    def test_relation_writers_are_reached_by_attribute(self, backend, tables):
        calls = []

        class Recording(AsyncModelExecutor):
            async def _saveOTM(self, fk, instance):
                calls.append(fk.name)

        backend.run(Recording(tables.User).save(new_user(tables)))
        assert calls == ["posts"]

    def test_duplicate_key_updates_on_both_drivers(self, backend, saved, tables):
        again = tables.User(id=1, name="renamed", posts=[tables.Post(id=2, user_id=1, title="edited")])
        assert backend.run(AsyncModelExecutor(tables.User).save(again)) is again
        assert table(backend, "as_user") == [(1, "renamed")]
        assert table(backend, "as_post") == [(1, 1, "first"), (2, 1, "edited")]

    def test_one_transaction(self, backend, tables):
        async def failing():
            async with DB.getInstance().transaction() as con:
                await tables.User.getExecutor(con).save(new_user(tables))
                raise LookupError

        async def succeeding():
            async with DB.getInstance().transaction() as con:
                await tables.User.getExecutor(con).save(new_user(tables))

        with pytest.raises(LookupError):
            backend.run(failing())
        for name in ("as_user", "as_profile", "as_post", "as_tag", "as_post_as_tag"):
            assert table(backend, name) == []
        backend.run(succeeding())
        assert len(table(backend, "as_post_as_tag")) == 2


def load(backend, s, user_id=1, **kwargs):
    async def loading():
        user = await s.User.getExecutor().findOneBy(s.User.id == user_id)
        return await s.User.getExecutor().findForeignKey(user, **kwargs)
    return backend.run(loading())


class TestFindForeignKey:
    def test_deep_load_matches_the_tables(self, backend, saved, tables):
        user = load(backend, tables, deep=True)
        assert user["profile"] == dict(zip(("id", "user_id", "bio", "score"), table(backend, "as_profile")[0]))
        assert [tuple(p[c.name] for c in tables.Post.col) for p in user["posts"]] == table(backend, "as_post")
        assert [t["label"] for t in user["posts"][0]["tags"]] == ["a", "b"]
        assert type(user["posts"][1]["tags"]) is InstanceList and user["posts"][1]["tags"] == []

    @pytest.mark.parametrize("level, loaded_tags", [(1, False), (2, False), (3, True)])
    def test_level_limit(self, backend, saved, tables, statements, level, loaded_tags):
        statements.clear()
        user = load(backend, tables, deep=True, level=level)
        assert ("tags" in user["posts"][0]) is loaded_tags
        assert len(statements) == 1 + 2 + (2 if loaded_tags else 0)

    def test_before_skips_the_relation(self, backend, saved, tables):
        post = backend.run(tables.Post.getExecutor().findOneBy(tables.Post.id == 1))
        post["tags"] = "untouched"
        assert backend.run(tables.Post.getExecutor().findForeignKey(post, before="as_tag"))["tags"] == "untouched"

    def test_many_to_many_cache_wraps_a_single_row(self, backend, saved, tables, statements, caplog):
        tag = tables.Tag(id=7, label="cached")
        path = {"as_tag": {1: tag}}
        post = tables.Post(id=1)
        statements.clear()
        with caplog.at_level(logging.INFO):
            backend.run(tables.Post.getExecutor().findForeignKey(post, path=path))
        assert statements == [] and post["tags"] == [tag]
        assert caplog.messages == ["当前外键tags已经查询过"]

    def test_one_to_many_cache_is_not_wrapped(self, backend, saved, tables, statements):
        user = backend.run(tables.User.getExecutor().findOneBy(tables.User.id == 1))
        post = tables.Post(id=5)
        statements.clear()
        backend.run(tables.User.getExecutor().findForeignKey(user, path={"as_post": {1: post}}))
        assert user["posts"] is post
        assert all("as_post " not in sql for sql, _ in statements)

    def test_missing_rows_leave_the_entries_as_they_were(self, backend, tables):
        alone = backend.run(AsyncModelExecutor(tables.User).save(tables.User(name="alone")))
        user = tables.User(id=alone["id"], profile="kept", posts="kept too")
        backend.run(tables.User.getExecutor().findForeignKey(user))
        assert (user["profile"], user["posts"]) == ("kept", "kept too")

    @pytest.mark.parametrize("bind", [None, "absent"])
    def test_unbound_relation_is_neither_queried_nor_set(self, backend, tables, statements, bind):
        user = tables.User(name="x") if bind == "absent" else tables.User(id=None, name="x")
        statements.clear()
        assert backend.run(tables.User.getExecutor().findForeignKey(user)) is user
        assert statements == [] and "profile" not in user and "posts" not in user

    def test_list_form(self, backend, saved, tables, statements):
        backend.run(AsyncModelExecutor(tables.User).save(tables.User(name="bob")))
        users = backend.run(tables.User.getExecutor().findAllBy())
        path = {}
        assert backend.run(tables.User.getExecutor().findListForeignKey(users, False, path)) is None
        assert len(users[0]["posts"]) == 2 and "posts" not in users[1]  # nothing found: left alone
        assert path["as_user"] == {2: users[1]}  # the second root replaced the first
        statements.clear()
        assert backend.run(tables.User.getExecutor().findListForeignKey(InstanceList(), True)) is None
        assert statements == []

    def test_synchronous_executor_is_refused(self, backend, saved, tables):
        tables.Post.getExecutor = classmethod(lambda cls, con=None: ModelExecutor(cls, con))
        try:
            with pytest.raises(TypeError) as err:
                load(backend, tables, deep=True)
        finally:
            del tables.Post.getExecutor
        assert str(err.value) == ("Cannot convert Tessary.Model.Carrack.ModelExecutor to "
                                  "Tessary.Model.Carrack.AsyncModelExecutor")


class TestUpdate:
    def test_related_rows_first_then_the_owner(self, backend, saved, tables, statements):
        user = load(backend, tables, deep=True)
        user["name"] = "renamed"
        user["profile"]["bio"] = "edited"
        user["posts"][1]["title"] = "second"
        statements.clear()
        assert backend.run(AsyncModelExecutor(tables.User).update(user)) is user
        assert statements[-1][0].startswith("UPDATE as_user SET")
        assert table(backend, "as_user") == [(1, "renamed")]
        assert table(backend, "as_profile") == [(1, 1, "edited", 0)]
        assert table(backend, "as_post") == [(1, 1, "first"), (2, 1, "second")]

    def test_a_new_one_to_one_row_is_inserted(self, backend, tables):
        user = backend.run(AsyncModelExecutor(tables.User).save(tables.User(name="solo")))
        user["profile"] = tables.Profile(user_id=user["id"], bio="new")
        backend.run(AsyncModelExecutor(tables.User).update(user))
        assert table(backend, "as_profile") == [(1, 1, "new", 7)]

    def test_many_to_many_far_rows_and_junction_rows(self, backend, saved, tables, statements):
        post = backend.run(tables.Post.getExecutor().findOneBy(tables.Post.id == 1))
        post["tags"] = [tables.Tag(id=2, label="b2"), tables.Tag(label="c")]
        statements.clear()
        backend.run(AsyncModelExecutor(tables.Post).update(post))
        assert kinds(statements) == ["UPDATE as_tag", "INSERT as_tag", "DELETE as_post_as_tag",
                                     "INSERT as_post_as_tag", "INSERT as_post_as_tag", "UPDATE as_post"]
        assert table(backend, "as_tag") == [(1, "a"), (2, "b2"), (3, "c")]
        assert table(backend, "as_post_as_tag") == [(1, 2), (1, 3)]

    @pytest.mark.parametrize("key", [0, None])
    def test_without_primary_key(self, backend, tables, statements, key):
        with pytest.raises(UpdateWithOutPrimaryKeyError):
            backend.run(AsyncModelExecutor(tables.User).update(tables.User(id=key, name="x")))
        assert statements == []

    def test_none_and_absent_relations_are_skipped(self, backend, saved, tables, statements):
        backend.run(AsyncModelExecutor(tables.User).update(tables.User(id=1, name="solo", profile=None)))
        assert len(statements) == 1


def test_a_coroutine_never_awaited_runs_nothing(backend, saved, tables, statements):
    ex = AsyncModelExecutor(tables.User)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pending = ex.save(tables.User(name="never"))
        del pending
    assert [str(w.message) for w in caught] == ["coroutine 'AsyncModelExecutor.save' was never awaited"]
    assert statements == [] and ex.reset() is None
    assert table(backend, "as_user") == [(1, "ann")]
