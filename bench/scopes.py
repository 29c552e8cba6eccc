"""Scoped requests on a pool against thread-held connections.

Eight worker threads serve the same requests (a SELECT by key and an
INSERT each) two ways, in the same run, on the same database:

  held     each worker keeps the connection of its first statement (one per
           thread, eight open), as a synchronous connector always did;
  scoped   each request runs in `with connector.scope():`, no bound: the
           cost of lending and giving back a connection per request (the
           rollback check included), with as many connections as workers;
  scoped4  the same with maxConnections=4: the workers share four pooled
           connections, and a worker waits while the four are lent.

The figures are the time of each scoped side over `held` (wall and CPU, the
process's CPU time). Each run times the three sides once after a warm-up,
in a rotating order.

  bench/scopes.py [--requests 20000] [--runs 3] [--backends sqlite,mariadb]
                  [--mariadb mysql://user@localhost/db?unix_socket=...]

Without --mariadb a throw-away server is started under build-bench/ when
mariadbd is installed (bench/mariadb.py)."""

import argparse
import os
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from Tessary.DB.Connector import MysqlConnector, Sqlite3Connector  # noqa: E402

import mariadb as mariadb_support  # noqa: E402

THREADS = 8
POOL = 4


def sqlite_connectors(folder):
    path = os.path.join(folder, "scopes.db")

    def make(**options):
        return Sqlite3Connector(path, pragmas={"journal_mode": "wal", "synchronous": "normal"}, **options)

    return make, "INTEGER PRIMARY KEY"


def mariadb_connectors(settings):
    def make(**options):
        return MysqlConnector(**settings, **options)

    return make, "INT AUTO_INCREMENT PRIMARY KEY"


def prepare(make, key):
    setup = make()
    setup.query("DROP TABLE IF EXISTS scope_hits")
    setup.query("DROP TABLE IF EXISTS scope_pages")
    setup.query(f"CREATE TABLE scope_hits (id {key}, page INT)")
    setup.query("CREATE TABLE scope_pages (id INT PRIMARY KEY, title VARCHAR(40))")
    for n in range(100):
        setup.query("INSERT INTO scope_pages VALUES (%s, %s)", (n, f"page {n}"))
    setup.close()


def serve(connector, requests, scoped):
    """Runs `requests` requests on THREADS threads; (wall, cpu) seconds."""

    def request(n):
        page = n % 100
        rows = connector.query("SELECT title FROM scope_pages WHERE id = %s", (page,))
        assert rows[0][0] == f"page {page}"
        connector.write("INSERT INTO scope_hits (page) VALUES (%s)", (page,))

    def worker(w):
        for n in range(w, requests, THREADS):
            if scoped:
                with connector.scope():
                    request(n)
            else:
                request(n)

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(THREADS)]
    wall, cpu = time.perf_counter(), time.process_time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - wall, time.process_time() - cpu


# side name -> (scoped, maxConnections)
SIDES = {"held": (False, None), "scoped": (True, None), "scoped4": (True, POOL)}


def one_side(make, requests, side):
    scoped, bound = SIDES[side]
    connector = make(maxConnections=bound)
    try:
        serve(connector, max(requests // 10, THREADS), scoped)  # warm-up: connections opened, caches filled
        return serve(connector, requests, scoped)
    finally:
        connector.close()


def one_run(make, requests, run):
    names = list(SIDES)
    order = names[run % 3:] + names[:run % 3]
    return {side: one_side(make, requests, side) for side in order}


def report(name, requests, runs):
    print(f"{name}: {requests:,} requests on {THREADS} threads, {len(runs)} runs")
    for side in SIDES:
        walls = [run[side][0] for run in runs]
        cpus = [run[side][1] for run in runs]
        line = f"  {side:8} median {requests / sorted(walls)[len(walls) // 2]:,.0f} requests/s"
        if side != "held":
            line += ("; over held: wall " + ", ".join(f"{run[side][0] / run['held'][0]:.2f}x" for run in runs)
                     + "; CPU " + ", ".join(f"{run[side][1] / run['held'][1]:.2f}x" for run in runs))
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--backends", default="sqlite,mariadb")
    parser.add_argument("--mariadb", help="a server's URL instead of a throw-away one")
    args = parser.parse_args()
    backends = args.backends.split(",")
    server = None
    folder = tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    try:
        for name in backends:
            if name == "sqlite":
                make, key = sqlite_connectors(folder)
            elif name == "mariadb":
                if args.mariadb:
                    settings = mariadb_support.settings_from_url(args.mariadb)
                else:
                    server = mariadb_support.ThrowawayServer(HERE.parent / "build-bench" / "mariadb-scopes")
                    settings = server.start()
                make, key = mariadb_connectors(settings)
            else:
                parser.error(f"unknown backend {name!r}")
            prepare(make, key)
            report(name, args.requests, [one_run(make, args.requests, run) for run in range(args.runs)])
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
