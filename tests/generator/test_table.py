"""CREATE TABLE: TableGenerator, build_col, buildDefault, _processValue, and
the statement really creating its table on SQLite and MariaDB."""

import contextlib
import datetime
import decimal
import sqlite3
import types

import pytest

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector
from Tessary.DB.Generator import (
    CustomColAnnounce,
    CustomSqlGenerator,
    TableGenerator,
    _processValue,
    buildDefault,
)
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    BigIntegerProperty,
    BooleanProperty,
    BytesProperty,
    DateProperty,
    DateTimeProperty,
    DecimalProperty,
    FloatProperty,
    IntegerProperty,
    NullDefault,
    TextProperty,
    VarcharProperty,
)

build_col = TableGenerator.build_col


class AlwaysDefault(TextProperty):
    """A column claiming a default while holding none."""
    hasDefault = True


class FailingValue(IntegerProperty):
    def toDBValue(self, value):
        raise ValueError("no stored form")


class TblUser(DataModel):
    tableName = "user"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(64, nullable=True, default="bob")


class TblShapes(DataModel):
    tableName = "shapes"
    key = IntegerProperty(isPrimaryKey=True)
    plain = IntegerProperty()
    sized = VarcharProperty(255)
    scaled = DecimalProperty(10, 2, nullable=True)
    bit_on = BytesProperty(default=b"\x01")
    bit_off = BytesProperty(default=b"\x02")
    five = IntegerProperty(default=5)
    quoted = VarcharProperty(16, default="O'Brien")
    nothing = AlwaysDefault(nullable=True)
    stamped = DateTimeProperty(default=CustomColAnnounce("CURRENT_TIMESTAMP"))
    described = IntegerProperty(nullable=True, extra=" COMMENT 'x'")
    failing = FailingValue(default=1)


class TblCustomKey(DataModel):
    tableName = "custom_key"
    custom_key = IntegerProperty(isPrimaryKey=True, default=CustomColAnnounce("SERIAL"))


def test_worked_example(use_connector):
    use_connector(announce="A")
    assert TableGenerator(TblUser).Build() == (
        "CREATE TABLE user( \n"
        "   `id` A,\n"
        "   `name` VARCHAR(64) NULL DEFAULT 'bob',\n"
        "   constraint user_pk PRIMARY KEY (id)\n"
        ") ;",)


def test_auto_increment_text_comes_from_the_connector(use_connector):
    connector = use_connector(announce="INTEGER AUTOINCREMENT")
    assert build_col(TblUser.id) == "   `id` INTEGER AUTOINCREMENT,\n"
    assert connector.announced == [TblUser.id]
    assert buildDefault(col=TblUser.id) == "INTEGER AUTOINCREMENT"


@pytest.mark.parametrize("col, line", [
    ("key", "   `key` INT NOT NULL ,\n"),
    ("plain", "   `plain` INT NOT NULL ,\n"),
    ("sized", "   `sized` VARCHAR(255) NOT NULL ,\n"),
    ("scaled", "   `scaled` DECIMAL(10, 2) NULL ,\n"),
    ("bit_on", "   `bit_on` BLOB NOT NULL DEFAULT 1,\n"),
    ("bit_off", "   `bit_off` BLOB NOT NULL DEFAULT 0,\n"),
    ("five", "   `five` INT NOT NULL DEFAULT 5,\n"),
    ("quoted", "   `quoted` VARCHAR(16) NOT NULL DEFAULT 'O''Brien',\n"),
    ("nothing", "   `nothing` TEXT NULL DEFAULT ,\n"),
    ("stamped", "   `stamped` DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,\n"),
    ("described", "   `described` INT NULL  COMMENT 'x',\n"),
])
def test_column_lines(col, line):
    assert build_col(getattr(TblShapes, col)) == line


def test_custom_key_text_replaces_the_type():
    assert build_col(TblCustomKey.custom_key) == "   `custom_key` SERIAL,\n"


