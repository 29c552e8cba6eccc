"""What the tests of the coroutine connectors' task-bound connections share:
a database on each coroutine connector (the `backend` kinds that run on a
loop) and a small model."""

import pytest

from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from backend_support import make_backend
from handle_support import installed

HANDLE = DB.getInstance()


class Note(DataModel):
    tableName = "tk_note"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    body = VarcharProperty(32)


class Failed(Exception):
    """Raised by a test to leave a block."""


@pytest.fixture(params=["aiosqlite", "aiomysql"])
def aio_backend(request, tmp_path):
    """An empty database with the note table on each coroutine connector, installed on the handle."""
    current = make_backend(request.param, request, tmp_path)
    current.create(Note)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


def insert(body, con=None):
    return HANDLE.executeSql("INSERT INTO tk_note (body) VALUES (%s)", args=(body,), con=con)


async def seen(con=None):
    """The bodies a statement sees, on `con` or without one."""
    rows = await HANDLE.executeSql("SELECT body FROM tk_note ORDER BY id", con=con)
    return [body for (body,) in rows]


def committed(backend):
    return [body for (body,) in backend.rows("SELECT body FROM tk_note ORDER BY id")]

