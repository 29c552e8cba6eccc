"""The everyday operations against the same statement through the raw
driver: a count, an aggregate, a grouped read, a conditional update and an
update of only the changed column. Each raw side sends the statement an
application would write by hand and hands back what the Tessary side hands
back (an int, a dict, a list of dicts, the rows affected)."""

import random

from harness import Pair
from schema import AGES, User, user_row
from workloads import count

from Tessary.DB.DB import DB
from Tessary.DB.Generator import FunctionCall

GROUPED_AGES = 50   # W12 groups the users with age < GROUPED_AGES


def chosen_ages(b, n, seed):
    return random.Random(seed).choices(range(min(AGES, b.users)), k=n)


def w10_count(b, target):
    ages = chosen_ages(b, b.n(5_000), 10)
    select = b.sql("SELECT COUNT(*) FROM user WHERE user.age = ?")

    def tessary():
        executor = User.getExecutor()
        return [executor.count(User.age == a) for a in ages]

    def raw():
        cur = b.raw.cursor()
        out = []
        for a in ages:
            cur.execute(select, (a,))
            out.append(cur.fetchone()[0])
        cur.close()
        return out

    digest = lambda counts: (len(counts), sum(counts))  # noqa: E731
    return Pair("W10", b.name, "count(User.age == a)", f"{count(len(ages))} queries", len(ages),
                tessary, raw, digest, digest, target_ratio=target)


def w11_aggregate(b, target):
    ages = chosen_ages(b, b.n(5_000), 11)
    select = b.sql("SELECT COUNT(user.id) AS n, MAX(user.score) AS best FROM user WHERE user.age = ?")

    def tessary():
        executor = User.getExecutor()
        return [executor.aggregate(User.age == a, n=FunctionCall("count", User.id),
                                   best=FunctionCall("max", User.score)) for a in ages]

    def raw():
        cur = b.raw.cursor()
        out = []
        for a in ages:
            cur.execute(select, (a,))
            n, best = cur.fetchone()
            out.append({"n": n, "best": best})
        cur.close()
        return out

    digest = lambda rows: (len(rows), sum(r["n"] for r in rows), round(sum(r["best"] or 0 for r in rows), 3))  # noqa: E731
    return Pair("W11", b.name, "aggregate(count, max) where age = a", f"{count(len(ages))} queries", len(ages),
                tessary, raw, digest, digest, target_ratio=target)


def w12_values_grouped(b, target):
    n = b.n(500)
    select = b.sql("SELECT user.age, COUNT(user.id) AS n FROM user WHERE user.age < ? GROUP BY user.age")
    count_of = FunctionCall("count", User.id).As("n")

    def tessary():
        executor = User.getExecutor()
        return [executor.values(User.age, count_of, Filter=User.age < GROUPED_AGES, groupBy=(User.age,))
                for _ in range(n)]

    def raw():
        cur = b.raw.cursor()
        out = []
        for _ in range(n):
            cur.execute(select, (GROUPED_AGES,))
            out.append([{"age": age, "n": k} for age, k in cur.fetchall()])
        cur.close()
        return out

    def digest(results):
        return len(results), sum(len(rows) for rows in results), sum(r["n"] for rows in results for r in rows)

    return Pair("W12", b.name, "values(age, count) GROUP BY age", f"{count(n)} queries × {GROUPED_AGES} groups",
                n, tessary, raw, digest, digest, target_ratio=target)


def restore_scores(b, ids):
    """The scores of `ids` as filled (schema.user_row), so that every run
    writes the same new values and later pairs read the table as filled."""
    cur = b.raw.cursor()
    cur.executemany(b.sql("UPDATE user SET score = ? WHERE id = ?"), [(user_row(i)[3], i) for i in ids])
    cur.close()
    b.raw.commit()


def in_a_transaction(b, work):
    """On SQLite both sides write in one transaction (as W2 does); on
    MariaDB every statement commits by itself on both sides."""
    if b.mark != "?":
        return work(User.getExecutor())
    with DB.getInstance().transaction() as con:
        return work(User.getExecutor(con))


def raw_writes(b, autocommit_raw, statement, rows):
    con = autocommit_raw if b.mark != "?" else b.raw
    cur = con.cursor()
    done = []
    for row in rows:
        cur.execute(statement, row)
        done.append(cur.rowcount)
    cur.close()
    if con is b.raw:
        con.commit()
    return done


def w13_update_where(b, target, autocommit_raw=None):
    ids = list(range(1, min(b.users, b.n(5_000)) + 1))
    update = b.sql("UPDATE user SET score = user.score + ? WHERE user.id = ?")

    def tessary():
        return in_a_transaction(b, lambda executor: [executor.updateWhere(User.id == i, score=User.score + 0.5)
                                                     for i in ids])

    def raw():
        return raw_writes(b, autocommit_raw, update, [(0.5, i) for i in ids])

    digest = lambda counts: (len(counts), sum(counts))  # noqa: E731
    restore = lambda: restore_scores(b, ids)  # noqa: E731
    return Pair("W13", b.name, "updateWhere(User.id == i, score=User.score + 0.5)", f"{count(len(ids))} rows",
                len(ids), tessary, raw, digest, digest, before=restore, after=restore, target_ratio=target)


def w14_update_changed(b, target, autocommit_raw=None):
    ids = list(range(1, min(b.users, b.n(5_000)) + 1))
    update = b.sql("UPDATE user SET score = ? WHERE id = ?")
    loaded = {}

    def load():
        restore_scores(b, ids)
        loaded["users"] = User.getExecutor().findAllBy(User.id <= ids[-1])

    def tessary():
        def work(executor):
            counts = []
            for user in loaded["users"]:
                user["score"] = user["score"] + 0.5
                executor.update(user, columns="changed")
                counts.append(executor.rowcount)
            return counts
        return in_a_transaction(b, work)

    def raw():
        return raw_writes(b, autocommit_raw, update, [(user_row(i)[3] + 0.5, i) for i in ids])

    digest = lambda counts: (len(counts), sum(counts))  # noqa: E731
    return Pair("W14", b.name, 'u["score"] += 0.5; update(u, columns="changed")', f"{count(len(ids))} rows",
                len(ids), tessary, raw, digest, digest, before=load, after=lambda: restore_scores(b, ids),
                target_ratio=target)


def sqlite_factories():
    """(key, factory(b)) of the SQLite group: at most 1.1× of sqlite3."""
    return [("W10", lambda b: w10_count(b, 1.1)), ("W11", lambda b: w11_aggregate(b, 1.1)),
            ("W12", lambda b: w12_values_grouped(b, 1.1)), ("W13", lambda b: w13_update_where(b, 1.1)),
            ("W14", lambda b: w14_update_changed(b, 1.1))]


def mysql_factories(b, autocommit_raw):
    """The MariaDB group's pairs: at most half of pymysql's time."""
    return [("W10", lambda: w10_count(b, 0.5)), ("W11", lambda: w11_aggregate(b, 0.5)),
            ("W12", lambda: w12_values_grouped(b, 0.5)),
            ("W13", lambda: w13_update_where(b, 0.5, autocommit_raw)),
            ("W14", lambda: w14_update_changed(b, 0.5, autocommit_raw))]
