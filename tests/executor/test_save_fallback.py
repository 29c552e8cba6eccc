"""save() when the driver refuses the INSERT with its IntegrityError, on the
four connectors. The duplicate-key fallback (an UPDATE of the instance's
row) applies only when the instance names a row that exists; otherwise the
driver's error reaches the caller, with the fallback's own failure as its
__context__. The synchronous SQLite connector has no fallback: its
IntegrityError always reaches the caller."""

import pytest

from Tessary.Error.DBError import UpdateWithOutPrimaryKeyError

from save_support import CONNECTORS, accounts, declare_models, open_store

# MariaDB notes that it names every primary key PRIMARY.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path, models):
    yield from open_store(request, tmp_path, models)


TAKEN = {"email": "a@x", "handle": "ann", "slug": "hello", "label": "red"}


@pytest.fixture
def taken(store, models):
    """Account 1 (a@x, "ann") with profile "ann", post "hello" and tag "red":
    every unique value a later save can clash with."""
    return store.save(models.Account, models.Account(
        email="a@x", name="ann", profile=models.Profile(handle="ann"), posts=[models.Post(slug="hello")],
        tags=[models.Tag(label="red")]))


# --- the owner's own INSERT refused ---------------------------------------------


@pytest.mark.parametrize("make, context", [
    (lambda m: m.Account(email="a@x", name="bob"), KeyError("id")),
    (lambda m: m.Account(id=None, email="a@x", name="bob"), UpdateWithOutPrimaryKeyError()),
    (lambda m: m.Account(id=1, email="b@x"), KeyError("name")),
], ids=["no-key", "key-None", "column-missing"])
def test_fallback_that_cannot_apply_reports_the_integrity_error(store, models, taken, make, context):
    with pytest.raises(store.integrity_error) as err:
        store.save(models.Account, make(models))
    if store.falls_back:
        assert type(err.value.__context__) is type(context) and err.value.__context__.args == context.args
    assert accounts(store) == [(1, "a@x", "ann")]


def test_clash_on_another_unique_column_with_a_new_key_is_not_success(store, models, taken, statements):
    statements.clear()
    with pytest.raises(store.integrity_error) as err:
        store.save(models.Account, models.Account(id=7, email="a@x", name="bob"))
    # No row 7 to update: nothing was tried after the lookup.
    assert err.value.__context__ is None
    if store.falls_back:
        assert [sql.split()[0] for sql, _ in statements] == ["INSERT", "SELECT"]
    assert accounts(store) == [(1, "a@x", "ann")]


@pytest.mark.parametrize("name", ["ann", "renamed"], ids=["identical", "changed"])
def test_duplicate_of_an_existing_key_updates_that_row(store, models, taken, name):
    again = models.Account(id=1, email="a@x", name=name)
    if not store.falls_back:
        with pytest.raises(store.integrity_error):
            store.save(models.Account, again)
        return
    # An UPDATE that changes nothing (MySQL counts no affected row) is still
    # the row updated.
    assert store.save(models.Account, again) is again
    assert accounts(store) == [(1, "a@x", name)]


def test_failed_update_of_the_fallback_is_the_context(store, models, taken):
    store.save(models.Account, models.Account(email="b@x", name="bob"))
    with pytest.raises(store.integrity_error) as err:
        # Row 2 exists, but taking a@x from row 1 is refused as well.
        store.save(models.Account, models.Account(id=2, email="a@x", name="bob"))
    if store.falls_back:
        assert isinstance(err.value.__context__, store.integrity_error)
        assert err.value.__context__ is not err.value
    assert accounts(store) == [(1, "a@x", "ann"), (2, "b@x", "bob")]


def test_normal_save_runs_only_its_insert(store, models, statements):
    store.save(models.Account, models.Account(email="c@x", name="cy"))
    assert [sql.split()[0] for sql, _ in statements] == ["INSERT"]


# --- a related row refused inside a graph save ------------------------------------


def keyed(key):
    return {} if key is None else {"id": key}


# A far row of a many-to-many relation that carries its key is linked as it
# is, never saved: only one without its key can be refused.
@pytest.mark.parametrize("relation, make_child, table, column, key", [
    ("profile", lambda m, key: m.Profile(handle="ann", **keyed(key)), "sf_profile", "handle", None),
    ("profile", lambda m, key: m.Profile(handle="ann", **keyed(key)), "sf_profile", "handle", 50),
    ("posts", lambda m, key: [m.Post(slug="hello", **keyed(key))], "sf_post", "slug", None),
    ("posts", lambda m, key: [m.Post(slug="hello", **keyed(key))], "sf_post", "slug", 50),
    ("tags", lambda m, key: [m.Tag(label="red", **keyed(key))], "sf_tag", "label", None),
], ids=["one-to-one-without-key", "one-to-one-new-key", "one-to-many-without-key", "one-to-many-new-key",
        "many-to-many-without-key"])
def test_refused_child_reports_the_integrity_error(store, models, taken, relation, make_child, table, column, key):
    owner = models.Account(email="b@x", name="bob", **{relation: make_child(models, key)})
    with pytest.raises(store.integrity_error) as err:
        store.save(models.Account, owner)
    if store.falls_back and key is None:
        assert type(err.value.__context__) is KeyError and err.value.__context__.args == ("id",)
    if store.falls_back and key is not None:
        assert err.value.__context__ is None
    # The child clashing with account 1's value was never written.
    assert store.rows(f"SELECT id, {column} FROM {table}") == [(1, TAKEN[column])]
