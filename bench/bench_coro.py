"""Cost per await of the package's native coroutines against `async def`.

Run with the package on the path (source scripts/env.sh first):

    $PY bench/bench_coro.py [--ops N] [--repeat R]

Each scenario runs N operations inside one event-loop run, R times; the best
run is reported as nanoseconds per operation, for `async def` and for the
native coroutine measured in the same process, with their ratio.
"""

import argparse
import asyncio
import time

from Tessary import _coro


async def py_await_n(n, awaitable):
    result = None
    for _ in range(n):
        result = await awaitable
    return result


async def py_await_calls(n, function, arg):
    result = None
    for _ in range(n):
        result = await function(arg)
    return result


async def py_return(value):
    return value


def completed_future(loop):
    future = loop.create_future()
    future.set_result(1)
    return future


# (title, async def version, native version): each takes (loop, n) and
# returns the coroutine to run.
SCENARIOS = [
    (
        "await a completed future inside one coroutine",
        lambda loop, n: py_await_n(n, completed_future(loop)),
        lambda loop, n: _coro._await_n(n, completed_future(loop)),
    ),
    (
        "Python code awaits a coroutine returning a value",
        lambda loop, n: py_await_calls(n, py_return, 1),
        lambda loop, n: py_await_calls(n, _coro._return, 1),
    ),
    (
        "a coroutine awaits a coroutine of its own kind",
        lambda loop, n: py_await_calls(n, py_return, 1),
        lambda loop, n: _coro._await_calls(n, _coro._return, 1),
    ),
    (
        "await asyncio.sleep(0) (real suspension)",
        lambda loop, n: py_await_calls(n, asyncio.sleep, 0),
        lambda loop, n: _coro._await_calls(n, asyncio.sleep, 0),
    ),
]


def best_ns_per_op(loop, make, ops, repeat):
    best = float("inf")
    for _ in range(repeat):
        coroutine = make(loop, ops)
        start = time.perf_counter_ns()
        loop.run_until_complete(coroutine)
        best = min(best, time.perf_counter_ns() - start)
    return best / ops


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ops", type=int, default=100_000, help="operations per run")
    parser.add_argument("--repeat", type=int, default=7, help="runs per measurement (best is kept)")
    args = parser.parse_args()

    loop = asyncio.new_event_loop()
    try:
        print(f"{'scenario':52} {'async def':>10} {'native':>10} {'ratio':>7}")
        for title, python_version, native_version in SCENARIOS:
            ops = args.ops // 10 if "sleep" in title else args.ops
            python_ns = best_ns_per_op(loop, python_version, ops, args.repeat)
            native_ns = best_ns_per_op(loop, native_version, ops, args.repeat)
            print(f"{title:52} {python_ns:10.0f} {native_ns:10.0f} {native_ns / python_ns:7.2f}")
    finally:
        loop.close()


if __name__ == "__main__":
    main()
