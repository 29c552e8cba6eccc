"""The workload pairs on the synchronous connectors. Each factory prepares
its inputs (untimed) and returns a Pair whose two sides do the same work:
Tessary through its models and executors, the raw side with hand-written
SQL on a DB-API connection of the same driver."""

import random
import tracemalloc
from dataclasses import dataclass
from typing import Any

from harness import Pair
from schema import AGES, POST_COLUMNS, USER_COLUMNS, User, user_row

from Tessary.DB.DB import DB
from Tessary.DB.Generator import SqlGenerator
from Tessary.Ext.Folio import Folio
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, FloatProperty, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

USER_SELECT = "SELECT id, name, age, email, score FROM user"
PAGE_SIZE = 20
PAGED_AGES = 100   # W5 pages through the users with age < PAGED_AGES


@dataclass
class Backend:
    name: str          # shown in the table
    mark: str          # the raw driver's placeholder
    raw: Any           # the raw side's DB-API connection
    users: int         # rows in user
    posts_for: int     # users 1..posts_for have POSTS_PER_USER posts each
    scale: float

    def n(self, count):
        return max(1, round(count * self.scale))

    def sql(self, text):
        """Hand-written text with "?" written in the driver's style."""
        return text.replace("?", self.mark)


def count(n):
    return f"{n:,}"


# --- digests: what both sides must agree on ------------------------------------

def user_tuple(instance):
    return tuple(instance[c] for c in USER_COLUMNS)


def instances_digest(instances):
    return len(instances), sum(u["id"] for u in instances), user_tuple(instances[0]) if instances else None


def rows_digest(rows):
    return len(rows), sum(r[0] for r in rows), tuple(rows[0]) if rows else None


def lists_digest(lists, digest):
    parts = [digest(x) for x in lists]
    return len(parts), sum(p[0] for p in parts), sum(p[1] for p in parts)


# --- W1: building statements -------------------------------------------------------

def w1_build(b):
    n = b.n(100_000)
    args = [(f"user{i}", i % AGES) for i in range(n)]
    cols = ",".join(f"user.{c}" for c in USER_COLUMNS)

    def tessary():
        length = 0
        for name, age in args:
            g = SqlGenerator()
            g.select(*User.col).From(User).where((User.name == name) & (User.age > age))
            g.orderBy("user.id desc")
            g.Limit(10, 20)
            built = g.Build()
            length += len(built[0])
        return n, length, built

    def raw():
        length = 0
        for name, age in args:
            built = (f"SELECT {cols} FROM user WHERE user.name  =  %s  AND user.age  >  %s  "
                     f"order by user.id desc limit {20}, {10};", (name, age))
            length += len(built[0])
        return n, length, built

    same = lambda result: result  # noqa: E731
    return Pair("W1", b.name, "SqlGenerator SELECT … Build()", f"{count(n)} statements", n,
                tessary, raw, same, same, target_us_per_op=2.0)


# --- W1b: one condition of many terms ------------------------------------------------

def w1b_long_condition(b, terms=10_000):
    """`c = c | (User.id == i)` over n values, the loop an application writes
    for an OR of many keys; the raw side writes the same WHERE text and
    arguments by hand. Run at two sizes: a steady ratio shows linear cost."""
    n = b.n(terms)
    keys = list(range(n))
    term = "user.id  =  %s "

    def tessary():
        cond = User.id == keys[0]
        for key in keys[1:]:
            cond = cond | (User.id == key)
        return SqlGenerator.build_where(cond)

    def raw():
        text = " WHERE " + " OR ".join(f"{term}" for _ in keys)
        return text, list(keys)

    digest = lambda built: (built[0].count("%s"), sum(built[1]))  # noqa: E731
    return Pair("W1b", b.name, "c = c | (User.id == i); build_where", f"{count(n)} terms", n,
                tessary, raw, digest, digest)


# --- W2: inserting one by one --------------------------------------------------------

def restore_users(b, first):
    """The user table as filled: the rows a write workload added go, and the
    next generated id is `first` again."""
    cur = b.raw.cursor()
    cur.execute(b.sql("DELETE FROM user WHERE id >= ?"), (first,))
    if b.mark == "?":
        cur.execute("UPDATE sqlite_sequence SET seq = ? WHERE name = 'user'", (first - 1,))
    else:
        cur.execute(f"ALTER TABLE user AUTO_INCREMENT = {first}")
    cur.close()
    b.raw.commit()


INSERT_USER = "INSERT INTO user (name, age, email, score) VALUES (?, ?, ?, ?)"


