"""Fixtures of the seeding tests: the seeded models, every backend behind the
database handle, and group names no other test uses (the task registry lives
as long as the process)."""

import itertools

import pytest

from seeder_support import declare_models, installed, make_backend


@pytest.fixture(scope="session")
def models():
    return declare_models()


_groups = itertools.count()


@pytest.fixture
def group(request):
    """A group key of this test alone."""
    return f"{request.node.name}#{next(_groups)}"


@pytest.fixture(params=["sqlite", "mariadb"])
def backend(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            yield current
        finally:
            current.close()


@pytest.fixture
def tables(backend, models):
    backend.create(models.User, models.Item)
    return models
