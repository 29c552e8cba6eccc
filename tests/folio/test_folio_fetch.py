"""Fetching pages on every backend: page arithmetic, the statements sent,
the content against the raw table, and related rows."""

import collections.abc

import pytest

from Tessary.Ext.Folio import Folio, Page, _Folio
from Tessary.Model.DataModel import InstanceList

COUNT_ALL = ("executeSql", "select count(fo_user.id) from fo_user  ", ())
SELECT_ALL = "SELECT fo_user.id,fo_user.name,fo_user.age FROM fo_user"


def as_rows(content):
    return [(u["id"], u["name"], u["age"]) for u in content]


class TestPageArithmetic:
    @pytest.mark.parametrize("number, offset, ids", [(1, 0, range(1, 11)), (2, 10, range(11, 21)),
                                                      (3, 20, range(21, 26))])
    def test_25_rows_in_pages_of_10(self, backend, users, statements, number, offset, ids):
        page = backend.run(Folio(users, number).filter().orderBy("fo_user.id").execute())
        assert type(page) is Page
        assert list(page) == ["page", "pageSize", "content", "total", "totalPage"]
        assert (page.page, page.pageSize, page.total, page.totalPage) == (number, 10, 25, 3)
        assert type(page.content) is InstanceList and [u.id for u in page.content] == list(ids)
        assert as_rows(page.content) == backend.rows(
            f"SELECT id, name, age FROM fo_user ORDER BY id LIMIT 10 OFFSET {offset}")
        assert statements == [COUNT_ALL,
                              ("execute", f"{SELECT_ALL} order by fo_user.id limit {offset}, 10;", ())]

    def test_page_beyond_the_last_sends_only_the_count(self, backend, users, statements):
        page = backend.run(Folio(users, 4).execute())
        assert page == {"page": 4, "pageSize": 10, "content": [], "total": 25, "totalPage": 3}
        assert statements == [COUNT_ALL]

    @pytest.mark.parametrize("condition, total, pages", [
        (lambda u: u.age != 0, 20, 2),      # a whole number of pages
        (lambda u: u.age == 0, 5, 1),
        (lambda u: u.id > 24, 1, 1),
        (lambda u: u.name == "none", 0, 0),
    ])
    def test_page_count(self, backend, users, statements, condition, total, pages):
        page = backend.run(Folio(users).filter(condition(users)).execute())
        assert (page.total, page.totalPage, len(page.content)) == (total, pages, min(total, 10))
        assert len(statements) == (2 if total else 1)

    def test_no_rows_at_all(self, backend, users, statements):
        backend.rows("DELETE FROM fo_user")
        page = backend.run(Folio(users, pageSize=3).findForeign().execute())
        assert page == {"page": 1, "pageSize": 3, "content": [], "total": 0, "totalPage": 0}
        assert statements == [COUNT_ALL]

    def test_each_fetch_builds_a_new_page(self, backend, users):
        folio = Folio(users, 4)
        first, second = backend.run(folio.execute()), backend.run(folio.execute())
        assert first == second and first is not second and first.content is not second.content


class TestContent:
    def test_without_filter_every_row_of_page_one(self, backend, users, statements):
        page = backend.run(Folio(users, pageSize=30).execute())
        assert sorted(as_rows(page.content)) == backend.rows("SELECT id, name, age FROM fo_user ORDER BY id")
        assert statements == [COUNT_ALL, ("execute", f"{SELECT_ALL} limit 0, 30;", ())]

    def test_filter_and_order(self, backend, users, statements):
        folio = Folio(users, 2, 4).filter(users.age >= 3).orderBy("fo_user.name desc")
        page = backend.run(folio.execute())
        assert (page.total, page.totalPage) == (10, 3)
        assert as_rows(page.content) == backend.rows(
            "SELECT id, name, age FROM fo_user WHERE age >= 3 ORDER BY name DESC LIMIT 4 OFFSET 4")
        assert statements == [
            ("executeSql", "select count(fo_user.id) from fo_user   WHERE fo_user.age  >=  %s ", (3,)),
            ("execute", f"{SELECT_ALL} WHERE fo_user.age  >=  %s  order by fo_user.name desc limit 4, 4;", (3,)),
        ]

    def test_one_controller_fetches_page_after_page(self, backend, users, statements):
        folio = Folio(users, pageSize=7).filter(users.id <= 20).orderBy("fo_user.id")
        names = []
        for number in (1, 2, 3, 4):
            names.append([u.name for u in backend.run(folio.setPage(number).execute()).content])
        assert names == [[f"u{i:02d}" for i in range(a, b)] for a, b in ((1, 8), (8, 15), (15, 21))] + [[]]
        limits = [sql.split(" order by fo_user.id")[1] for kind, sql, _ in statements if kind == "execute"]
        assert limits == [" limit 0, 7;", " limit 7, 7;", " limit 14, 7;"]  # each fetch replaces the limit

    def test_the_builder_accumulates_edits(self, backend, users):
        folio = Folio(users, pageSize=5).filter(users.age == 1)
        folio.editSql(lambda sql: sql.orderBy("fo_user.id desc"))
        page = backend.run(folio.execute())
        assert [u.id for u in page.content] == [21, 16, 11, 6, 1]