def insert_rows(con, insert, rows, commit):
    """The raw side of W2: one INSERT per row on a DB-API connection, each
    key read back; one commit at the end when `commit`."""
    ids = []
    cur = con.cursor()
    for row in rows:
        cur.execute(insert, row)
        ids.append(cur.lastrowid)
    if commit:
        con.commit()
    cur.close()
    return ids


def new_user_rows(b):
    """W2's input: (first id, the rows without their ids)."""
    first = b.users + 1
    return first, [user_row(i) for i in range(first, first + b.n(10_000))]


def ids_digest(ids):
    return len(ids), sum(ids)


def w2_insert(b, target=1.0, autocommit_raw=None):
    """10,000 single INSERTs, each new key read back. On SQLite both sides
    run them in one transaction; given `autocommit_raw` (a connection of the
    raw driver in autocommit mode), every INSERT commits by itself on both
    sides, as the connector runs statements outside a transaction."""
    first, rows = new_user_rows(b)
    insert = b.sql(INSERT_USER)
    db = DB.getInstance()

    def save_all(executor):
        ids = []
        for name, age, email, score in rows:
            saved = executor.save(User(name=name, age=age, email=email, score=score))
            ids.append(saved["id"])
        return ids

    def tessary():
        if autocommit_raw is not None:
            return save_all(User.getExecutor())
        with db.transaction() as con:
            return save_all(User.getExecutor(con))

    def raw():
        if autocommit_raw is not None:
            return insert_rows(autocommit_raw, insert, rows, commit=False)
        return insert_rows(b.raw, insert, rows, commit=True)

    work = "ModelExecutor.save, " + ("autocommit" if autocommit_raw is not None else "one transaction")
    restore = lambda: restore_users(b, first)  # noqa: E731
    return Pair("W2", b.name, work, f"{count(len(rows))} rows", len(rows), tessary, raw, ids_digest, ids_digest,
                before=restore, after=restore, target_ratio=target)


# --- W7: many rows in one call, with their keys ----------------------------------------

def w7_save_all(b, target=0.5):
    first, rows = new_user_rows(b)
    n = len(rows)
    insert = b.sql(INSERT_USER)
    pending = []

    def before():
        # As W2; the instances to save are the input, made here, untimed.
        restore_users(b, first)
        pending[:] = [User(name=name, age=age, email=email, score=score) for name, age, email, score in rows]

    def tessary():
        return [saved["id"] for saved in User.getExecutor().saveAll(pending)]

    def raw():
        cur = b.raw.cursor()
        cur.executemany(insert, rows)
        b.raw.commit()
        cur.close()

    def written(_):
        # The raw side learns no keys: both sides are checked against the table.
        cur = b.raw.cursor()
        cur.execute(b.sql("SELECT COUNT(*), SUM(id) FROM user WHERE id >= ?"), (first,))
        found = tuple(int(v) for v in cur.fetchone())
        cur.close()
        b.raw.commit()
        return found

    return Pair("W7", b.name, "ModelExecutor.saveAll with keys vs executemany", f"{count(n)} rows", n,
                tessary, raw, ids_digest, written, before=before, after=lambda: restore_users(b, first),
                target_ratio=target)


# --- W3: every row -------------------------------------------------------------------

def w3_select_all(b, target=0.9):
    def tessary():
        return User.getExecutor().findAllBy()

    def raw():
        cur = b.raw.cursor()
        cur.execute(USER_SELECT)
        rows = cur.fetchall()
        cur.close()
        return rows

    return Pair("W3", b.name, "findAllBy() of every row", f"{count(b.users)} rows", b.users,
                tessary, raw, instances_digest, rows_digest, target_ratio=target)


def w3_dict_floor(b):
    """No Tessary in it: the raw rows turned into dict literals, against the
    raw rows. Model instances are dicts, so this ratio is the floor of W3."""
    cur = b.raw.cursor()

    def dicts():
        cur.execute(USER_SELECT)
        return [{"id": i, "name": n, "age": a, "email": e, "score": s} for i, n, a, e, s in cur.fetchall()]

    def raw():
        cur.execute(USER_SELECT)
        return cur.fetchall()

    digest = lambda rows: (len(rows), sum(r["id"] if isinstance(r, dict) else r[0] for r in rows))  # noqa: E731
    return Pair("W3", b.name, "reference: raw rows → dict literals (no Tessary)", f"{count(b.users)} rows",
                b.users, dicts, raw, digest, digest)


# --- W4: point queries on an indexed column --------------------------------------------

