"""Connection URLs: connect(url, **options) makes the connector the URL names,
percent-decodes its parts, refuses malformed ones with a ValueError naming the
faulty part, and never shows the password in a message."""

import asyncio
import contextlib
import inspect
import sqlite3
import urllib.parse

import pymysql
import pytest
from handle_support import installed

from Tessary.DB.Connector import (
    AioMysqlConnector,
    AioSqliteConnector,
    MysqlConnector,
    Sqlite3Connector,
    connect,
)
from Tessary.DB.DB import DB

SECRET = "Sup3r-S3cret"


def mysql_settings(c):
    return (c.host, c.port, c.user, c.database, c.unix_socket, c.charset)


class TestWhatTheUrlMakes:
    @pytest.mark.parametrize("url, kind, path", [
        ("sqlite:///relative.db", Sqlite3Connector, "relative.db"),
        ("sqlite:///sub/dir.db", Sqlite3Connector, "sub/dir.db"),
        ("sqlite:////absolute/file.db", Sqlite3Connector, "/absolute/file.db"),
        ("sqlite:///:memory:", Sqlite3Connector, ":memory:"),
        ("sqlite:///with%20blank%3F.db", Sqlite3Connector, "with blank?.db"),
        ("SQLite:///upper.db", Sqlite3Connector, "upper.db"),
        ("sqlite+asyncio:///relative.db", AioSqliteConnector, "relative.db"),
        ("sqlite+asyncio:////absolute.db", AioSqliteConnector, "/absolute.db"),
    ])
    def test_sqlite(self, url, kind, path):
        connector = connect(url)
        assert type(connector) is kind and connector.path == path

    @pytest.mark.parametrize("url, settings", [
        ("mysql://root:pw@db.example:3307/blog?charset=latin1&unix_socket=/run/my.sock",
         ("db.example", 3307, "root", "blog", "/run/my.sock", "latin1")),
        ("mysql://db.example/blog", ("db.example", 3306, None, "blog", None, "utf8mb4")),
        ("mysql://", ("127.0.0.1", 3306, None, None, None, "utf8mb4")),
        ("mysql:///blog", ("127.0.0.1", 3306, None, "blog", None, "utf8mb4")),
        ("mysql://u@[::1]:3310/", ("::1", 3310, "u", None, None, "utf8mb4")),
        ("mysql://a%20b:p%40ss@%6Cocalhost/my%2Fdb?unix_socket=%2Ftmp%2Fa%20b.sock",
         ("localhost", 3306, "a b", "my/db", "/tmp/a b.sock", "utf8mb4")),
        ("mysql://us%C3%A9r@h/b%C3%A4se", ("h", 3306, "usér", "bäse", None, "utf8mb4")),
        ("MySQL://h/db?", ("h", 3306, None, "db", None, "utf8mb4")),
    ])
    def test_mysql(self, url, settings):
        connector = connect(url)
        assert type(connector) is MysqlConnector and mysql_settings(connector) == settings

    def test_mysql_asyncio_pool_sizes_from_the_query(self):
        connector = connect("mysql+asyncio://u:pw@h:3308/db?minsize=0&maxsize=3&charset=utf8")
        assert type(connector) is AioMysqlConnector
        assert (connector.minsize, connector.maxsize) == (0, 3)
        assert mysql_settings(connector) == ("h", 3308, "u", "db", None, "utf8")

    def test_sqlite_asyncio_maxsize_from_the_query(self):
        connector = connect("sqlite+asyncio:///x.db?maxsize=2")
        assert (type(connector), connector.maxsize) == (AioSqliteConnector, 2)

    @pytest.mark.parametrize("url, options, settings", [
        ("mysql://h/db?charset=latin1", {"charset": "utf8"}, ("h", 3306, None, "db", None, "utf8")),
        ("mysql://u@h:3307/db", {"host": "other", "port": 3399, "user": "v", "database": "d2"},
         ("other", 3399, "v", "d2", None, "utf8mb4")),
        ("mysql://h/db", {"unix_socket": "/s.sock"}, ("h", 3306, None, "db", "/s.sock", "utf8mb4")),
    ])
    def test_options_win_over_the_url(self, url, options, settings):
        assert mysql_settings(connect(url, **options)) == settings

    def test_options_win_over_the_query_of_an_asyncio_url(self):
        connector = connect("mysql+asyncio://h/db?minsize=1&maxsize=2", maxsize=7)
        assert (connector.minsize, connector.maxsize) == (1, 7)
        assert connect("sqlite+asyncio:///x.db?maxsize=2", maxsize=4).maxsize == 4
        assert connect("sqlite:///x.db", path="y.db").path == "y.db"

    def test_signature(self):
        assert str(inspect.signature(connect)) == "(url, /, **options)"

    @pytest.mark.parametrize("args, message", [
        ((), "connect() takes exactly 1 positional argument (0 given)"),
        (("sqlite:///a", "b"), "connect() takes exactly 1 positional argument (2 given)"),
        ((b"sqlite:///a",), "connect() argument 'url' must be str, not bytes"),
        ((None,), "connect() argument 'url' must be str, not NoneType"),
    ])
    def test_argument_checks(self, args, message):
        with pytest.raises(TypeError) as err:
            connect(*args)
        assert str(err.value) == message

    def test_unknown_option_is_the_constructors_error(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'charset'"):
            connect("sqlite:///x.db", charset="utf8")


MALFORMED = [
    ("", "no scheme"),
    ("relative.db", "no scheme"),
    ("sqlite:relative.db", "no scheme"),
    ("://x", "no scheme"),
    ("sq lite:///x", "malformed scheme"),
    ("postgres://h/db", "unknown scheme 'postgres'"),
    ("sqlite+aio:///x.db", "unknown scheme 'sqlite+aio'"),
    ("sqlite://", "a sqlite URL needs a path"),
    ("sqlite:///", "a sqlite URL needs a path"),
    ("sqlite:///?maxsize=1", "a sqlite URL needs a path"),
    ("sqlite://host/x.db", "a sqlite URL has no host or user"),
    ("sqlite:///x.db?maxsize=2", "unknown query parameter 'maxsize' (a sqlite URL takes the query parameters "
                                 "timeout, transactionMode, foreignKeys, idleTimeout, prePing and pragma.<name>)"),
    ("sqlite+asyncio:///x.db?minsize=1",
     "unknown query parameter 'minsize' (a sqlite+asyncio URL takes the query parameters maxsize, timeout, "
     "transactionMode, foreignKeys, idleTimeout, prePing and pragma.<name>)"),
    ("sqlite+asyncio:///x.db?maxsize=two", "query parameter 'maxsize' must be a whole number"),
    ("sqlite+asyncio:///x.db?maxsize=", "query parameter 'maxsize' must be a whole number"),
    ("sqlite+asyncio:///x.db?maxsize=1.5", "query parameter 'maxsize' must be a whole number"),
    ("sqlite+asyncio:///x.db?maxsize", "query parameter 'maxsize' has no value (write maxsize=...)"),
    ("sqlite:///x.db#frag", "a fragment ('#...') is not allowed"),
    ("sqlite:///x%zz.db", "invalid percent escape in the path"),
    ("sqlite:///x%4", "invalid percent escape in the path"),
    ("sqlite:///x%", "invalid percent escape in the path"),
    ("sqlite:///%ff.db", "the path is not UTF-8 once percent-decoded"),
    ("sqlite:///a%00b.db", "the path holds a NUL character"),
    ("mysql://h:abc/db", "the port must be a number from 1 to 65535"),
    ("mysql://h:0/db", "the port must be a number from 1 to 65535"),
    ("mysql://h:65536/db", "the port must be a number from 1 to 65535"),
    ("mysql://h:/db", "the port must be a number from 1 to 65535"),
    ("mysql://h:-1/db", "the port must be a number from 1 to 65535"),
    ("mysql://h:1:2/db", "more than one ':' after the host"),
    ("mysql://[::1/db", "an IPv6 host has no closing ']'"),
    ("mysql://[::1]x/db", "text after the IPv6 host's ']'"),
    ("mysql://[zz]/db", "malformed IPv6 host"),
    ("mysql://[]/db", "malformed IPv6 host"),
    ("mysql://ho st/db", "malformed host (letters"),
    ("mysql://h%zz/db", "invalid percent escape in the host"),
    ("mysql://h/a/b", "a mysql URL names one database"),
    ("mysql://h/d%zzb", "invalid percent escape in the database name"),
    ("mysql://u%zz@h/db", "invalid percent escape in the user name"),
    ("mysql://h/db?ssl=1", "unknown query parameter 'ssl' (a mysql URL takes the query parameters charset, "
                           "unix_socket, connectTimeout, readTimeout, writeTimeout, idleTimeout and prePing)"),
    ("mysql://h/db?maxsize=1", "unknown query parameter 'maxsize'"),
    ("mysql://h/db?host=x", "unknown query parameter 'host'"),
    ("mysql://h/db?charset=a&charset=b", "query parameter 'charset' given twice"),
    ("mysql://h/db?charset=a&char%73et=b", "query parameter 'charset' given twice"),
    ("mysql://h/db?charset=a&&unix_socket=b", "an empty query parameter"),
    ("mysql://h/db?charset=a&", "an empty query parameter"),
    ("mysql://h/db?=a", "a query parameter without a name"),
    ("mysql://h/db?charset=%zz", "invalid percent escape in query parameter 'charset'"),
    ("mysql://h/db?ch%zz=1", "invalid percent escape in a query parameter's name"),
    ("mysql://h/db#x", "a fragment ('#...') is not allowed"),
    ("mysql+asyncio://h/db?minsize=x", "query parameter 'minsize' must be a whole number"),
    ("mysql+asyncio://h/db?path=x", "unknown query parameter 'path' (a mysql+asyncio URL takes the query "
                                    "parameters charset, unix_socket, minsize, maxsize, connectTimeout, readTimeout, "
                                    "writeTimeout, idleTimeout and prePing)"),
    ("mysql://h/db?unix_socket=/a@b", "'@' after the host"),
    ("mysql://u:p@h/d@b", "'@' after the host"),
    ("mysql://h\udc80/db", "not valid text"),
]


@pytest.mark.parametrize("url, message", MALFORMED)
def test_malformed_url_is_refused(url, message):
    with pytest.raises(ValueError) as err:
        connect(url)
    assert str(err.value).startswith("invalid connection URL: ")
    assert message in str(err.value)


# --- the password never shows -------------------------------------------------------

def shown_texts(error):
    """Every text a traceback would show of the error and what it chains to."""
    seen = []
    while error is not None:
        seen += [str(error), repr(error), repr(error.args), *getattr(error, "__notes__", [])]
        error = error.__cause__ or error.__context__
    return seen


ENCODED = urllib.parse.quote(SECRET + "/?#@:", safe="")

SECRET_BEARING = [
    # the URL's own faults, the password written plainly and percent-encoded
    (f"mysql://root:{SECRET}@h:99999/db", {}),
    (f"mysql://root:{SECRET}@h:port/db", {}),
    (f"mysql://root:{SECRET}@h/db?bad=1", {}),
    (f"mysql://root:{SECRET}@h/db?charset=a&charset=b", {}),
    (f"mysql://root:{SECRET}@h/a/b", {}),
    (f"mysql://root:{SECRET}@h/db#frag", {}),
    (f"mysql://root:{SECRET}%zz@h/db", {}),
    (f"mysql://root:{SECRET}%ff@h/db", {}),
    (f"mysql://root:{ENCODED}@h:0/db", {}),
    (f"mysql+asyncio://root:{SECRET}@h/db?minsize=x", {}),
    # a password with unencoded '/', '?' or '#': its tail would read as host, path or query
    (f"mysql://root:{SECRET}/tail@h/db", {}),
    (f"mysql://root:{SECRET}?maxsize=1@h/db", {}),
    (f"mysql://root:{SECRET}#x@h/db", {}),
    (f"mysql://root:pre/{SECRET}:1@h/db", {}),
    (f"mysql://root:a@{SECRET}?charset=1@h/db", {}),
    (f"mysql://root:a@{SECRET}!/x@h/db", {}),
    (f"mysql://root:a@b?{SECRET}=1@h/db", {}),
    # errors the constructor raises
    (f"mysql+asyncio://root:{SECRET}@h/db?minsize=5&maxsize=2", {}),
    (f"mysql://root:{SECRET}@h/db", {"port": "3306"}),
    (f"mysql://root:{SECRET}@h/db", {"timeout": 1}),
    (f"mysql+asyncio://root:{ENCODED}@h/db", {"maxsize": 0}),
    ("mysql://root@h/db", {"password": SECRET, "port": 2**40}),
]


@pytest.mark.parametrize("url, options", SECRET_BEARING)
def test_no_message_shows_the_password(url, options):
    with pytest.raises((ValueError, TypeError, OverflowError)) as err:
        connect(url, **options)
    for text in shown_texts(err.value):
        assert SECRET not in text
        assert ENCODED not in text


@pytest.mark.parametrize("url", [
    "mysql+asyncio://root:minsize@h/db?minsize=5&maxsize=2",
    "mysql+asyncio://root:min%73ize@h/db?minsize=5&maxsize=2",
])
def test_a_constructor_message_holding_the_password_is_scrubbed(url):
    """The constructor's own text names `minsize`, here the password: it is
    replaced, the error keeps its class and chains nothing that holds it."""
    with pytest.raises(ValueError) as err:
        connect(url)
    assert str(err.value) == "need 0 <= *** <= maxsize and maxsize >= 1 (got 5, 2)"
    assert err.value.__context__ is None and err.value.__cause__ is None


def test_a_constructor_message_without_the_password_is_kept_as_it_is():
    with pytest.raises(ValueError) as err:
        connect("mysql+asyncio://root:pw@h/db?minsize=5&maxsize=2")
    assert str(err.value) == "need 0 <= minsize <= maxsize and maxsize >= 1 (got 5, 2)"


# --- the connectors at work -------------------------------------------------------------

def test_sqlite_relative_path_is_in_the_current_directory(install, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    install(connect("sqlite:///relative.db"))
    DB.getInstance().executeSql("CREATE TABLE t (v TEXT)")
    DB.getInstance().executeSql("INSERT INTO t VALUES (%s)", ("here",))
    assert sqlite3.connect(tmp_path / "relative.db").execute("SELECT v FROM t").fetchall() == [("here",)]


def test_sqlite_absolute_path_percent_encoded(install, tmp_path):
    target = tmp_path / "a dir?" / "absolute.db"
    target.parent.mkdir()
    install(connect("sqlite:///" + urllib.parse.quote(str(target))))
    DB.getInstance().executeSql("CREATE TABLE t (v TEXT)")
    assert sqlite3.connect(target).execute("SELECT name FROM sqlite_master").fetchall() == [("t",)]


def test_sqlite_memory(install):
    install(connect("sqlite:///:memory:"))
    assert DB.getInstance().executeSql("SELECT 20 + %s", (22,)) == [(42,)]


def test_sqlite_asyncio_url(tmp_path):
    connector = connect("sqlite+asyncio:///" + str(tmp_path / "coro.db") + "?maxsize=1")

    async def run():
        try:
            await handle.executeSql("CREATE TABLE t (v INT)")
            await handle.executeSql("INSERT INTO t VALUES (%s)", (7,))
            return await handle.executeSql("SELECT v FROM t")
        finally:
            await connector.close()

    with installed(connector) as handle:
        assert [tuple(r) for r in asyncio.run(run())] == [(7,)]
    assert sqlite3.connect(tmp_path / "coro.db").execute("SELECT v FROM t").fetchall() == [(7,)]


# --- MariaDB -----------------------------------------------------------------------------

PASSWORD = "p@ss:w/rd?#% &="  # pymysql sends a password as latin-1: ASCII only here


@pytest.fixture
def url_user(mariadb_params):
    """A user of the test database whose password needs every escape."""
    admin = {k: v for k, v in mariadb_params.items() if k != "database"}
    hosts = ("localhost", "127.0.0.1")
    with contextlib.closing(pymysql.connect(**admin)) as con, con.cursor() as cur:
        for host in hosts:
            cur.execute("DROP USER IF EXISTS %s@%s", ("tsy url", host))
            cur.execute("CREATE USER %s@%s IDENTIFIED BY %s", ("tsy url", host, PASSWORD))
            cur.execute(f"GRANT ALL ON `{mariadb_params['database']}`.* TO %s@%s", ("tsy url", host))
    yield "tsy url"
    with contextlib.closing(pymysql.connect(**admin)) as con, con.cursor() as cur:
        for host in hosts:
            cur.execute("DROP USER IF EXISTS %s@%s", ("tsy url", host))


def quoted(text):
    return urllib.parse.quote(text, safe="")


def tcp_url(params, scheme="mysql", user="root", password=None):
    credentials = quoted(user) + ("" if password is None else ":" + quoted(password))
    return f"{scheme}://{credentials}@{params['host']}:{params['port']}/{quoted(params['database'])}"


def socket_url(params, scheme="mysql"):
    return f"{scheme}://root@/{params['database']}?unix_socket={quoted(params['unix_socket'])}&charset=utf8mb4"


def sync_identity(connector):
    with contextlib.closing(connector):
        rows = connector.query("SELECT SUBSTRING_INDEX(CURRENT_USER(), '@', 1), DATABASE()")
    return tuple(rows[0])


def async_identity(connector):
    async def run():
        try:
            async with connector.transaction() as con:
                cur = await con.cursor()
                await cur.execute("SELECT SUBSTRING_INDEX(CURRENT_USER(), '@', 1), DATABASE()")
                return tuple(await cur.fetchone())
        finally:
            await connector.close()

    return asyncio.run(run())


@pytest.mark.parametrize("scheme, identity", [("mysql", sync_identity), ("mysql+asyncio", async_identity)])
def test_mariadb_over_tcp_without_a_password(mariadb_params, scheme, identity):
    connector = connect(tcp_url(mariadb_params, scheme))
    assert identity(connector) == ("root", mariadb_params["database"])


@pytest.mark.parametrize("scheme, identity", [("mysql", sync_identity), ("mysql+asyncio", async_identity)])
def test_mariadb_over_the_unix_socket(mariadb_params, scheme, identity):
    connector = connect(socket_url(mariadb_params, scheme))
    assert connector.unix_socket == mariadb_params["unix_socket"]
    assert identity(connector) == ("root", mariadb_params["database"])


@pytest.mark.parametrize("scheme, identity", [("mysql", sync_identity), ("mysql+asyncio", async_identity)])
def test_mariadb_percent_encoded_user_and_password(mariadb_params, url_user, scheme, identity):
    connector = connect(tcp_url(mariadb_params, scheme, url_user, PASSWORD))
    assert identity(connector) == (url_user, mariadb_params["database"])


def test_mariadb_password_given_as_an_option(mariadb_params, url_user):
    connector = connect(tcp_url(mariadb_params, "mysql", url_user), password=PASSWORD)
    assert sync_identity(connector) == (url_user, mariadb_params["database"])


def test_mariadb_wrong_password_is_the_drivers_error(mariadb_params, url_user):
    connector = connect(tcp_url(mariadb_params, "mysql", url_user, "not it"))
    with pytest.raises(pymysql.err.OperationalError):
        sync_identity(connector)
