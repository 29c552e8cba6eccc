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


class HangingProxy:
    """A TCP relay to the test server that, once `hang()` is called, keeps
    every byte the client sends and answers nothing: a server that hung
    with the connection still open."""

    def __init__(self, target):
        self.target = target
        self.hung = threading.Event()
        self.stop = threading.Event()
        self.sockets = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.05)
        self.threads = [threading.Thread(target=self.accept, daemon=True)]
        self.threads[0].start()

    @property
    def port(self):
        return self.listener.getsockname()[1]

    def hang(self):
        self.hung.set()

    def accept(self):
        while not self.stop.is_set():
            try:
                client = self.listener.accept()[0]
            except (TimeoutError, OSError):
                continue
            server = socket.create_connection(self.target)
            self.sockets += [client, server]
            for source, sink in ((client, server), (server, client)):
                relay = threading.Thread(target=self.relay, args=(source, sink), daemon=True)
                relay.start()
                self.threads.append(relay)

    def relay(self, source, sink):
        source.settimeout(0.05)
        while not self.stop.is_set():
            try:
                data = source.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                return
            if not data:
                return
            if not self.hung.is_set():
                sink.sendall(data)

    def close(self):
        self.stop.set()
        for thread in self.threads:
            thread.join()
        for sock in self.sockets:
            sock.close()
        self.listener.close()


@pytest.mark.parametrize("kind", KINDS)
def test_read_timeout_against_a_server_that_hangs_mid_session(mariadb_clean, kind):
    proxy = HangingProxy((mariadb_clean["host"], mariadb_clean["port"]))
    params = {key: value for key, value in mariadb_clean.items() if key != "unix_socket"}
    try:
        with made({**params, "port": proxy.port}, kind, readTimeout=1, connectTimeout=2) as mysql:
            assert [tuple(row) for row in mysql.sql("SELECT 1")] == [(1,)]  # through the relay
            proxy.hang()
            started = time.monotonic()
            with pytest.raises(pymysql.err.OperationalError):
                mysql.sql("SELECT 2")
            assert 0.9 <= time.monotonic() - started < 3.5
            # The hung connection is not reused: the next statement opens
            # another one, which meets the hung relay's connect in turn.
            with pytest.raises(pymysql.err.OperationalError):
                mysql.sql("SELECT 3")
    finally:
        proxy.close()


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
