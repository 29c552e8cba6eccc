"""How long the event loop stalls while asyncio SQLite runs a long query.

A heartbeat task sleeps 5 ms in a loop and records the gaps between its
beats. Each run measures, in one process: the heartbeat alone (the baseline:
what the machine's load does to a 5 ms sleep), then during a query of about
QUERY_SECONDS on AioSqliteConnector's native driver and on driver="sqlite3"
(statements on worker threads): one long step (a recursive count) and a
query returning many rows. The table gives the largest and the 99th
percentile gap of each (milliseconds, the median over the runs), the query's
wall and CPU time, and the largest gap over the baseline's.

    $PY bench/heartbeat.py              three runs
    $PY bench/heartbeat.py --runs 5

Needs the package on PYTHONPATH (source scripts/env.sh).
"""

import argparse
import asyncio
import os
import statistics
import tempfile
import time

from Tessary.DB.Connector import AioSqliteConnector
from Tessary.DB.DB import DB

COUNTING = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %s) SELECT count(*) FROM c"
MANY_ROWS = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %s) SELECT x, 'row' FROM c"
QUERY_SECONDS = 2.0


async def with_heartbeat(work):
    """Gaps between 5 ms beats while `work` (an awaitable, or seconds to
    sleep) runs, and the work's wall and CPU seconds."""
    gaps = []
    stop = asyncio.Event()

    async def beat():
        last = time.perf_counter()
        while not stop.is_set():
            await asyncio.sleep(0.005)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    beating = asyncio.create_task(beat())
    await asyncio.sleep(0.02)
    gaps.clear()
    wall, cpu = time.perf_counter(), time.process_time()
    await (asyncio.sleep(work) if isinstance(work, float) else work)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    stop.set()
    await beating
    gaps.sort()
    return {"max": gaps[-1], "p99": gaps[int(len(gaps) * 0.99)], "wall": wall, "cpu": cpu}


async def calibrate(sql, seconds):
    """The count that makes `sql` take about `seconds` here."""
    n = 100_000
    while True:
        started = time.perf_counter()
        await DB.getInstance().executeSql(sql, args=(n,))
        took = time.perf_counter() - started
        if took > 0.2:
            return int(n * seconds / took)
        n *= 4


async def one_run(path, sizes):
    handle = DB.getInstance()
    results = {"idle": await with_heartbeat(QUERY_SECONDS)}
    for driver in ("native", "sqlite3"):
        handle.connector = AioSqliteConnector(path, driver=driver)
        try:
            for name, sql in (("one long step", COUNTING), ("many rows", MANY_ROWS)):
                results[f"{driver}: {name}"] = await with_heartbeat(handle.executeSql(sql, args=(sizes[name],)))
        finally:
            await handle.connector.close()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "heartbeat.db")

        async def sizes():
            DB.getInstance().connector = AioSqliteConnector(path, driver="sqlite3")
            try:
                return {"one long step": await calibrate(COUNTING, QUERY_SECONDS),
                        "many rows": await calibrate(MANY_ROWS, QUERY_SECONDS)}
            finally:
                await DB.getInstance().connector.close()
        counts = asyncio.run(sizes())
        runs = [asyncio.run(one_run(path, counts)) for _ in range(args.runs)]
    print(f"heartbeat: 5 ms sleeps; queries of about {QUERY_SECONDS:.0f} s; medians of {args.runs} runs")
    print(f"{'during':28} {'max gap ms':>10} {'p99 gap ms':>10} {'max/idle':>9} {'query wall s':>12} {'query CPU s':>11}")
    idle = statistics.median(r["idle"]["max"] for r in runs)
    for key in runs[0]:
        pick = lambda field: statistics.median(r[key][field] for r in runs)  # noqa: E731
        print(f"{key:28} {pick('max') * 1000:10.1f} {pick('p99') * 1000:10.1f} {pick('max') / idle:8.2f}x "
              f"{pick('wall'):12.2f} {pick('cpu'):11.2f}")


if __name__ == "__main__":
    main()
