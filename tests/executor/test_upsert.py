"""upsert(instances, conflict, update=None) on the four connectors: new rows
inserted, rows whose conflict columns clash overwritten, one statement per
column set and chunk, every instance given the key of its row."""

import re

import pytest

from Tessary.DB.Connector import dialect

from bulk_support import BkNote, inserts_into, sent
from save_support import CONNECTORS, accounts, declare_models, open_store

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path, models):
    for current in open_store(request, tmp_path, models):
        current.create(BkNote)
        yield current


def upsert(store, model, instances, *args, **kw):
    return store.result(model.getExecutor().upsert(instances, *args, **kw))


@pytest.fixture
def existing(store, models):
    store.result(models.Account.getExecutor().saveAll(
        [models.Account(email=f"e{i}@x", name=f"old{i}") for i in range(3)]))
    return accounts(store)


def test_new_rows_inserted_and_clashing_rows_overwritten(store, models, existing):
    A = models.Account
    rows = [A(email="new1@x", name="n1"), A(email="e1@x", name="changed"), A(email="new2@x", name="n2"),
            A(email="e0@x", name="again")]
    with sent() as statements:
        saved = upsert(store, A, rows, (A.email,))
    assert saved == rows and all(a is b for a, b in zip(saved, rows))
    assert len(inserts_into(statements, "sf_account")) == 1
    table = {email: (key, name) for key, email, name in accounts(store)}
    assert table["e0@x"] == (1, "again") and table["e1@x"] == (2, "changed") and table["e2@x"] == (3, "old2")
    assert {r["email"]: r["id"] for r in rows} == {e: table[e][0] for e in ("new1@x", "e1@x", "new2@x", "e0@x")}
    assert min(table["new1@x"][0], table["new2@x"][0]) > 3 and table["new1@x"][0] != table["new2@x"][0]


@pytest.mark.parametrize("update, expected", [
    (None, ("e0@x", "b")),
    ((), ("e0@x", "old0")),
    (["name"], None),
], ids=["default", "nothing", "not-a-property"])
def test_update_columns(store, models, existing, update, expected):
    A = models.Account
    if expected is None:
        with pytest.raises(TypeError, match="item 0 must be a column property, not str"):
            upsert(store, A, [A(email="e0@x", name="b")], (A.email,), update)
        return
    row = A(email="e0@x", name="b")
    upsert(store, A, [row], (A.email,), update)
    assert row["id"] == 1 and accounts(store)[0][1:] == expected


def test_a_column_not_given_is_not_overwritten(store, models):
    store.result(BkNote.getExecutor().saveAll([BkNote(title="t", status="done", hits=4)]))
    upsert(store, BkNote, [BkNote(title="t", hits=5)], [BkNote.title])
    assert store.rows("SELECT title, status, hits FROM bk_note") == [("t", "done", 5)]
    upsert(store, BkNote, [BkNote(title="t", status="open", hits=6)], [BkNote.title], [BkNote.hits])
    assert store.rows("SELECT title, status, hits FROM bk_note") == [("t", "done", 6)]


