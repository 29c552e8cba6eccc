"""Helpers of the saveAll and upsert tests (four connectors, save_support's
store): the statements a block sends, read from the statement log, and the
rows a store holds by their natural keys."""

import contextlib
import logging

from Tessary.DB.DB import DB
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, TextProperty, VarcharProperty


class _Recorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.seen = []

    def emit(self, record):
        self.seen.append((record.statement, tuple(record.params or ())))


@contextlib.contextmanager
def sent():
    """The (%s text, arguments) of every statement sent inside the block."""
    log = logging.getLogger("Tessary.sql")
    recorder, level = _Recorder(), log.level
    log.addHandler(recorder)
    log.setLevel(logging.DEBUG)
    try:
        yield recorder.seen
    finally:
        log.setLevel(level)
        log.removeHandler(recorder)


def inserts_into(statements, table):
    return [sql for sql, _ in statements if sql.startswith(f"INSERT INTO {table} ")]


class Shouting(VarcharProperty):
    """A column whose own insertCell writes the value upper-cased."""

    def insertCell(self, value):
        return {"col": self, "value": str(value).upper()}


class BkNote(DataModel):
    tableName = "bk_note"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    title = VarcharProperty(40, extra="UNIQUE")
    status = VarcharProperty(16, default="new")
    code = Shouting(16, nullable=True)
    hits = IntegerProperty(nullable=True)


class BkDoc(DataModel):
    tableName = "bk_doc"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    body = TextProperty(nullable=True)


def in_transaction(store, work):
    """work(con) inside DB.getInstance().transaction(), with or async with."""
    if not store.is_async:
        with DB.getInstance().transaction() as con:
            return work(con)

    async def run():
        async with DB.getInstance().transaction() as con:
            return await work(con)

    return store.result(run())


def shape(store, prefix):
    """What the accounts whose email starts with `prefix` hold, by natural
    keys (no generated key): accounts, posts, profiles and tags."""
    rows = store.rows
    like = f"'{prefix}%'"
    return {
        "accounts": sorted(rows(f"SELECT email, name FROM sf_account WHERE email LIKE {like}")),
        "posts": sorted(rows("SELECT a.email, p.slug FROM sf_post p JOIN sf_account a ON a.id = p.account_id "
                             f"WHERE a.email LIKE {like}")),
        "profiles": sorted(rows("SELECT a.email, p.handle FROM sf_profile p JOIN sf_account a ON a.id = p.account_id "
                                f"WHERE a.email LIKE {like}")),
        "tags": sorted(rows("SELECT a.email, t.label FROM sf_account_sf_tag j JOIN sf_account a ON a.id = j.sf_account_id "
                            f"JOIN sf_tag t ON t.id = j.sf_tag_id WHERE a.email LIKE {like}")),
    }
