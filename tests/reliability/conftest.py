"""Fixtures of the reliability tests: each behaviour on a SQLite file and on
the throw-away MariaDB, synchronously or through the asyncio connectors."""

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
