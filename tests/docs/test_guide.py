"""docs/guide.md cannot rot: every Python block runs, in order, in one fresh
interpreter, and prints what the output block after it says; the MariaDB
blocks run against the test server."""

import textwrap

from conftest import ROOT, run_python

GUIDE = ROOT / "docs" / "guide.md"
RUNNER = ROOT / "tests" / "docs" / "guide_runner.py"


def run_guide(path=GUIDE, *options, env=None):
    result = run_python([RUNNER, path, *options], env=env)
    return result.returncode, result.stdout + result.stderr


def test_guide_on_sqlite():
    status, report = run_guide()
    assert status == 0, report
    assert report.endswith(" failed\n") and " 0 failed" in report


def test_guide_with_mariadb(mariadb_clean):
    env = {"MYSQL_HOST": mariadb_clean["host"], "MYSQL_PORT": str(mariadb_clean["port"]),
           "MYSQL_USER": mariadb_clean["user"], "MYSQL_PASSWORD": mariadb_clean["password"],
           "MYSQL_DATABASE": mariadb_clean["database"]}
    status, report = run_guide(GUIDE, "--mariadb", env=env)
    assert status == 0, report


def test_readme_links_the_guide():
    assert "(docs/guide.md)" in (ROOT / "README.md").read_text()


def test_runner_reports_wrong_output_and_failures_by_guide_line(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(textwrap.dedent("""\
        ```python
        x = 2
        print(x * 3)
        ```

        ```text
        7
        ```

        ```python
        print(x)
        ```

        ```python
        raise LookupError("from the guide")
        ```
        """))
    status, report = run_guide(page)
    assert status == 1
    assert f"{page}:1: output differs from the text block at line 6" in report
    assert f"{page}:14: block failed" in report
    assert f'File "{page}", line 15' in report and "LookupError: from the guide" in report
    assert report.endswith("3 blocks ran, 2 failed\n")
