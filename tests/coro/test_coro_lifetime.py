"""What happens to frames nobody finishes: the never-awaited warning, closing
on release, cycles through suspended frames, and memory over many calls."""

import array
import asyncio
import gc
import sys
import warnings
import weakref

import pytest

from coro_support import Calls, Yielding
from Tessary import _coro


class Holder:
    """A weak-referenceable object that can point back to a coroutine."""

    coro = None


def test_dropped_before_start_warns_and_releases_the_frame():
    arg = Holder()
    probe = weakref.ref(arg)
    coro = _coro._hold(arg, Yielding())
    del arg
    with pytest.warns(RuntimeWarning, match="^coroutine 'Holder._hold' was never awaited$"):
        del coro
    assert probe() is None


def test_explicit_close_before_start_is_silent():
    arg = Holder()
    probe = weakref.ref(arg)
    coro = _coro._hold(arg, Yielding())
    del arg
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro.close()
        del coro
    assert probe() is None


def test_warning_turned_into_an_error_is_reported_as_unraisable():
    coro = _coro._echo(Yielding())
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            del coro
    finally:
        sys.unraisablehook = old_hook
    assert [type(report.exc_value) for report in seen] == [RuntimeWarning]
    assert str(seen[0].exc_value) == "coroutine '_echo' was never awaited"


def test_dropped_while_suspended_is_closed_silently():
    inner = Yielding(1)
    exits = Calls()
    coro = _coro._guard(inner, exits)
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        del coro
    assert inner.closed
    assert exits.count == 1


def test_finished_coroutines_keep_nothing_alive():
    arg = Holder()
    probe = weakref.ref(arg)
    coro = _coro._hold(arg, _coro._return(1))
    with pytest.raises(StopIteration):
        coro.send(None)
    del arg
    assert probe() is None


@pytest.mark.parametrize("started", [True, False], ids=["suspended", "never started"])
def test_garbage_collector_breaks_a_cycle_through_the_frame(started):
    gc.collect()
    holder = Holder()
    awaited = Yielding(1)
    holder.coro = _coro._hold(holder, awaited)
    probe = weakref.ref(holder)
    coro_probe = weakref.ref(holder.coro)
    if started:
        holder.coro.send(None)
    del holder
    assert probe() is not None  # only the collector can free the cycle
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gc.collect()
    assert probe() is None and coro_probe() is None
    assert awaited.closed is started
    assert [str(w.message) for w in caught] == ([] if started else ["coroutine 'Holder._hold' was never awaited"])


def test_garbage_collector_sees_the_awaited_object():
    awaitable = Yielding(1)
    coro = _coro._echo(awaitable)
    awaitable.owner = coro  # awaited object -> coroutine -> awaited object
    coro.send(None)
    probe = weakref.ref(coro)
    del coro, awaitable
    gc.collect()
    assert probe() is None


# ---------------------------------------------------------------------------
# Memory over many calls
# ---------------------------------------------------------------------------

ROUNDS = 20
PER_ROUND = 500  # 10,000 awaited calls per scenario


def blocks_per_round(loop, step):
    """Runs `await step()` ROUNDS * PER_ROUND times and samples the number of
    allocated blocks after each round into a preallocated array."""
    samples = array.array("q", [0] * ROUNDS)

    async def drive():
        for index in range(ROUNDS):
            for _ in range(PER_ROUND):
                await step()
            gc.collect()
            samples[index] = sys.getallocatedblocks()

    loop.run_until_complete(drive())
    return samples


def completed(loop):
    future = loop.create_future()
    future.set_result(1)
    return future


LEAK_SCENARIOS = {
    "completed future": lambda loop: lambda: _coro._echo(completed(loop)),
    "native awaits native": lambda loop: lambda: _coro._nest(3, _coro._return((1, 2))),
    "real suspension": lambda loop: lambda: _coro._echo(asyncio.sleep(0)),
    "error through awaits": lambda loop: lambda: _coro._catch(_coro._nest(2, _coro._raise(KeyError())), KeyError),
    "cleanup on close": lambda loop: lambda: closed_after_start(),
}


async def closed_after_start():
    coro = _coro._guard(Yielding(1), Calls())
    coro.send(None)
    coro.close()


@pytest.mark.parametrize("make_step", LEAK_SCENARIOS.values(), ids=LEAK_SCENARIOS.keys())
def test_no_memory_growth_over_ten_thousand_calls(loop, make_step):
    samples = blocks_per_round(loop, make_step(loop))
    settled = samples[ROUNDS // 4:]
    # A leak of one block per call would add PER_ROUND blocks every round.
    assert settled[-1] - settled[0] < PER_ROUND // 5, list(samples)
    assert max(settled) - min(settled) < PER_ROUND // 2, list(samples)
