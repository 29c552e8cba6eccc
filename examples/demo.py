"""A tour of Tessary on an embedded SQLite database: two related models, the
SQL the builder makes from a condition, then the same models stored, queried
and loaded with their related rows, and paged through."""

from Tessary.DB.DB import DB
from Tessary.DB.Connector import Sqlite3Connector
from Tessary.DB.Generator import SqlGenerator, TableGenerator
from Tessary.Ext.Folio import Folio
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)


class User(DataModel):
    tableName = "user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64)
    age = IntegerProperty(default=0)
    # One user, many posts: post.user_id holds the user's id.
    posts = ForeignKey(ForeignType.ONE_TO_MANY, "Post", bindCol="id", targetBindCol="user_id")


class Post(DataModel):
    tableName = "post"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    user_id = IntegerProperty()
    title = VarcharProperty(100)


def show_query():
    print("-- a query, as SQL text with %s placeholders and an argument tuple")
    g = SqlGenerator()
    g.select(*User.col).From(User).where((User.age > 18) & (User.name.like("a%")))
    g.orderBy("user.id desc")
    g.Limit(10, 0)
    print(g.Build())


def create_tables():
    print("\n-- the tables, from the model classes")
    for model in (User, Post):
        sql = TableGenerator(model).Build()[0]
        print(sql)
        DB.getInstance().executeSql(sql)


def store_and_query():
    print("\n-- saving a user together with the posts it carries")
    alice = User(name="alice", age=31)
    alice["posts"] = [Post(title="hello"), Post(title="again")]
    User.getExecutor().save(alice)
    User.getExecutor().save(User(name="bob", age=17))
    anna = User(name="anna", age=25)
    anna["posts"] = [Post(title="first")]
    User.getExecutor().save(anna)
    print(DB.getInstance().executeSql("SELECT id, user_id, title FROM post"))

    print("\n-- adults whose name starts with 'a'")
    adults = User.getExecutor().findAllBy((User.age > 18) & (User.name.like("a%")))
    for user in adults:
        print(dict(user))

    print("\n-- one user, with its posts loaded")
    found = User.getExecutor().findOneBy(User.name == "alice")
    User.getExecutor().findForeignKey(found)
    print(found.name, "wrote", [post.title for post in found["posts"]])


def paginate():
    print("\n-- users two at a time, second page, each with its posts")
    page = Folio(User, page=2, pageSize=2, findForeign=True).orderBy("user.id").execute()
    print(f"page {page.page} of {page.totalPage} ({page.total} users):",
          [(user.name, len(user["posts"])) for user in page.content])


def main():
    DB.getInstance().connector = Sqlite3Connector(":memory:")
    show_query()
    create_tables()
    store_and_query()
    paginate()


if __name__ == "__main__":
    main()
