// Tessary._coro.Coroutine as the interpreter sees it: the awaitable and
// iterator protocols, send/throw/close, names, introspection and the garbage
// collector's view of the frame.
#include <coroutine>

#include "coroutine.hpp"

namespace tsy::coro {
namespace {

CoroutineObject* self_of(PyObject* op) noexcept { return as_coroutine(op); }

// StopIteration(value) built explicitly: PyErr_SetObject would unpack a tuple.
void set_stop_iteration(Ref value) noexcept {
    if (value.get() == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    Ref stop = steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
    if (stop) PyErr_SetRaisedException(stop.release());
}

// send(), throw() and __next__ report completion as StopIteration.
PyObject* step_result(PySendResult status, PyObject* result) noexcept {
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) set_stop_iteration(steal(result));
    return nullptr;
}

PyObject* name_of(CoroutineObject* self) noexcept {
    if (self->name_override) return Py_NewRef(self->name_override);
    return PyUnicode_FromString(self->name);
}

PyObject* qualname_of(CoroutineObject* self) noexcept {
    if (self->qualname_override) return Py_NewRef(self->qualname_override);
    return PyUnicode_FromString(self->qualname);
}

// ---------------------------------------------------------------------------
// Protocol slots
// ---------------------------------------------------------------------------

PySendResult am_send(PyObject* op, PyObject* arg, PyObject** result) noexcept {
    return coro_send(self_of(op), arg, result);
}

// `await` on a coroutine that some other frame is awaiting would interleave
// two drivers.
PyObject* am_await(PyObject* op) noexcept {
    if (self_of(op)->state == State::Suspended) {
        return fail(PyExc_RuntimeError, "coroutine is being awaited already");
    }
    return Py_NewRef(op);
}

// The interpreter's `await` steps through here: a None result needs no
// StopIteration at all.
PyObject* iternext(PyObject* op) noexcept {
    PyObject* result = nullptr;
    PySendResult status = coro_send(self_of(op), Py_None, &result);
    if (status == PYGEN_RETURN && result == Py_None) {
        Py_DECREF(result);
        return nullptr;
    }
    return step_result(status, result);
}

PyObject* repr(PyObject* op) noexcept {
    Ref qualname = steal(qualname_of(self_of(op)));
    if (!qualname) return nullptr;
    return PyUnicode_FromFormat("<coroutine object %U at %p>", qualname.get(), op);
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* send_method(PyObject* op, PyObject* value) noexcept {
    PyObject* result = nullptr;
    PySendResult status = coro_send(self_of(op), value, &result);
    return step_result(status, result);
}

// Builds the exception instance that throw(typ[, val[, tb]]) raises, with the
// rules (and texts) of generators.
Ref exception_from_class(PyObject* type, PyObject* value) noexcept {
    if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) return borrow(value);
    Ref exc;
    if (!value || value == Py_None) exc = steal(PyObject_CallNoArgs(type));
    else if (PyTuple_Check(value)) exc = steal(PyObject_Call(type, value, nullptr));
    else exc = steal(PyObject_CallOneArg(type, value));
    if (exc && !PyExceptionInstance_Check(exc.get())) {
        fail(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
             type_name(exc.get()));
        return {};
    }
    return exc;
}

Ref exception_to_throw(PyObject* type, PyObject* value, PyObject* tb) noexcept {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) return fail(PyExc_TypeError, "throw() third argument must be a traceback object");
    Ref exc;
    if (PyExceptionClass_Check(type)) {
        exc = exception_from_class(type, value);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) return fail(PyExc_TypeError, "instance exception may not have a separate value");
        exc = borrow(type);
    } else {
        return fail(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                    type_name(type));
    }
    if (exc && tb && PyException_SetTraceback(exc.get(), tb) < 0) return {};
    return exc;
}

const char* const kThrowParams[] = {"typ", "val", "tb"};

PyObject* throw_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{"throw", kThrowParams, 3, 1, false};
    PyObject* given[3];
    if (!parse(params, args, nargs, kwnames, given)) return nullptr;
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
    Ref exc = exception_to_throw(given[0], given[1], given[2]);
    if (!exc) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = coro_throw(self_of(op), exc.get(), &result);
    return step_result(status, result);
}

