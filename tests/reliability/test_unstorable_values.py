"""Values a column cannot hold as they are: an Enum member is stored as its
value and a UUID as its 36-character text, in values and in conditions, on
each connector; any other value no connector can store is a TypeError naming
the column and the type before anything is sent. CREATE TABLE writes an Enum
default as its value and refuses a callable default."""

import datetime
import enum
import uuid

import pytest

from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from reliability_support import installed, make_backend


class Status(enum.Enum):
    DRAFT = "draft"
    PUBLISHED = "published"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class Shade(enum.StrEnum):
    DARK = "dark"


class Article(DataModel):
    tableName = "article"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    status = VarcharProperty(20, nullable=True)
    level = IntegerProperty(nullable=True)
    token = VarcharProperty(36, nullable=True)


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def store(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(Article)
            yield current
        finally:
            current.close()


def done(store, result):
    return store.run(result) if store.is_async else result


TOKEN = uuid.UUID("12345678-1234-5678-1234-567812345678")


def test_enum_and_uuid_saved_as_their_values(store):
    done(store, Article.getExecutor().save(Article(status=Status.PUBLISHED, level=Level.HIGH, token=TOKEN)))
    assert store.rows("SELECT status, level, token FROM article") == [
        ("published", 2, "12345678-1234-5678-1234-567812345678")]


def test_enum_and_uuid_in_conditions(store):
    done(store, Article.getExecutor().save(Article(status="published", level=2, token=str(TOKEN))))
    done(store, Article.getExecutor().save(Article(status="draft", level=1, token=str(uuid.uuid4()))))
    for condition in [Article.status == Status.PUBLISHED, Article.level == Level.HIGH, Article.token == TOKEN,
                      Article.status.In([Status.PUBLISHED, Shade.DARK]), Article.level > Level.LOW]:
        found = done(store, Article.getExecutor().findAllBy(condition))
        assert [row["level"] for row in found] == [2]


def test_update_writes_the_enum_value(store):
    saved = done(store, Article.getExecutor().save(Article(status="draft", level=1, token=None)))
    saved["status"] = Status.PUBLISHED
    done(store, Article.getExecutor().update(saved))
    assert store.rows("SELECT status FROM article") == [("published",)]


@pytest.mark.parametrize("value", [object(), [1, 2], {"a": 1}, datetime.timedelta(seconds=3), 1j],
                         ids=["object", "list", "dict", "timedelta", "complex"])
def test_a_value_no_connector_stores_is_refused_before_sending(store, value):
    pattern = f"IntegerProperty 'level' cannot store a value of type '{type(value).__name__}'"
    with pytest.raises(TypeError, match=pattern):
        done(store, Article.getExecutor().save(Article(level=value)))
    with pytest.raises(TypeError, match=pattern):
        done(store, Article.getExecutor().findAllBy(Article.level == value))
    assert store.count(Article) == 0


def test_member_whose_value_is_not_storable_is_refused():
    class Pair(enum.Enum):
        ONE = (1, 2)

    with pytest.raises(TypeError, match="cannot store a value of type 'tuple'"):
        Article.level.toDBValue(Pair.ONE)


class Defaults(DataModel):
    tableName = "defaults"
    id = IntegerProperty(isPrimaryKey=True)
    status = VarcharProperty(20, default=Status.DRAFT)
    level = IntegerProperty(default=Level.HIGH)


def test_create_table_writes_an_enum_default_as_its_value():
    assert TableGenerator.build_col(Defaults.status) == "   `status` VARCHAR(20) NOT NULL DEFAULT 'draft',\n"
    assert TableGenerator.build_col(Defaults.level) == "   `level` INT NOT NULL DEFAULT 2,\n"


def test_create_table_refuses_a_callable_default():
    class Stamped(DataModel):
        tableName = "stamped"
        id = IntegerProperty(isPrimaryKey=True)
        made = VarcharProperty(20, default=lambda: "now")

    with pytest.raises(TypeError, match="column 'made': a callable default"):
        TableGenerator(Stamped).Build()
