// The state machine behind send(), throw() and close(): delegation to the
// awaited iterator like `yield from`, and resumption of the C++ frame with
// what that iterator produced.
#include <coroutine>

#include "coroutine.hpp"

namespace tsy::coro {
namespace {

std::coroutine_handle<> handle_of(void* frame) noexcept { return std::coroutine_handle<>::from_address(frame); }

PySendResult refuse_running() noexcept {
    fail(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
}

PySendResult refuse_done() noexcept {
    fail(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

// The body's result must agree with the error indicator, as for any function
// the interpreter calls.
PySendResult check_result(CoroutineObject* self, Ref value, PyObject** result) noexcept {
    *result = nullptr;
    if (value && !PyErr_Occurred()) {
        *result = value.release();
        return PYGEN_RETURN;
    }
    if (!value && PyErr_Occurred()) return PYGEN_ERROR;
    const char* name = self->name;
    if (!value) {
        fail(PyExc_SystemError, "native coroutine '%s' returned NULL without setting an exception", name);
        return PYGEN_ERROR;
    }
    Ref cause = steal(PyErr_GetRaisedException());
    fail(PyExc_SystemError, "native coroutine '%s' returned a result with an exception set", name);
    Ref error = steal(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    return PYGEN_ERROR;
}

// Runs the frame from where it stopped. `sent` (owned, NULL: the error
// indicator is set) becomes the value of the pending co_await. Afterwards the
// frame is either suspended on a new awaited iterator or finished; this is the
// only place that sets the state after the frame ran.
PySendResult resume(CoroutineObject* self, PyObject* sent, PyObject** result) noexcept {
    Ref keep_alive = borrow(reinterpret_cast<PyObject*>(self));
    Shared* shared = self->shared;
    shared->sent = sent;
    self->state = State::Running;
    handle_of(self->frame).resume();
    if (!shared->done) {
        self->state = State::Suspended;
        *result = shared->yielded;
        shared->yielded = nullptr;
        return PYGEN_NEXT;
    }
    Ref value = steal(shared->result);
    shared->result = nullptr;
    destroy_frame(self);
    self->state = State::Done;
    return check_result(self, std::move(value), result);
}

PySendResult send_to(PyObject* iter, PyObject* arg, PyObject** result) noexcept {
    if (is_coroutine(iter)) return coro_send(as_coroutine(iter), arg, result);
    PySendResult status = PyIter_Send(iter, arg, result);
    if (status == PYGEN_ERROR) *result = nullptr;
    return status;
}

// Closes an iterator the frame delegates to, as generators do: its close()
// if it has one.
int close_iter(PyObject* iter) noexcept {
    if (is_coroutine(iter)) return coro_close(as_coroutine(iter));
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttr(iter, names.close, &method) < 0) PyErr_WriteUnraisable(iter);
    if (!method) return 0;
    Ref close = steal(method);
    Ref result = call(close.get());
    return result ? 0 : -1;
}

// The value a StopIteration carries, when that is the error being raised.
bool take_stop_value(PyObject** value) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
    Ref stop = steal(PyErr_GetRaisedException());
    *value = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(stop.get())->value);
    return true;
}

// Hands `exc` to the awaited iterator's throw(). NEXT: it yielded and keeps
// going; RETURN: it finished with a value; ERROR: it raised (usually `exc`
// itself) or has no throw(), in which case `exc` is raised at the await.
PySendResult throw_to(PyObject* iter, PyObject* exc, PyObject** result) noexcept {
    *result = nullptr;
    if (is_coroutine(iter)) return coro_throw(as_coroutine(iter), exc, result);
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttr(iter, names.throw_, &method) < 0) return PYGEN_ERROR;
    if (!method) {
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    Ref throw_method = steal(method);
    Ref yielded = call(throw_method.get(), exc);
    if (yielded) {
        *result = yielded.release();
        return PYGEN_NEXT;
    }
    return take_stop_value(result) ? PYGEN_RETURN : PYGEN_ERROR;
}

// The awaited iterator has finished (value, or NULL with the error set):
// drop it and continue the frame.
PySendResult continue_frame(CoroutineObject* self, PyObject* value, PyObject** result) noexcept {
    Ref finished = steal(self->shared->awaited);
    self->shared->awaited = nullptr;
    return resume(self, value, result);
}

// How many of the interpreter's C recursion units one level of native
// coroutines awaiting each other stands for. The interpreter budgets about
// 800 bytes of C stack per unit; a level takes ~400 bytes optimised, ~1.5 kB
// under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kRecursionUnits = 4;
#elif !defined(__OPTIMIZE__)
constexpr int kRecursionUnits = 2;
#else
constexpr int kRecursionUnits = 1;
#endif

// A step of a frame that runs nested in another one's step: the C stack grows
// with every native coroutine awaiting another.
class RecursionGuard {
public:
    RecursionGuard() noexcept {
        while (units_ < kRecursionUnits && Py_EnterRecursiveCall(" while running a native coroutine") == 0) {
            ++units_;
        }
    }
    ~RecursionGuard() {
        for (int i = 0; i < units_; ++i) Py_LeaveRecursiveCall();
    }
    bool entered() const noexcept { return units_ == kRecursionUnits; }

private:
    int units_ = 0;
};

PySendResult forward_send(CoroutineObject* self, PyObject* arg, PyObject** result) noexcept {
    Ref keep_alive = borrow(reinterpret_cast<PyObject*>(self));
    PyObject* out = nullptr;
    self->state = State::Running;
    PySendResult status = send_to(self->shared->awaited, arg, &out);
    if (status == PYGEN_NEXT) {
        self->state = State::Suspended;
        *result = out;
        return PYGEN_NEXT;
    }
    return continue_frame(self, out, result);
}

// GeneratorExit closes the awaited iterator instead of going through its
// throw(), then is raised at the await, like generators do.
PySendResult throw_generator_exit(CoroutineObject* self, PyObject* exc, PyObject** result) noexcept {
    self->state = State::Running;
    if (close_iter(self->shared->awaited) == 0) PyErr_SetRaisedException(Py_NewRef(exc));
    return continue_frame(self, nullptr, result);
}

PySendResult forward_throw(CoroutineObject* self, PyObject* exc, PyObject** result) noexcept {
    Ref keep_alive = borrow(reinterpret_cast<PyObject*>(self));
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) return throw_generator_exit(self, exc, result);
    PyObject* out = nullptr;
    self->state = State::Running;
    PySendResult status = throw_to(self->shared->awaited, exc, &out);
    if (status == PYGEN_NEXT) {
        self->state = State::Suspended;
        *result = out;
        return PYGEN_NEXT;
    }
    return continue_frame(self, out, result);
}

// A coroutine that fails before its body ran (thrown into at creation, or
// too deep to start) is finished without running anything.
PySendResult fail_unstarted(CoroutineObject* self) noexcept {
    destroy_frame(self);
    self->state = State::Done;
    return PYGEN_ERROR;
}

}  // namespace

PySendResult coro_send(CoroutineObject* self, PyObject* arg, PyObject** result) noexcept {
    *result = nullptr;
    switch (self->state) {
    case State::Created: {
        if (arg != Py_None) {
            fail(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        RecursionGuard guard;
        if (!guard.entered()) return fail_unstarted(self);
        return resume(self, nullptr, result);
    }
    case State::Suspended: {
        RecursionGuard guard;
        if (!guard.entered()) return PYGEN_ERROR;
        return forward_send(self, arg, result);
    }
    case State::Running:
        return refuse_running();
    case State::Done:
        break;
    }
    return refuse_done();
}

PySendResult coro_throw(CoroutineObject* self, PyObject* exc, PyObject** result) noexcept {
    *result = nullptr;
    switch (self->state) {
    case State::Created:
        PyErr_SetRaisedException(Py_NewRef(exc));
        return fail_unstarted(self);
    case State::Suspended: {
        RecursionGuard guard;
        if (!guard.entered()) return PYGEN_ERROR;
        return forward_throw(self, exc, result);
    }
    case State::Running:
        return refuse_running();
    case State::Done:
        break;
    }
    return refuse_done();
}

// The frame is destroyed without running again: its C++ destructors are the
// cleanup. An error from closing the awaited iterator is reported after that.
int coro_close(CoroutineObject* self) noexcept {
    switch (self->state) {
    case State::Running:
        refuse_running();
        return -1;
    case State::Done:
        return 0;
    case State::Created:
        destroy_frame(self);
        self->state = State::Done;
        return 0;
    case State::Suspended:
        break;
    }
    Ref keep_alive = borrow(reinterpret_cast<PyObject*>(self));
    self->state = State::Running;
    int status = close_iter(self->shared->awaited);
    destroy_frame(self);
    self->state = State::Done;
    return status;
}

void destroy_frame(CoroutineObject* self) noexcept {
    if (!self->frame) return;
    void* frame = self->frame;
    Shared* shared = self->shared;
    // Detached first: the destructors may run code that looks at this object.
    self->frame = nullptr;
    self->shared = nullptr;
    Ref saved = steal(PyErr_GetRaisedException());
    Ref awaited = steal(shared->awaited);
    Ref yielded = steal(shared->yielded);
    Ref sent = steal(shared->sent);
    Ref result = steal(shared->result);
    shared->awaited = shared->yielded = shared->sent = shared->result = nullptr;
    handle_of(frame).destroy();
    awaited.reset();
    yielded.reset();
    sent.reset();
    result.reset();
    PyErr_SetRaisedException(saved.release());
}

}  // namespace tsy::coro
