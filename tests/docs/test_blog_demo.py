"""examples/blog.py, as scripts/demo.sh runs it: exit status, the sections
and their key lines, and the same story with the same rows on MariaDB."""

import re

import pytest

from conftest import ROOT, run_python

BLOG = ROOT / "examples" / "blog.py"

FILTER_SQL = ("  SQL  SELECT post.id,post.user_id,post.title,post.views,post.rating,post.published,post.draft "
              "FROM post WHERE  post.user_id in (%s, %s, %s, %s, %s)  AND  ( post.title  LIKE  %s  OR "
              "post.title  LIKE  %s )  AND post.views  >=  %s  ;")


def run_blog(*args, env=None):
    result = run_python([BLOG, *args], env=env)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def story(output):
    """The output from the first section on, without timings and the
    connector-specific CREATE TABLE text."""
    lines = output.splitlines()
    lines = lines[lines.index("2. Seeding with data_task and GeneratorRunner"):]
    lines = [re.sub(r"in \d+\.\d\d s$", "in <time>", line) for line in lines]
    return [re.sub(r"^  Aio(Sqlite|Mysql)Connector:", "  <connector>:", line) for line in lines]


@pytest.fixture(scope="module")
def sqlite_output():
    return run_blog()


def test_sections(sqlite_output):
    headings = [line for line in sqlite_output.splitlines() if re.match(r"^\d\. ", line)]
    assert headings == [
        "1. Tables from the model classes",
        "2. Seeding with data_task and GeneratorRunner",
        "3. A filtered query: IN, OR, LIKE and AND",
        "4. User 7 with profile, posts and their tags, loaded deep",
        "5. Page 2 of a filtered, ordered listing",
        "6. Updating user 7 together with its profile and posts",
        "7. Deleting post 109 and its tag links in one transaction",
        "8. The same story through the asyncio connector",
    ]


def test_key_lines(sqlite_output):
    lines = sqlite_output.splitlines()
    assert lines[0] == "Tessary blog demo on embedded SQLite"
    assert "CREATE TABLE post_tag( " in lines
    assert "  5397 rows in" in "\n".join(lines)
    assert FILTER_SQL in lines
    assert "       (1, 2, 3, 5, 8, '%asyncio%', '%SQLite%', 2500)" in lines
    assert "  SQL  select count(post.id) from post   WHERE post.views  >=  %s" in lines
    assert "  page 2 of 6, 8 per page, 44 matching posts" in lines
    assert "  19 statements: the profile, each of the 17 posts, then the user" in lines
    assert "  post 109 rows left: 0, tag links left: 0" in lines


def test_tables_are_aligned(sqlite_output):
    lines = sqlite_output.splitlines()
    header = lines.index("    id  user_id  title                views  rating  published")
    rule = lines[header + 1]
    assert set(rule.strip()) == {"-", " "}
    assert lines[header + 2] == "   109        8  Testing asyncio       3219     1.2  2024-02-02 03:00"


def test_asyncio_run_finds_what_the_synchronous_run_found(sqlite_output):
    lines = sqlite_output.splitlines()
    start = lines.index("8. The same story through the asyncio connector")
    assert lines[start + 2] == ("  AioSqliteConnector: every call below is awaited; the executors are "
                                "AsyncModelExecutors")
    steps = lines[start + 6:start + 12]
    assert [line[:36].strip() for line in steps] == [
        "seed with GeneratorRunner().arun()", "filtered query", "user 7 loaded deep", "page 2 of the listing",
        "update with related rows", "delete in a transaction"]
    assert all(line.endswith("  yes") for line in steps), steps


def test_environment_variable_and_option_name_the_same_database(tmp_path):
    result = run_python([BLOG, "--db", "postgres://x/y"])
    assert result.returncode != 0 and "expected mysql://" in result.stderr
    result = run_python([BLOG], env={"TESSARY_DB": "mysql://nobody@127.0.0.1:1/none"})
    assert result.returncode != 0 and "Tessary blog demo on MySQL/MariaDB at 127.0.0.1:1" in result.stdout


def test_same_story_on_mariadb(sqlite_output, mysql_url):
    output = run_blog("--db", mysql_url)
    assert output.splitlines()[0].startswith("Tessary blog demo on MySQL/MariaDB at 127.0.0.1:")
    assert story(output) == story(sqlite_output)
