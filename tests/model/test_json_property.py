"""JsonProperty on each connector (SQLite, MariaDB, aiosqlite, aiomysql):
values stored as JSON text and read back as the values they were, in save,
update and conditions; None as NULL; values json cannot write refused before
anything is sent; text that is not JSON reported with the column's name; the
column's type text per database."""

import json
import re
import sys
from pathlib import Path

import pytest

from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, JsonProperty, VarcharProperty

# The four-connector backends of the reliability tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "reliability"))
from reliability_support import installed, make_backend  # noqa: E402


class Doc(DataModel):
    tableName = "json_doc"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    label = VarcharProperty(20, nullable=True)
    data = JsonProperty(nullable=True)


class Foreign(DataModel):
    """A table written by someone else: its column is plain text, so it may
    hold anything."""
    tableName = "json_foreign"
    id = IntegerProperty(isPrimaryKey=True)
    data = JsonProperty(nullable=True)


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def store(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(Doc)
            yield current
        finally:
            current.close()


def done(store, result):
    """The executor's result: awaited on the asyncio connectors."""
    return store.run(result) if store.is_async else result


def save(store, **fields):
    return done(store, Doc.getExecutor().save(Doc(**fields)))


def find(store, condition=None):
    executor = Doc.getExecutor()
    return done(store, executor.findAllBy() if condition is None else executor.findAllBy(condition))


def stored_text(store, row_id):
    return store.rows("SELECT data FROM json_doc WHERE id = %s", (row_id,))[0][0]


# Each value with the text it is stored as. Numbers and number-like strings
# must come back as what they were: a column with numeric affinity would
# turn "10" or 1.0 into another value.
VALUES = {
    "object": ({"name": "ann", "tags": ["a", "b"], "n": {"deep": [1, 2.5, None, True]}},
               '{"name":"ann","tags":["a","b"],"n":{"deep":[1,2.5,null,true]}}'),
    "keys-in-given-order": ({"z": 1, "a": 2, "m": 3}, '{"z":1,"a":2,"m":3}'),
    "list": ([1, "two", [3], {}], '[1,"two",[3],{}]'),
    "empty-object": ({}, "{}"),
    "empty-list": ([], "[]"),
    "string": ("hello", '"hello"'),
    "string-of-json": ('{"a": 1}', '"{\\"a\\": 1}"'),
    "string-of-digits": ("10", '"10"'),
    "empty-string": ("", '""'),
    "non-ascii": ({"städt": "東京 – ok"}, '{"städt":"東京 – ok"}'),
    "quotes-and-placeholders": (["it's", "%s", "\\"], '["it\'s","%s","\\\\"]'),
    "integer": (10, "10"),
    "big-integer": (2**70, str(2**70)),
    "float": (1.0, "1.0"),
    "fraction": (0.1, "0.1"),
    "true": (True, "true"),
    "false": (False, "false"),
}


@pytest.mark.parametrize("value, text", list(VALUES.values()), ids=list(VALUES))
def test_value_stored_as_json_text_and_read_back(store, value, text):
    saved = save(store, label="x", data=value)
    assert stored_text(store, saved["id"]) == text
    [row] = find(store)
    assert row["data"] == value and type(row["data"]) is type(value)
    assert json.dumps(row["data"]) == json.dumps(value)  # key order too


def test_update_writes_json_text(store):
    saved = save(store, label="x", data={"v": 1})
    saved["data"] = ["now", "a", "list"]
    done(store, Doc.getExecutor().update(saved))
    assert stored_text(store, saved["id"]) == '["now","a","list"]'
    assert [row["data"] for row in find(store)] == [["now", "a", "list"]]
    saved["data"] = "plain"
    done(store, Doc.getExecutor().update(saved))
    assert [row["data"] for row in find(store)] == ["plain"]


def test_none_is_null(store):
    saved = save(store, label="x", data=None)
    assert stored_text(store, saved["id"]) is None
    assert [row["data"] for row in find(store)] == [None]


def test_equality_and_in_compare_the_stored_text(store):
    first = save(store, label="a", data={"a": 1, "b": [2]})
    second = save(store, label="b", data="a")
    third = save(store, label="c", data=[1, 2])
    assert [row["id"] for row in find(store, Doc.data == {"a": 1, "b": [2]})] == [first["id"]]
    assert [row["id"] for row in find(store, Doc.data == "a")] == [second["id"]]
    # The same object written with its keys in another order is another text.
    assert find(store, Doc.data == {"b": [2], "a": 1}) == []
    found = find(store, Doc.data.In([[1, 2], "a", {"none": 0}]))
    assert sorted(row["id"] for row in found) == [second["id"], third["id"]]
    assert [row["id"] for row in find(store, Doc.data != "a")] == [first["id"], third["id"]]


class Opaque:
    pass


def circular():
    items = []
    items.append(items)
    return items


REFUSED = {
    "set": ({1, 2}, "Object of type set is not JSON serializable"),
    "object": (Opaque(), "Object of type Opaque is not JSON serializable"),
    "bytes": (b"raw", "Object of type bytes is not JSON serializable"),
    "nested-set": ({"a": [{"b": {1}}]}, "Object of type set is not JSON serializable"),
    "tuple-key": ({(1, 2): 3}, "keys must be str, int, float, bool or None, not tuple"),
    "nan": (float("nan"), "Out of range float values are not JSON compliant: nan"),
    "infinity": ([float("inf")], "Out of range float values are not JSON compliant: inf"),
    "circular": (circular(), "Circular reference detected"),
}


@pytest.mark.parametrize("value, reason", list(REFUSED.values()), ids=list(REFUSED))
def test_value_json_cannot_write_refused_before_anything_is_sent(store, value, reason):
    message = f"JsonProperty 'data' takes JSON-serialisable values: {reason}"
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        save(store, label="x", data=value)
    assert store.count(Doc) == 0
    kept = save(store, label="kept", data={"ok": True})
    kept["data"] = value
    with pytest.raises(TypeError, match=re.escape(message)):
        done(store, Doc.getExecutor().update(kept))
    assert stored_text(store, kept["id"]) == '{"ok":true}'
    with pytest.raises(TypeError, match=re.escape(message)):
        find(store, Doc.data == value)
    with pytest.raises(TypeError, match=re.escape(message)):
        Doc.data.In(["fine", value])
    assert [row["data"] for row in find(store)] == [{"ok": True}]


@pytest.fixture
def foreign(store):
    """The json_foreign table with a text column (MariaDB's JSON type would
    refuse text that is not JSON) and rows written by raw SQL."""
    text_type = "LONGTEXT" if store.mysql else "TEXT"
    cur = store.raw.cursor()
    try:
        cur.execute(f"CREATE TABLE json_foreign (id INT PRIMARY KEY, data {text_type} NULL)")
    finally:
        cur.close()
        store.raw.commit()

    def write(*rows):
        cur = store.raw.cursor()
        marker = "%s" if store.mysql else "?"
        try:
            for row in rows:
                cur.execute(f"INSERT INTO json_foreign (id, data) VALUES ({marker}, {marker})", row)
        finally:
            cur.close()
            store.raw.commit()
    return write


@pytest.mark.parametrize("text", ["not json", "{'single': 'quotes'}", "[1, 2", "NaN-ish", ""],
                         ids=["words", "single-quotes", "unclosed", "nan-ish", "empty"])
def test_text_that_is_not_json_is_an_error_naming_the_column(store, foreign, text):
    foreign((1, '{"good": 1}'), (2, text))
    with pytest.raises(ValueError, match="^JsonProperty 'data' read back a value that is not JSON: ") as caught:
        done(store, Foreign.getExecutor().findAllBy())
    assert isinstance(caught.value.__cause__, json.JSONDecodeError)
    [good] = done(store, Foreign.getExecutor().findAllBy(Foreign.id == 1))
    assert good["data"] == {"good": 1}


def test_column_type_text_per_database(store):
    line = TableGenerator(Doc).Build()[0].splitlines()[3]
    # SQLite: TEXT, since a column declared JSON there has numeric affinity.
    assert line == ("   `data` JSON NULL ," if store.mysql else "   `data` TEXT NULL ,")


def test_mariadb_json_column_checks_its_text(store):
    if not store.mysql:
        pytest.skip("SQLite's TEXT column takes any text")
    cur = store.raw.cursor()
    try:
        with pytest.raises(Exception, match="CONSTRAINT"):
            cur.execute("INSERT INTO json_doc (label, data) VALUES ('x', 'not json')")
    finally:
        cur.close()
        store.raw.rollback()


# --- without a database ------------------------------------------------------------


def test_constructor_keeps_the_applications_values():
    # A mapping or keywords hold Python values: a str is a JSON string.
    assert Doc(data='{"a": 1}')["data"] == '{"a": 1}'
    assert Doc({"id": 1, "data": "plain"})["data"] == "plain"
    assert Doc(data={"a": 1})["data"] == {"a": 1}
    # A row is what a driver returns: JSON text.
    assert Doc((1, "x", '{"a": 1}'))["data"] == {"a": 1}
    assert Doc((1, "x", None))["data"] is None


@pytest.mark.parametrize("driver, value", [
    ('{"a":[1,2]}', {"a": [1, 2]}),
    (b'{"a":"\xc3\xa9"}', {"a": "é"}),
    (bytearray(b"[true]"), [True]),
    ('"text"', "text"),
    ("3", 3),
    (4.5, 4.5),
    (None, None),
], ids=["str", "bytes", "bytearray", "json-string", "number-text", "number", "null"])
def test_from_db_value(driver, value):
    assert Doc.data.fromDBValue(driver) == value


def test_to_db_value():
    assert Doc.data.toDBValue({"é": [1, None]}) == '{"é":[1,null]}'
    assert Doc.data.toDBValue("é") == '"é"'
    assert Doc.data.toDBValue(None) is None
    with pytest.raises(TypeError, match="^JsonProperty takes JSON-serialisable values"):
        JsonProperty().toDBValue({1})


def test_default_rendered_as_json_text():
    class WithDefault(DataModel):
        tableName = "json_default"
        id = IntegerProperty(isPrimaryKey=True)
        data = JsonProperty(default={"a": [1]})
    assert "   `data` JSON NOT NULL DEFAULT '{\"a\":[1]}',\n" in _table_text_on_mysql(WithDefault)


def _table_text_on_mysql(model):
    from Tessary.DB.Connector import MysqlConnector
    with installed(MysqlConnector(host="127.0.0.1", user="nobody", database="none")):
        return TableGenerator(model).Build()[0]
