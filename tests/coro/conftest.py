import asyncio

import pytest


def pytest_configure(config):
    # Debian's pytest 7.2 rewrites assertions with ast classes deprecated in 3.13.
    config.addinivalue_line("filterwarnings", "ignore:ast.* is deprecated:DeprecationWarning")


@pytest.fixture
def loop():
    event_loop = asyncio.new_event_loop()
    yield event_loop
    event_loop.close()
