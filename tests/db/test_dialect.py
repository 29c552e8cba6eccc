"""dialect(connector, con=None): what a statement may be written with on the
connection it runs on, for the four connectors on both drivers, for the
driver modules' own connections, and for a connector of the application;
the SQLite parameter limit is the one the engine's library enforces."""

import asyncio
import sqlite3

import pymysql
import pytest

from Tessary.DB.Connector import (AioMysqlConnector, AioSqliteConnector, BaseConnector, MysqlConnector,
                                  Sqlite3Connector, dialect)

MODULE_DRIVER = {"sqlite": "sqlite3", "mariadb": "pymysql", "aiosqlite": "sqlite3", "aiomysql": "aiomysql"}


def sqlite_limit():
    con = sqlite3.connect(":memory:")
    try:
        return con.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER)
    finally:
        con.close()


SQLITE_FACTS = {"kind": "sqlite", "quote": '"', "paramstyle": "qmark", "con_type": 1,
                "returning": sqlite3.sqlite_version_info >= (3, 35), "paramLimit": sqlite_limit()}
MARIADB_FACTS = {"kind": "mysql", "quote": "`", "paramstyle": "format", "con_type": 0, "paramLimit": 65535}


def make_connector(name, driver, request, tmp_path):
    chosen = "native" if driver == "native" else MODULE_DRIVER[name]
    if "sqlite" in name:
        path = str(tmp_path / "dialect.db")
        return (Sqlite3Connector if name == "sqlite" else AioSqliteConnector)(path, driver=chosen)
    params = request.getfixturevalue("mariadb_clean")
    return (MysqlConnector if name == "mariadb" else AioMysqlConnector)(**params, driver=chosen)


def server_returns(params):
    with pymysql.connect(**params) as con:
        version = con.get_server_info()
    version = version.removeprefix("5.5.5-")  # MariaDB's handshake prefix for old clients
    number = tuple(int(p) for p in version.split("-")[0].split(".")[:2])
    return "MariaDB" in version and number >= (10, 5)


@pytest.mark.parametrize("driver", ["native", "module"])
@pytest.mark.parametrize("name", ["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def test_facts_of_each_connector_and_its_connections(name, driver, request, tmp_path):
    connector = make_connector(name, driver, request, tmp_path)
    is_async = name.startswith("aio")
    if "sqlite" in name:
        expected = dict(SQLITE_FACTS, isAsync=is_async)
    else:
        returns = server_returns(request.getfixturevalue("mariadb_params"))
        expected = dict(MARIADB_FACTS, isAsync=is_async, returning=returns)

    async def on_a_connection():
        try:
            con = await connector.getCon()
            try:
                assert type(con).__module__.split(".")[0] in ("Tessary", MODULE_DRIVER[name])
                return dialect(connector, con), dialect(connector, con=con)
            finally:
                await connector.releaseCon(con)
        finally:
            await connector.close()

    if is_async:
        # Without a connection there is no MariaDB server to ask.
        assert dialect(connector) == (dict(expected, returning=False) if name == "aiomysql" else expected)
        facts, by_keyword = asyncio.run(on_a_connection())
    else:
        try:
            # The synchronous connector's own connection is the calling thread's.
            assert dialect(connector) == expected
            facts = by_keyword = dialect(connector, connector.getCon())
        finally:
            connector.close()
    assert facts == by_keyword == expected


def test_the_driver_modules_connections_answer_for_themselves(mariadb_params):
    class Anything:
        """A connector that says nothing about its database."""

        isAsync = False

        def getCon(self):
            raise AssertionError("not asked")

    lite = sqlite3.connect(":memory:")
    maria = pymysql.connect(**mariadb_params)
    try:
        assert dialect(Anything(), lite) == dict(SQLITE_FACTS, isAsync=False)
        assert dialect(Anything(), maria) == dict(MARIADB_FACTS, isAsync=False,
                                                  returning=server_returns(mariadb_params))
        # The connection decides the SQL even under a connector of the other kind.
        assert dialect(Sqlite3Connector(), maria)["kind"] == "mysql"
    finally:
        lite.close()
        maria.close()


class Declared:
    """A connector of the application: only what it declares."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)

    def getCon(self):
        raise AssertionError("not asked")


@pytest.mark.parametrize("attributes, kind", [
    ({"con_type": 0}, "mysql"),
    ({"con_type": 1}, "sqlite"),
    ({"con_type": 0, "paramstyle": "qmark"}, "mysql"),  # con_type decides when both are there
    ({"paramstyle": "format"}, "mysql"),
    ({"paramstyle": "pyformat"}, "mysql"),
    ({"paramstyle": "qmark"}, "sqlite"),
    ({"con_type": "1", "paramstyle": "format"}, "mysql"),  # a con_type that is no int is not read
    ({}, "sqlite"),
], ids=["con_type-0", "con_type-1", "both", "format", "pyformat", "qmark", "str-con_type", "nothing"])
def test_a_duck_typed_connector_is_read_through_its_attributes(attributes, kind):
    facts = dialect(Declared(isAsync=True, **attributes))
    defaults = SQLITE_FACTS if kind == "sqlite" else dict(MARIADB_FACTS, returning=False)
    declared_style = attributes.get("paramstyle")
    assert facts == dict(
        defaults, isAsync=True,
        con_type=attributes["con_type"] if isinstance(attributes.get("con_type"), int) else defaults["con_type"],
        paramstyle={"qmark": "qmark", "format": "format", "pyformat": "format"}.get(declared_style,
                                                                                   defaults["paramstyle"]))


def test_a_subclass_is_read_through_its_overrides():
    class Quoting(BaseConnector):
        con_type = 1

        def __init__(self):
            super().__init__()
            self.paramstyle = "qmark"

    class Renamed(Sqlite3Connector):
        con_type = 0

    assert dialect(Quoting()) == dict(SQLITE_FACTS, isAsync=False)
    renamed = Renamed()
    try:
        # Still SQLite, writing its INSERT column lists the way it says.
        assert dialect(renamed) == dict(SQLITE_FACTS, isAsync=False, con_type=0)
    finally:
        renamed.close()


def test_con_type_is_reported_as_the_builder_reads_it():
    connector = Sqlite3Connector()
    try:
        connector.con_type = -1
        assert dialect(connector) == dict(SQLITE_FACTS, isAsync=False, con_type=-1)
    finally:
        connector.close()
    assert dialect(Declared(con_type=-3))["con_type"] == -3


def test_bad_arguments():
    with pytest.raises(TypeError):
        dialect()
    with pytest.raises(TypeError):
        dialect(Sqlite3Connector(), None, None)

    class Failing:
        @property
        def con_type(self):
            raise RuntimeError("no type today")

    with pytest.raises(RuntimeError, match="no type today"):
        dialect(Failing())


@pytest.mark.parametrize("driver", ["native", "sqlite3"])
def test_the_sqlite_limit_is_the_one_the_library_enforces(driver, tmp_path):
    connector = Sqlite3Connector(str(tmp_path / "limit.db"), driver=driver)
    try:
        limit = dialect(connector)["paramLimit"]

        def with_parameters(count):
            return connector.query("SELECT 1 WHERE 1 IN (" + ",".join(["%s"] * count) + ")", (1,) * count)

        assert with_parameters(limit) == [(1,)]
        with pytest.raises(sqlite3.OperationalError, match="too many SQL variables"):
            with_parameters(limit + 1)
    finally:
        connector.close()
