"""Native coroutines on an event loop: what they await, what asyncio accepts
of them, cancellation, and errors travelling in both directions."""

import asyncio
import collections.abc
import inspect
import traceback

import pytest

from coro_support import Calls, Yielding, generator_coroutine
from Tessary import _coro


async def python_coroutine(value):
    await asyncio.sleep(0)
    return value


async def python_raises(exc):
    await asyncio.sleep(0)
    raise exc


def completed_future(loop, value):
    future = loop.create_future()
    future.set_result(value)
    return future


def pending_future(loop, value):
    future = loop.create_future()
    loop.call_soon(future.set_result, value)
    return future


AWAITABLES = {
    "completed future": completed_future,
    "pending future": pending_future,
    "asyncio.sleep": lambda loop, value: asyncio.sleep(0.001, value),
    "async def": lambda loop, value: python_coroutine(value),
    "native coroutine": lambda loop, value: _coro._return(value),
    "suspending native coroutine": lambda loop, value: _coro._echo(pending_future(loop, value)),
    "types.coroutine generator": lambda loop, value: generator_coroutine(value),
    "task": lambda loop, value: loop.create_task(python_coroutine(value)),
}


@pytest.mark.parametrize("make", AWAITABLES.values(), ids=AWAITABLES.keys())
def test_awaits_any_awaitable(loop, make):
    if make is AWAITABLES["types.coroutine generator"]:
        # A bare generator yield is not something the event loop can wait on.
        coro = _coro._echo(make(loop, ("t", 1)))
        assert coro.send(None) == "from generator"
        with pytest.raises(StopIteration) as info:
            coro.send(None)
        assert info.value.value == ("t", 1)
        return
    assert loop.run_until_complete(_coro._echo(make(loop, ("t", 1)))) == ("t", 1)


def test_sums_many_awaits_of_mixed_kinds(loop):
    kinds = [make for name, make in AWAITABLES.items() if name != "types.coroutine generator"]
    count = iter(range(10**6))
    result = loop.run_until_complete(
        _coro._sum_awaits(40, lambda: kinds[next(count) % len(kinds)](loop, 2)))
    assert result == 80


def test_python_code_awaits_native_coroutines(loop):
    async def main():
        values = [await _coro._return(i) for i in range(3)]
        values.append(await _coro._echo(python_coroutine("x")))
        values.append(await _coro._return(("a", "b")))
        values.append(await _coro._return(None))
        return values

    assert loop.run_until_complete(main()) == [0, 1, 2, "x", ("a", "b"), None]


def test_is_a_coroutine_for_asyncio_and_abc():
    coro = _coro._return(1)
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert inspect.isawaitable(coro)
    coro.close()


def test_asyncio_entry_points_accept_it(loop):
    assert loop.run_until_complete(_coro._return(1)) == 1
    task = loop.create_task(_coro._echo(asyncio.sleep(0, 2)))
    assert loop.run_until_complete(task) == 2
    assert task.get_coro().__name__ == "_echo"

    async def gather():
        return await asyncio.gather(_coro._return(1), _coro._echo(asyncio.sleep(0, 2)), python_coroutine(3))

    assert loop.run_until_complete(gather()) == [1, 2, 3]
    assert loop.run_until_complete(asyncio.wait_for(_coro._echo(asyncio.sleep(0, 4)), 60)) == 4
    assert asyncio.run(_coro._echo(python_coroutine(5))) == 5


def test_task_repr_uses_the_qualified_name(loop):
    task = loop.create_task(_coro._hold(1, asyncio.sleep(0)))
    assert repr(task).endswith(" coro=<Holder._hold()>>")
    loop.run_until_complete(task)


# ---------------------------------------------------------------------------
# Cancellation
# ---------------------------------------------------------------------------

def test_cancel_in_flight_propagates_and_cleans_the_frame(loop):
    exits = Calls()
    sleeper = _coro._guard(asyncio.sleep(3600), exits)
    task = loop.create_task(sleeper)

    async def cancel_soon():
        await asyncio.sleep(0)
        assert sleeper.cr_suspended and sleeper.cr_await is not None
        task.cancel("stop")
        with pytest.raises(asyncio.CancelledError):
            await task

    loop.run_until_complete(cancel_soon())
    assert task.cancelled()
    assert exits.count == 1
    assert sleeper.cr_suspended is False and sleeper.cr_await is None


def test_cancel_reaches_the_innermost_of_nested_native_awaits(loop):
    exits = Calls()
    task = loop.create_task(_coro._nest(20, _coro._guard(asyncio.sleep(3600), exits)))

    async def cancel_soon():
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    loop.run_until_complete(cancel_soon())
    assert exits.count == 1


