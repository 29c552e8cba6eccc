// Test-only coroutine functions of Tessary._coro (underscore names): small
// examples of coroutine methods written in C++, used by the tests and the
// benchmark to drive the coroutine type through every path.
#include <new>
#include <stdexcept>

#include "coroutine.hpp"

namespace tsy::coro {
namespace {

// Calls `callback()` when the frame that holds it goes away, however that
// happens (return, error, close, cancellation, garbage collection).
class CallOnExit {
public:
    explicit CallOnExit(Ref callback) noexcept : callback_(std::move(callback)) {}
    CallOnExit(const CallOnExit&) = delete;
    CallOnExit& operator=(const CallOnExit&) = delete;
    ~CallOnExit() {
        Ref saved = steal(PyErr_GetRaisedException());
        Ref result = call(callback_.get());
        if (!result) PyErr_WriteUnraisable(callback_.get());
        PyErr_SetRaisedException(saved.release());
    }

private:
    Ref callback_;
};

Task echo(Ref awaitable) { co_return co_await await(awaitable.get()); }

Task await_n(long n, Ref awaitable) {
    Ref last = borrow(Py_None);
    for (long i = 0; i < n; ++i) {
        last = co_await await(awaitable.get());
        if (!last) co_return nullptr;
    }
    co_return last;
}

Task await_calls(long n, Ref function, Ref arg) {
    Ref last = borrow(Py_None);
    for (long i = 0; i < n; ++i) {
        last = co_await await(call(function.get(), arg.get()));
        if (!last) co_return nullptr;
    }
    co_return last;
}

Task sum_awaits(long n, Ref factory) {
    Ref total = steal(PyLong_FromLong(0));
    for (long i = 0; i < n && total; ++i) {
        Ref value = co_await await(call(factory.get()));
        if (!value) co_return nullptr;
        total = steal(PyNumber_Add(total.get(), value.get()));
    }
    co_return total;
}

// Each level awaits the next one natively, the innermost awaits `awaitable`.
Task nest(long depth, Ref awaitable) {
    if (depth <= 0) co_return co_await await(awaitable.get());
    Ref inner = steal(make_coroutine(nest(depth - 1, borrow(awaitable.get())), "_nest"));
    co_return co_await await(std::move(inner));
}

// ("ok", value) or ("caught", exception); then awaits `after` unless it is None.
Task catch_error(Ref awaitable, Ref exc_type, Ref after) {
    Ref outcome = co_await await(awaitable.get());
    const char* how = "ok";
    if (!outcome) {
        if (!PyErr_ExceptionMatches(exc_type.get())) co_return nullptr;
        outcome = steal(PyErr_GetRaisedException());
        how = "caught";
    }
    Ref then = borrow(Py_None);
    if (after.get() != Py_None) {
        then = co_await await(after.get());
        if (!then) co_return nullptr;
    }
    co_return steal(Py_BuildValue("(sOO)", how, outcome.get(), then.get()));
}

Task guard(Ref awaitable, Ref on_exit) {
    CallOnExit cleanup(std::move(on_exit));
    co_return co_await await(awaitable.get());
}

// `obj` stays in the frame (a registered parameter) until the await is over.
Task hold(Ref obj, Ref awaitable) {
    Ref done = co_await await(awaitable.get());
    if (!done) co_return nullptr;
    co_return obj;
}

Task return_value(Ref value) { co_return value; }

Task raise_error(Ref exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    co_return nullptr;
}

// Contract breaches of a coroutine body, and how the driver reports them.
Task fault(long kind) {
    if (kind == 0) throw std::bad_alloc();
    if (kind == 1) throw std::runtime_error("boom");
    if (kind == 2) co_return nullptr;  // without an error set
    PyErr_SetString(PyExc_KeyError, "left set");
    co_return borrow(Py_None);
}

// ---------------------------------------------------------------------------
// Python entry points
// ---------------------------------------------------------------------------

bool to_long(PyObject* obj, long* out) noexcept {
    *out = PyLong_AsLong(obj);
    return !(*out == -1 && PyErr_Occurred());
}

const char* const kAwaitable[] = {"awaitable"};
const char* const kCountAwaitable[] = {"n", "awaitable"};
const char* const kCountCall[] = {"n", "function", "arg"};
const char* const kCountFactory[] = {"n", "factory"};
const char* const kDepthAwaitable[] = {"depth", "awaitable"};
const char* const kCatch[] = {"awaitable", "exc_type", "after"};
const char* const kGuard[] = {"awaitable", "on_exit"};
const char* const kHold[] = {"obj", "awaitable"};
const char* const kValue[] = {"value"};
const char* const kExc[] = {"exc"};
const char* const kKind[] = {"kind"};

PyObject* echo_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_echo", kAwaitable, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return make_coroutine(echo(borrow(a[0])), "_echo");
}

PyObject* await_n_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_await_n", kCountAwaitable, 2, 2};
    PyObject* a[2];
    long n;
    if (!parse(params, args, nargs, kwnames, a) || !to_long(a[0], &n)) return nullptr;
    return make_coroutine(await_n(n, borrow(a[1])), "_await_n");
}

