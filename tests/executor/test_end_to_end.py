"""Per backend: tables made by TableGenerator, rows written by a plain INSERT
builder through the handle, read back by findAllBy with conditions and
compared with what the raw driver returns for the same condition."""

import pytest

from Tessary.DB.DB import DB
from Tessary.DB.Generator import QueryGroup, SqlGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, FilterListCell, IntegerProperty, VarcharProperty


@pytest.fixture(scope="module")
def city():
    class ExCity(DataModel):
        tableName = "ex_city"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(64)
        country = VarcharProperty(2)
        people = IntegerProperty(nullable=True)

    return ExCity


ROWS = [
    ("Lyon", "FR", 516000), ("Lille", "FR", 233000), ("Graz", "AT", 291000),
    ("Linz", "AT", 207000), ("Bern", "CH", None), ("Basel", "CH", 173000), ("O'Hare", "US", 0),
]


@pytest.fixture
def cities(backend, city):
    backend.create(city)
    ex = city.getExecutor()
    for name, country, people in ROWS:
        ex.reset()
        ex.sql.insert(city).values(city.name.insertCell(name), city.country.insertCell(country),
                                   city.people.insertCell(people))
        ex.execute()
    return city


def compare(backend, city, condition, raw_where, raw_args):
    found = city.getExecutor().editSql(lambda sql: sql.orderBy("ex_city.id")).findAllBy(condition)
    raw = backend.rows(f"SELECT id, name, country, people FROM ex_city WHERE {raw_where} ORDER BY id", raw_args)
    assert [tuple(i[c.name] for c in city.col) for i in found] == raw
    assert raw, "the condition should match something"
    return found


@pytest.mark.parametrize("make, raw_where, raw_args", [
    (lambda c: (c.country == "FR") & (c.people > 300000), "country = %s AND people > %s", ("FR", 300000)),
    (lambda c: (c.country == "CH") | (c.people < 210000), "country = %s OR people < %s", ("CH", 210000)),
    (lambda c: c.name.like("L%"), "name LIKE %s", ("L%",)),
    (lambda c: c.country.In(["AT", "US"]), "country IN (%s, %s)", ("AT", "US")),
    (lambda c: (c.people >= 0) & FilterListCell(QueryGroup((c.country == "AT") | (c.country == "US"))),
     "people >= %s AND (country = %s OR country = %s)", (0, "AT", "US")),
    (lambda c: c.name == "O'Hare", "name = %s", ("O'Hare",)),
])
def test_find_all_by_matches_the_driver(backend, cities, make, raw_where, raw_args):
    compare(backend, cities, make(cities), raw_where, raw_args)


def test_rows_written_with_generated_keys(backend, cities):
    assert backend.rows("SELECT id, name FROM ex_city ORDER BY id")[:2] == [(1, "Lyon"), (2, "Lille")]


def test_select_and_insert_texts(backend, cities, statements):
    ex = cities.getExecutor()
    ex.findAllBy(cities.id == 3)
    ex.reset()
    ex.sql.insert(cities).values(cities.name.insertCell("Wien"), cities.country.insertCell("AT"))
    assert ex.execute() == {"id": 8}
    columns = "(ex_city.name,ex_city.country)" if backend.name == "mariadb" else "('name','country')"
    assert statements == [
        ("SELECT ex_city.id,ex_city.name,ex_city.country,ex_city.people FROM ex_city "
         "WHERE ex_city.id  =  %s  ;", (3,)),
        (f"INSERT INTO ex_city {columns} values (%s,%s);", ("Wien", "AT")),
    ]


def test_execute_sql_returns_the_rows(backend, cities):
    rows = DB.getInstance().executeSql("SELECT name FROM ex_city WHERE people = %s", (0,))
    assert [tuple(r) for r in rows] == [("O'Hare",)]


def test_builder_used_directly(backend, cities):
    sql, args = SqlGenerator().select(cities.name).From(cities).where(cities.country == "CH").Build()
    assert [tuple(r) for r in DB.getInstance().executeSql(sql, args)] == [("Bern",), ("Basel",)]
