"""How long a MySQL connection waits for the server: connectTimeout against a
server that accepts and never answers, readTimeout against a statement that
outlasts it. Past a limit the statement raises OperationalError naming the
limit, its connection is closed, and the connector's next statement runs on
a new one. The keywords are checked by the constructors and the URLs."""

import asyncio
import socket
import threading
import time

import pymysql
import pytest

from Tessary.DB.Connector import AioMysqlConnector, MysqlConnector, connect

from wire_support import KINDS, made


@pytest.fixture
def silent_server():
    """(host, port) of a server that accepts connections and never says a word."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    accepted = []
    stop = threading.Event()

    def serve():
        listener.settimeout(0.05)
        while not stop.is_set():
            try:
                accepted.append(listener.accept()[0])
            except (TimeoutError, OSError):
                continue

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield listener.getsockname()
    finally:
        stop.set()
        thread.join()
        for con in accepted:
            con.close()
        listener.close()


@pytest.mark.parametrize("kind", KINDS)
def test_connect_timeout_against_a_server_that_never_answers(silent_server, kind):
    host, port = silent_server
    params = {"host": host, "port": port, "user": "nobody", "database": "nothing"}
    with made(params, kind, connectTimeout=1) as mysql:
        started = time.monotonic()
        with pytest.raises(pymysql.err.OperationalError) as raised:
            mysql.sql("SELECT 1")
        waited = time.monotonic() - started
    assert 0.9 <= waited < 4, waited
    assert "timed out" in str(raised.value), raised.value


@pytest.mark.parametrize("kind", KINDS)
def test_read_timeout_fails_the_statement_and_the_next_one_runs_on_a_new_connection(mariadb_clean, kind):
    with made(mariadb_clean, kind, readTimeout=1) as mysql:
        first = mysql.session()
        started = time.monotonic()
        with pytest.raises(pymysql.err.OperationalError) as raised:
            mysql.sql("SELECT SLEEP(5)")
        waited = time.monotonic() - started
        assert 0.9 <= waited < 2.5, waited
        assert "timed out" in str(raised.value), raised.value
        assert mysql.session() != first


@pytest.mark.parametrize("cls", [MysqlConnector, AioMysqlConnector])
def test_the_timeouts_are_kept_and_checked_by_the_constructors(cls):
    assert (cls().connectTimeout, cls().readTimeout, cls().writeTimeout) == (10, None, None)
    made_one = cls(connectTimeout=2.5, readTimeout=30, writeTimeout=None)
    assert (made_one.connectTimeout, made_one.readTimeout, made_one.writeTimeout) == (2.5, 30.0, None)
    wrong = [("readTimeout", 0, ValueError), ("writeTimeout", -1, ValueError),
             ("connectTimeout", float("nan"), ValueError), ("readTimeout", 1e9, ValueError),
             ("connectTimeout", "5", TypeError), ("readTimeout", True, TypeError)]
    for name, value, error in wrong:
        with pytest.raises(error, match=name):
            cls(**{name: value})


def test_the_timeouts_in_urls():
    sync = connect("mysql://u@h/db?connectTimeout=5&readTimeout=0.5")
    assert (sync.connectTimeout, sync.readTimeout, sync.writeTimeout) == (5, 0.5, None)
    coroutine = connect("mysql+asyncio://u@h/db?writeTimeout=3&maxsize=2")
    assert (coroutine.connectTimeout, coroutine.writeTimeout, coroutine.maxsize) == (10, 3, 2)
    with pytest.raises(ValueError, match="readTimeout"):
        connect("mysql://u@h/db?readTimeout=0")
    with pytest.raises(ValueError, match="connectTimeout"):
        connect("mysql://u@h/db?connectTimeout=soon")