@pytest.fixture
def related(backend, users, models):
    """Two posts each for users 6, 8 and 11; a profile for the odd users up to 11."""
    posts = [(uid, f"p{uid}-{n}") for uid in (6, 8, 11) for n in (1, 2)]
    backend.insert("fo_post", ("user_id", "title"), posts)
    backend.insert("fo_profile", ("user_id", "bio"), [(uid, f"bio{uid}") for uid in range(1, 12, 2)])
    return models


def missing(backend, user, relation):
    """A relation without rows: the synchronous executor sets the empty result
    (None for one-to-one), the coroutine executor leaves the entry out."""
    if backend.is_async:
        return relation not in user
    return user[relation] == ([] if relation == "posts" else None)


class TestRelatedRows:
    def test_pages_carry_their_related_rows(self, backend, related):
        page = backend.run(Folio(related.User, 2, 5).filter(related.User.id <= 12).orderBy("fo_user.id")
                           .findForeign().execute())
        assert [u.id for u in page.content] == [6, 7, 8, 9, 10]
        for user in page.content:
            posts = backend.rows("SELECT id, user_id, title FROM fo_post WHERE user_id = %s ORDER BY id", (user.id,))
            if posts:
                assert [(p.id, p.user_id, p.title) for p in user.posts] == posts
            else:
                assert missing(backend, user, "posts")
            profile = backend.rows("SELECT id, user_id, bio FROM fo_profile WHERE user_id = %s", (user.id,))
            if profile:
                assert (user.profile.id, user.profile.user_id, user.profile.bio) == profile[0]
            else:
                assert missing(backend, user, "profile")

        page = backend.run(Folio(related.User, 4, 3, findForeign=True).filter().orderBy("fo_user.id").execute())
        assert [u.id for u in page.content] == [10, 11, 12]
        assert [p.title for p in page.content[1].posts] == ["p11-1", "p11-2"]
        assert page.content[1].profile.bio == "bio11"
        assert all(missing(backend, page.content[i], r) for i in (0, 2) for r in ("posts", "profile"))

    def test_without_find_foreign_no_related_rows(self, backend, related, statements):
        page = backend.run(Folio(related.User, 1, 3).execute())
        assert all("posts" not in u and "profile" not in u for u in page.content)
        assert len(statements) == 2

    def test_related_rows_are_loaded_after_the_page(self, backend, related, statements):
        backend.run(Folio(related.User, 1, 3).findForeign().execute())
        assert statements[:2] == [COUNT_ALL, ("execute", f"{SELECT_ALL} limit 0, 3;", ())]
        loaded = {sql.split(" FROM ")[1].split(" ")[0] for kind, sql, _ in statements[2:]}
        assert loaded == {"fo_post", "fo_profile"}

    @pytest.mark.parametrize("number, condition", [(9, None), (1, lambda u: u.id > 99)])
    def test_an_empty_page_loads_nothing(self, backend, related, statements, number, condition):
        folio = Folio(related.User, number, findForeign=True)
        if condition:
            folio.filter(condition(related.User))
        assert backend.run(folio.execute()).content == []
        assert len(statements) == 1


class TestPathChoice:
    def test_execute_returns_a_page_or_an_unawaited_coroutine(self, backend, users, statements):
        result = Folio(users).execute()
        if not backend.is_async:
            assert type(result) is Page
            return
        assert isinstance(result, collections.abc.Coroutine) and statements == []
        assert backend.run(result).total == 25 and len(statements) == 2

    @pytest.mark.parametrize("backend", ["aiosqlite", "aiomysql"], indirect=True)
    def test_the_coroutine_awaits_count_content_and_related_rows(self, backend, related):
        awaited = []
        base = type(related.User.getExecutor())

        class Recording(base):
            async def execute(self):
                awaited.append("execute")
                return await base.execute(self)

            async def findListForeignKey(self, instances, *args):
                awaited.append("findListForeignKey")
                return await base.findListForeignKey(self, instances, *args)

        class Recorded(related.User):
            tableName = "fo_user"

            @classmethod
            def getExecutor(cls, con=None):
                return Recording(cls, con)

        class Counted(_Folio):
            async def _getCount(self):
                awaited.append("_getCount")
                return await _Folio._getCount(self)

        page = backend.run(Counted(Recorded, 2, 4).findForeign().execute())
        assert awaited == ["_getCount", "execute", "findListForeignKey"]
        assert [u.id for u in page.content] == [5, 6, 7, 8] and len(page.content[1].posts) == 2
