"""Fixtures of the reliability tests: each behaviour on a SQLite file and on
the throw-away MariaDB, synchronously or through the asyncio connectors; and
a MariaDB server of their own that the fault tests stop and start."""

from pathlib import Path

import pytest

from reliability_support import declare_models, installed, make_backend


@pytest.fixture(scope="session")
def models():
    return declare_models()


def _backend(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture(params=["sqlite", "mariadb"])
def backend(request, tmp_path):
    yield from _backend(request, tmp_path)


@pytest.fixture(params=["aiosqlite", "aiomysql"])
def async_backend(request, tmp_path):
    yield from _backend(request, tmp_path)


@pytest.fixture
def tables(backend, models):
    backend.create(*models.all)
    return models


@pytest.fixture
def async_tables(async_backend, models):
    async_backend.create(*models.all)
    return models


@pytest.fixture(scope="session")
def own_server(request):
    """A MariaDB server apart from the session's (which must stay up), made
    by the session's server class in <build>/mariadb-faults; `stop()` takes it
    down, `restart()` brings it back on the same port."""
    root = request.config.pluginmanager.get_plugin(str(Path(request.config.rootpath, "tests", "conftest.py")))
    server = root.MariaDBServer(root.BUILD / "mariadb-faults")

    def restart():
        assert server.launch(root.find_program("mariadbd")), "the server did not come back on its port"

    server.restart = restart
    try:
        server.start()
        server.create_database()
        yield server
    finally:
        server.release()
