"""Models, chains and a connector stand-in shared by the statement-builder tests."""

import types

import pytest

from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    FilterListCell,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)


class StubConnector:
    """Just what the builder reads from a connector: the INSERT column style
    and the auto-increment key text (and getCon, without which the handle
    takes no connector)."""

    isAsync = False

    def __init__(self, con_type=0, announce="A"):
        self.con_type = con_type
        self.announce = announce
        self.announced = []

    def autoFiledAnnounce(self, col):
        self.announced.append(col)
        return self.announce

    def getCon(self):
        raise NotImplementedError("the statement-builder tests run no statement")


@pytest.fixture
def use_connector():
    """Installs a connector on the database handle for one test, then puts the
    previous one back."""
    handle = DB.getInstance()
    previous = handle.connector

    def install(connector=None, **kwargs):
        handle.connector = connector if connector is not None else StubConnector(**kwargs)
        return handle.connector

    yield install
    handle.connector = previous


def _declare_models():
    class User(DataModel):
        tableName = "user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(64, nullable=True, default="bob")
        age = IntegerProperty(nullable=True)
        orders = ForeignKey(ForeignType.ONE_TO_MANY, "GenOrder", bindCol="id", targetBindCol="user_id")
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "GenTag", bindCol="id", targetBindCol="id")

    class GenOrder(DataModel):
        tableName = "order"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty()
        title = VarcharProperty(255, nullable=True)
        buyer = ForeignKey(ForeignType.ONE_TO_ONE, User, bindCol="user_id", targetBindCol="id")

    class GenTag(DataModel):
        tableName = "tag"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(32)

    return types.SimpleNamespace(User=User, Order=GenOrder, Tag=GenTag)


@pytest.fixture(scope="session")
def models():
    return _declare_models()


def link(*parts):
    """A chain from alternating cells and codes: link(c0, code0, c1, code1, c2).
    Each code is the connector (or operator) set on the cell before it."""
    first = parts[0]
    for code, cell in zip(parts[1::2], parts[2::2]):
        first.addCell(cell, code)
    return first


def column(prop):
    """A column cell of `prop` (its operator is the code given by `link`)."""
    return FilterListCell(prop.name, col=prop)


def value(v):
    return FilterListCell(v)


@pytest.fixture
def chain():
    return types.SimpleNamespace(link=link, column=column, value=value)
