"""The end-to-end script of the memory checkers (e2e_script.py) on SQLite and
MariaDB: as a plain run in every suite, so that it stays right, and under
valgrind memcheck when TESSARY_VALGRIND is set (scripts/valgrind.sh)."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).with_name("e2e_script.py")
DONE = "e2e: every step gave the expected result (SQLite and MySQL)\n"
# The interpreter is clean under memcheck with its allocator off (PYTHONMALLOC=malloc);
# leaks are not errors (the interpreter keeps memory until exit by design).
VALGRIND = ["valgrind", "--error-exitcode=99", "--errors-for-leak-kinds=none", "--leak-check=no",
            "--num-callers=30"]


def environment(mariadb_params, sanitizers=True):
    """This process's environment (a sanitizer runtime preloaded into the test
    run reaches the child too, unless `sanitizers` is false: valgrind cannot
    run it)."""
    unwanted = () if sanitizers else ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    env = {k: v for k, v in os.environ.items() if k not in unwanted}
    env["TESSARY_E2E_MYSQL"] = json.dumps(mariadb_params)
    return env


def test_script_tells_the_whole_story(mariadb_clean, tmp_path):
    child = subprocess.run([sys.executable, str(SCRIPT), str(tmp_path)], env=environment(mariadb_clean),
                           capture_output=True, text=True, timeout=300)
    assert (child.returncode, child.stdout) == (0, DONE), child.stderr[-3000:]


@pytest.mark.skipif(not os.environ.get("TESSARY_VALGRIND"), reason="valgrind runs through scripts/valgrind.sh")
def test_script_under_valgrind_memcheck(mariadb_clean, tmp_path):
    assert shutil.which("valgrind"), "valgrind is not installed (scripts/valgrind.sh installs it)"
    log = tmp_path / "memcheck.log"
    env = environment(mariadb_clean, sanitizers=False)
    env["PYTHONMALLOC"] = "malloc"
    child = subprocess.run([*VALGRIND, f"--log-file={log}", sys.executable, str(SCRIPT), str(tmp_path)],
                           env=env, capture_output=True, text=True, timeout=1800)
    report = log.read_text(errors="replace")
    assert "ERROR SUMMARY: 0 errors" in report, report[-20000:]
    assert (child.returncode, child.stdout) == (0, DONE), child.stderr[-3000:] + report[-5000:]
