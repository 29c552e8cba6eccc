"""INSERT, UPDATE and DELETE statements and their state rules."""

import sys
import types

import pytest

from Tessary.DB.Generator import SetSQLError, SqlGenerator, SqlInStanceError


def entries(models, **values):
    U = models.User
    return [{"col": getattr(U, name), "value": v} for name, v in values.items()]


class TestInsert:
    @pytest.mark.parametrize("con_type, text", [
        (0, "INSERT INTO user (user.id,user.name) values (%s,%s);"),
        (1, "INSERT INTO user ('id','name') values (%s,%s);"),
        (7, "INSERT INTO user () values (%s,%s);"),
    ])
    def test_worked_examples(self, models, use_connector, con_type, text):
        use_connector(con_type=con_type)
        sql = SqlGenerator().insert(models.User).values(*entries(models, id=1, name="ann"))
        assert sql.Build() == (text, (1, "ann"))

    def test_no_entries(self, models, use_connector):
        use_connector(con_type=0)
        assert SqlGenerator().insert("user").values().Build() == ("INSERT INTO user () values ();", ())

    def test_entries_from_the_model_layer(self, models, use_connector):
        use_connector(con_type=0)
        U = models.User
        sql = SqlGenerator().insert(U).values(U.name.insertCell("zed"), U.age.insertCell(4))
        assert sql.Build() == ("INSERT INTO user (user.name,user.age) values (%s,%s);", ("zed", 4))

    def test_missing_value_inserts_none(self, models, use_connector):
        use_connector(con_type=1)
        sql = SqlGenerator().insert("user").values({"col": models.User.name}, {"col": models.User.id, "value": 2})
        assert sql.Build() == ("INSERT INTO user ('name','id') values (%s,%s);", (None, 2))

    @pytest.mark.parametrize("make_entry", [
        lambda col, value: {"col": col, "value": value},
        lambda col, value: {"value": value, "col": col},
        lambda col, value: {"col": col, "value": value, "note": "extra"},
        lambda col, value: {"".join(["c", "ol"]): col, "".join(["val", "ue"]): value},
        lambda col, value: type("Cell", (dict,), {})(col=col, value=value),
    ], ids=["cell", "other-order", "extra-key", "keys-not-interned", "dict-subclass"])
    def test_every_entry_shape_gives_the_same_statement(self, models, use_connector, make_entry):
        use_connector(con_type=1)
        U = models.User
        sql = SqlGenerator().insert("user").values(make_entry(U.id, 7), make_entry(U.name, "x"))
        assert sql.Build() == ("INSERT INTO user ('id','name') values (%s,%s);", (7, "x"))

    def test_connector_type_is_read_at_build_time(self, models, use_connector):
        connector = use_connector(con_type=0)
        sql = SqlGenerator().insert("user").values(*entries(models, id=1))
        assert sql.Build()[0] == "INSERT INTO user (user.id) values (%s);"
        connector.con_type = 1
        assert sql.Build()[0] == "INSERT INTO user ('id') values (%s);"

    def test_where_is_ignored(self, models, chain, use_connector):
        use_connector(con_type=0)
        sql = SqlGenerator().insert("user").values(*entries(models, id=1))
        sql.where(chain.link(chain.column(models.User.id), 2, chain.value(5)))
        sql.orderBy("x")
        sql.Limit(1, 2)
        assert sql.Build() == ("INSERT INTO user (user.id) values (%s);", (1,))

    @pytest.mark.parametrize("bad, error", [
        (None, "'NoneType' object is not iterable"),
        ([("col", "value")], "Expected dict, got tuple"),
    ])
    def test_bad_entries(self, models, use_connector, bad, error):
        use_connector(con_type=0)
        sql = SqlGenerator().insert("user")
        if bad is not None:
            sql.values(*bad)
        with pytest.raises(TypeError, match=error):
            sql.Build()

    def test_entry_without_col(self, use_connector):
        use_connector(con_type=0)
        with pytest.raises(KeyError):
            SqlGenerator().insert("user").values({"value": 1}).Build()

    def test_handle_errors_propagate(self, models, use_connector):
        class Broken:
            isAsync, getCon = False, None

            @property
            def con_type(self):
                raise RuntimeError("no connector")
        use_connector(Broken())
        with pytest.raises(RuntimeError, match="no connector"):
            SqlGenerator().insert("user").values().Build()

    def test_table_must_be_text(self, use_connector):
        use_connector(con_type=0)
        with pytest.raises(TypeError):
            SqlGenerator().values().build_insert()

    def test_from_failure_leaves_the_kind(self, models, use_connector):
        use_connector(con_type=0)
        sql = SqlGenerator()
        with pytest.raises(AssertionError):
            sql.insert(42)
        with pytest.raises(SqlInStanceError) as raised:
            sql.select()
        assert raised.value.args == (1, 0)


