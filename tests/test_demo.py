"""examples/demo.py runs as the README promises."""

import os
import subprocess
import sys
from pathlib import Path

import Tessary

ROOT = Path(__file__).resolve().parent.parent


def test_demo_runs_on_embedded_sqlite():
    package_root = str(Path(Tessary.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root, *sys.path]))
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1] == ("('SELECT user.id,user.name,user.age FROM user WHERE user.age  >  %s  AND "
                        "user.name  LIKE  %s  order by user.id desc limit 0, 10;', (18, 'a%'))")
    assert "alice wrote ['hello', 'again']" in lines
    assert lines[-1] == "page 2 of 2 (3 users): [('anna', 1)]"
