"""saveAll(instances) on the four connectors: multi-row INSERTs, one per
column set and chunk, with the generated keys set on every instance in
order; related rows saved in one saveAll per relation; all or nothing."""

import re

import pytest

from Tessary.DB.Connector import dialect

from bulk_support import BkDoc, BkNote, in_transaction, inserts_into, sent, shape
from save_support import CONNECTORS, accounts, declare_models, open_store

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path, models):
    for current in open_store(request, tmp_path, models):
        current.create(BkNote, BkDoc)
        yield current


def save_all(store, model, instances, **kw):
    return store.result(model.getExecutor().saveAll(instances, **kw))


def family(m, prefix, tag_pool):
    """Three accounts carrying every kind of relation; two share a tag."""
    red, blue = tag_pool
    return [
        m.Account(email=f"{prefix}0@x", name="ann", posts=[m.Post(slug=f"{prefix}-p1"), m.Post(slug=f"{prefix}-p2")],
                  profile=m.Profile(handle=f"{prefix}-ann"), tags=[red, blue]),
        m.Account(email=f"{prefix}1@x", name="bob", tags=[red]),
        m.Account(email=f"{prefix}2@x", name="cy", profile=m.Profile(handle=f"{prefix}-cy")),
    ]


def test_rows_and_relations_are_those_save_writes(store, models):
    m = models
    one_by_one = family(m, "s", [m.Tag(label="s-red"), m.Tag(label="s-blue")])
    for account in one_by_one:
        store.save(m.Account, account)
    batch = family(m, "b", [m.Tag(label="b-red"), m.Tag(label="b-blue")])
    with sent() as statements:
        saved = save_all(store, m.Account, batch)
    assert saved == batch and all(a is b for a, b in zip(saved, batch))
    expected = shape(store, "s")
    got = shape(store, "b")
    swap = lambda rows: sorted(tuple(v.replace("s", "b", 1) if isinstance(v, str) else v for v in r) for r in rows)
    assert got == {k: swap(v) for k, v in expected.items()}
    # One INSERT per table: accounts, profiles, posts, tags, junction rows.
    assert len(inserts_into(statements, "sf_account")) == 1
    for table in ("sf_profile", "sf_post", "sf_tag", "sf_account_sf_tag"):
        assert len(inserts_into(statements, table)) == 1, table
    # Keys set in order, and the one-to-one rows attached with theirs.
    ids = [a["id"] for a in batch]
    assert ids == sorted(ids) and len(set(ids)) == 3
    assert batch[0]["profile"]["account_id"] == ids[0] and batch[0]["profile"]["id"]
    assert [p["account_id"] for p in batch[0]["posts"]] == [ids[0]] * 2
    assert batch[0]["tags"][0] is batch[1]["tags"][0] and batch[0]["tags"][0]["id"]