class TestUpdate:
    def test_worked_example(self, models, chain):
        sql = SqlGenerator().update(models.User).set({"name": "name", "value": "n"}, {"name": "age", "value": 3})
        sql.where(chain.link(chain.column(models.User.id), 2, chain.value(9)))
        assert sql.Build() == ("UPDATE user SET `name` = %s,`age` = %s WHERE user.id  =  %s ;", ("n", 3, 9))

    def test_entries_from_the_model_layer(self, models):
        U = models.User
        sql = SqlGenerator().update(U).set(U.name.updateCell("x"))
        assert sql.Build() == ("UPDATE user SET `name` = %s;", ("x",))

    def test_without_set_entries(self, models, chain):
        sql = SqlGenerator().update("user").set()
        assert sql.Build() == ("UPDATE user SET;", ())
        sql.where(chain.link(chain.column(models.User.id), 2, chain.value(1)))
        assert sql.Build() == ("UPDATE user SET WHERE user.id  =  %s ;", (1,))

    def test_update_after_select_changes_the_kind(self, models):
        sql = SqlGenerator().select(models.User.id).From("user")
        assert sql.update("user") is sql
        sql.set({"name": "age", "value": 1})
        assert sql.Build() == ("UPDATE user SET `age` = %s;", (1,))

    def test_set_needs_a_kind_but_any_kind(self, models):
        sql = SqlGenerator()
        with pytest.raises(SetSQLError) as raised:
            sql.set({"name": "age", "value": 1})
        assert raised.value.args == ()
        sql.select(models.User.id)
        assert sql.set({"name": "age", "value": 1}) is sql
        sql.update(target="user")
        assert sql.Build() == ("UPDATE user SET `age` = %s;", (1,))

    @pytest.mark.parametrize("entry, error", [
        ({"value": 1}, KeyError),
        ({"name": "age"}, KeyError),
        (("age", 1), TypeError),
        ({"name": 3, "value": 1}, TypeError),
    ])
    def test_bad_set_entries(self, entry, error):
        with pytest.raises(error):
            SqlGenerator().update("user").set(entry).Build()

    def test_no_set_call(self):
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            SqlGenerator().update("user").Build()

    def test_table_must_be_text(self):
        sql = SqlGenerator().select()
        sql.set()
        with pytest.raises(TypeError):
            sql.build_update()
        with pytest.raises(TypeError):
            sql.build_delete()

    def test_from_failure_leaves_update(self):
        sql = SqlGenerator()
        with pytest.raises(AssertionError):
            sql.update(1.5)
        with pytest.raises(SqlInStanceError) as raised:
            sql.delete("user")
        assert raised.value.args == (3, 2)

    def test_set_takes_no_keywords(self):
        with pytest.raises(TypeError):
            SqlGenerator().update("user").set(entry={})


class TestDelete:
    def test_worked_examples(self, models, chain):
        sql = SqlGenerator().delete(models.User)
        assert sql.Build() == ("DELETE FROM user ", ())
        sql.where(chain.link(chain.column(models.User.id), 2, chain.value(4)))
        assert sql.Build() == ("DELETE FROM user  WHERE user.id  =  %s ", (4,))

    def test_from_failure_leaves_unset(self, models):
        sql = SqlGenerator()
        with pytest.raises(AssertionError):
            sql.delete(target=None)
        assert sql.Build() is None
        sql.select(models.User.id)

    def test_order_and_limit_are_ignored(self):
        sql = SqlGenerator().delete("user")
        sql.orderBy("id")
        sql.Limit(1, 1)
        assert sql.Build() == ("DELETE FROM user ", ())


def test_values_share_the_select_list(models):
    sql = SqlGenerator().select(models.User.id).From("user")
    sql.values({"col": models.User.id, "value": 1})
    with pytest.raises(TypeError, match="Cannot convert dict to"):
        sql.Build()


def python_handle_class(handle):
    class Handle:
        @classmethod
        def getInstance(cls):
            return handle
    return Handle


@pytest.mark.parametrize("make_db", [
    lambda handle: types.SimpleNamespace(getInstance=lambda: handle),
    python_handle_class,
], ids=["namespace", "class"])
def test_minimal_handle_stand_in(models, monkeypatch, make_db):
    """Any module object named Tessary.DB.DB with a DB.getInstance() will do."""
    connector = types.SimpleNamespace(con_type=1)
    handle = types.SimpleNamespace(_connector=connector)
    module = types.ModuleType("Tessary.DB.DB")
    module.DB = make_db(handle)
    monkeypatch.setitem(sys.modules, "Tessary.DB.DB", module)
    sql = SqlGenerator().insert("user").values(*entries(models, id=3))
    assert sql.Build() == ("INSERT INTO user ('id') values (%s);", (3,))
