"""Shared helpers of the documentation tests: running a script of the
repository in a fresh interpreter that sees the built package."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import Tessary

ROOT = Path(__file__).resolve().parents[2]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes more than half a minute (a full build)")


def package_root():
    return str(Path(Tessary.__file__).resolve().parent.parent)


def run_python(args, env=None, timeout=600):
    """`python args...` with the built package and this session's path in
    front, from the repository root; returns the CompletedProcess."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root(), *sys.path]))
    environment.pop("TESSARY_DB", None)
    environment.update(env or {})
    return subprocess.run([sys.executable, *map(str, args)], cwd=ROOT, env=environment,
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def mysql_url(mariadb_clean):
    p = mariadb_clean
    return f"mysql://{p['user']}@{p['host']}:{p['port']}/{p['database']}"