@pytest.mark.parametrize("value, text", [
    (b"\x01", "1"), (b"\x00", "0"), (b"", "0"), (b"\x01\x01", "0"),
    ("bob", "'bob'"), ("O'Brien", "'O''Brien'"), ("''", "''''''"), ("", "''"),
    ("x'); DROP TABLE user; --", "'x''); DROP TABLE user; --'"),
    (5, "5"), (1.5, "1.5"), (decimal.Decimal("2.50"), "2.50"),
    # None is NULL: the text None made SQLite store the string 'None' and MariaDB refuse the table.
    (None, "NULL"),
])
def test_process_value(value, text):
    assert _processValue(value) == text


def test_default_errors_propagate():
    with pytest.raises(ValueError, match="no stored form"):
        build_col(TblShapes.failing)
    with pytest.raises(ValueError, match="no stored form"):
        TableGenerator(TblShapes).Build()


def test_generator_default_build_is_virtual():
    class Announce(CustomColAnnounce):
        def Build(self):
            return ("NOW()", None)

    class Loose(DataModel):
        tableName = "loose"
        at = DateTimeProperty(default=Announce("ignored"))
        odd = IntegerProperty(default=CustomSqlGenerator("7", ()))
    assert buildDefault(Loose.at) == "NOW()"
    assert build_col(Loose.odd) == "   `odd` INT NOT NULL DEFAULT 7,\n"


def test_generator_default_text_must_be_text():
    class Loose2(DataModel):
        tableName = "loose2"
        odd = IntegerProperty(default=CustomSqlGenerator(None, ()))
        bad = IntegerProperty(default=CustomColAnnounce(None))
    assert buildDefault(Loose2.odd) is None
    with pytest.raises(TypeError):
        build_col(Loose2.odd)
    with pytest.raises(TypeError):
        build_col(Loose2.bad)


def fake_model(cols=(), pk=None, name="user"):
    return types.SimpleNamespace(tableName=name, col=list(cols), pkCol=pk)


class TestTableShapes:
    def test_no_columns_no_key(self):
        assert TableGenerator(fake_model()).Build() == ("CREATE TABLE user( \n) ;",)

    def test_no_key_last_line_loses_comma(self):
        text, = TableGenerator(model=fake_model([TblShapes.plain, TblShapes.five])).Build()
        assert text == "CREATE TABLE user( \n   `plain` INT NOT NULL ,\n   `five` INT NOT NULL DEFAULT 5\n) ;"

    def test_key_line_is_last(self):
        text, = TableGenerator(fake_model([TblShapes.plain], pk=TblShapes.plain, name="t")).Build()
        assert text == "CREATE TABLE t( \n   `plain` INT NOT NULL ,\n   constraint t_pk PRIMARY KEY (plain)\n) ;"

    def test_col_is_read_for_every_column(self):
        class Counting:
            tableName = "c"
            pkCol = None
            reads = 0

            @property
            def col(self):
                Counting.reads += 1
                return [TblShapes.plain, TblShapes.five]
        TableGenerator(Counting()).Build()
        assert Counting.reads == 3  # once for the length, then once per column

    @pytest.mark.parametrize("entry", ["plain", None, 3])
    def test_columns_must_be_properties(self, entry):
        with pytest.raises(TypeError, match="Cannot convert"):
            TableGenerator(fake_model([TblShapes.plain, entry])).Build()

    @pytest.mark.parametrize("missing", ["tableName", "col", "pkCol"])
    def test_missing_model_attributes(self, missing):
        model = fake_model()
        delattr(model, missing)
        with pytest.raises(AttributeError):
            TableGenerator(model).Build()

    def test_connector_errors_propagate(self, use_connector):
        class NoAuto:
            isAsync, con_type, getCon = False, 0, None

            def autoFiledAnnounce(self, col):
                raise NotImplementedError("no auto increment here")
        use_connector(NoAuto())
        with pytest.raises(NotImplementedError):
            TableGenerator(TblUser).Build()

    def test_argument_checks(self):
        with pytest.raises(TypeError):
            TableGenerator()
        with pytest.raises(TypeError, match="Argument 'col' has incorrect type"):
            build_col("id")
        with pytest.raises(TypeError, match="Argument 'col' has incorrect type"):
            buildDefault(None)


