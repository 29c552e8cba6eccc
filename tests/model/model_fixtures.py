"""Model classes shared by the model-layer tests, declared anew for each test
so that forward references resolve to the classes of that test."""

import pytest

from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    VarcharProperty,
)


def chain(cell):
    """The cells of a chain as (value, relationship, has col) triples."""
    return [(c.value, c.relationship, c.col is not None) for c in cell.cells()]


@pytest.fixture
def models():
    class User(DataModel):
        tableName = "user"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        name = VarcharProperty(64, nullable=True, default="bob")
        age = IntegerProperty(default=0)
        posts = ForeignKey(ForeignType.ONE_TO_MANY, "Post", bindCol="id", targetBindCol="user_id")
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "Tag", bindCol="id", targetBindCol="id")

    class Post(DataModel):
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        user_id = IntegerProperty()
        title = VarcharProperty(100)

    class Tag(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        label = VarcharProperty(20)

    class Namespace:
        pass

    ns = Namespace()
    ns.User, ns.Post, ns.Tag = User, Post, Tag
    return ns
