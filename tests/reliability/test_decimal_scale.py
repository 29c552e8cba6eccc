"""A DecimalProperty column keeps its declared scale and every digit on each
connector: the column writes each number as its text at the declared scale and
values read back quantized; SQLite declares a column wider than its 15 exact
digits with text affinity, a narrower one keeps numeric affinity (and numeric
order)."""

import decimal
from decimal import Decimal

import pytest

from Tessary.DB.Generator import TableGenerator
from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, DecimalProperty, IntegerProperty

from reliability_support import installed, make_backend


class Priced(DataModel):
    tableName = "priced"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    price = DecimalProperty(10, 2, nullable=True)
    exact = DecimalProperty(30, 10, nullable=True)
    whole = DecimalProperty(12, nullable=True)


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def store(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(Priced)
            yield current
        finally:
            current.close()


def done(store, result):
    return store.run(result) if store.is_async else result


def read_all(store):
    return done(store, Priced.getExecutor().findAllBy())


LONG = Decimal("12345678901234567890.0123456789")


def test_scale_and_digits_survive_the_round_trip(store):
    done(store, Priced.getExecutor().save(Priced(price=Decimal("10.50"), exact=LONG, whole=Decimal("7"))))
    done(store, Priced.getExecutor().save(Priced(price=Decimal("10.5"), exact=Decimal("0.1"), whole=3)))
    first, second = read_all(store)
    assert [str(first["price"]), str(first["exact"]), str(first["whole"])] == [
        "10.50", "12345678901234567890.0123456789", "7"]
    assert [str(second["price"]), str(second["exact"]), str(second["whole"])] == ["10.50", "0.1000000000", "3"]
    assert all(type(v) is Decimal for row in (first, second) for k, v in row.items() if k != "id")


def test_numbers_given_in_other_forms_are_stored_at_the_scale(store):
    for value in (3, 2.5, "4.1", Decimal("1.005")):
        done(store, Priced.getExecutor().save(Priced(price=value)))
    assert [str(row["price"]) for row in read_all(store)] == ["3.00", "2.50", "4.10", "1.01"]


def test_equality_finds_the_row_whatever_form_the_number_has(store):
    done(store, Priced.getExecutor().save(Priced(price=Decimal("10.50"), exact=LONG)))
    done(store, Priced.getExecutor().save(Priced(price=Decimal("3"), exact=Decimal("1"))))
    for condition in [Priced.price == Decimal("10.5"), Priced.price == Decimal("10.50"), Priced.price == 10.5,
                      Priced.exact == LONG, Priced.price.In([Decimal("10.5"), 99])]:
        assert [row["id"] for row in done(store, Priced.getExecutor().findAllBy(condition))] == [1]
    assert [row["id"] for row in done(store, Priced.getExecutor().findAllBy(Priced.price == 3))] == [2]


def test_null_stays_null(store):
    done(store, Priced.getExecutor().save(Priced(price=None, whole=1)))
    assert read_all(store)[0]["price"] is None


def test_from_db_value_quantizes_what_a_driver_returns():
    assert str(Priced.price.fromDBValue(10.5)) == "10.50"
    assert str(Priced.price.fromDBValue("7")) == "7.00"
    assert str(Priced.price.fromDBValue(b"1.2")) == "1.20"
    assert str(Priced.whole.fromDBValue(Decimal("4"))) == "4"
    assert str(DecimalProperty().fromDBValue(10.5)) == "10.5"   # no declared scale: as read
    assert Priced.price.fromDBValue(Decimal("Infinity")) == Decimal("Infinity")


def test_to_db_value_without_a_scale_keeps_the_text():
    assert DecimalProperty().toDBValue(Decimal("1.10")) == "1.10"
    assert DecimalProperty().toDBValue(2) == 2
    assert Priced.price.toDBValue("not a number") == "not a number"


def test_sqlite_declares_only_wide_columns_with_text_affinity(store):
    price, exact = TableGenerator.build_col(Priced.price), TableGenerator.build_col(Priced.exact)
    if store.mysql:
        assert (price, exact) == ("   `price` DECIMAL(10, 2) NULL ,\n", "   `exact` DECIMAL(30, 10) NULL ,\n")
    else:
        assert (price, exact) == ("   `price` DECIMAL(10, 2) NULL ,\n", "   `exact` DECIMAL TEXT(30, 10) NULL ,\n")
        done(store, Priced.getExecutor().save(Priced(price=Decimal("10.50"), exact=LONG)))
        assert store.rows("SELECT typeof(price), typeof(exact) FROM priced") == [("real", "text")]


def test_columns_of_up_to_15_digits_compare_and_order_as_numbers(store):
    for value in ["9.50", "10.00", "100.25", "-3.10"]:
        done(store, Priced.getExecutor().save(Priced(price=Decimal(value))))
    cheap = done(store, Priced.getExecutor().findAllBy(Priced.price < Decimal("10")))
    assert sorted(str(row["price"]) for row in cheap) == ["-3.10", "9.50"]
    ordered = store.rows("SELECT price FROM priced ORDER BY price")
    assert [Decimal(str(v)).quantize(Decimal("0.01")) for (v,) in ordered] == [
        Decimal("-3.10"), Decimal("9.50"), Decimal("10.00"), Decimal("100.25")]