@pytest.mark.parametrize("count", [2, 3, 4, 7], ids=["below", "at", "above", "two-and-one"])
def test_chunks_of_rows(store, models, count):
    rows = [models.Account(email=f"c{i}@x", name=f"n{i}") for i in range(count)]
    with sent() as statements:
        save_all(store, models.Account, rows, chunkSize=3)
    texts = inserts_into(statements, "sf_account")
    assert len(texts) == -(-count // 3)
    assert [t.count("(%s,%s)") for t in texts] == [min(3, count - 3 * k) for k in range(len(texts))]
    assert all("RETURNING" in t for t in texts)
    assert [r["id"] for r in rows] == list(range(1, count + 1))
    assert accounts(store) == [(i + 1, f"c{i}@x", f"n{i}") for i in range(count)]


def test_column_sets_are_grouped_and_a_missing_column_gets_its_default(store):
    notes = [BkNote(title="a", status="done"), BkNote(title="b"), BkNote(title="c", status="open"),
             BkNote(title="d", hits=0)]
    with sent() as statements:
        save_all(store, BkNote, notes)
    texts = inserts_into(statements, "bk_note")
    assert len(texts) == 3  # (title, status), (title), (title, hits)
    rows = store.rows("SELECT id, title, status, hits FROM bk_note ORDER BY title")
    by_title = {r[1]: r for r in rows}
    assert by_title["b"][2] == "new" and by_title["d"][2] == "new" and by_title["d"][3] == 0
    assert {n["title"]: n["id"] for n in notes} == {r[1]: r[0] for r in rows}


def test_values_pass_through_the_columns_insert_cell(store):
    save_all(store, BkNote, [BkNote(title="x", code="abc"), BkNote(title="y", code="Def")])
    assert store.rows("SELECT code FROM bk_note ORDER BY title") == [("ABC",), ("DEF",)]


def test_rows_that_carry_their_key_keep_it(store, models):
    rows = [models.Account(id=10, email="k10@x"), models.Account(id=11, email="k11@x"), models.Account(email="k@x")]
    save_all(store, models.Account, rows)
    assert [r["id"] for r in rows] == [10, 11, 12]
    assert [r[0] for r in accounts(store)] == [10, 11, 12]


def test_empty_input_sends_nothing(store, models):
    with sent() as statements:
        assert save_all(store, models.Account, []) == []
        assert save_all(store, models.Account, iter(())) == []
    assert statements == []


def test_an_instance_without_values_is_inserted_with_the_defaults(store, models):
    # The account's email has no default: the database refuses the row, and
    # nothing of the call stays written.
    rows = [models.Account(email="e@x"), models.Account()]
    with pytest.raises(Exception) as error:
        save_all(store, models.Account, rows)
    assert "email" in str(error.value)
    assert accounts(store) == []


@pytest.mark.parametrize("rows", [
    lambda m: [m.Account(email="d@x"), m.Account(email="d@x")],
    lambda m: [m.Account(id=5, email="d1@x"), m.Account(id=5, email="d2@x")],
], ids=["unique-column", "primary-key"])
def test_duplicate_keys_write_nothing(store, models, rows):
    with pytest.raises(store.integrity_error):
        save_all(store, models.Account, rows(models))
    assert accounts(store) == []


def test_failure_in_a_later_chunk_or_a_relation_leaves_nothing(store, models):
    m = models
    rows = [m.Account(email=f"f{i}@x") for i in range(5)] + [m.Account(email="f0@x")]
    with pytest.raises(store.integrity_error):
        save_all(store, m.Account, rows, chunkSize=2)
    clash = [m.Account(email="g@x", posts=[m.Post(slug="same"), m.Post(slug="same")])]
    with pytest.raises(store.integrity_error):
        save_all(store, m.Account, clash)
    assert accounts(store) == [] and store.rows("SELECT * FROM sf_post") == []


def test_in_the_callers_transaction_it_is_undone_with_it(store, models):
    class Undo(Exception):
        pass

    rows = [models.Account(email="t@x"), models.Account(email="u@x")]
    if store.is_async:
        async def work(con):
            await models.Account.getExecutor(con).saveAll(rows)
            raise Undo
    else:
        def work(con):
            models.Account.getExecutor(con).saveAll(rows)
            raise Undo
    with pytest.raises(Undo):
        in_transaction(store, work)
    assert accounts(store) == []
    # Committed with the caller's block when it ends normally.
    in_transaction(store, lambda con: models.Account.getExecutor(con).saveAll([models.Account(email="t@x")]))
    assert [r[1:] for r in accounts(store)] == [("t@x", None)]


@pytest.mark.parametrize("call, error, text", [
    (lambda e: e.saveAll(None), TypeError, "must be an iterable of mappings, not NoneType"),
    (lambda e: e.saveAll(5), TypeError, "must be an iterable of mappings, not int"),
    (lambda e: e.saveAll("ab"), TypeError, "must be an iterable of mappings, not str"),
    (lambda e: e.saveAll({"email": "x"}), TypeError, "must be an iterable of mappings, not dict"),
    (lambda e: e.saveAll([{"email": "x"}, 3]), TypeError, "item 1 must be a mapping, not int"),
    (lambda e: e.saveAll([], chunkSize=0), ValueError, "'chunkSize' must be positive"),
    (lambda e: e.saveAll([], chunkSize="2"), TypeError, "'chunkSize' must be a positive int or None"),
    (lambda e: e.saveAll(), TypeError, "saveAll() takes at least 1 positional argument"),
], ids=["None", "int", "str", "mapping", "item", "chunk-zero", "chunk-str", "missing"])
def test_bad_input_is_refused_before_anything_is_sent(store, models, call, error, text):
    with sent() as statements:
        with pytest.raises(error, match=re.escape(text)):
            call(models.Account.getExecutor())
    assert statements == []


@pytest.mark.parametrize("method", ["saveAll", "upsert"])
def test_uninitialised_executor_is_refused(method):
    from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
    for cls in (ModelExecutor, AsyncModelExecutor):
        with pytest.raises(RuntimeError, match="not initialised"):
            getattr(cls.__new__(cls), method)([], ())


def test_without_returning_each_row_is_inserted_alone(store, models):
    if "sqlite" not in store.name:
        pytest.skip("the version is SQLite's own")
    # The facts come from the library the engine links, which cannot be
    # swapped here: the case it has is checked.
    inserts = 1 if dialect(store.connector)["returning"] else 3
    rows = [models.Account(email=f"o{i}@x", posts=[models.Post(slug=f"o{i}")]) for i in range(3)]
    with sent() as statements:
        save_all(store, models.Account, rows)
    assert len(inserts_into(statements, "sf_account")) == inserts
    assert len(inserts_into(statements, "sf_post")) == inserts  # children are saved the same way
    assert [r["id"] for r in rows] == [1, 2, 3]
    assert store.rows("SELECT account_id, slug FROM sf_post ORDER BY id") == [(1, "o0"), (2, "o1"), (3, "o2")]


@pytest.mark.parametrize("method", ["saveAll", "upsert"])
def test_the_coroutine_runs_nothing_until_awaited(store, models, method):
    if not store.is_async:
        pytest.skip("the synchronous executor runs at the call")
    with sent() as statements:
        rows = [models.Account(email="w@x")]
        executor = models.Account.getExecutor()
        pending = executor.saveAll(rows) if method == "saveAll" else executor.upsert(rows, (models.Account.email,))
        pending.close()
    assert statements == [] and accounts(store) == []


def test_mariadb_statements_stay_under_the_packet_size(store):
    # 100 rows of 60,000 characters: 6 MB of text, written into the statement
    # by the MariaDB drivers, goes out in two statements there (4 MB each at
    # most); SQLite binds its values and sends one.
    docs = [BkDoc(body=chr(ord("a") + i % 26) * 60_000) for i in range(100)]
    with sent() as statements:
        save_all(store, BkDoc, docs)
    assert len(inserts_into(statements, "bk_doc")) == (1 if "sqlite" in store.name else 2)
    assert [d["id"] for d in docs] == list(range(1, 101))
    assert store.rows("SELECT id, LENGTH(body), SUBSTR(body, 1, 1) FROM bk_doc ORDER BY id") == [
        (i + 1, 60_000, chr(ord("a") + i % 26)) for i in range(100)]
