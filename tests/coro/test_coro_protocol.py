"""The coroutine protocol driven by hand: send, throw, close, iteration,
re-entry and the attributes of the coroutine object."""

import asyncio
import ctypes
import sys
import warnings

import pytest

from coro_support import Calls, Yielding
from Tessary import _coro


def finish(coro, value=None):
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value


@pytest.mark.parametrize("value", [1, "text", (1, 2), (), (None,), ValueError("as a value"), [3]])
def test_return_value_travels_in_stop_iteration(value):
    stop = finish(_coro._return(value))
    assert stop.value is value
    assert stop.args == (value,)


def test_none_result_raises_bare_stop_iteration():
    assert finish(_coro._return(None)).args == ()


def test_next_gives_none_result_without_stop_iteration_value():
    coro = _coro._return(None)
    assert iter(coro) is coro
    assert list(coro) == []


def test_nothing_runs_before_the_first_send():
    factory_calls = []
    coro = _coro._sum_awaits(2, lambda: factory_calls.append(1) or _coro._return(5))
    assert factory_calls == []
    assert finish(coro).value == 10
    assert factory_calls == [1, 1]


def test_values_pass_through_like_yield_from():
    inner = Yielding("a", "b", result="r")
    coro = _coro._echo(inner)
    assert coro.send(None) == "a"
    assert coro.send(1) == "b"
    assert finish(coro, 2).value == "r"
    assert inner.sent == [1, 2]


def test_iteration_steps_through_yields():
    coro = _coro._echo(Yielding("a", "b", result=("t", "u")))
    assert next(coro) == "a"
    assert next(coro) == "b"
    with pytest.raises(StopIteration) as info:
        next(coro)
    assert info.value.value == ("t", "u")


def test_first_send_must_be_none():
    coro = _coro._echo(Yielding())
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
        coro.send(1)
    coro.close()


@pytest.mark.parametrize("operation", [
    lambda c: c.send(None),
    lambda c: c.throw(ValueError()),
])
def test_finished_coroutine_cannot_be_reused(operation):
    coro = _coro._return(1)
    finish(coro)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        operation(coro)
    assert coro.close() is None


class Reenter:
    """Awaitable that calls `operation` on the coroutine awaiting it."""

    def __init__(self, operation):
        self.operation = operation
        self.coro = None

    def __await__(self):
        self.operation(self.coro)
        yield


@pytest.mark.parametrize("operation", [
    lambda c: c.send(None),
    lambda c: c.throw(KeyError()),
    lambda c: c.close(),
])
def test_reentry_while_running_raises_value_error(operation):
    awaitable = Reenter(operation)
    coro = awaitable.coro = _coro._echo(awaitable)
    with pytest.raises(ValueError, match="^coroutine already executing$"):
        coro.send(None)


class CallsBackOnThrow:
    """Awaitable that, when an exception is thrown into it, calls back into
    the coroutine that awaits it (through a native coroutine in between)."""

    def __init__(self):
        self.coro = None
        self.seen = []

    def __await__(self):
        try:
            yield
        except KeyError:
            self.seen.append(self.coro.cr_running)
            try:
                self.coro.send(None)
            except ValueError as exc:
                self.seen.append(str(exc))
            return "recovered"


def test_a_coroutine_delegating_to_its_awaited_object_is_running():
    awaitable = CallsBackOnThrow()
    coro = awaitable.coro = _coro._echo(_coro._echo(awaitable))
    coro.send(None)
    assert finish_throw(coro, KeyError()).value == "recovered"
    assert awaitable.seen == [True, "coroutine already executing"]


def test_awaiting_a_suspended_coroutine_twice_is_refused():
    first = _coro._echo(Yielding(1))
    first.send(None)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        first.__await__()
    second = _coro._echo(first)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        second.send(None)
    first.close()


# ---------------------------------------------------------------------------
# throw()
# ---------------------------------------------------------------------------

