// The first step of `co_await tsy::coro::await(x)`: the awaitable's iterator,
// as the interpreter's `await` gets it, sent None at once.
#include "coroutine.hpp"

namespace tsy::coro {
namespace {

bool is_iterable_coroutine(PyObject* obj) noexcept {
    if (!PyGen_CheckExact(obj)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj));
    bool iterable = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return iterable;
}

// Coroutines, ours and the interpreter's, are their own iterators; anything
// else goes through __await__.
Ref awaitable_iter(PyObject* obj) noexcept {
    if (is_coroutine(obj)) {
        if (as_coroutine(obj)->state == State::Suspended) {
            return fail(PyExc_RuntimeError, "coroutine is being awaited already");
        }
        return borrow(obj);
    }
    if (PyCoro_CheckExact(obj) || is_iterable_coroutine(obj)) return borrow(obj);
    PyAsyncMethods* async = Py_TYPE(obj)->tp_as_async;
    if (!async || !async->am_await) {
        return fail(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type_name(obj));
    }
    Ref iter = steal(async->am_await(obj));
    if (!iter) return {};
    if (PyCoro_CheckExact(iter.get()) || is_coroutine(iter.get()) || is_iterable_coroutine(iter.get())) {
        return fail(PyExc_TypeError, "__await__() returned a coroutine");
    }
    if (!PyIter_Check(iter.get())) {
        return fail(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", type_name(iter.get()));
    }
    return iter;
}

}  // namespace

PySendResult start_await(PyObject* awaitable, PyObject** iter, PyObject** out) noexcept {
    *iter = nullptr;
    *out = nullptr;
    Ref it = awaitable_iter(awaitable);
    if (!it) return PYGEN_ERROR;
    PySendResult status;
    if (is_coroutine(it.get())) {
        status = coro_send(as_coroutine(it.get()), Py_None, out);
    } else {
        status = PyIter_Send(it.get(), Py_None, out);
        if (status == PYGEN_ERROR) *out = nullptr;
    }
    if (status == PYGEN_NEXT) *iter = it.release();
    return status;
}

}  // namespace tsy::coro
