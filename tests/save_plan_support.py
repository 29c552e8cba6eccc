"""What the tests of save's cached plan share, synchronous and coroutine: the
models, declared once per test module with a table prefix of its own (the
modules share one MariaDB database), and the statement-log records."""

import logging

import pytest

from Tessary.Model import Carrack
from Tessary.Model.DataModel import DataModel, ModelMeta
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    BooleanProperty,
    DateProperty,
    DateTimeProperty,
    DecimalProperty,
    FloatProperty,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    JsonProperty,
    VarcharProperty,
)

LOGGER = logging.getLogger("Tessary.sql")


class Upper(VarcharProperty):
    """A column class of the application's: its own conversion, counted."""
    calls = 0

    def toDBValue(self, value):
        Upper.calls += 1
        return str(value).upper()


def _key():
    return IntegerProperty(isPrimaryKey=True, default=AutoIncrement)


def declare(prefix):
    """(Wide, Timed, Custom, Owner, Item) with tables "<prefix>_wide", ...
    and class names "<Prefix>Wide", ... (relations name their target class)."""
    title = prefix.capitalize()

    def model(kind, /, **columns):
        return ModelMeta(f"{title}{kind}", (DataModel,), {"tableName": f"{prefix}_{kind.lower()}", "id": _key(), **columns})

    wide = model("Wide", name=VarcharProperty(32, default="nobody"), age=IntegerProperty(nullable=True, default=7),
                 score=FloatProperty(nullable=True), price=DecimalProperty(10, 2, nullable=True),
                 active=BooleanProperty(nullable=True))
    timed = model("Timed", at=DateTimeProperty(nullable=True), day=DateProperty(nullable=True),
                  data=JsonProperty(nullable=True))
    custom = model("Custom", code=Upper(16, nullable=True), note=VarcharProperty(16, nullable=True))
    owner = model("Owner", name=VarcharProperty(16, nullable=True),
                  items=ForeignKey(ForeignType.ONE_TO_MANY, f"{title}Item", bindCol="id", targetBindCol="owner_id"))
    item = model("Item", owner_id=IntegerProperty(nullable=True), label=VarcharProperty(16, nullable=True))
    return wide, timed, custom, owner, item


class Kept(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def sent():
    """Every record of the statement log while the test runs, its plans cleared first."""
    saved = LOGGER.level, list(LOGGER.handlers), LOGGER.propagate
    kept = Kept()
    LOGGER.handlers[:] = [kept]
    LOGGER.propagate = False
    LOGGER.setLevel(logging.DEBUG)
    Carrack._clearSavePlans()
    try:
        yield kept.records
    finally:
        LOGGER.setLevel(saved[0])
        LOGGER.handlers[:] = saved[1]
        LOGGER.propagate = saved[2]
