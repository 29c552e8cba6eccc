"""The statement builder core: kinds, SELECT, ordering, limit, Build."""

import pytest

from Tessary.DB.Generator import (
    BaseSqlGenerator,
    SqlGenerator,
    SqlInStanceError,
    sqlType,
)


def select_user(models, *cols):
    sql = SqlGenerator()
    sql.select(*(cols or (models.User.id, models.User.name))).From("user")
    return sql


def test_kind_numbers_are_fixed():
    assert {m.name: int(m) for m in sqlType} == {"SELECT": 0, "INSERT": 1, "DELETE": 2, "UPDATE": 3, "UNSET": 4}


def test_fresh_builder_builds_nothing():
    assert SqlGenerator().Build() is None


def test_worked_example(models, chain):
    U = models.User
    sql = SqlGenerator().select(U.id, U.name).From(U).where(chain.link(chain.column(U.id), 2, chain.value(7)))
    assert sql.orderBy("user.id desc") is None
    assert sql.Limit(10, 20) is sql
    assert sql.Build() == (
        "SELECT user.id,user.name FROM user WHERE user.id  =  %s  order by user.id desc limit 20, 10;", (7,))


@pytest.mark.parametrize("cols, text", [
    (("id", "name"), "SELECT user.id,user.name FROM user ;"),
    (("id", None, "name"), "SELECT user.id,user.name FROM user ;"),
    ((None, "id"), "SELECT user.id FROM user ;"),
    ((), "SELECT  FROM user ;"),
])
def test_select_list(models, cols, text):
    props = [getattr(models.User, c) if c else None for c in cols]
    sql = SqlGenerator().select(*props)
    sql.From("user")
    assert sql.Build() == (text, ())


def test_select_rejects_what_is_not_a_column(models):
    sql = SqlGenerator().select(models.User.id, "user.name").From("user")
    with pytest.raises(TypeError, match="Cannot convert str to"):
        sql.Build()


class Table(str):
    pass


@pytest.mark.parametrize("target, stored", [("user", "user"), (Table("t2"), "t2")])
def test_from_string_is_stored_unchanged(models, target, stored):
    sql = select_user(models).From(target)
    assert sql.Build()[0].endswith(f" FROM {stored} ;")


def test_from_model_class_stores_its_table(models):
    sql = SqlGenerator().select(models.Order.id).From(models.Order)
    assert sql.Build() == ('SELECT `order`.id FROM `order` ;', ())  # a reserved word, quoted


@pytest.mark.parametrize("target", [3, None, object, dict])
def test_from_rejects_other_targets(models, target):
    sql = select_user(models)
    with pytest.raises(AssertionError, match="^Form仅支持字符串或者DataModel子类$"):
        sql.From(target)
    assert sql.Build()[0].endswith(" FROM user ;")


