"""A many-to-many relation whose junction names its columns (middleCols):
a model related to itself through a junction of its own or a generated one,
saved, loaded per instance, in lists, in batches and in pages."""

import pytest

from Tessary.Ext.Folio import Folio
from Tessary.Model.DataModel import DataModel, MiddleDataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty


class QFollow(MiddleDataModel):
    tableName = "q_follow"
    follower_id = IntegerProperty()
    followee_id = IntegerProperty()


class QPerson(DataModel):
    tableName = "q_person"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(32)
    follows = ForeignKey(ForeignType.MANY_TO_MANY, "QPerson", bindCol="id", targetBindCol="id", middleModel=QFollow,
                         middleCols=("follower_id", "followee_id"))


class QPal(DataModel):
    """The junction generated, with the column names given."""
    tableName = "q_pal"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    pals = ForeignKey(ForeignType.MANY_TO_MANY, "QPal", bindCol="id", targetBindCol="id",
                      middleCols=("pal_a", "pal_b"))


# (follower, followee): 1 follows 2 and 3, 2 follows 1, 3 follows nobody.
FOLLOWS = [(1, 2), (1, 3), (2, 1)]


@pytest.fixture
def people(backend):
    backend.create(QPerson, QFollow)
    backend.insert("q_person", ("id", "name"), [(1, "ann"), (2, "o'bob"), (3, "%s\0cy")])
    backend.insert("q_follow", ("follower_id", "followee_id"), FOLLOWS)
    return backend


def followees(backend, person_id):
    return [r[0] for r in backend.rows("SELECT followee_id FROM q_follow WHERE follower_id = %s ORDER BY followee_id",
                                       (person_id,))]


def test_the_junction_columns_are_resolved_as_named():
    fk = QPerson.follows
    assert fk.middleCols == ("follower_id", "followee_id")
    assert fk.middleModel is QFollow and fk.directTarget is QPerson
    assert fk.targetBindCol.name == "follower_id"
    assert (fk.farLink.bindCol.name, fk.farLink.targetBindCol.name) == ("id", "followee_id")
    assert "q_person" not in vars(QPerson)  # the model is not given an attribute named after its own table
    pal = QPal.pals.middleModel
    assert pal.tableName == "q_pal_q_pal"
    assert [c.name for c in pal.col] == ["pal_a", "pal_b"]


def test_find_foreign_key_follows_the_named_columns(people):
    person = people.run(people.executor(QPerson).findOneBy(QPerson.id == 1))
    loaded = people.run(people.executor(QPerson).findForeignKey(person))
    assert sorted(p["id"] for p in loaded["follows"]) == followees(people, 1)
    person = people.run(people.executor(QPerson).findOneBy(QPerson.id == 2))
    loaded = people.run(people.executor(QPerson).findForeignKey(person, deep=True))
    assert [p["id"] for p in loaded["follows"]] == [1]
    assert [p["name"] for p in loaded["follows"]] == ["ann"]


@pytest.mark.parametrize("loader", ["findListForeignKey", "findListForeignKeyIn"])
def test_list_loads_follow_the_named_columns(people, loader):
    everyone = people.run(people.executor(QPerson).findAllBy())
    people.run(getattr(people.executor(QPerson), loader)(everyone))
    for person in everyone:
        assert sorted(p["id"] for p in person.get("follows") or []) == followees(people, person["id"])


@pytest.mark.parametrize("method", ["findForeign", "findForeignIn"])
def test_folio_pages_follow_the_named_columns(people, method):
    page = people.run(getattr(Folio(QPerson, pageSize=2), method)().execute())
    assert [p["id"] for p in page.content] == [1, 2]
    for person in page.content:
        assert sorted(p["id"] for p in person.get("follows") or []) == followees(people, person["id"])


