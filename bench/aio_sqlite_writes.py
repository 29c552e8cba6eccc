"""Concurrent writers on asyncio SQLite against the synchronous connector.

The same rows are written by both sides on the same database file:
WRITERS writers each save ROWS users with saveAll, then update them one by
one, then delete them one by one. On AioSqliteConnector the writers are
coroutines running together on one loop; on Sqlite3Connector (the baseline,
measured in the same run) they run one after the other, the cheapest way
for one thread to write the rows at all. Each phase is timed separately,
wall-clock and CPU, and the table gives the asyncio side's rate as a
fraction of the synchronous side's (>= 1.00: at least as fast).

    $PY bench/aio_sqlite_writes.py                  three runs, default sizes
    $PY bench/aio_sqlite_writes.py --runs 5 --pragmas wal
    $PY bench/aio_sqlite_writes.py --driver sqlite3 the asyncio side on the sqlite3 module

Needs the package on PYTHONPATH (source scripts/env.sh).
"""

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from schema import SQLITE_DDL, User, user_row  # noqa: E402

from Tessary.DB.Connector import AioSqliteConnector, Sqlite3Connector  # noqa: E402
from Tessary.DB.DB import DB  # noqa: E402

PHASES = ("saveAll", "update", "delete")
PRAGMAS = {"default": None, "wal": {"journal_mode": "wal", "synchronous": "normal"}}


def new_users(writer, rows):
    return [User(name=name, age=age, email=email, score=score)
            for name, age, email, score in (user_row(writer * rows + i + 1) for i in range(rows))]


class Clock:
    """Wall-clock and CPU seconds of each phase."""

    def __init__(self):
        self.times = {}

    def phase(self, name, started):
        self.times[name] = (time.perf_counter() - started[0], time.process_time() - started[1])

    @staticmethod
    def now():
        return time.perf_counter(), time.process_time()


def sync_side(path, writers, rows, pragmas):
    handle = DB.getInstance()
    connector = Sqlite3Connector(path, pragmas=pragmas)
    handle.connector = connector
    executor = User.getExecutor()
    batches = [new_users(w, rows) for w in range(writers)]
    clock = Clock()
    started = clock.now()
    for batch in batches:
        executor.saveAll(batch)
    clock.phase("saveAll", started)
    started = clock.now()
    for batch in batches:
        for user in batch:
            user["score"] = 1.0
            executor.update(user)
    clock.phase("update", started)
    started = clock.now()
    for batch in batches:
        for user in batch:
            executor.delete(user)
    clock.phase("delete", started)
    return clock.times


def async_side(path, writers, rows, pragmas, driver):
    handle = DB.getInstance()
    loop = asyncio.new_event_loop()
    connector = AioSqliteConnector(path, maxsize=writers, driver=driver, pragmas=pragmas)
    handle.connector = connector
    batches = [new_users(w, rows) for w in range(writers)]
    clock = Clock()

    async def phase(name, work):
        started = clock.now()
        await asyncio.gather(*(work(batch) for batch in batches))
        clock.phase(name, started)

    async def save(batch):
        await User.getExecutor().saveAll(batch)

    async def update(batch):
        for user in batch:
            user["score"] = 1.0
            await User.getExecutor().update(user)

    async def delete(batch):
        for user in batch:
            await User.getExecutor().delete(user)

    async def story():
        await handle.executeSql("SELECT 1")  # the pool is ready before the clock starts
        await phase("saveAll", save)
        await phase("update", update)
        await phase("delete", delete)
        await connector.close()

    try:
        loop.run_until_complete(story())
    finally:
        loop.close()
    return clock.times


def fresh_file(folder, n):
    import sqlite3
    path = os.path.join(folder, f"writes{n}.db")
    raw = sqlite3.connect(path)
    for ddl in SQLITE_DDL:
        raw.execute(ddl)
    raw.commit()
    raw.close()
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--writers", type=int, default=10)
    parser.add_argument("--rows", type=int, default=100, help="rows per writer")
    parser.add_argument("--pragmas", choices=sorted(PRAGMAS), default="default")
    parser.add_argument("--driver", default="native", help="the asyncio connector's driver")
    args = parser.parse_args()
    pragmas = PRAGMAS[args.pragmas]
    results = {"sync": [], "async": []}
    with tempfile.TemporaryDirectory() as folder:
        for run in range(args.runs):
            # Alternate which side goes first; each side gets a new file.
            order = ("sync", "async") if run % 2 == 0 else ("async", "sync")
            for side in order:
                path = fresh_file(folder, f"{run}{side}")
                if side == "sync":
                    results[side].append(sync_side(path, args.writers, args.rows, pragmas))
                else:
                    results[side].append(async_side(path, args.writers, args.rows, pragmas, args.driver))
    total = args.writers * args.rows
    print(f"{args.writers} writers x {args.rows} rows ({total} rows), pragmas {args.pragmas}, "
          f"asyncio driver {args.driver}, {args.runs} runs (medians)")
    print(f"{'phase':8} {'sync rows/s':>12} {'asyncio rows/s':>15} {'rate ratio wall':>16} {'rate ratio CPU':>15}"
          f"   per run (wall)")
    for name in PHASES:
        sync_wall = [r[name][0] for r in results["sync"]]
        async_wall = [r[name][0] for r in results["async"]]
        sync_cpu = [r[name][1] for r in results["sync"]]
        async_cpu = [r[name][1] for r in results["async"]]
        wall = statistics.median(sync_wall) / statistics.median(async_wall)
        cpu = statistics.median(sync_cpu) / statistics.median(async_cpu)
        runs = " ".join(f"{s / a:.2f}" for s, a in zip(sync_wall, async_wall))
        print(f"{name:8} {total / statistics.median(sync_wall):12.0f} {total / statistics.median(async_wall):15.0f} "
              f"{wall:15.2f}x {cpu:14.2f}x   [{runs}]")


if __name__ == "__main__":
    main()
