"""Scoped requests on a pool against thread-held connections.

Eight worker threads serve the same requests (a SELECT by key and an
INSERT each) two ways, in the same run, on the same database:

  held    each worker keeps the connection of its first statement (one per
          thread, eight open), as a synchronous connector always did;
  scoped  each request runs in `with connector.scope():` with
          maxConnections=4: the workers share four pooled connections.

The figure is the time of `scoped` over `held` (wall and CPU, the process's
CPU time): the cost of lending and giving back a connection per request,
rollback check included, against keeping one per thread. Each run times
both sides once after a warm-up, alternating which goes first.

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


def one_side(make, requests, scoped):
    connector = make(maxConnections=POOL) if scoped else make()
    try:
        serve(connector, max(requests // 10, THREADS), scoped)  # warm-up: connections opened, caches filled
        return serve(connector, requests, scoped)
    finally:
        connector.close()


def one_run(make, requests, run):
    order = [False, True] if run % 2 == 0 else [True, False]
    timings = {}
    for scoped in order:
        timings[scoped] = one_side(make, requests, scoped)
    held, scoped = timings[False], timings[True]
    return {"held": held, "scoped": scoped, "wall": scoped[0] / held[0], "cpu": scoped[1] / held[1]}


def report(name, requests, runs):
    walls = [r["wall"] for r in runs]
    cpus = [r["cpu"] for r in runs]
    median = sorted(range(len(runs)), key=lambda i: walls[i])[len(runs) // 2]
    best = runs[median]
    rate = lambda seconds: f"{requests / seconds:,.0f}/s"  # noqa: E731
    print(f"{name}: {requests:,} requests on {THREADS} threads")
    print(f"  held   (8 connections): {rate(best['held'][0])} wall, {best['held'][1]:.2f} s CPU")
    print(f"  scoped (pool of {POOL}):   {rate(best['scoped'][0])} wall, {best['scoped'][1]:.2f} s CPU")
    print("  scoped / held time: wall " + ", ".join(f"{w:.2f}x" for w in walls)
          + "; CPU " + ", ".join(f"{c:.2f}x" for c in cpus))


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