PyObject* close_method(PyObject* op, PyObject*) noexcept {
    if (coro_close(self_of(op)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"send", send_method, METH_O,
     "send(value) -> the next value the coroutine yields; StopIteration(result) when it finishes."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(throw_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "throw($self, typ, val=None, tb=None, /)\n--\n\nthrow(exc) -> raise exc at the pending await; returns the next yielded value or raises StopIteration."},
    {"close", close_method, METH_NOARGS, "close() -> None. Close the awaited object and destroy the frame."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------

PyObject* get_name(PyObject* op, void*) noexcept { return name_of(self_of(op)); }
PyObject* get_qualname(PyObject* op, void*) noexcept { return qualname_of(self_of(op)); }

int set_name_field(PyObject*& field, PyObject* value, const char* attribute) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        return fail(PyExc_TypeError, "%s must be set to a string object", attribute);
    }
    set_field(field, value);
    return 0;
}

int set_name(PyObject* op, PyObject* value, void*) noexcept {
    return set_name_field(self_of(op)->name_override, value, "__name__");
}

int set_qualname(PyObject* op, PyObject* value, void*) noexcept {
    return set_name_field(self_of(op)->qualname_override, value, "__qualname__");
}

PyObject* get_await(PyObject* op, void*) noexcept {
    Shared* shared = self_of(op)->shared;
    return Py_NewRef(shared && shared->awaited ? shared->awaited : Py_None);
}

PyObject* get_running(PyObject* op, void*) noexcept { return PyBool_FromLong(self_of(op)->state == State::Running); }
PyObject* get_suspended(PyObject* op, void*) noexcept {
    return PyBool_FromLong(self_of(op)->state == State::Suspended);
}

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, "name of the coroutine method", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the coroutine method", nullptr},
    {"cr_await", get_await, nullptr, "object being awaited, or None", nullptr},
    {"cr_running", get_running, nullptr, "True while the coroutine executes", nullptr},
    {"cr_suspended", get_suspended, nullptr, "True while the coroutine waits at an await", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Lifetime and garbage collection
// ---------------------------------------------------------------------------

// Runs before the object goes away, also when the collector breaks a cycle: a
// coroutine never started warns like `async def` ones; a suspended one is
// closed so that its awaited object and its frame are released in order.
void finalize(PyObject* op) noexcept {
    CoroutineObject* self = self_of(op);
    if (self->state == State::Done || self->state == State::Running) return;
    Ref saved = steal(PyErr_GetRaisedException());
    if (self->state == State::Created) {
        Ref qualname = steal(qualname_of(self));
        if (!qualname || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                                          qualname.get()) < 0) {
            PyErr_WriteUnraisable(op);
        }
        destroy_frame(self);
        self->state = State::Done;
    } else if (coro_close(self) < 0) {
        PyErr_WriteUnraisable(op);
    }
    PyErr_SetRaisedException(saved.release());
}

int traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    CoroutineObject* self = self_of(op);
    Py_VISIT(self->name_override);
    Py_VISIT(self->qualname_override);
    Shared* shared = self->shared;
    if (!shared) return 0;
    Py_VISIT(shared->awaited);
    Py_VISIT(shared->yielded);
    Py_VISIT(shared->sent);
    Py_VISIT(shared->result);
    for (int i = 0; i < shared->nrefs; ++i) Py_VISIT(shared->refs[i]->get());
    return 0;
}

// Only reached for an unreachable object, so never while its frame runs.
int clear(PyObject* op) noexcept {
    CoroutineObject* self = self_of(op);
    destroy_frame(self);
    self->state = State::Done;
    Py_CLEAR(self->name_override);
    Py_CLEAR(self->qualname_override);
    return 0;
}

void dealloc(PyObject* op) noexcept {
    CoroutineObject* self = self_of(op);
    PyObject_GC_UnTrack(op);
    if (self->weakrefs) PyObject_ClearWeakRefs(op);
    if (self->state != State::Done) {
        PyObject_GC_Track(op);
        if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
        PyObject_GC_UnTrack(op);
    }
    clear(op);
    PyObject_GC_Del(op);
}

PyAsyncMethods async_methods = {
    .am_await = am_await,
    .am_send = am_send,
};

}  // namespace

PyTypeObject CoroutineType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary._coro.Coroutine",
    .tp_basicsize = sizeof(CoroutineObject),
    .tp_dealloc = dealloc,
    .tp_as_async = &async_methods,
    .tp_repr = repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A coroutine method of the package, implemented in C++.",
    .tp_traverse = traverse,
    .tp_clear = clear,
    .tp_weaklistoffset = offsetof(CoroutineObject, weakrefs),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = iternext,
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_finalize = finalize,
};

int ready_coroutine_type() noexcept { return PyType_Ready(&CoroutineType); }

PyObject* wrap(void* frame, Shared* shared, const char* name, const char* qualname) noexcept {
    CoroutineObject* self = PyObject_GC_New(CoroutineObject, &CoroutineType);
    if (!self) {
        Ref error = steal(PyErr_GetRaisedException());
        std::coroutine_handle<>::from_address(frame).destroy();
        PyErr_SetRaisedException(error.release());
        return nullptr;
    }
    self->frame = frame;
    self->shared = shared;
    self->name = name;
    self->qualname = qualname;
    self->name_override = nullptr;
    self->qualname_override = nullptr;
    self->weakrefs = nullptr;
    self->state = State::Created;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace tsy::coro
