"""Session-wide test setup: the built package on the path, and a throw-away
MariaDB server started on first use.

The server lives under the build folder (``$TESSARY_BUILD``, else
``<root>/build``), in ``mariadb/``: concurrent sessions in different build
folders each run their own server on a port chosen free at start. Sessions
sharing one build folder take turns (an exclusive lock held for the session).
"""

import contextlib
import ctypes
import fcntl
import importlib.util
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("TESSARY_BUILD") or ROOT / "build").resolve()
PKG = BUILD / "pkg"

# env.sh puts the package on PYTHONPATH; a bare `pytest tests` relies on this.
if importlib.util.find_spec("Tessary") is None and PKG.is_dir():
    sys.path.insert(0, str(PKG))

TEST_DATABASE = "tessary_test"
STARTUP_TIMEOUT = 120.0
SHUTDOWN_TIMEOUT = 60.0
# sockaddr_un holds 108 bytes; a deep build folder gets its socket in /tmp.
MAX_SOCKET_PATH = 100


# Hypothesis keeps its example database and caches with the build, not in
# the work tree.
try:
    from hypothesis.configuration import set_hypothesis_home_dir
except ImportError:
    pass
else:
    set_hypothesis_home_dir(str(BUILD / "hypothesis"))


# Test folders are not packages, so every folder's conftest.py and test
# modules are imported under bare names ("conftest", "test_write") and a whole
# run would hand one folder another's. Just before a test module is imported,
# the name `conftest` is pointed at its own folder's conftest and a test module
# of the same name from another folder is forgotten.
_folder_conftests = {}


def pytest_plugin_registered(plugin, manager):
    path = getattr(plugin, "__file__", None)
    if path and Path(path).name == "conftest.py":
        _folder_conftests[Path(path).resolve().parent] = plugin


@pytest.hookimpl(hookwrapper=True)
def pytest_make_collect_report(collector):
    if isinstance(collector, pytest.Module):
        path = Path(collector.path).resolve()
        own = _folder_conftests.get(path.parent)
        if own is not None:
            sys.modules["conftest"] = own
        same_name = sys.modules.get(path.stem)
        if same_name is not None and getattr(same_name, "__file__", None) \
                and Path(same_name.__file__).resolve() != path:
            del sys.modules[path.stem]
    yield


def pytest_report_header(config):
    spec = importlib.util.find_spec("Tessary")
    where = spec.submodule_search_locations[0] if spec else "not importable"
    return [f"Tessary package: {where}", f"build folder: {BUILD}"]


def find_program(name):
    """Looks in PATH and in the sbin folders, which root's PATH may lack."""
    extra = os.pathsep.join(["/usr/sbin", "/usr/local/sbin", "/sbin"])
    return shutil.which(name) or shutil.which(name, path=extra)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def die_with_parent():
    """Runs in the forked child: a killed test session takes its server along."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def server_environment():
    """The server is not instrumented: a sanitizer runtime preloaded into the
    test interpreter must not reach it."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


