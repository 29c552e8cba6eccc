"""Read replicas on the primary+replica pair (scripts/replica-pair.sh): what
sending reads to a replica costs or gives against the primary alone, and
what causal reads cost after a write, measured in the same run.

    $PY bench/replicas.py [--folder DIR] [--runs 3] [--reads 4000] [--cycles 1000] [--threads 4]

Each case runs --runs times, interleaved with its baseline (the same work on
a connector without replicas); the table gives the medians, wall time and
this process's CPU time, and their ratio to the baseline. Both servers run
on this machine and share its cores with the client: the figures show the
routing's own cost, not the capacity a replica on its own machine adds.
"""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("TESSARY_BUILD") or ROOT / "build").resolve()
sys.path.insert(0, str(BUILD / "pkg"))

from Tessary.DB.Connector import connect  # noqa: E402
from Tessary.DB.DB import DB  # noqa: E402

ROWS = 1000
POINT_READ = "SELECT id, v, label FROM bench_reads WHERE id = %s"


def start_pair(folder):
    out = subprocess.run([str(ROOT / "scripts" / "replica-pair.sh"), "start", str(folder)], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    urls = dict(line.split(" ", 1) for line in out.splitlines() if line.startswith(("primary ", "replica ")))
    return urls["primary"].strip(), urls["replica"].strip()


def fill(primary):
    import pymysql
    host_port, database = primary.split("@", 1)[1].split("/", 1)
    host, port = host_port.split(":")
    con = pymysql.connect(host=host, port=int(port), user="root", database=database, autocommit=True)
    with con.cursor() as cur:
        cur.execute("DROP TABLE IF EXISTS bench_reads")
        cur.execute("CREATE TABLE bench_reads (id INT PRIMARY KEY, v INT NOT NULL, label VARCHAR(40) NOT NULL)")
        cur.executemany("INSERT INTO bench_reads VALUES (%s, %s, %s)", [(i, i * 7, f"row {i}") for i in range(ROWS)])
        cur.execute("DROP TABLE IF EXISTS bench_cycles")
        cur.execute("CREATE TABLE bench_cycles (id INT AUTO_INCREMENT PRIMARY KEY, v INT NOT NULL)")
        cur.execute("SELECT @@global.gtid_binlog_pos")
        position = cur.fetchone()[0]
    con.close()
    return position


def timed(work):
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - wall, time.process_time() - cpu


# --- the workloads, synchronous ----------------------------------------------------------------


def sync_reads(connector, reads, threads):
    handle = DB.getInstance()

    def reader(offset):
        for i in range(reads // threads):
            rows = handle.executeSql(POINT_READ, ((offset + i * 13) % ROWS,))
            assert len(rows) == 1

    def work():
        handle.connector = connector
        workers = [threading.Thread(target=reader, args=(k * 101,)) for k in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    return work


def sync_cycles(connector, cycles):
    handle = DB.getInstance()

    def work():
        handle.connector = connector
        for i in range(cycles):
            handle.executeSql("INSERT INTO bench_cycles (v) VALUES (%s)", (i,))
            handle.executeSql("SELECT MAX(id) FROM bench_cycles")
    return work


# --- the same on the loop ----------------------------------------------------------------------


def aio_reads(connector, loop, reads, tasks):
    handle = DB.getInstance()

    async def reader(offset):
        for i in range(reads // tasks):
            rows = await handle.executeSql(POINT_READ, ((offset + i * 13) % ROWS,))
            assert len(rows) == 1

    async def all_readers():
        await asyncio.gather(*(reader(k * 101) for k in range(tasks)))

    def work():
        handle.connector = connector
        loop.run_until_complete(all_readers())
    return work


def aio_cycles(connector, loop, cycles):
    handle = DB.getInstance()

    async def run():
        for i in range(cycles):
            await handle.executeSql("INSERT INTO bench_cycles (v) VALUES (%s)", (i,))
            await handle.executeSql("SELECT MAX(id) FROM bench_cycles")

    def work():
        handle.connector = connector
        loop.run_until_complete(run())
    return work


def measure(cases, runs):
    """cases: [(label, make_work)], the first the baseline. Interleaved runs;
    medians of wall and CPU seconds per case."""
    results = {label: ([], []) for label, _ in cases}
    for _ in range(runs):
        for label, work in cases:
            wall, cpu = timed(work)
            results[label][0].append(wall)
            results[label][1].append(cpu)
    return {label: (statistics.median(w), statistics.median(c)) for label, (w, c) in results.items()}


def table(title, ops, unit, measured):
    base_wall, base_cpu = next(iter(measured.values()))
    print(f"\n{title}\n")
    print(f"| case | wall | {unit}/s | CPU | wall vs baseline | CPU vs baseline |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, (wall, cpu) in measured.items():
        print(f"| {label} | {wall * 1000:.0f} ms | {ops / wall:,.0f} | {cpu * 1000:.0f} ms | "
              f"{wall / base_wall:.2f} | {cpu / base_cpu:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--folder", default=str(BUILD / "replica-pair"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--reads", type=int, default=4000)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=4)
    options = parser.parse_args()
    primary, replica = start_pair(options.folder)
    fill(primary)
    time.sleep(1)  # the replica applies the fill
    sync = {
        "primary only": connect(primary),
        "replica, eventual": connect(primary, replicas=[replica], consistency="eventual"),
        "replica, causal": connect(primary, replicas=[replica]),
    }
    loop = asyncio.new_event_loop()
    aio_url = primary.replace("mysql://", "mysql+asyncio://")
    aio = {
        "primary only": connect(aio_url, maxsize=options.threads),
        "replica, eventual": connect(aio_url, maxsize=options.threads, replicas=[replica], consistency="eventual"),
        "replica, causal": connect(aio_url, maxsize=options.threads, replicas=[replica]),
    }
    print(f"MariaDB primary and replica on this machine; {options.runs} runs, medians; native engine.")
    for threads in (1, options.threads):
        measured = measure([(label, sync_reads(c, options.reads, threads)) for label, c in sync.items()], options.runs)
        table(f"MysqlConnector: {options.reads} point reads, {threads} thread(s)", options.reads, "reads", measured)
    measured = measure([(label, sync_cycles(c, options.cycles)) for label, c in sync.items()], options.runs)
    table(f"MysqlConnector: {options.cycles} write-then-read cycles", options.cycles, "cycles", measured)
    measured = measure([(label, aio_reads(c, loop, options.reads, options.threads)) for label, c in aio.items()],
                       options.runs)
    table(f"AioMysqlConnector: {options.reads} point reads, {options.threads} tasks", options.reads, "reads", measured)
    measured = measure([(label, aio_cycles(c, loop, options.cycles)) for label, c in aio.items()], options.runs)
    table(f"AioMysqlConnector: {options.cycles} write-then-read cycles", options.cycles, "cycles", measured)
    for c in aio.values():
        loop.run_until_complete(c.close())
    loop.close()
    for c in sync.values():
        c.close()


if __name__ == "__main__":
    main()