def test_throw_reaches_the_awaited_object_which_may_recover():
    inner = Yielding(1, on_throw="recovered")
    coro = _coro._echo(inner)
    coro.send(None)
    cancel = asyncio.CancelledError()
    assert finish_throw(coro, cancel).value == "recovered"
    assert inner.thrown == [cancel]


def finish_throw(coro, exc):
    with pytest.raises(StopIteration) as info:
        coro.throw(exc)
    return info.value


def test_throw_raised_back_at_the_await_ends_the_coroutine():
    inner = Yielding(1)
    coro = _coro._echo(inner)
    coro.send(None)
    error = KeyError("thrown")
    with pytest.raises(KeyError) as info:
        coro.throw(error)
    assert info.value is error
    assert coro.cr_suspended is False
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)


def test_throw_into_an_awaited_iterator_without_throw_raises_at_the_await():
    class Plain:
        def __await__(self):
            return iter([1, 2])

    coro = _coro._catch(Plain(), KeyError, _coro._return("after"))
    assert coro.send(None) == 1
    error = KeyError("no throw method")
    stop = finish_throw(coro, error)
    assert stop.value == ("caught", error, "after")


def test_throw_may_yield_again():
    class KeepsGoing:
        def __await__(self):
            try:
                yield "first"
            except ValueError:
                yield "after throw"
            return "end"

    coro = _coro._echo(KeepsGoing())
    assert coro.send(None) == "first"
    assert coro.throw(ValueError()) == "after throw"
    assert coro.cr_suspended is True
    assert finish(coro).value == "end"


def test_throw_into_a_new_coroutine_runs_nothing():
    exits = Calls()
    coro = _coro._guard(Yielding(1), exits)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(KeyError):
            coro.throw(KeyError("early"))
    assert exits.count == 0  # the body never started
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)


@pytest.mark.parametrize("args, kind, value", [
    ((KeyError,), KeyError, ()),
    ((KeyError, "v"), KeyError, ("v",)),
    ((KeyError, ("a", "b")), KeyError, ("a", "b")),
    ((KeyError, KeyError("same")), KeyError, ("same",)),
    ((KeyError, None, None), KeyError, ()),
])
def test_throw_signatures(args, kind, value):
    inner = Yielding(1)
    coro = _coro._echo(inner)
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(kind) as info:
            coro.throw(*args)
    assert info.value.args == value
    assert inner.thrown[0] is info.value


def test_throw_with_several_arguments_is_deprecated():
    coro = _coro._echo(Yielding(1))
    coro.send(None)
    with pytest.warns(DeprecationWarning, match=r"^the \(type, exc, tb\) signature of throw\(\) is deprecated, "
                                                r"use the single-arg signature instead\.$"):
        with pytest.raises(KeyError):
            coro.throw(KeyError, "v")


def test_throw_attaches_the_given_traceback():
    try:
        raise KeyError("with tb")
    except KeyError as caught:
        tb = caught.__traceback__
    coro = _coro._echo(Yielding(1))
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(ValueError) as info:
            coro.throw(ValueError, None, tb)
    entries = []
    walk = info.value.__traceback__
    while walk:
        entries.append(walk)
        walk = walk.tb_next
    assert tb in entries


@pytest.mark.parametrize("args, message", [
    ((1,), "^exceptions must be classes or instances deriving from BaseException, not int$"),
    ((KeyError("i"), "v"), "^instance exception may not have a separate value$"),
    ((KeyError, None, 3), "^throw\\(\\) third argument must be a traceback object$"),
    ((), "^throw\\(\\) takes at least 1 positional argument \\(0 given\\)$"),
    ((KeyError, 1, None, 4), "^throw\\(\\) takes at most 3 positional arguments \\(4 given\\)$"),
])
def test_throw_argument_errors(args, message):
    coro = _coro._echo(Yielding(1))
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError, match=message):
            coro.throw(*args)
    assert coro.cr_suspended is True
    coro.close()


