"""Fixtures of the database-layer tests: a connector installed on the handle
for one test, then the previous one put back."""

import pytest

from Tessary.DB.DB import DB


@pytest.fixture
def install():
    handle = DB.getInstance()
    previous = handle.connector
    opened = []

    def put(connector):
        handle.connector = connector
        opened.append(connector)
        return connector

    yield put
    handle.connector = previous
    for connector in opened:
        close = getattr(connector, "close", None)
        if close is not None:
            close()