class MariaDBServer:
    """One mariadbd on a data directory of its own; start() and stop() are
    called once each, by the session fixture."""

    def __init__(self, base: Path):
        self.base = base
        self.datadir = base / "data"
        self.log = base / "server.log"
        self.pidfile = base / "mariadbd.pid"
        self.socket_dir = None
        self.socket = base / "sock"
        self.port = None
        self.process = None
        self.lock = None

    # -- setup ---------------------------------------------------------------

    def start(self):
        mariadbd = find_program("mariadbd")
        install_db = find_program("mariadb-install-db")
        if not mariadbd or not install_db:
            pytest.fail("mariadbd / mariadb-install-db not found: these tests need a MariaDB server "
                        "(scripts/install-deps.sh installs the Debian package mariadb-server)",
                        pytrace=False)
        self.base.mkdir(parents=True, exist_ok=True)
        self.take_lock()
        self.stop_orphan()
        self.install(install_db)
        if len(str(self.socket)) > MAX_SOCKET_PATH:
            self.socket_dir = Path(tempfile.mkdtemp(prefix="tessary-mariadb-"))
            self.socket = self.socket_dir / "sock"
        for _attempt in range(3):
            self.port = free_port()
            if self.launch(mariadbd):
                return
        self.fail_with_log("mariadbd kept failing to start")

    def take_lock(self):
        self.lock = open(self.base / "session.lock", "w")
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            sys.stderr.write(f"\nwaiting for another test session using {self.base}\n")
            fcntl.flock(self.lock, fcntl.LOCK_EX)

    def stop_orphan(self):
        """A server left behind by a session that died. Holding the lock, any
        mariadbd on our data directory is such an orphan."""
        try:
            pid = int(self.pidfile.read_text().strip())
            cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
        except (OSError, ValueError):
            return
        if b"mariadbd" not in cmdline or str(self.datadir).encode() not in cmdline:
            return
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + SHUTDOWN_TIMEOUT
        while process_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.2)
        if process_alive(pid):
            os.kill(pid, signal.SIGKILL)

    def install(self, install_db):
        """Creates the system tables once; the marker is written last so that
        an interrupted install is redone."""
        marker = self.base / "installed"
        if marker.exists() and (self.datadir / "mysql").is_dir():
            return
        shutil.rmtree(self.datadir, ignore_errors=True)
        result = subprocess.run(
            [install_db, "--no-defaults", f"--datadir={self.datadir}", "--user=root",
             "--auth-root-authentication-method=normal"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            env=server_environment())
        if result.returncode != 0:
            pytest.fail(f"mariadb-install-db failed ({result.returncode}):\n{result.stdout}", pytrace=False)
        marker.write_text("")

    def launch(self, mariadbd):
        """Starts the server and waits until it answers on its socket. False
        when it exited early because the port was taken meanwhile."""
        with contextlib.suppress(FileNotFoundError):
            self.socket.unlink()
        command = [
            mariadbd, "--no-defaults", f"--datadir={self.datadir}", f"--socket={self.socket}",
            f"--port={self.port}", "--bind-address=127.0.0.1", "--user=root",
            f"--pid-file={self.pidfile}", "--character-set-server=utf8mb4",
            "--collation-server=utf8mb4_general_ci",
            # Durability is worthless for a throw-away server; DDL-heavy tests run faster.
            "--innodb-flush-log-at-trx-commit=0", "--innodb-doublewrite=0",
            "--innodb-buffer-pool-size=64M",
        ]
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, env=server_environment(),
                                            preexec_fn=die_with_parent)
        deadline = time.monotonic() + STARTUP_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                if b"Address already in use" in self.log.read_bytes():
                    return False
                self.fail_with_log(f"mariadbd exited with status {self.process.returncode}")
            if self.answers():
                return True
            time.sleep(0.2)
        self.stop()
        self.fail_with_log(f"mariadbd did not answer within {STARTUP_TIMEOUT:.0f} s")

    def answers(self):
        import pymysql
        try:
            pymysql.connect(unix_socket=str(self.socket), user="root", connect_timeout=2).close()
        except pymysql.err.OperationalError:
            return False
        return True

    def fail_with_log(self, message):
        try:
            tail = self.log.read_text(errors="replace").splitlines()[-30:]
        except OSError:
            tail = []
        pytest.fail(message + f"; last lines of {self.log}:\n" + "\n".join(tail), pytrace=False)

    def params(self):
        return {"unix_socket": str(self.socket), "host": "127.0.0.1", "port": self.port,
                "user": "root", "password": "", "database": TEST_DATABASE}

    def create_database(self):
        """Over TCP, so that a server unreachable that way fails here, once."""
        import pymysql
        params = self.params()
        del params["unix_socket"], params["database"]
        with contextlib.closing(pymysql.connect(**params)) as con, con.cursor() as cur:
            cur.execute(f"DROP DATABASE IF EXISTS {TEST_DATABASE}")
            cur.execute(f"CREATE DATABASE {TEST_DATABASE} CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci")

    # -- teardown ------------------------------------------------------------

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=SHUTDOWN_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def release(self):
        self.stop()
        if self.socket_dir is not None:
            shutil.rmtree(self.socket_dir, ignore_errors=True)
        if self.lock is not None:
            self.lock.close()
            self.lock = None


@pytest.fixture(scope="session")
def mariadb_params():
    """Connection parameters of a fresh, empty database `tessary_test` on a
    throw-away MariaDB server, started the first time a test asks for it."""
    try:
        import pymysql  # noqa: F401
    except ImportError:
        pytest.fail("pymysql is not importable (scripts/install-deps.sh installs python3-pymysql)",
                    pytrace=False)
    server = MariaDBServer(BUILD / "mariadb")
    try:
        server.start()
        server.create_database()
        yield server.params()
    finally:
        server.release()


@pytest.fixture
def mariadb_clean(mariadb_params):
    """The test database emptied of every table and view; returns a copy of
    the connection parameters."""
    import pymysql
    with contextlib.closing(pymysql.connect(**mariadb_params)) as con, con.cursor() as cur:
        cur.execute("SELECT table_name, table_type FROM information_schema.tables WHERE table_schema = %s",
                    (mariadb_params["database"],))
        tables = cur.fetchall()
        cur.execute("SET FOREIGN_KEY_CHECKS = 0")
        for name, kind in tables:
            what = "VIEW" if kind == "VIEW" else "TABLE"
            cur.execute(f"DROP {what} IF EXISTS `{name}`")
        cur.execute("SET FOREIGN_KEY_CHECKS = 1")
    return dict(mariadb_params)


@pytest.fixture
def logged_statements():
    """The text of every statement the `Tessary.sql` logger records while the
    test runs (the logger enabled at DEBUG for it, then put back)."""
    import logging

    log = logging.getLogger("Tessary.sql")
    seen = []

    class Kept(logging.Handler):
        def emit(self, record):
            seen.append(record.statement)

    saved = log.level, log.disabled
    kept = Kept(logging.DEBUG)
    log.addHandler(kept)
    log.setLevel(logging.DEBUG)
    log.disabled = False
    try:
        yield seen
    finally:
        log.removeHandler(kept)
        log.setLevel(saved[0])
        log.disabled = saved[1]
