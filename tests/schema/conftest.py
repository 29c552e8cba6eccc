"""Fixtures of the schema tests: an empty database behind the handle on
SQLite and MariaDB (synchronous; `backend` on all four connectors where a
coroutine path exists), with a raw driver connection to check against."""

import pytest

from backend_support import installed_backend


@pytest.fixture(params=["sqlite", "mariadb"])
def db(request, tmp_path):
    """An empty database on a synchronous connector, installed on the handle."""
    yield from installed_backend(request, tmp_path)


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def backend(request, tmp_path):
    """An empty database on each of the four connectors, installed on the handle."""
    yield from installed_backend(request, tmp_path)
