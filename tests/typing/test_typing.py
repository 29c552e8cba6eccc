"""The types pyright reveals in typing_checks.py are the ones its comments
name: each `reveal_type(...)` line ends with `# <type>`. (scripts/typecheck.sh
runs both checkers over it, the guide and the examples, failing on errors.)"""

import json
import re
import subprocess
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
PYRIGHT = ROOT / "build-tools" / "pyright" / "node_modules" / ".bin" / "pyright"
CHECKS = HERE / "typing_checks.py"
REVEALED = re.compile(r'^Type of ".*" is "(.*)"$', re.S)


def expectations():
    """Line number -> the type the line's last comment names, for each reveal_type line."""
    found = {}
    for number, line in enumerate(CHECKS.read_text().splitlines(), 1):
        if line.lstrip().startswith("reveal_type("):
            found[number] = line.rsplit("#", 1)[1].strip()
    return found


@pytest.fixture(scope="module")
def report():
    if not PYRIGHT.exists():
        pytest.skip("pyright is not installed (scripts/install-deps.sh installs it)")
    run = subprocess.run([str(PYRIGHT), "--outputjson", "-p", str(HERE / "pyrightconfig.json"), str(CHECKS)],
                         cwd=ROOT, capture_output=True, text=True, timeout=300)
    return json.loads(run.stdout)


def test_no_errors(report):
    errors = [f"{d['range']['start']['line'] + 1}: {d['message']}" for d in report["generalDiagnostics"]
              if d["severity"] == "error"]
    assert errors == []


def test_revealed_types(report):
    revealed = {}
    for d in report["generalDiagnostics"]:
        match = REVEALED.match(d["message"])
        if d["severity"] == "information" and match:
            revealed[d["range"]["start"]["line"] + 1] = match.group(1)
    expected = expectations()
    assert len(expected) > 40
    assert {n: revealed.get(n) for n in expected} == expected