def test_from_without_assertions_reads_table_name(tmp_path):
    script = tmp_path / "no_assert.py"
    script.write_text(
        "from Tessary.DB.Generator import SqlGenerator\n"
        "class Fake:\n"
        "    tableName = 'fake'\n"
        "sql = SqlGenerator()\n"
        "sql.select().From(Fake)\n"
        "print(sql.Build()[0])\n"
        "try:\n"
        "    sql.From(3)\n"
        "except AttributeError as e:\n"
        "    print('AttributeError')\n")
    import subprocess, sys
    out = subprocess.run([sys.executable, "-O", str(script)], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["SELECT  FROM fake ;", "AttributeError"]


def test_select_needs_a_table(models):
    sql = SqlGenerator().select(models.User.id)
    with pytest.raises(TypeError):
        sql.Build()


@pytest.mark.parametrize("first, second, error_args", [
    ("select", "select", (0, 0)),
    ("insert", "select", (1, 0)),
    ("delete", "select", (2, 0)),
    ("update", "select", (3, 0)),
    ("select", "insert", (0, 1)),
    ("update", "insert", (3, 1)),
    ("select", "delete", (0, 2)),
    ("insert", "delete", (1, 2)),
])
def test_statement_kind_is_chosen_once(models, use_connector, first, second, error_args):
    use_connector(con_type=0)
    sql = SqlGenerator()
    choose = {"select": lambda: sql.select(models.User.id).From("user"),
              "insert": lambda: sql.insert("user").values(),
              "delete": lambda: sql.delete("user"),
              "update": lambda: sql.update("user").set()}
    choose[first]()
    before = sql.Build()
    with pytest.raises(SqlInStanceError) as raised:
        choose[second]()
    assert raised.value.args == error_args
    assert sql.Build() == before


@pytest.mark.parametrize("count, offset, text", [(10, 20, " limit 20, 10"), (10, 0, " limit 0, 10"),
                                                 (-1, 2**31 - 1, " limit 2147483647, -1")])
def test_limit(models, count, offset, text):
    sql = select_user(models)
    assert sql.Limit(count, offset) is sql
    assert sql.Build()[0] == "SELECT user.id,user.name FROM user" + text + ";"


def test_later_limit_replaces_earlier(models):
    sql = select_user(models)
    sql.Limit(1, 2)
    sql.Limit(count=3, offset=4)
    assert sql.Build()[0].endswith(" limit 4, 3;")


@pytest.mark.parametrize("count, offset, error", [
    ("1", 0, TypeError), (1.5, 0, TypeError), (None, 0, TypeError),
    (2**31, 0, OverflowError), (0, -2**31 - 1, OverflowError),
])
def test_limit_conversion_errors(models, count, offset, error):
    sql = select_user(models)
    with pytest.raises(error):
        sql.Limit(count, offset)
    assert sql.Build()[0].endswith("FROM user ;")


def test_limit_argument_count():
    with pytest.raises(TypeError, match=r"Limit\(\) takes exactly 2 positional arguments \(1 given\)"):
        SqlGenerator().Limit(1)


@pytest.mark.parametrize("items, text", [
    ((), ""),
    (("user.id desc",), " order by user.id desc"),
    (("a desc", "b"), " order by a desc, b"),
])
def test_order(models, items, text):
    sql = select_user(models)
    assert sql.orderBy(*items) is None
    assert sql.Build()[0] == "SELECT user.id,user.name FROM user" + text + " ;"
    assert SqlGenerator.build_order(items) == text


def test_order_replaces_and_empties(models):
    sql = select_user(models)
    sql.orderBy("a", "b")
    sql.orderBy()
    assert sql.Build()[0] == "SELECT user.id,user.name FROM user ;"


def test_build_order_edge_cases():
    assert SqlGenerator.build_order(None) == ""
    with pytest.raises(TypeError):
        SqlGenerator.build_order(("a", 3))
    with pytest.raises(TypeError, match="Argument 'orderList' has incorrect type"):
        SqlGenerator.build_order(["a"])


def test_build_is_repeatable(models, chain):
    U = models.User
    sql = select_user(models).where(chain.link(chain.column(U.name), 2, chain.value("x")))
    sql.orderBy("user.id")
    assert sql.Build() == sql.Build() == sql.build_select()


def test_base_generator_has_no_public_build():
    assert not hasattr(BaseSqlGenerator(), "Build")


def test_repeated_texts_are_shared_and_never_confused(models):
    """Builds of one shape hand back one str; texts that differ anywhere, even
    in one character of the same length, keep their own text."""
    U = models.User

    def text(limit, column, op):
        sql = SqlGenerator().select(U.id).From(U).where(op(column, 1))
        return sql.Limit(limit, 0).Build()[0]

    shapes = [(limit, column, op) for limit in (10, 20, 30, 11) for column in (U.id, U.name)
              for op in (lambda c, v: c == v, lambda c, v: c > v)]
    first = [text(*shape) for shape in shapes]
    assert len(set(first)) == len(shapes)
    for _ in range(3):
        assert [text(*shape) for shape in shapes] == first
    assert all(text(*shape) is text(*shape) for shape in shapes)
    long_text = SqlGenerator().select(*[U.id] * 400).From(U).Build()[0]
    assert len(long_text) > 2048 and long_text == SqlGenerator().select(*[U.id] * 400).From(U).Build()[0]
