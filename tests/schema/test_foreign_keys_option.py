"""foreignKeys= of the SQLite connectors: PRAGMA foreign_keys on every
connection they open (on by default), on both connector kinds and both
drivers; a foreign_keys entry of pragmas wins; the option is checked."""

import asyncio
import sqlite3

import pytest

from Tessary.DB.Connector import AioSqliteConnector, Sqlite3Connector, connect

from handle_support import installed

OPTIONS = [({}, 1), ({"foreignKeys": False}, 0), ({"foreignKeys": False, "pragmas": {"FOREIGN_KEYS": 1}}, 1),
           ({"foreignKeys": True, "pragmas": {"foreign_keys": "off"}}, 0)]


def pragma_of(connector):
    """PRAGMA foreign_keys on a connection `connector` opened, and whether an
    orphan row is refused there; closes the connector."""
    def refused(error):
        assert "FOREIGN KEY" in str(error)  # the engine's IntegrityError, or sqlite3's
        return True

    with installed(connector) as handle:
        if not connector.isAsync:
            try:
                value = handle.executeSql("PRAGMA foreign_keys")[0][0]
                try:
                    handle.executeSql("INSERT INTO child (parent_id) VALUES (99)")
                except Exception as error:
                    return value, refused(error)
                return value, False
            finally:
                connector.close()

        async def story():
            try:
                value = (await handle.executeSql("PRAGMA foreign_keys"))[0][0]
                try:
                    await handle.executeSql("INSERT INTO child (parent_id) VALUES (99)")
                except Exception as error:
                    return value, refused(error)
                return value, False
            finally:
                await connector.close()

        return asyncio.run(story())


@pytest.fixture
def path(tmp_path):
    file = str(tmp_path / "fk.db")
    with sqlite3.connect(file) as con:
        con.execute("CREATE TABLE parent (id INTEGER PRIMARY KEY)")
        con.execute("CREATE TABLE child (id INTEGER PRIMARY KEY, parent_id INTEGER REFERENCES parent (id))")
    return file


@pytest.mark.parametrize("options, expected", OPTIONS)
@pytest.mark.parametrize("driver", ["native", "sqlite3"])
@pytest.mark.parametrize("kind", [Sqlite3Connector, AioSqliteConnector])
def test_every_connection_runs_the_pragma(path, kind, driver, options, expected):
    connector = kind(path, driver=driver, **options)
    assert connector.foreignKeys is options.get("foreignKeys", True)
    assert pragma_of(connector) == (expected, bool(expected))


@pytest.mark.parametrize("url, expected", [
    ("sqlite:///{}?foreignKeys=0", (0, False)),
    ("sqlite+asyncio:///{}?foreignKeys=off", (0, False)),
    ("sqlite+asyncio:///{}?foreignKeys=TRUE", (1, True)),
    ("sqlite:///{}?pragma.foreign_keys=0", (0, False)),
])
def test_a_url_takes_the_option(path, url, expected):
    assert pragma_of(connect(url.format(path))) == expected


def test_a_url_refuses_a_value_that_is_no_switch(path):
    with pytest.raises(ValueError, match="'foreignKeys' must be 1 or 0"):
        connect(f"sqlite:///{path}?foreignKeys=maybe")


@pytest.mark.parametrize("kind", [Sqlite3Connector, AioSqliteConnector])
def test_the_option_is_checked_and_settable(path, kind):
    with pytest.raises(TypeError, match="foreignKeys must be a bool"):
        kind(path, foreignKeys=1)
    connector = kind(path)
    connector.foreignKeys = False
    assert connector.foreignKeys is False and connector.pragmas == {}
    with pytest.raises(TypeError, match="foreignKeys must be a bool"):
        connector.foreignKeys = "no"
    with pytest.raises(AttributeError, match="cannot delete foreignKeys"):
        del connector.foreignKeys
    assert pragma_of(connector) == (0, False)