def test_cancellation_can_be_caught_by_the_cpp_code(loop):
    task = loop.create_task(_coro._catch(asyncio.sleep(3600), asyncio.CancelledError, asyncio.sleep(0, "after")))

    async def cancel_soon():
        await asyncio.sleep(0)
        task.cancel()
        return await task

    how, exc, after = loop.run_until_complete(cancel_soon())
    assert (how, type(exc), after) == ("caught", asyncio.CancelledError, "after")


def test_wait_for_timeout_cancels_the_native_coroutine(loop):
    exits = Calls()
    with pytest.raises(TimeoutError):
        loop.run_until_complete(asyncio.wait_for(_coro._guard(asyncio.sleep(3600), exits), 0.001))
    assert exits.count == 1


# ---------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------

def test_errors_raised_by_the_awaited_object_come_out(loop):
    error = LookupError("inner")
    with pytest.raises(LookupError) as info:
        loop.run_until_complete(_coro._nest(3, python_raises(error)))
    assert info.value is error


def test_errors_raised_by_cpp_code_come_out(loop):
    error = KeyError("from C++")
    with pytest.raises(KeyError) as info:
        loop.run_until_complete(_coro._echo(_coro._raise(error)))
    assert info.value is error


def test_errors_carry_a_traceback_entry_per_cpp_await(loop):
    with pytest.raises(LookupError) as info:
        loop.run_until_complete(_coro._nest(1, python_raises(LookupError())))
    entries = [(frame.filename, frame.name) for frame in traceback.extract_tb(info.value.__traceback__)]
    native = [entry for entry in entries if entry[0].endswith(".cpp")]
    assert native == [("src/coro/testing.cpp", "nest"), ("src/coro/testing.cpp", "nest")]
    assert entries[-1][1] == "python_raises"


def test_caught_errors_let_the_coroutine_go_on(loop):
    error = ValueError("caught")
    result = loop.run_until_complete(_coro._catch(python_raises(error), ValueError, pending_future(loop, "next")))
    assert result == ("caught", error, "next")
    assert loop.run_until_complete(_coro._catch(_coro._return(1), ValueError)) == ("ok", 1, None)
    with pytest.raises(KeyError):
        loop.run_until_complete(_coro._catch(python_raises(KeyError()), ValueError))


class AwaitReturns:
    def __init__(self, result):
        self.result = result

    def __await__(self):
        return self.result


@pytest.mark.parametrize("awaitable, message", [
    (3, "^object int can't be used in 'await' expression$"),
    (AwaitReturns(3), "^__await__\\(\\) returned non-iterator of type 'int'$"),
    (AwaitReturns(Yielding()), "^__await__\\(\\) returned non-iterator of type 'Yielding'$"),
])
def test_things_that_cannot_be_awaited(loop, awaitable, message):
    with pytest.raises(TypeError, match=message):
        loop.run_until_complete(_coro._echo(awaitable))


@pytest.mark.parametrize("make", [lambda: python_coroutine(1), lambda: _coro._return(1)])
def test_await_returning_a_coroutine_is_refused(loop, make):
    inner = make()
    with pytest.raises(TypeError, match="^__await__\\(\\) returned a coroutine$"):
        loop.run_until_complete(_coro._echo(AwaitReturns(inner)))
    inner.close()


@pytest.mark.parametrize("kind, error, message", [
    (0, MemoryError, "^$"),
    (1, SystemError, "^internal error in a Tessary extension module$"),
    (2, SystemError, "^native coroutine '_fault' returned NULL without setting an exception$"),
    (3, SystemError, "^native coroutine '_fault' returned a result with an exception set$"),
])
def test_contract_breaches_of_a_body_become_errors(loop, kind, error, message):
    with pytest.raises(error, match=message):
        loop.run_until_complete(_coro._fault(kind))


def test_result_with_error_set_keeps_the_error_as_cause(loop):
    with pytest.raises(SystemError) as info:
        loop.run_until_complete(_coro._fault(3))
    assert isinstance(info.value.__cause__, KeyError)


# ---------------------------------------------------------------------------
# Native awaits native
# ---------------------------------------------------------------------------

def test_native_awaits_native_without_stop_iteration(loop):
    # A StopIteration raised anywhere would show as the context of this error.
    with pytest.raises(KeyError) as info:
        loop.run_until_complete(_coro._sum_awaits(3, lambda: _coro._raise(KeyError())))
    assert info.value.__context__ is None
    assert loop.run_until_complete(_coro._await_calls(100, _coro._return, ("a", "b"))) == ("a", "b")


def test_deep_nesting_works_with_real_suspensions(loop):
    assert loop.run_until_complete(_coro._nest(200, asyncio.sleep(0.001, "deep"))) == "deep"


def test_nesting_beyond_the_recursion_limit_raises_recursion_error(loop):
    inner = Yielding(1)
    with pytest.raises(RecursionError, match="while running a native coroutine"):
        loop.run_until_complete(_coro._nest(100_000, inner))
    assert inner.sent == []