def test_save_writes_the_junction_rows(people):
    ann = people.run(people.executor(QPerson).findOneBy(QPerson.id == 1))
    dee = QPerson(name="dee", follows=[ann, QPerson(name="eve")])
    saved = people.run(people.executor(QPerson).save(dee))
    eve_id = people.rows("SELECT id FROM q_person WHERE name = 'eve'")[0][0]
    assert followees(people, saved["id"]) == sorted([1, eve_id])
    assert followees(people, 1) == [2, 3]  # the far side's own rows are untouched


def test_save_all_and_update_rewrite_the_junction_rows(people):
    ann = people.run(people.executor(QPerson).findOneBy(QPerson.id == 1))
    people.run(people.executor(QPerson).saveAll([QPerson(name="fay", follows=[ann]),
                                                 QPerson(name="gus", follows=[ann, QPerson(name="hal")])]))
    ids = dict(people.rows("SELECT name, id FROM q_person"))
    assert followees(people, ids["fay"]) == [1]
    assert followees(people, ids["gus"]) == sorted([1, ids["hal"]])
    gus = people.run(people.executor(QPerson).findOneBy(QPerson.id == ids["gus"]))
    gus = people.run(people.executor(QPerson).findForeignKey(gus))
    gus["follows"] = [p for p in gus["follows"] if p["id"] != 1]
    people.run(people.executor(QPerson).update(gus))
    assert followees(people, ids["gus"]) == [ids["hal"]]
    assert followees(people, 1) == [2, 3]


def test_generated_junction_saves_and_loads(backend):
    backend.create(QPal, QPal.pals.middleModel)
    one = backend.run(backend.executor(QPal).save(QPal()))
    two = backend.run(backend.executor(QPal).save(QPal(pals=[one])))
    assert backend.rows("SELECT pal_a, pal_b FROM q_pal_q_pal") == [(two["id"], one["id"])]
    loaded = backend.run(backend.executor(QPal).findForeignKey(QPal(id=two["id"])))
    assert [p["id"] for p in loaded["pals"]] == [one["id"]]


def test_load_statement_joins_through_the_named_columns(sync_backend, statements):
    sync_backend.create(QPerson, QFollow)
    statements.clear()
    sync_backend.executor(QPerson).findForeignKey(QPerson(id=7))
    (_, sql, args), = statements
    q = "`" if not sync_backend.is_sqlite else '"'
    flat = " ".join(sql.replace(q, "").split())
    assert "JOIN q_follow on q_person.id = q_follow.followee_id" in flat
    assert "q_follow.follower_id = %s" in flat and tuple(args) == (7,)


@pytest.mark.parametrize("middle_cols, error, text", [
    ("ab", TypeError, "pair of column names"),
    (("a",), TypeError, "pair of str"),
    (("a", 1), TypeError, "pair of str"),
    (("a", "a"), ValueError, "twice"),
])
def test_wrong_middle_cols_are_refused_at_declaration(middle_cols, error, text):
    with pytest.raises(error, match=text):
        ForeignKey(ForeignType.MANY_TO_MANY, "QPerson", "id", "id", middleCols=middle_cols)


def test_middle_cols_need_a_many_to_many_and_real_columns():
    with pytest.raises(ValueError, match="MANY_TO_MANY"):
        ForeignKey(ForeignType.ONE_TO_MANY, "QPerson", "id", "id", middleCols=("a", "b"))

    class QOdd(DataModel):
        tableName = "q_odd"
        id = IntegerProperty(isPrimaryKey=True)
        odd = ForeignKey(ForeignType.MANY_TO_MANY, "QOdd", "id", "id", middleModel=QFollow,
                         middleCols=("follower_id", "nobody_id"))

    with pytest.raises(AttributeError, match="nobody_id"):
        QOdd.odd.target


def test_a_self_relation_without_middle_cols_says_what_to_do():
    class QLonely(DataModel):
        tableName = "q_lonely"
        id = IntegerProperty(isPrimaryKey=True)
        friends = ForeignKey(ForeignType.MANY_TO_MANY, "QLonely", "id", "id")

    with pytest.raises(ValueError, match="middleCols"):
        QLonely.friends.target
