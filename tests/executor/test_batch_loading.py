"""findListForeignKeyIn: the related rows of a whole list, one IN statement
per relation and level, on all four connectors (SQLite, MariaDB, and their
asyncio forms).

On a generated graph of every relation kind (one-to-one, one-to-many,
many-to-many, a relation of a model to itself, a row that is its own parent,
bind values that are NULL), the instances end up exactly as the per-instance
loader leaves them: the same rows in the same places, the same objects shared
through its cache, for every kind of root, with and without `deep`, at
several levels. The statements: one per relation and level, however many
rows; chunked IN lists at, one below and one above the chunk size; keys asked
for once. Bad arguments are TypeErrors; a failing statement leaves every
instance as it was."""

import functools
import random
import types

import pytest

from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel, InstanceList, ModelInstance
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from save_support import CONNECTORS, make_store
from handle_support import installed

ONE, MANY, JUNCTION = ForeignType.ONE_TO_ONE, ForeignType.ONE_TO_MANY, ForeignType.MANY_TO_MANY


@functools.cache
def declare_models():
    class BlAuthor(DataModel):
        tableName = "bl_author"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(32, nullable=True)
        profile = ForeignKey(ONE, "BlProfile", bindCol="id", targetBindCol="author_id")
        posts = ForeignKey(MANY, "BlPost", bindCol="id", targetBindCol="author_id")
        tags = ForeignKey(JUNCTION, "BlTag", bindCol="id", targetBindCol="id")

    class BlProfile(DataModel):
        tableName = "bl_profile"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        author_id = IntegerProperty(nullable=True)
        bio = VarcharProperty(32, nullable=True)

    class BlPost(DataModel):
        tableName = "bl_post"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        author_id = IntegerProperty(nullable=True)
        title = VarcharProperty(32, nullable=True)
        writer = ForeignKey(ONE, "BlAuthor", bindCol="author_id", targetBindCol="id")
        notes = ForeignKey(MANY, "BlNote", bindCol="id", targetBindCol="post_id")
        tags = ForeignKey(JUNCTION, "BlTag", bindCol="id", targetBindCol="id")

    class BlNote(DataModel):
        tableName = "bl_note"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        post_id = IntegerProperty(nullable=True)
        parent_id = IntegerProperty(nullable=True)
        body = VarcharProperty(32, nullable=True)
        post = ForeignKey(ONE, "BlPost", bindCol="post_id", targetBindCol="id")
        parent = ForeignKey(ONE, "BlNote", bindCol="parent_id", targetBindCol="id")

    class BlTag(DataModel):
        tableName = "bl_tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32, nullable=True)
        posts = ForeignKey(JUNCTION, "BlPost", bindCol="id", targetBindCol="id")

    class BlNode(DataModel):
        tableName = "bl_node"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        parent_id = IntegerProperty(nullable=True)
        children = ForeignKey(MANY, "BlNode", bindCol="id", targetBindCol="parent_id")

    return types.SimpleNamespace(
        Author=BlAuthor, Profile=BlProfile, Post=BlPost, Note=BlNote, Tag=BlTag, Node=BlNode,
        all=(BlAuthor, BlProfile, BlPost, BlNote, BlTag, BlNode, BlAuthor.tags.middleModel, BlPost.tags.middleModel,
             BlTag.posts.middleModel))


@pytest.fixture(scope="module")
def models():
    return declare_models()


