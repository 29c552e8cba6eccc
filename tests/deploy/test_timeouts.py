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
