"""Repeated model-layer operations must not leave memory behind."""

import datetime
import gc
import sys

import pytest

from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import (
    DateTimeProperty,
    DecimalProperty,
    FilterListCell,
    ForeignKey,
    IntegerProperty,
    VarcharProperty,
)

ROUNDS = 45
PER_ROUND = 200


def grows(operation):
    """True when the later rounds leave about a block per call or more behind
    (caches of the interpreter that fill up slowly stay well below that)."""
    samples = [0] * ROUNDS
    for r in range(ROUNDS):
        for _ in range(PER_ROUND):
            operation()
        gc.collect()
        samples[r] = sys.getallocatedblocks()
    later = samples[2 * ROUNDS // 3:]
    return later[-1] - later[0] > 2 * PER_ROUND


class Row(DataModel):
    id = IntegerProperty(isPrimaryKey=True)
    name = VarcharProperty(10)
    when = DateTimeProperty()
    price = DecimalProperty(10, 2)


def declare_models():
    class A(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        bs = ForeignKey(2, "B", "id", "id")

    class B(DataModel):
        id = IntegerProperty(isPrimaryKey=True)

    A.bs.target, B.a


OPERATIONS = {
    "row": lambda: Row((1, "x", "2024-01-02 03:04:05", "1.5")),
    "mapping": lambda: Row({"when": "2024-01-02", "other": 1}),
    "bad row": lambda: pytest.raises(ValueError, Row, (1,)),
    "condition": lambda: ((Row.name == "x") | (Row.id > 2)) & (Row.when <= datetime.datetime(2024, 1, 1)),
    "cells": lambda: FilterListCell(1).addCell(FilterListCell("id", col=Row.id), 0).addCell(FilterListCell(2), 2),
    "insert cell": lambda: Row.price.insertCell(1.5),
    "attributes": lambda: Row((1, "x", None, None)).name,
    "declaration": declare_models,
}


@pytest.mark.parametrize("name", OPERATIONS)
def test_no_growth(name):
    assert not grows(OPERATIONS[name])