def test_build_default_cases(use_connector):
    use_connector(announce="AUTO")
    assert buildDefault(TblShapes.key) == "INT NOT NULL "
    assert buildDefault(TblUser.id) == "AUTO"
    assert buildDefault(TblShapes.quoted) == "'O''Brien'"
    assert buildDefault(TblShapes.nothing) == ""
    assert buildDefault(TblShapes.stamped) == "CURRENT_TIMESTAMP"
    assert buildDefault(TblCustomKey.custom_key) == "SERIAL"


# ---------------------------------------------------------------------------
# The statement creates its table for real.
# ---------------------------------------------------------------------------

class TblEvery(DataModel):
    tableName = "tbl_every"
    id = BigIntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    i = IntegerProperty(default=5)
    big = BigIntegerProperty(nullable=True, default=2**40)
    flag = BooleanProperty(default=True)
    data = BytesProperty(nullable=True)
    day = DateProperty(default=datetime.date(2020, 1, 2))
    moment = DateTimeProperty(default=datetime.datetime(2020, 1, 2, 3, 4, 5))
    money = DecimalProperty(10, 2, default=decimal.Decimal("1.50"))
    ratio = FloatProperty(default=1.5)
    body = TextProperty(nullable=True)
    label = VarcharProperty(20, default="O'Brien")
    note = VarcharProperty(20, nullable=True, default=NullDefault)


class TblPlainKey(DataModel):
    tableName = "tbl_plain_key"
    code = VarcharProperty(8, isPrimaryKey=True)
    amount = IntegerProperty(nullable=True)


EXPECTED_DEFAULTS = {"i": 5, "big": 2**40, "label": "O'Brien", "note": None, "body": None, "data": None}


def test_creates_on_sqlite(use_connector):
    use_connector(Sqlite3Connector())
    with contextlib.closing(sqlite3.connect(":memory:")) as con:
        for model in (TblEvery, TblPlainKey):
            con.execute(TableGenerator(model).Build()[0])
        con.execute("INSERT INTO tbl_every DEFAULT VALUES")
        con.execute("INSERT INTO tbl_every DEFAULT VALUES")
        rows = con.execute("SELECT id, i, big, label, note, body, data, ratio FROM tbl_every ORDER BY id").fetchall()
        assert [r[0] for r in rows] == [1, 2]
        assert rows[0][1:7] == tuple(EXPECTED_DEFAULTS[k] for k in ("i", "big", "label", "note", "body", "data"))
        assert rows[0][7] == 1.5
        con.execute("INSERT INTO tbl_plain_key (code) VALUES ('a')")
        with pytest.raises(sqlite3.IntegrityError):
            con.execute("INSERT INTO tbl_plain_key (code) VALUES ('a')")


def test_creates_on_mariadb(use_connector, mariadb_clean):
    pymysql = pytest.importorskip("pymysql")
    use_connector(MysqlConnector())
    with contextlib.closing(pymysql.connect(**mariadb_clean)) as con, con.cursor() as cur:
        for model in (TblEvery, TblPlainKey):
            cur.execute(TableGenerator(model).Build()[0])
        cur.execute("INSERT INTO tbl_every () VALUES ()")
        cur.execute("INSERT INTO tbl_every () VALUES ()")
        cur.execute("SELECT id, i, big, label, note, body, data, ratio, money, day, moment, flag "
                    "FROM tbl_every ORDER BY id")
        rows = cur.fetchall()
        assert [r[0] for r in rows] == [1, 2]
        assert rows[0][1:7] == tuple(EXPECTED_DEFAULTS[k] for k in ("i", "big", "label", "note", "body", "data"))
        assert rows[0][7:11] == (1.5, decimal.Decimal("1.50"), datetime.date(2020, 1, 2),
                                 datetime.datetime(2020, 1, 2, 3, 4, 5))
        assert rows[0][11] == b"\x01"
        cur.execute("INSERT INTO tbl_plain_key (code) VALUES ('a')")
        with pytest.raises(pymysql.IntegrityError):
            cur.execute("INSERT INTO tbl_plain_key (code) VALUES ('a')")
