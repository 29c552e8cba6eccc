"""200 asyncio tasks at once, each with its own executors on its own pooled
connection, saving an account with its profile, posts and tags, reading it
back before committing, then loading it with its related rows. Afterwards every row is there exactly once, and
every statement a task ran carried only that task's values: no task ever
sent, or read through, another task's pending statement."""

import asyncio
import contextvars

import pymysql
import pytest

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator

# CREATE TABLE on MariaDB: the key's constraint name is ignored, and said so.
pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

TASKS = 200
POSTS = 2
ER_LOCK_DEADLOCK = 1213
current_task = contextvars.ContextVar("current_task", default=None)
retried = []


@pytest.fixture
def recorded():
    """(task, values of the statement) for every statement the executors send."""
    handle = DB.getInstance()
    seen = []
    run = type(handle).execute

    def recording(executor, con=None):
        seen.append((current_task.get(), executor.sql.Build()[1]))
        return run(handle, executor=executor, con=con)

    handle.execute = recording
    try:
        yield seen
    finally:
        del handle.__dict__["execute"]


def tag_of(index):
    return f"t{index:03d}"


def account(models, index):
    tag = tag_of(index)
    return models.Account(email=f"{tag}@x", name=tag, profile=models.Profile(bio=f"{tag} bio"),
                          posts=[models.Post(title=f"{tag} post {k}", tags=[models.Tag(label=f"{tag} label {k}")])
                                 for k in range(POSTS)])


async def one_task(models, connector, index):
    """Saves and reads back on the task's own connection before committing
    (its rows are not visible elsewhere yet), then loads the related rows,
    which the executors read through pooled connections of their own."""
    current_task.set(index)
    tag = tag_of(index)
    A = models.Account
    while True:
        con = await connector.getCon()
        try:
            saved = await A.getExecutor(con).save(account(models, index))
            await asyncio.sleep(0)  # let the other tasks in between the writes and the reads
            pending = await A.getExecutor(con).findOneBy(A.email == f"{tag}@x")
            assert (pending["id"], pending["name"]) == (saved["id"], tag)
            await con.commit()
            break
        except pymysql.err.OperationalError as error:
            # The junction rows are deleted by a scan of their unindexed table,
            # which InnoDB locks whole: concurrent relation saves can deadlock.
            # The victim's transaction is rolled back whole; it is run again.
            if error.args[0] != ER_LOCK_DEADLOCK:
                raise
            retried.append(index)
        finally:
            await connector.releaseCon(con)
    found = await A.getExecutor().findOneBy(A.id == saved["id"])
    await A.getExecutor().findForeignKey(found, True)
    assert (found["name"], found["profile"]["bio"]) == (tag, f"{tag} bio")
    assert sorted(p["title"] for p in found["posts"]) == [f"{tag} post {k}" for k in range(POSTS)]
    assert sorted(t["label"] for p in found["posts"] for t in p["tags"]) == [f"{tag} label {k}" for k in range(POSTS)]
    return saved["id"]


def foreign_values(recorded):
    """Statements whose text values name another task than the one that sent them."""
    wrong = []
    for index, values in recorded:
        for value in values:
            if isinstance(value, str) and value.startswith("t") and not value.startswith(tag_of(index)):
                wrong.append((index, values))
    return wrong


@pytest.mark.parametrize("name", ["aiosqlite", "aiomysql"])
def test_two_hundred_tasks_each_on_its_own_connection(request, tmp_path, models, recorded, name):
    if name == "aiosqlite":
        path = str(tmp_path / "concurrent.db")
        connector = AioSqliteConnector(path)
    else:
        params = request.getfixturevalue("mariadb_clean")
        connector = AioMysqlConnector(**params)
    handle = DB.getInstance()
    previous = handle.connector
    handle.connector = connector
    loop = asyncio.new_event_loop()

    async def scenario():
        for model in models.all:
            await handle.executeSql(TableGenerator(model).Build()[0])
        ids = await asyncio.gather(*(one_task(models, connector, i) for i in range(TASKS)), return_exceptions=True)
        assert [error for error in ids if isinstance(error, BaseException)] == []
        count = {}
        for model in models.all:
            key = model.pkName or model.col[0].name  # the junction has no key: one row per post here
            rows = await handle.executeSql(f"SELECT COUNT(*), COUNT(DISTINCT {key}) FROM {model.tableName}")
            count[model.tableName] = tuple(rows[0])
        emails = await handle.executeSql("SELECT COUNT(DISTINCT email) FROM rel_account")
        titles = await handle.executeSql("SELECT COUNT(DISTINCT title) FROM rel_post")
        links = await handle.executeSql(
            "SELECT COUNT(*) FROM rel_post JOIN rel_post_rel_tag ON rel_post_rel_tag.rel_post_id = rel_post.id "
            "JOIN rel_tag ON rel_tag.id = rel_post_rel_tag.rel_tag_id "
            "WHERE SUBSTR(rel_post.title, 1, 4) = SUBSTR(rel_tag.label, 1, 4)")
        return ids, count, emails[0][0], titles[0][0], links[0][0]

    try:
        ids, count, emails, titles, links = loop.run_until_complete(asyncio.wait_for(scenario(), 600))
    finally:
        loop.run_until_complete(connector.close())
        loop.close()
        handle.connector = previous

    assert len(set(ids)) == TASKS
    middle = models.PostTag.tableName
    assert count == {"rel_account": (TASKS, TASKS), "rel_profile": (TASKS, TASKS),
                     "rel_post": (TASKS * POSTS,) * 2, "rel_tag": (TASKS * POSTS,) * 2,
                     middle: (TASKS * POSTS,) * 2}
    assert (emails, titles, links) == (TASKS, TASKS * POSTS, TASKS * POSTS)
    by_task = {index for index, _values in recorded}
    assert by_task == set(range(TASKS))
    assert foreign_values(recorded) == []
