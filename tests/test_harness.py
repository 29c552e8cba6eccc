"""The MariaDB test server of conftest.py: reachable both ways, and
`mariadb_clean` really empties the test database."""

import contextlib

import pymysql
import pytest


def connect(params, via):
    if via == "tcp":
        params = {k: v for k, v in params.items() if k != "unix_socket"}
    else:
        params = {k: v for k, v in params.items() if k not in ("host", "port")}
    return contextlib.closing(pymysql.connect(**params))


@pytest.mark.parametrize("via", ["tcp", "socket"])
def test_server_answers_on_both_transports(mariadb_params, via):
    with connect(mariadb_params, via) as con, con.cursor() as cur:
        cur.execute("SELECT VERSION(), DATABASE()")
        version, database = cur.fetchone()
    assert "MariaDB" in version
    assert database == "tessary_test"


def test_params_are_the_documented_keys(mariadb_params):
    assert mariadb_params.keys() == {"unix_socket", "host", "port", "user", "password", "database"}
    assert (mariadb_params["host"], mariadb_params["user"], mariadb_params["password"]) == ("127.0.0.1", "root", "")


@pytest.mark.parametrize("round_", [1, 2])
def test_clean_drops_tables_views_and_foreign_keys(mariadb_clean, round_):
    # Both rounds create the same names: the second fails unless the first's were dropped.
    with connect(mariadb_clean, "tcp") as con, con.cursor() as cur:
        cur.execute("SHOW TABLES")
        assert cur.fetchall() == ()
        cur.execute("CREATE TABLE parent (id INT PRIMARY KEY)")
        cur.execute("CREATE TABLE child (id INT PRIMARY KEY, parent_id INT, "
                    "FOREIGN KEY (parent_id) REFERENCES parent (id))")
        cur.execute("CREATE VIEW child_ids AS SELECT id FROM child")
        cur.execute("INSERT INTO parent VALUES (%s)", (round_,))
        con.commit()
