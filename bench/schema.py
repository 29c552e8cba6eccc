"""The benchmark's two tables, their models, and the rows both sides read.

The tables are created from hand-written DDL, the same for both sides, so
that neither side benefits from a schema the other would not have.
"""

from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    FloatProperty,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)

USER_COLUMNS = ("id", "name", "age", "email", "score")
POST_COLUMNS = ("id", "user_id", "title")
AGES = 5000          # row i has age i % AGES
POSTS_PER_USER = 10


class User(DataModel):
    tableName = "user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64, nullable=True)
    age = IntegerProperty(nullable=True)
    email = VarcharProperty(128, nullable=True)
    score = FloatProperty(nullable=True)
    posts = ForeignKey(ForeignType.ONE_TO_MANY, "Post", bindCol="id", targetBindCol="user_id")


class Post(DataModel):
    tableName = "post"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty(nullable=True)
    title = VarcharProperty(128, nullable=True)


def user_row(i):
    """Row i (counted from 1) without its id."""
    return (f"user{i}", i % AGES, f"user{i}@example.com", (i % 1000) / 10)


def post_row(user_id, k):
    return (user_id, f"post {k} of user {user_id}")


SQLITE_DDL = (
    "CREATE TABLE user(id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(64), age INTEGER, "
    "email VARCHAR(128), score FLOAT)",
    "CREATE INDEX user_age ON user(age)",
    "CREATE TABLE post(id INTEGER PRIMARY KEY AUTOINCREMENT, user_id INTEGER, title VARCHAR(128))",
    "CREATE INDEX post_user_id ON post(user_id)",
)

MYSQL_DDL = (
    "CREATE TABLE user(id INTEGER PRIMARY KEY AUTO_INCREMENT, name VARCHAR(64), age INTEGER, "
    "email VARCHAR(128), score FLOAT)",
    "CREATE INDEX user_age ON user(age)",
    "CREATE TABLE post(id INTEGER PRIMARY KEY AUTO_INCREMENT, user_id INTEGER, title VARCHAR(128))",
    "CREATE INDEX post_user_id ON post(user_id)",
)


def fill_sqlite(path, users, posts_for):
    """A new SQLite file at `path` with `users` rows in user and
    POSTS_PER_USER posts for each of the first `posts_for` users."""
    import sqlite3

    con = sqlite3.connect(path)
    try:
        for statement in SQLITE_DDL:
            con.execute(statement)
        fill(con, "?", users, posts_for)
        con.commit()
    finally:
        con.close()


def fill_mysql(con, users, posts_for):
    """Drops and re-creates both tables on the pymysql connection `con`."""
    with con.cursor() as cur:
        cur.execute("DROP TABLE IF EXISTS user")
        cur.execute("DROP TABLE IF EXISTS post")
        for statement in MYSQL_DDL:
            cur.execute(statement)
    fill(con, "%s", users, posts_for)
    con.commit()


def fill(con, mark, users, posts_for):
    cur = con.cursor()
    cur.executemany(f"INSERT INTO user (name, age, email, score) VALUES ({mark}, {mark}, {mark}, {mark})",
                    [user_row(i) for i in range(1, users + 1)])
    cur.executemany(f"INSERT INTO post (user_id, title) VALUES ({mark}, {mark})",
                    [post_row(u, k) for u in range(1, posts_for + 1) for k in range(POSTS_PER_USER)])
    cur.close()
