"""W10: the plain reads (count, aggregate, values) against the raw driver,
on the indexed age column: point counts, one row of aggregates per age, and
the users of an age as plain dicts."""

import random

from harness import Pair
from schema import AGES, User
from workloads import count

from Tessary.DB.Generator import FunctionCall

VALUES_COLUMNS = ("id", "name", "score")


def ages_of(b, n, seed):
    return random.Random(seed).choices(range(min(AGES, b.users)), k=n)


def w10_count(b, target=1.1):
    n = b.n(5_000)
    ages = ages_of(b, n, 10)
    text = b.sql("SELECT COUNT(*) FROM user WHERE age = ?")

    def tessary():
        executor = User.getExecutor()
        return [executor.count(User.age == a) for a in ages]

    def raw():
        cur = b.raw.cursor()
        out = []
        for a in ages:
            cur.execute(text, (a,))
            out.append(cur.fetchone()[0])
        cur.close()
        return out

    return Pair("W10", b.name, "count(User.age == a)", f"{count(n)} queries", n, tessary, raw, sum, sum,
                target_ratio=target)


def w10_aggregate(b, target=1.1):
    n = b.n(5_000)
    ages = ages_of(b, n, 11)
    text = b.sql("SELECT COUNT(id), MAX(score), SUM(id) FROM user WHERE age = ?")

    def tessary():
        executor = User.getExecutor()
        return [executor.aggregate(n=FunctionCall("count", User.id), best=FunctionCall("max", User.score),
                                   ids=FunctionCall("sum", User.id), Filter=User.age == a) for a in ages]

    def raw():
        cur = b.raw.cursor()
        out = []
        for a in ages:
            cur.execute(text, (a,))
            got = cur.fetchone()
            out.append({"n": got[0], "best": got[1], "ids": int(got[2])})
        cur.close()
        return out

    digest = lambda rows: (len(rows), sum(r["n"] for r in rows), sum(r["ids"] for r in rows))  # noqa: E731
    return Pair("W10", b.name, "aggregate(count, max, sum) per age", f"{count(n)} queries", n, tessary, raw,
                digest, digest, target_ratio=target)


def w10_values(b, target=1.1):
    n = b.n(5_000)
    ages = ages_of(b, n, 12)
    text = b.sql("SELECT id, name, score FROM user WHERE age = ?")

    def tessary():
        executor = User.getExecutor()
        return [executor.values(User.id, User.name, User.score, Filter=User.age == a) for a in ages]

    def raw():
        cur = b.raw.cursor()
        out = []
        for a in ages:
            cur.execute(text, (a,))
            out.append([dict(zip(VALUES_COLUMNS, row)) for row in cur.fetchall()])
        cur.close()
        return out

    digest = lambda lists: (sum(len(x) for x in lists), sum(r["id"] for x in lists for r in x))  # noqa: E731
    return Pair("W10", b.name, "values(id, name, score) per age, as dicts", f"{count(n)} queries", n, tessary, raw,
                digest, digest, target_ratio=target)