PyObject* await_calls_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_await_calls", kCountCall, 3, 3};
    PyObject* a[3];
    long n;
    if (!parse(params, args, nargs, kwnames, a) || !to_long(a[0], &n)) return nullptr;
    return make_coroutine(await_calls(n, borrow(a[1]), borrow(a[2])), "_await_calls");
}

PyObject* sum_awaits_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_sum_awaits", kCountFactory, 2, 2};
    PyObject* a[2];
    long n;
    if (!parse(params, args, nargs, kwnames, a) || !to_long(a[0], &n)) return nullptr;
    if (!PyCallable_Check(a[1])) return fail(PyExc_TypeError, "factory must be callable");
    return make_coroutine(sum_awaits(n, borrow(a[1])), "_sum_awaits");
}

PyObject* nest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_nest", kDepthAwaitable, 2, 2};
    PyObject* a[2];
    long depth;
    if (!parse(params, args, nargs, kwnames, a) || !to_long(a[0], &depth)) return nullptr;
    return make_coroutine(nest(depth, borrow(a[1])), "_nest");
}

PyObject* catch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_catch", kCatch, 3, 2};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (!PyExceptionClass_Check(a[1])) return fail(PyExc_TypeError, "exc_type must be an exception class");
    return make_coroutine(catch_error(borrow(a[0]), borrow(a[1]), borrow(a[2] ? a[2] : Py_None)), "_catch");
}

PyObject* guard_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_guard", kGuard, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return make_coroutine(guard(borrow(a[0]), borrow(a[1])), "_guard");
}

PyObject* hold_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_hold", kHold, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return make_coroutine(hold(borrow(a[0]), borrow(a[1])), "_hold", "Holder._hold");
}

PyObject* return_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_return", kValue, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return make_coroutine(return_value(borrow(a[0])), "_return");
}

PyObject* raise_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_raise", kExc, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (!PyExceptionInstance_Check(a[0])) return wrong_arg_type("exc", reinterpret_cast<PyTypeObject*>(PyExc_BaseException), a[0]);
    return make_coroutine(raise_error(borrow(a[0])), "_raise");
}

PyObject* fault_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_fault", kKind, 1, 1};
    PyObject* a[1];
    long kind;
    if (!parse(params, args, nargs, kwnames, a) || !to_long(a[0], &kind)) return nullptr;
    return make_coroutine(fault(kind), "_fault");
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"_echo", fastkw<echo_entry>(), kFast, "_echo($self, awaitable)\n--\n\nawait it, return its result."},
    {"_await_n", fastkw<await_n_entry>(), kFast, "_await_n($self, n, awaitable)\n--\n\nawait it n times, return the last result."},
    {"_await_calls", fastkw<await_calls_entry>(), kFast,
     "_await_calls($self, n, function, arg)\n--\n\nawait function(arg) n times, return the last result."},
    {"_sum_awaits", fastkw<sum_awaits_entry>(), kFast,
     "_sum_awaits($self, n, factory)\n--\n\nthe sum of n results of awaiting factory()."},
    {"_nest", fastkw<nest_entry>(), kFast,
     "_nest($self, depth, awaitable)\n--\n\ndepth native coroutines awaiting each other, the innermost awaits awaitable."},
    {"_catch", fastkw<catch_entry>(), kFast,
     "_catch($self, awaitable, exc_type, after=None)\n--\n\n('ok', value) or ('caught', exc), then the result of awaiting after."},
    {"_guard", fastkw<guard_entry>(), kFast, "_guard($self, awaitable, on_exit)\n--\n\nawait it; on_exit() runs when the frame goes."},
    {"_hold", fastkw<hold_entry>(), kFast, "_hold($self, obj, awaitable)\n--\n\nawait it, then return obj."},
    {"_return", fastkw<return_entry>(), kFast, "_return($self, value)\n--\n\nreturn value without awaiting."},
    {"_raise", fastkw<raise_entry>(), kFast, "_raise($self, exc)\n--\n\nraise exc without awaiting."},
    {"_fault", fastkw<fault_entry>(), kFast,
     "_fault($self, kind)\n--\n\na body breaking the rules: 0 bad_alloc, 1 other C++ exception, 2 NULL without error, "
     "3 result with an error set."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_testing_functions(PyObject* module) noexcept { return PyModule_AddFunctions(module, functions); }

}  // namespace tsy::coro
