"""The primary+replica MariaDB pair of the read-replica tests, started once per
session through scripts/replica-pair.sh and stopped at the end; and the
connectors with replicas that the tests run on it."""

import asyncio
import contextlib
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TESSARY_BUILD") or ROOT / "build").resolve()
SCRIPT = ROOT / "scripts" / "replica-pair.sh"
SERVER_ID_SQL = "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_VARIABLES WHERE VARIABLE_NAME = 'SERVER_ID'"
PRIMARY_ID, REPLICA_ID = 1, 2


def server_environment():
    """The servers are not instrumented: a sanitizer runtime preloaded into the
    test interpreter must not reach them."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


class Pair:
    """The running pair: its two URLs, a raw pymysql connection to each, and
    the script's verbs."""

    def __init__(self, folder):
        self.folder = folder
        self.urls = {}

    def script(self, verb):
        result = subprocess.run([str(SCRIPT), verb, str(self.folder)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=server_environment(), timeout=120)
        if result.returncode != 0 and verb != "status":
            pytest.fail(f"replica-pair.sh {verb} failed ({result.returncode}):\n{result.stdout}", pytrace=False)
        for role, url in re.findall(r"^(primary|replica) (mysql://\S+)$", result.stdout, re.M):
            self.urls[role] = url
        return result

    def params(self, role):
        match = re.match(r"mysql://(\w+)@([\d.]+):(\d+)/(\w+)", self.urls[role])
        user, host, port, database = match.groups()
        return {"user": user, "host": host, "port": int(port), "database": database, "password": ""}

    def raw(self, role):
        import pymysql
        return pymysql.connect(autocommit=True, **self.params(role))

    def query(self, role, sql, args=()):
        with contextlib.closing(self.raw(role)) as con, con.cursor() as cur:
            cur.execute(sql, args)
            return cur.fetchall()

    def synced(self, timeout=10):
        """Waits until the replica has applied everything the primary has written."""
        position = self.query("primary", "SELECT @@global.gtid_binlog_pos")[0][0]
        done = self.query("replica", "SELECT MASTER_GTID_WAIT(%s, %s)", (position, timeout))[0][0]
        assert done == 0, "the replica did not catch up"

    def selects_on_replica(self):
        return int(self.query("replica", "SHOW GLOBAL STATUS LIKE 'Com_select'")[0][1])


@pytest.fixture(scope="session")
def pair():
    if not shutil.which("mariadbd") and not Path("/usr/sbin/mariadbd").exists():
        pytest.skip("MariaDB is not installed (scripts/install-deps.sh installs mariadb-server)")
    started = Pair(BUILD / "replica-pair")
    started.script("start")
    try:
        yield started
    finally:
        started.script("stop")


class Routed:
    """A connector with the pair's replica (or the `replicas` given), of one of the four kinds; `run`
    gives a statement's result, awaited on the test's loop for the coroutine
    connectors."""

    def __init__(self, kind, pair, replicas=None, **options):
        from Tessary.DB.Connector import connect
        self.kind = kind
        self.is_async = kind.startswith("aio")
        self.loop = asyncio.new_event_loop() if self.is_async else None
        driver = {"native": "native", "pymysql": "pymysql", "aio-native": "native", "aiomysql": "aiomysql"}[kind]
        scheme = "mysql+asyncio" if self.is_async else "mysql"
        primary = pair.urls["primary"].replace("mysql://", scheme + "://")
        replicas = replicas or [pair.urls["replica"]]
        self.connector = connect(primary, driver=driver, replicas=replicas, **options)

    def run(self, result):
        return self.loop.run_until_complete(result) if self.is_async else result

    def close(self):
        if self.is_async:
            self.loop.run_until_complete(self.connector.close())
            self.loop.close()
        else:
            self.connector.close()


KINDS = ["native", "pymysql", "aio-native", "aiomysql"]