@pytest.mark.parametrize("count", [2, 3, 4], ids=["below", "at", "above"])
def test_chunks_of_rows(store, models, existing, count):
    A = models.Account
    rows = [A(email=f"e{i}@x" if i % 2 else f"c{i}@x", name=f"v{i}") for i in range(count)]
    with sent() as statements:
        upsert(store, A, rows, (A.email,), chunkSize=3)
    assert len(inserts_into(statements, "sf_account")) == -(-count // 3)
    table = {email: key for key, email, _ in accounts(store)}
    assert [r["id"] for r in rows] == [table[r["email"]] for r in rows]
    assert {email: name for _, email, name in accounts(store)} == {
        **{f"e{i}@x": f"old{i}" for i in range(3)}, **{r["email"]: r["name"] for r in rows}}


def test_duplicates_in_one_call_take_the_last_values(store, models):
    A = models.Account
    rows = [A(email="d@x", name="first"), A(email="d@x", name="last")]
    upsert(store, A, rows, (A.email,))
    assert accounts(store) == [(rows[0]["id"], "d@x", "last")] and rows[0]["id"] == rows[1]["id"]


def test_case_of_a_clash_follows_the_collation(store, models, existing):
    A = models.Account
    row = A(email="E0@X", name="loud")
    upsert(store, A, [row], (A.email,))
    if store.name in ("mariadb", "aiomysql"):
        # MariaDB's default collation is case-insensitive: the row is e0@x's.
        assert row["id"] == 1 and accounts(store)[0] == (1, "e0@x", "loud")
    else:
        assert row["id"] == 4 and accounts(store)[-1] == (4, "E0@X", "loud")


def test_empty_input_sends_nothing(store, models):
    with sent() as statements:
        assert upsert(store, models.Account, [], (models.Account.email,)) == []
    assert statements == []


def test_failure_leaves_nothing(store, models):
    A = models.Account
    # The second chunk clashes on the primary key with the first one's row.
    rows = [A(id=1, email="a@x"), A(id=2, email="b@x"), A(id=1, email="c@x")]
    # SQLite refuses the clash on the other unique key; MariaDB's ON DUPLICATE
    # KEY UPDATE takes it as a clash and updates row 1, whose conflict value
    # (a@x) then leads no key back to c@x.
    error = RuntimeError if store.name in ("mariadb", "aiomysql") else store.integrity_error
    with pytest.raises(error):
        upsert(store, A, rows, (A.email,), chunkSize=2)
    assert accounts(store) == []


@pytest.mark.parametrize("args, error, text", [
    (lambda m: ([m.Account(email="x")], None), TypeError, "'conflict' must be a tuple or list of column properties"),
    (lambda m: ([m.Account(email="x")], "email"), TypeError, "'conflict' must be a tuple or list"),
    (lambda m: ([m.Account(email="x")], ("email",)), TypeError, "item 0 must be a column property, not str"),
    (lambda m: ([m.Account(email="x")], (m.Post.slug,)), ValueError, "is not a column of"),
    (lambda m: ([m.Account(email="x")], ()), ValueError, "'conflict' is empty"),
    (lambda m: ([m.Account(email="x"), m.Account(name="y")], (m.Account.email,)), ValueError,
     "item 1 has no value for the conflict column 'email'"),
    (lambda m: ([m.Account(email="x")], (m.Account.email,), (m.Tag.label,)), ValueError, "is not a column of"),
    (lambda m: (5, (m.Account.email,)), TypeError, "must be an iterable of mappings"),
], ids=["None", "str", "names", "other-model", "empty", "missing-value", "update-other-model", "instances"])
def test_bad_input_is_refused_before_anything_is_sent(store, models, args, error, text):
    with sent() as statements:
        with pytest.raises(error, match=re.escape(text)):
            models.Account.getExecutor().upsert(*args(models))
    assert statements == []


def make_pair_model():
    from Tessary.Model.DataModel import DataModel
    from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

    class BkPairRow(DataModel):
        tableName = "bk_pair"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        kind = VarcharProperty(16)
        code = IntegerProperty()
        note = VarcharProperty(16, nullable=True)

    return BkPairRow


PAIR = make_pair_model()


@pytest.fixture
def pairs(store):
    key = "INTEGER PRIMARY KEY" if "sqlite" in store.name else "INTEGER PRIMARY KEY AUTO_INCREMENT"
    cur = store.raw.cursor()
    cur.execute(f"CREATE TABLE bk_pair (id {key}, kind VARCHAR(16) NOT NULL, code INTEGER NOT NULL, "
                "note VARCHAR(16) NULL, UNIQUE (kind, code))")
    cur.execute("INSERT INTO bk_pair (kind, code, note) VALUES ('a', 1, 'old'), ('a', 2, 'old'), ('b', 1, 'old')")
    cur.close()
    store.raw.commit()


@pytest.mark.parametrize("returning", [True, False], ids=["returning", "select"])
def test_two_conflict_columns(store, pairs, returning):
    if not returning:
        if "sqlite" not in store.name:
            pytest.skip("MariaDB reads the keys back with a SELECT in any case")
        # The facts come from the library the engine links, which cannot be swapped here.
        if dialect(store.connector)["returning"]:
            pytest.skip("the SQLite library in use has RETURNING")
    rows = [PAIR(kind="b", code=1, note="new"), PAIR(kind="b", code=2, note="add"), PAIR(kind="a", code=2, note="new")]
    with sent() as statements:
        upsert(store, PAIR, rows, (PAIR.kind, PAIR.code))
    assert [r["id"] for r in rows] == [3, 4, 2]
    assert store.rows("SELECT id, kind, code, note FROM bk_pair ORDER BY id") == [
        (1, "a", 1, "old"), (2, "a", 2, "new"), (3, "b", 1, "new"), (4, "b", 2, "add")]
    selects = [sql for sql, _ in statements if sql.startswith("SELECT")]
    assert bool(selects) == (not returning or "sqlite" not in store.name)