def test_generator_exit_closes_the_awaited_object_then_raises():
    inner = Yielding(1)
    coro = _coro._echo(inner)
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit())
    assert inner.closed
    assert inner.thrown == []


# ---------------------------------------------------------------------------
# close()
# ---------------------------------------------------------------------------

def test_close_of_suspended_coroutine_closes_awaited_and_destroys_frame():
    inner = Yielding(1, 2)
    exits = Calls()
    coro = _coro._guard(inner, exits)
    coro.send(None)
    assert coro.close() is None
    assert inner.closed
    assert exits.count == 1
    assert (coro.cr_suspended, coro.cr_running, coro.cr_await) == (False, False, None)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)
    assert coro.close() is None
    assert exits.count == 1


def test_close_reports_an_error_from_closing_the_awaited_object():
    class BadClose:
        def __await__(self):
            return self

        def __iter__(self):
            return self

        def __next__(self):
            return "pending"

        def close(self):
            raise OSError("close failed")

    exits = Calls()
    coro = _coro._guard(BadClose(), exits)
    coro.send(None)
    with pytest.raises(OSError, match="close failed"):
        coro.close()
    assert exits.count == 1


def test_close_closes_a_chain_of_native_coroutines():
    inner = Yielding(1)
    exits = Calls()
    coro = _coro._nest(3, _coro._guard(inner, exits))
    coro.send(None)
    coro.close()
    assert inner.closed
    assert exits.count == 1


# ---------------------------------------------------------------------------
# Attributes
# ---------------------------------------------------------------------------

def test_names_and_repr():
    coro = _coro._hold(None, Yielding())
    assert (coro.__name__, coro.__qualname__) == ("_hold", "Holder._hold")
    assert repr(coro) == f"<coroutine object Holder._hold at {id(coro):#x}>"
    plain = _coro._return(1)
    assert (plain.__name__, plain.__qualname__) == ("_return", "_return")
    plain.__name__ = "renamed"
    plain.__qualname__ = "Some.renamed"
    assert (plain.__name__, plain.__qualname__) == ("renamed", "Some.renamed")
    assert repr(plain).startswith("<coroutine object Some.renamed at ")
    for attribute in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            setattr(plain, attribute, 3)
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            delattr(plain, attribute)
    coro.close()
    plain.close()


def test_introspection_follows_the_state():
    inner = Yielding(1)
    coro = _coro._echo(inner)
    assert (coro.cr_running, coro.cr_suspended, coro.cr_await) == (False, False, None)
    coro.send(None)
    assert (coro.cr_running, coro.cr_suspended) == (False, True)
    assert coro.cr_await.gi_code.co_name == "__await__"
    seen = []
    spy = Reenter(lambda c: seen.append((c.cr_running, c.cr_suspended)))
    running = spy.coro = _coro._echo(spy)
    running.send(None)
    assert seen == [(True, False)]
    running.close()
    coro.close()


class ApiHead(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("size", ctypes.c_uint32), ("shared_size", ctypes.c_uint32),
                ("coroutine_type", ctypes.c_void_p)]


def test_type_is_not_instantiable_and_capsule_is_exported():
    with pytest.raises(TypeError):
        _coro.Coroutine()
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    head = ApiHead.from_address(get_pointer(_coro._C_API, b"Tessary._coro._C_API"))
    assert (head.version, head.size) == (1, 16 + 4 * ctypes.sizeof(ctypes.c_void_p))
    assert head.coroutine_type == id(_coro.Coroutine)


def test_refcounts_of_arguments_are_balanced():
    value = object()
    before = sys.getrefcount(value)
    for _ in range(100):
        try:
            _coro._return(value).send(None)
        except StopIteration:
            pass
        _coro._hold(value, Yielding()).close()
        suspended = _coro._hold(value, Yielding(1))
        suspended.send(None)
        del suspended
    assert sys.getrefcount(value) == before
