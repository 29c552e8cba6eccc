"""Values stored with toDBValue and read back through Model(row) keep their
Python type and value, through sqlite3 and through MariaDB (pymysql)."""

import contextlib
import datetime
import decimal
import sqlite3

import pytest

from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    BigIntegerProperty,
    BooleanProperty,
    BytesProperty,
    DateProperty,
    DateTimeProperty,
    DecimalProperty,
    FloatProperty,
    IntegerProperty,
    TextProperty,
    VarcharProperty,
)


class Sample(DataModel):
    tableName = "sample"
    id = IntegerProperty(isPrimaryKey=True)
    big = BigIntegerProperty()
    ratio = FloatProperty()
    price = DecimalProperty(10, 2)
    name = VarcharProperty(20)
    body = TextProperty()
    flag = BooleanProperty()
    stamp = DateTimeProperty()
    day = DateProperty()
    data = BytesProperty()


ROWS = [
    {"id": 1, "big": 2 ** 40, "ratio": 0.25, "price": decimal.Decimal("12.50"), "name": "ann", "body": "x" * 300,
     "flag": True, "stamp": datetime.datetime(2024, 2, 29, 23, 59, 58), "day": datetime.date(2024, 1, 2),
     "data": b"\x00\x01\xff"},
    {"id": 2, "big": -1, "ratio": -1.5, "price": decimal.Decimal("0.10"), "name": "", "body": "",
     "flag": False, "stamp": datetime.datetime(1999, 12, 31, 0, 0, 0), "day": datetime.date(1970, 1, 1),
     "data": b""},
    {"id": 3, **{c.name: None for c in Sample.col[1:]}},
]

SQLITE_TABLE = ("CREATE TABLE sample (id INT PRIMARY KEY, big BIGINT, ratio DOUBLE, price DECIMAL(10, 2), "
                "name VARCHAR(20), body TEXT, flag BIT, stamp DATETIME, day DATE, data BLOB)")
MYSQL_TABLE = SQLITE_TABLE.replace("flag BIT", "flag BIT(1)")


def insert_and_read(cur, placeholder):
    names = [c.name for c in Sample.col]
    sql = f"INSERT INTO sample ({', '.join(names)}) VALUES ({', '.join([placeholder] * len(names))})"
    for row in ROWS:
        cur.execute(sql, tuple(c.toDBValue(row[c.name]) for c in Sample.col))
    cur.execute(f"SELECT {', '.join(names)} FROM sample ORDER BY id")
    return cur.fetchall()


def check(rows):
    instances = [Sample(row) for row in rows]
    assert instances == ROWS
    for got, want in zip(instances, ROWS):
        assert {k: type(v) for k, v in got.items()} == {k: type(v) for k, v in want.items()}


def test_sqlite_round_trip():
    with contextlib.closing(sqlite3.connect(":memory:")) as con:
        cur = con.cursor()
        cur.execute(SQLITE_TABLE)
        check(insert_and_read(cur, "?"))


def test_sqlite_conditions_on_dates():
    with contextlib.closing(sqlite3.connect(":memory:")) as con:
        cur = con.cursor()
        cur.execute(SQLITE_TABLE)
        insert_and_read(cur, "?")
        cond = Sample.stamp > datetime.datetime(2000, 1, 1)
        cur.execute("SELECT id FROM sample WHERE stamp > ?", (cond.next.value,))
        assert cur.fetchall() == [(1,)]


def test_mariadb_round_trip(mariadb_clean):
    pymysql = pytest.importorskip("pymysql")
    with contextlib.closing(pymysql.connect(**mariadb_clean)) as con, con.cursor() as cur:
        cur.execute(MYSQL_TABLE)
        rows = insert_and_read(cur, "%s")
        check(rows)
        cur.execute("SELECT id FROM sample WHERE day = %s AND flag = %s",
                    ((Sample.day == datetime.date(2024, 1, 2)).next.value, Sample.flag.toDBValue(True)))
        assert cur.fetchall() == ((1,),)


def test_partial_select_as_mapping():
    with contextlib.closing(sqlite3.connect(":memory:")) as con:
        con.row_factory = sqlite3.Row
        cur = con.cursor()
        cur.execute(SQLITE_TABLE)
        insert_and_read(cur, "?")
        cur.execute("SELECT stamp, price FROM sample WHERE id = 1")
        inst = Sample(cur.fetchone())
        assert inst == {"stamp": ROWS[0]["stamp"], "price": ROWS[0]["price"]}
