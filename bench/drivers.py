"""Which engine Tessary runs its statements on during a group of workloads.

The connectors pick their engine when they are made: the native one by
default, the driver modules (sqlite3, pymysql, aiomysql) when the
environment variable TESSARY_DRIVER says "module". The suite sets that
variable around the making of each group's connector, so that one run can
time both engines against the same raw side. The raw sides never change:
they are always hand-written code on the driver modules.
"""

import contextlib
import os

CHOICES = ("default", "native", "module")
VARIABLE = "TESSARY_DRIVER"


def parse(text):
    """"native,module" -> ("native", "module"); unknown names are refused."""
    drivers = tuple(d.strip() for d in text.split(",") if d.strip())
    unknown = [d for d in drivers if d not in CHOICES]
    if unknown or not drivers:
        raise ValueError(f"--driver takes a comma-separated list of {', '.join(CHOICES)}, not {text!r}")
    return drivers


@contextlib.contextmanager
def chosen(driver):
    """TESSARY_DRIVER set for `driver` ("default" leaves it as the caller's
    environment has it), restored afterwards."""
    previous = os.environ.get(VARIABLE)
    if driver != "default":
        os.environ[VARIABLE] = driver
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop(VARIABLE, None)
        else:
            os.environ[VARIABLE] = previous


def label(backend, driver, drivers):
    """The backend as the table names it: plain for the only or the default
    engine, with the engine's name when the run compares several."""
    if driver == "default" or (len(drivers) == 1 and driver == "native"):
        return backend
    return f"{backend}, {driver}"


def connection_kind(con):
    """What the connector really connected with, as module.Type: the proof
    that the engine asked for is the one timed. A connection type serving
    both engines says which one it was opened with (its `driver`)."""
    kind = type(con)
    name = f"{kind.__module__}.{kind.__qualname__}"
    driver = getattr(con, "driver", None)
    return f"{name} ({driver})" if isinstance(driver, str) else name


def sync_engine(connector):
    return connection_kind(connector.getCon())


async def async_engine(connector):
    con = await connector.getCon()
    try:
        return connection_kind(con)
    finally:
        await connector.releaseCon(con)
