"""saveAll and findListForeignKeyIn fill each statement up to the parameter
limit the connection's dialect reports, and split exactly there."""

import pytest

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector, dialect
from Tessary.DB.DB import DB
from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from bulk_support import sent
from handle_support import installed


class DlOwner(DataModel):
    tableName = "dl_owner"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(16, nullable=True)
    pets = ForeignKey(ForeignType.ONE_TO_MANY, "DlPet", bindCol="id", targetBindCol="owner_id")


class DlPet(DataModel):
    tableName = "dl_pet"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    owner_id = IntegerProperty(nullable=True)


@pytest.fixture(params=["sqlite", "mariadb"])
def limited(request, tmp_path):
    if request.param == "sqlite":
        connector = Sqlite3Connector(str(tmp_path / "limits.db"))
    else:
        connector = MysqlConnector(**request.getfixturevalue("mariadb_clean"))
    with installed(connector):
        try:
            for model in (DlOwner, DlPet):
                DB.getInstance().executeSql(TableGenerator(model).Build()[0])
            yield connector, dialect(connector)["paramLimit"]
        finally:
            connector.close()


def test_saveAll_fills_each_statement_up_to_the_limit(limited):
    _connector, limit = limited
    per_statement = limit // 2  # two columns a row
    owners = [DlOwner(id=i + 1, name="o") for i in range(per_statement + 1)]
    with sent() as statements:
        DlOwner.getExecutor().saveAll(owners)
    inserts = [args for sql, args in statements if sql.startswith("INSERT INTO dl_owner")]
    assert [len(args) for args in inserts] == [2 * per_statement, 2]
    assert DB.getInstance().executeSql("SELECT COUNT(*) FROM dl_owner")[0][0] == per_statement + 1


def test_findListForeignKeyIn_fills_each_IN_list_up_to_the_limit(limited):
    _connector, limit = limited
    handle = DB.getInstance()
    handle.executeSql("INSERT INTO dl_owner (id, name) VALUES " + ",".join(["(%s,'o')"] * 10), tuple(range(1, 11)))
    handle.executeSql("INSERT INTO dl_pet (owner_id) VALUES (%s),(%s)", (1, 10))
    # limit + 1 owners, of which only the first ten exist.
    owners = [DlOwner(id=i + 1, name="o") for i in range(limit + 1)]
    with sent() as statements:
        DlOwner.getExecutor().findListForeignKeyIn(owners, level=1)
    lists = [args for sql, args in statements if sql.startswith("SELECT") and "dl_pet" in sql]
    assert [len(args) for args in lists] == [limit, 1]
    assert [len(o["pets"]) for o in owners[:10]] == [1] + [0] * 8 + [1]


def test_a_server_without_returning_gets_one_insert_per_row(mariadb_clean):
    import pymysql

    class OldServer(pymysql.connections.Connection):
        def get_server_info(self):
            return "5.5.5-10.4.32-MariaDB"

    class OnOldServer(MysqlConnector):
        def connect(self):
            return OldServer(**mariadb_clean)

    connector = OnOldServer(**mariadb_clean)
    with installed(connector):
        try:
            DB.getInstance().executeSql(TableGenerator(DlOwner).Build()[0])
            assert dialect(connector)["returning"] is False
            owners = [DlOwner(name=f"o{i}") for i in range(3)]
            with sent() as statements:
                DlOwner.getExecutor().saveAll(owners)
            inserts = [sql for sql, _ in statements if sql.startswith("INSERT INTO dl_owner")]
            assert len(inserts) == 3 and not any("RETURNING" in sql for sql in inserts)
            assert [o["id"] for o in owners] == [1, 2, 3]
        finally:
            connector.close()