def w4_point(b, target=0.9):
    n = b.n(5_000)
    ages = random.Random(4).choices(range(min(AGES, b.users)), k=n)
    select = b.sql(f"{USER_SELECT} WHERE age = ?")

    def tessary():
        return [User.getExecutor().findAllBy(User.age == a) for a in ages]

    def raw():
        out = []
        cur = b.raw.cursor()
        for a in ages:
            cur.execute(select, (a,))
            out.append(cur.fetchall())
        cur.close()
        return out

    return Pair("W4", b.name, "findAllBy(User.age == a)", f"{count(n)} queries", n, tessary, raw,
                lambda r: lists_digest(r, instances_digest), lambda r: lists_digest(r, rows_digest),
                target_ratio=target)


# --- W5: pages --------------------------------------------------------------------------

def w5_paging(b, target=0.9):
    """Pages of the users with age < PAGED_AGES. The raw side sends the texts
    Folio sends (its count, then the page with LIMIT written into it), so
    both leave the same statements to the driver's cache and to SQLite."""
    n = b.n(1_000)
    matching = sum(1 for i in range(1, b.users + 1) if i % AGES < PAGED_AGES)
    pages = random.Random(5).choices(range(1, -(-matching // PAGE_SIZE) + 1), k=n)
    cols = ",".join(f"user.{c}" for c in USER_COLUMNS)
    count_sql = b.sql("select count(user.id) from user   WHERE user.age  <  ?  ")
    page_head = b.sql(f"SELECT {cols} FROM user WHERE user.age  <  ?  order by user.age, user.id limit ")

    def tessary():
        return [Folio(User).filter(User.age < PAGED_AGES).orderBy("user.age", "user.id").setPage(p, PAGE_SIZE).execute()
                for p in pages]

    def raw():
        out = []
        cur = b.raw.cursor()
        for p in pages:
            cur.execute(count_sql, (PAGED_AGES,))
            total = cur.fetchone()[0]
            cur.execute(f"{page_head}{(p - 1) * PAGE_SIZE}, {PAGE_SIZE};", (PAGED_AGES,))
            out.append((total, cur.fetchall()))
        cur.close()
        return out

    def tessary_digest(result):
        return sum(p.total for p in result), lists_digest([p.content for p in result], instances_digest)

    def raw_digest(result):
        return sum(t for t, _ in result), lists_digest([rows for _, rows in result], rows_digest)

    return Pair("W5", b.name, "Folio(User).filter(…).setPage(p, 20)", f"{count(n)} pages", n,
                tessary, raw, tessary_digest, raw_digest, target_ratio=target)


# --- W6: owners with their related rows ---------------------------------------------------

def w6_relations(b, target=1.0):
    owners = b.posts_for
    users_sql = b.sql(f"{USER_SELECT} WHERE id <= ?")
    posts_sql = b.sql(f"SELECT {', '.join(POST_COLUMNS)} FROM post WHERE user_id = ?")

    def tessary():
        users = User.getExecutor().findAllBy(User.id <= owners)
        User.getExecutor().findListForeignKey(users, True)
        return users

    def raw():
        cur = b.raw.cursor()
        cur.execute(users_sql, (owners,))
        users = cur.fetchall()
        out = []
        for user in users:
            cur.execute(posts_sql, (user[0],))
            out.append((user, cur.fetchall()))
        cur.close()
        return out

    def tessary_digest(users):
        return instances_digest(users), lists_digest([u["posts"] for u in users], post_digest)

    def raw_digest(result):
        return rows_digest([u for u, _ in result]), lists_digest([posts for _, posts in result], rows_digest)

    return Pair("W6", b.name, "findListForeignKey, one-to-many", f"{count(owners)} users, "
                f"{count(owners * 11)} rows", owners, tessary, raw, tessary_digest, raw_digest,
                target_ratio=target)


def post_digest(posts):
    return len(posts), sum(p["id"] for p in posts), tuple(posts[0][c] for c in POST_COLUMNS) if posts else None



# --- W6b: the same owners, their related rows read by findListForeignKeyIn -----------------

IN_CHUNK = 32766    # SQLite's host parameters (3.32 on): both sides split their IN lists alike
TAGS = 20


def in_rows(cur, b, head, keys):
    """The rows of `head` + " IN (...)" for every key, a chunk at a time."""
    rows = []
    for start in range(0, len(keys), IN_CHUNK):
        part = keys[start:start + IN_CHUNK]
        cur.execute(b.sql(f"{head} IN ({', '.join('?' * len(part))})"), part)
        rows.extend(cur.fetchall())
    return rows


def grouped(rows, key_at):
    groups = {}
    for row in rows:
        groups.setdefault(row[key_at], []).append(row)
    return groups


def w6b_batched(b, target=1.3):
    owners = b.posts_for
    users_sql = b.sql(f"{USER_SELECT} WHERE id <= ?")

    def tessary():
        users = User.getExecutor().findAllBy(User.id <= owners)
        User.getExecutor().findListForeignKeyIn(users)
        return users

    def raw():
        cur = b.raw.cursor()
        cur.execute(users_sql, (owners,))
        users = cur.fetchall()
        posts = grouped(in_rows(cur, b, f"SELECT {', '.join(POST_COLUMNS)} FROM post WHERE user_id",
                                [u[0] for u in users]), 1)
        cur.close()
        return [(user, posts.get(user[0], [])) for user in users]

    def tessary_digest(users):
        return instances_digest(users), lists_digest([u["posts"] for u in users], post_digest)

    def raw_digest(result):
        return rows_digest([u for u, _ in result]), lists_digest([posts for _, posts in result], rows_digest)

    return Pair("W6b", b.name, "findListForeignKeyIn, one-to-many", f"{count(owners)} users, "
                f"{count(owners * 11)} rows", owners, tessary, raw, tessary_digest, raw_digest,
                target_ratio=target)


# Owners, their posts and the posts' tags: models of their own over the same
# user and post tables, and a tag table with its junction made for W6b deep.
class TaggedUser(DataModel):
    tableName = "user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64, nullable=True)
    age = IntegerProperty(nullable=True)
    email = VarcharProperty(128, nullable=True)
    score = FloatProperty(nullable=True)
    posts = ForeignKey(ForeignType.ONE_TO_MANY, "TaggedPost", bindCol="id", targetBindCol="user_id")


class TaggedPost(DataModel):
    tableName = "post"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty(nullable=True)
    title = VarcharProperty(128, nullable=True)
    tags = ForeignKey(ForeignType.MANY_TO_MANY, "BenchTag", bindCol="id", targetBindCol="id")


class BenchTag(DataModel):
    tableName = "tag"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    label = VarcharProperty(32, nullable=True)


def post_tags(post_id):
    return sorted({post_id * 7 % TAGS + 1, post_id * 13 % TAGS + 1})


def fill_tags(b):
    """The tag table and two tags (or one) per post of the owners: untimed."""
    cur = b.raw.cursor()
    cur.execute("CREATE TABLE IF NOT EXISTS tag(id INTEGER PRIMARY KEY, label VARCHAR(32))")
    cur.execute("CREATE TABLE IF NOT EXISTS post_tag(post_id INTEGER, tag_id INTEGER)")
    cur.execute("CREATE INDEX IF NOT EXISTS post_tag_post_id ON post_tag(post_id)")
    cur.execute("DELETE FROM tag")
    cur.execute("DELETE FROM post_tag")
    cur.executemany(b.sql("INSERT INTO tag(id, label) VALUES (?, ?)"), [(t, f"tag {t}") for t in range(1, TAGS + 1)])
    cur.execute(b.sql("SELECT id FROM post WHERE user_id <= ?"), (b.posts_for,))
    links = [(p, t) for (p,) in cur.fetchall() for t in post_tags(p)]
    cur.executemany(b.sql("INSERT INTO post_tag(post_id, tag_id) VALUES (?, ?)"), links)
    b.raw.commit()
    cur.close()
    return len(links)


def w6b_deep(b, target=1.3):
    owners = b.posts_for
    links = fill_tags(b)
    users_sql = b.sql(f"{USER_SELECT} WHERE id <= ?")
    tags_head = "SELECT tag.id, tag.label, post_tag.post_id FROM tag JOIN post_tag ON tag.id = post_tag.tag_id " \
                "WHERE post_tag.post_id"

    def tessary():
        users = TaggedUser.getExecutor().findAllBy(TaggedUser.id <= owners)
        TaggedUser.getExecutor().findListForeignKeyIn(users, True)
        return users

    def raw():
        cur = b.raw.cursor()
        cur.execute(users_sql, (owners,))
        users = cur.fetchall()
        posts = grouped(in_rows(cur, b, f"SELECT {', '.join(POST_COLUMNS)} FROM post WHERE user_id",
                                [u[0] for u in users]), 1)
        post_ids = [p[0] for user in users for p in posts.get(user[0], [])]
        tags = grouped(in_rows(cur, b, tags_head, post_ids), 2)
        cur.close()
        return [(user, [(post, tags.get(post[0], [])) for post in posts.get(user[0], [])]) for user in users]

    def tessary_digest(users):
        posts = [p for u in users for p in u["posts"]]
        return (instances_digest(users), lists_digest([u["posts"] for u in users], post_digest),
                sum(t["id"] for p in posts for t in p["tags"]), sum(len(p["tags"]) for p in posts))

    def raw_digest(result):
        posts = [p for _, ps in result for p in ps]
        return (rows_digest([u for u, _ in result]), lists_digest([[p for p, _ in ps] for _, ps in result], rows_digest),
                sum(t[0] for _, ts in posts for t in ts), sum(len(ts) for _, ts in posts))

    return Pair("W6b deep", b.name, "findListForeignKeyIn(deep=True): users, posts, tags",
                f"{count(owners)} users, {count(owners * 11 + links)} rows", owners, tessary, raw,
                tessary_digest, raw_digest, target_ratio=target)


# --- W8: every row, a batch at a time ------------------------------------------------------

STREAM_BATCH = 1_000


def stream_digest(stream):
    """instances_digest of a stream, keeping no instance."""
    n = total = 0
    first = None
    for u in stream:
        if first is None:
            first = user_tuple(u)
        n += 1
        total += u["id"]
    return n, total, first


def peak_bytes(work):
    """The tracemalloc peak of work() (untimed: tracing slows everything)."""
    tracemalloc.start()
    try:
        work()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def w8_stream(b, target=1.1):
    batch = min(STREAM_BATCH, b.users)

    def stream():
        return stream_digest(User.getExecutor().iterAllBy(batchSize=batch))

    def whole():
        return User.getExecutor().findAllBy()

    one_batch = peak_bytes(lambda: User.getExecutor().editSql(lambda sql: sql.Limit(batch, 0)).findAllBy())
    streamed = peak_bytes(stream)
    work = (f"iterAllBy(batchSize={count(batch)}) vs findAllBy; peak memory {streamed / one_batch:.2f}× "
            f"one batch's ({streamed / 1e6:.1f} MB vs {one_batch / 1e6:.1f} MB)")
    return Pair("W8", b.name, work, f"{count(b.users)} rows", b.users, stream, whole,
                lambda d: d, instances_digest, target_ratio=target)


# --- W9: a deep keyset page against the first one ------------------------------------------

KEYSET_DEPTH = 2_000  # the page number of the deep page


def deep_page_start(b, depth):
    """(age, id) of the last row before page `depth` in (age, id) order, or None for page 1."""
    if depth <= 1:
        return None
    cur = b.raw.cursor()
    cur.execute(b.sql("SELECT age, id FROM user ORDER BY age, id LIMIT 1 OFFSET ?"), ((depth - 1) * PAGE_SIZE - 1,))
    row = cur.fetchone()
    cur.close()
    return tuple(row)


def page_digest(pages):
    return len(pages), sum(len(p) for p in pages)


def w9_keyset(b, target=1.5):
    n = b.n(500)
    depth = min(KEYSET_DEPTH, max(1, b.users // PAGE_SIZE))
    after = deep_page_start(b, depth)

    def at(position):
        return lambda: [Folio(User, pageSize=PAGE_SIZE).keyset(User.age, User.id, after=position).execute().content
                        for _ in range(n)]

    return Pair("W9", b.name, f"Folio(User).keyset(User.age, User.id): page {count(depth)} vs page 1",
                f"{count(n)} pages of {PAGE_SIZE}, {count(b.users)} rows", n, at(after), at(None),
                page_digest, page_digest, target_ratio=target)


def w9_offset(b):
    """For comparison: the same pages by OFFSET (the page statement alone, no
    count); fewer of them, since the deep ones are slow."""
    n = b.n(50)
    depth = min(KEYSET_DEPTH, max(1, b.users // PAGE_SIZE))

    def at(page):
        def order_and_limit(sql):
            sql.orderBy("user.age", "user.id")
            sql.Limit(PAGE_SIZE, (page - 1) * PAGE_SIZE)
        return lambda: [User.getExecutor().editSql(order_and_limit).findAllBy() for _ in range(n)]

    return Pair("W9", b.name, f"reference: OFFSET page {count(depth)} vs page 1 (LIMIT o, 20)",
                f"{count(n)} pages of {PAGE_SIZE}, {count(b.users)} rows", n, at(depth), at(1),
                page_digest, page_digest)
