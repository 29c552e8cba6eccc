"""The database handle's connector swapped for the length of a block; shared
by the test folders (pytest puts this folder on sys.path through its
conftest.py)."""

import contextlib

from Tessary.DB.DB import DB


@contextlib.contextmanager
def installed(connector):
    """Installs `connector` on the handle, yields the handle, and puts the
    previous connector back."""
    handle = DB.getInstance()
    previous = handle.connector
    handle.connector = connector
    try:
        yield handle
    finally:
        handle.connector = previous