@pytest.fixture(params=CONNECTORS)
def store(request, tmp_path, models):
    current = make_store(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(*models.all)
            fill(current, authors=8)
            yield current
        finally:
            current.close()


def insert(store, table, columns, rows):
    if not rows:
        return
    mark = "?" if "sqlite" in store.name else "%s"
    cur = store.raw.cursor()
    try:
        cur.executemany(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({', '.join([mark] * len(columns))})",
                        rows)
    finally:
        cur.close()
        store.raw.commit()


def fill(store, authors):
    """A graph of `authors` authors: the first has two profiles (a one-to-one
    keeps the first), the last two none; author k writes k % 4 posts; one
    post, one note and one profile belong to nobody (NULL bind values);
    notes point at a parent note, one at itself; tags are linked to authors,
    to posts and (by a junction of their own) back to posts at random."""
    rng = random.Random(7)
    profiles = [(1, "first of 1"), (1, "second of 1")] + [(a, f"bio {a}") for a in range(2, authors - 1)]
    insert(store, "bl_profile", ("author_id", "bio"), profiles + [(None, "nobody's")])
    insert(store, "bl_author", ("name",), [(f"a{a}",) for a in range(1, authors + 1)])
    posts = [(a, f"p{a}.{i}") for a in range(1, authors + 1) for i in range(a % 4)] + [(None, "orphan")]
    insert(store, "bl_post", ("author_id", "title"), posts)
    notes = []
    for post in range(1, len(posts) + 1):
        for i in range(rng.randrange(3)):
            notes.append([post, None, f"n{post}.{i}"])
    notes.append([None, None, "loose"])
    for n, note in enumerate(notes, start=1):
        note[1] = n if n == 3 else (rng.randrange(1, n) if n > 1 and rng.random() < 0.6 else None)
    insert(store, "bl_note", ("post_id", "parent_id", "body"), [tuple(n) for n in notes])
    insert(store, "bl_tag", ("label",), [(f"t{t}",) for t in range(1, 6)])
    insert(store, "bl_node", ("parent_id",), [(1,)])  # its own parent, and child
    insert(store, "bl_author_bl_tag", ("bl_author_id", "bl_tag_id"),
           sorted({(rng.randrange(1, authors + 1), rng.randrange(1, 6)) for _ in range(authors)}))
    insert(store, "bl_post_bl_tag", ("bl_post_id", "bl_tag_id"),
           sorted({(rng.randrange(1, len(posts) + 1), rng.randrange(1, 6)) for _ in range(2 * len(posts))}))
    insert(store, "bl_tag_bl_post", ("bl_tag_id", "bl_post_id"),
           sorted({(rng.randrange(1, 6), rng.randrange(1, len(posts) + 1)) for _ in range(len(posts))}))


# --- what a load left -------------------------------------------------------------

def render(value, seen):
    """A comparable picture of what hangs from `value`: columns and loaded
    relations of each instance, the kind of each list, and where an object
    already met appears again (a row shared through the cache, a cycle)."""
    if isinstance(value, (ModelInstance, list)):
        if id(value) in seen:
            return ("again", seen[id(value)])
        seen[id(value)] = len(seen)
    if isinstance(value, ModelInstance):
        model = value.object
        columns = tuple(value.get(col.name, "missing") for col in model.col)
        relations = tuple((fk.name, render(value[fk.name], seen) if fk.name in value else "absent")
                          for fk in model.fk)
        return (model.tableName, columns, relations)
    if isinstance(value, list):
        return (type(value).__name__, tuple(render(item, seen) for item in value))
    return value


def picture(instances):
    return render(list(instances), {})


def roots_of(store, model):
    return store.result(model.getExecutor().findAllBy())


def per_instance(store, model, roots, deep, level):
    """What the per-instance loader attaches: findListForeignKey (always deep)
    for a deep load, findForeignKey(deep=False) sharing one cache otherwise."""
    executor = model.getExecutor()
    if deep:
        store.result(executor.findListForeignKey(InstanceList(roots), True, level=level))
        return
    path = {}
    for root in roots:
        store.result(executor.findForeignKey(root, False, path))


def batched(store, model, roots, **options):
    return store.result(model.getExecutor().findListForeignKeyIn(roots, **options))


@pytest.fixture
def statements():
    """Every statement the batched loader sent: (text, args, con)."""
    handle = DB.getInstance()
    seen = []
    run = type(handle).executeSql

    def recording(text, args=(), con=None):
        seen.append((text, args, con))
        return run(handle, text, args=args, con=con)

    handle.executeSql = recording
    try:
        yield seen
    finally:
        del handle.__dict__["executeSql"]


# --- the same result as the per-instance loader ----------------------------------------

LOADS = [(False, 3)] + [(True, level) for level in (-2**31, 0, 1, 2, 3, 4)]


@pytest.mark.parametrize("root", ["Author", "Profile", "Post", "Note", "Tag", "Node"])
def test_the_same_rows_as_the_per_instance_loader(store, models, root):
    model = getattr(models, root)
    for deep, level in LOADS:
        expected = roots_of(store, model)
        per_instance(store, model, expected, deep, level)
        got = roots_of(store, model)
        assert batched(store, model, got, deep=deep, level=level) is None
        assert picture(got) == picture(expected), (root, deep, level)


def test_rows_in_the_owners_order_and_the_databases(store, models):
    authors = roots_of(store, models.Author)[::-1]
    batched(store, models.Author, authors)
    for author in authors:
        expected = store.result(models.Post.getExecutor().findAllBy(models.Post.author_id == author["id"]))
        # The coroutine executor leaves an owner without rows as it was.
        assert [p["id"] for p in author.get("posts") or []] == [p["id"] for p in expected]


# --- statements ---------------------------------------------------------------------------

def test_one_statement_per_relation_and_level_however_many_rows(store, models, statements):
    """Authors' three relations, then the posts' three and the tags' one
    (a tag reached from its author does not go back to authors): seven
    statements for two authors as for eight, three levels deep."""
    for count in (2, 8):
        authors = store.result(models.Author.getExecutor().findAllBy(models.Author.id <= count))
        statements.clear()
        batched(store, models.Author, authors, deep=True, level=3)
        assert len(statements) == 3 + 4, count
        assert all(con is None for _, _, con in statements)


@pytest.mark.parametrize("chunk, per_relation", [(1, 6), (5, 2), (6, 1), (7, 1)])
def test_keys_split_at_the_chunk_size(store, models, statements, chunk, per_relation):
    authors = store.result(models.Author.getExecutor().findAllBy(models.Author.id <= 6))
    expected = store.result(models.Author.getExecutor().findAllBy(models.Author.id <= 6))
    per_instance(store, models.Author, expected, False, 3)
    statements.clear()
    batched(store, models.Author, authors, chunk=chunk)
    assert len(statements) == 3 * per_relation
    assert max(len(args) for _, args, _ in statements) == min(chunk, 6)
    assert picture(authors) == picture(expected)


def test_duplicate_keys_are_asked_for_once(store, models, statements):
    first = roots_of(store, models.Author)[:3]
    again = roots_of(store, models.Author)[:3]
    roots = first + again + [first[0]]
    expected = roots_of(store, models.Author)[:3] + roots_of(store, models.Author)[:3]
    expected.append(expected[0])
    per_instance(store, models.Author, expected, False, 3)
    batched(store, models.Author, roots)
    assert [sorted(args) for _, args, _ in statements] == [[1, 2, 3]] * 3
    assert picture(roots) == picture(expected)
    assert roots[0]["posts"] is not roots[3]["posts"]  # each owner its own rows, as per instance


@pytest.mark.parametrize("empty", [[], (), InstanceList()], ids=["list", "tuple", "InstanceList"])
def test_no_instances_no_statement(store, models, statements, empty):
    assert batched(store, models.Author, empty, deep=True) is None
    assert statements == []


def test_any_sequence_of_instances(store, models):
    authors = roots_of(store, models.Author)
    expected = roots_of(store, models.Author)
    per_instance(store, models.Author, expected, False, 3)
    batched(store, models.Author, tuple(authors))
    assert picture(authors) == picture(expected)
    assert any(author.get("posts") for author in authors)


# --- bad input and failures -------------------------------------------------------------------

@pytest.mark.parametrize("bad, message", [
    (5, "must be a sequence of ModelInstance objects, not int"),
    ("ab", "must be a sequence of ModelInstance objects, not str"),
    ({"id": 1}, "must be a sequence of ModelInstance objects, not dict"),
    (None, "must be a sequence of ModelInstance objects, not NoneType"),
    ([{"id": 1}], "item 0 is dict"),
])
def test_instances_that_are_not_instances(store, models, statements, bad, message):
    with pytest.raises(TypeError, match=message):
        models.Author.getExecutor().findListForeignKeyIn(bad)
    assert statements == []


def test_bad_level_and_chunk(store, models):
    executor = models.Author.getExecutor()
    with pytest.raises(TypeError):
        executor.findListForeignKeyIn([], level="3")
    with pytest.raises(ValueError, match="'chunk' must be at least 1"):
        executor.findListForeignKeyIn([], chunk=0)
    with pytest.raises(TypeError, match="at most 4"):
        executor.findListForeignKeyIn([], False, 3, None, 1)


def untouched(instances, models):
    return all(not any(fk.name in i for fk in i.object.fk) for i in instances)


def drop_notes(store):
    cur = store.raw.cursor()
    try:
        cur.execute("DROP TABLE bl_note")
    finally:
        cur.close()
        store.raw.commit()


def test_a_failing_statement_leaves_every_instance_as_it_was(store, models, statements):
    """The notes are read on the second level; once that statement fails,
    nothing has been attached to any instance: rows are attached only after
    every statement has run."""
    authors = roots_of(store, models.Author)
    drop_notes(store)
    with pytest.raises(Exception) as failure:
        batched(store, models.Author, authors, deep=True)
    assert not isinstance(failure.value, (TypeError, KeyError))
    assert untouched(authors, models)
    assert any("bl_note" in text for text, _, _ in statements)


def test_a_failing_statement_in_a_transaction(store, models):
    if store.is_async:
        async def load():
            async with DB.getInstance().transaction() as con:
                authors = await models.Author.getExecutor(con).findAllBy()
                try:
                    await models.Author.getExecutor(con).findListForeignKeyIn(authors, deep=True)
                except Exception as error:  # noqa: BLE001 - the driver's own error
                    return authors, error
            return authors, None
    drop_notes(store)
    if store.is_async:
        authors, error = store.result(load())
    else:
        with DB.getInstance().transaction() as con:
            authors = models.Author.getExecutor(con).findAllBy()
            with pytest.raises(Exception) as failure:
                models.Author.getExecutor(con).findListForeignKeyIn(authors, deep=True)
            error = failure.value
    assert error is not None and not isinstance(error, (TypeError, KeyError))
    assert untouched(authors, models)


def test_an_instance_without_its_key_stops_the_walk_where_it_stands(store, models):
    """As findListForeignKey: the instances before it keep what they got, the
    ones after it get nothing."""
    authors = roots_of(store, models.Author)[:4]
    expected = roots_of(store, models.Author)[:4]
    del authors[2]["id"], expected[2]["id"]
    with pytest.raises(KeyError):
        per_instance(store, models.Author, expected, True, 3)
    with pytest.raises(KeyError):
        batched(store, models.Author, authors, deep=True)
    assert picture(authors) == picture(expected)
    assert "posts" in authors[1] and untouched(authors[3:], models)


def test_on_a_bound_connection(store, models, statements):
    if store.is_async:
        async def load():
            async with DB.getInstance().transaction() as con:
                await models.Author.getExecutor(con).save(models.Author(name="fresh", posts=[models.Post(title="new")]))
                authors = await models.Author.getExecutor(con).findAllBy(models.Author.name == "fresh")
                await models.Author.getExecutor(con).findListForeignKeyIn(authors)
                return con, authors
        con, authors = store.result(load())
    else:
        with DB.getInstance().transaction() as con:
            models.Author.getExecutor(con).save(models.Author(name="fresh", posts=[models.Post(title="new")]))
            authors = models.Author.getExecutor(con).findAllBy(models.Author.name == "fresh")
            models.Author.getExecutor(con).findListForeignKeyIn(authors)
    assert [p["title"] for p in authors[0]["posts"]] == ["new"]
    assert statements and all(c is con for _, _, c in statements)


def test_a_row_that_is_its_own_parent_loads_to_any_level_without_recursion(store, models, statements):
    """The loader walks the levels in a loop, not by recursion: far beyond the
    interpreter's recursion limit the chain is loaded to the level asked for,
    a new instance on each level, and the row, fetched once, is not asked
    for again."""
    level = 3 * __import__("sys").getrecursionlimit()
    node = roots_of(store, models.Node)
    batched(store, models.Node, node, deep=True, level=level)
    links, row = 0, node[0]
    while "children" in row:
        assert len(row["children"]) == 1
        row, links = row["children"][0], links + 1
        assert row is not node[0] and row["id"] == 1
    assert links == level - 1
    assert len(statements) == 1


# --- the paging controller ---------------------------------------------------------------------

def test_folio_find_foreign_in_loads_the_page_as_find_foreign_does(store, models, statements):
    from Tessary.Ext.Folio import Folio

    expected = store.result(Folio(models.Author, 2, 3).findForeign().execute())
    statements.clear()
    controller = Folio(models.Author, 2, 3)
    assert controller.findForeignIn() is controller and controller.deep
    page = store.result(controller.execute())
    assert [a["id"] for a in page.content] == [4, 5, 6]
    assert picture(page.content) == picture(expected.content)
    # The count, then three relations of the authors and four of the rows they loaded.
    assert len(statements) == 1 + 3 + 4


def test_folio_find_foreign_after_find_foreign_in_loads_per_instance(store, models, statements):
    from Tessary.Ext.Folio import Folio

    page = store.result(Folio(models.Author, 1, 3).findForeignIn().findForeign().execute())
    assert len(statements) == 1  # the count: the per-instance loader runs its queries through execute
    assert "profile" in page.content[0]


def test_folio_find_foreign_in_on_an_empty_page(store, models, statements):
    from Tessary.Ext.Folio import Folio

    page = store.result(Folio(models.Author, 9, 3).findForeignIn().execute())
    assert page.content == [] and len(statements) == 1
