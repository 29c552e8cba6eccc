// What AioSqliteConnector and AioMysqlConnector share: the setup task that
// makes the pool ready on the running loop, getCon/releaseCon/transaction/
// close, the attributes, and the dispatch of statements to the pool.
#include "aio/aio_connector.hpp"
#include "aio/pool.hpp"
#include "core/read_routing.hpp"

namespace tsy::db {
namespace aio {
namespace {

// asyncio.<name>, imported on first use and kept for the life of the process.
PyObject* asyncio_attr(PyObject*& slot, const char* name) noexcept {
    if (!slot) slot = import_attr("asyncio", name).release();
    return slot;
}

PyObject* get_running_loop_fn = nullptr;
PyObject* shield_fn = nullptr;
PyObject* cancelled_error = nullptr;

int start_setup(PyObject* self, PyObject* loop) noexcept {
    AioConnectorObject* c = as_aio(self);
    Ref coroutine = steal(setup_pool(self));
    if (!coroutine) return -1;
    Ref task = call_method(loop, names.create_task, coroutine.get());
    if (!task) return -1;
    set_field(c->loop, loop);
    set_field(c->setup, task.get());
    return 0;
}

// 1 when the setup task has ended (so without making the pool ready), 0 while it runs.
int setup_ended(PyObject* task) noexcept {
    Ref done = call_method(task, names.done);
    return done ? truth(done.get()) : -1;
}

// Any non-empty argument sequence; the driver reports unusable ones itself.
bool has_args(PyObject* args) noexcept {
    if (PyTuple_Check(args)) return PyTuple_GET_SIZE(args) > 0;
    if (PyList_Check(args)) return PyList_GET_SIZE(args) > 0;
    int truth_value = PyObject_IsTrue(args);
    if (truth_value < 0) PyErr_Clear();
    return truth_value != 0;
}

coro::Task get_con_task(Ref self) {
    Ref pending = readiness(self.get());
    if (!pending || (pending.get() != Py_None && !co_await coro::await(std::move(pending)))) co_return nullptr;
    co_return co_await coro::await(steal(acquire(self.get())));
}

}  // namespace

Ref running_loop() noexcept {
    if (!asyncio_attr(get_running_loop_fn, "_get_running_loop")) return {};
    return call(get_running_loop_fn);
}

Ref new_future() noexcept {
    Ref loop = running_loop();
    if (!loop) return {};
    if (loop.get() == Py_None) return fail(PyExc_RuntimeError, "no running event loop");
    return call_method(loop.get(), names.create_future);
}

bool is_cancellation(PyObject* exc) noexcept {
    if (!exc) return false;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) return true;
    if (!asyncio_attr(cancelled_error, "CancelledError")) {
        PyErr_Clear();
        return false;
    }
    return PyErr_GivenExceptionMatches(exc, cancelled_error);
}

void call_keeping_error(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    Ref done = arg ? call_method(obj, name, arg) : call_method(obj, name);
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

int touch(PyObject* self) noexcept {
    AioConnectorObject* c = as_aio(self);
    if (!c->driver) return 0;  // nothing to set up before __init__ (attribute reads touch too)
    Ref loop = running_loop();
    if (!loop) return -1;
    if (loop.get() == Py_None) return 0;
    bool same_loop = c->loop == loop.get();
    if (c->ready && (same_loop || !c->driver->loop_bound)) return 0;
    if (c->setup && same_loop) {
        int ended = setup_ended(c->setup);
        if (ended <= 0) return ended;  // still running (or an error)
    }
    if (c->setup && !same_loop) leave_loop(c);
    return start_setup(self, loop.get());
}

Ref readiness(PyObject* self) noexcept {
    if (touch(self) < 0) return {};
    AioConnectorObject* c = as_aio(self);
    if (c->ready) return borrow(Py_None);
    if (!c->setup) return fail(PyExc_RuntimeError, "%.200s needs a running event loop", type_name(self));
    if (!asyncio_attr(shield_fn, "shield")) return {};
    // Shielded: a getCon() cancelled while it waits must not cancel the setup.
    return call(shield_fn, c->setup);
}

PyObject* get_con(PyObject* self) noexcept {
    if (!aio_ready(self)) return not_initialised(self);
    return coro::make_coroutine(get_con_task(borrow(self)), "getCon");
}

// --- slots shared by both types ---------------------------------------------

PyObject* new_connector(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    AioConnectorObject* c = as_aio(self.get());
    c->base.settings = PyDict_New();
    c->base.cache = PyDict_New();
    c->idle = PyList_New(0);
    c->waiters = PyList_New(0);
    c->lent = PyDict_New();
    if (!c->base.settings || !c->base.cache || !c->idle || !c->waiters || !c->lent) return nullptr;
    c->base.style = STYLE_FORMAT;
    c->minsize = 1;
    c->maxsize = 1;
    c->idle_timeout = -1;
    c->pre_ping = kDefaultPingAfter;
    c->pre_ping_given = Py_NewRef(Py_True);
    return self.release();
}

namespace {

// The pool's containers are made again when a collection cleared them.
bool pool_state(AioConnectorObject* c) noexcept {
    if (!c->idle && !(c->idle = PyList_New(0))) return false;
    if (!c->waiters && !(c->waiters = PyList_New(0))) return false;
    return c->lent || (c->lent = PyDict_New());
}

}  // namespace

int init_common(PyObject* self, const AioDriver* driver) noexcept {
    if (!pool_state(as_aio(self))) return -1;
    as_aio(self)->driver = driver;
    // Made inside a running loop: the setup starts now.
    return touch(self);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    AioConnectorObject* c = as_aio(self);
    Py_VISIT(c->pre_ping_given);
    Py_VISIT(c->idle_since);
    Py_VISIT(c->sweeper);
    Py_VISIT(c->base.factory);
    Py_VISIT(c->base.settings);
    Py_VISIT(c->base.cache);
    Py_VISIT(c->loop);
    Py_VISIT(c->setup);
    Py_VISIT(c->idle);
    Py_VISIT(c->waiters);
    Py_VISIT(c->lent);
    Py_VISIT(c->base.replicas);
    return 0;
}

int clear(PyObject* self) noexcept {
    AioConnectorObject* c = as_aio(self);
    Py_CLEAR(c->pre_ping_given);
    Py_CLEAR(c->idle_since);
    Py_CLEAR(c->sweeper);
    Py_CLEAR(c->base.factory);
    Py_CLEAR(c->base.settings);
    Py_CLEAR(c->base.cache);
    Py_CLEAR(c->loop);
    Py_CLEAR(c->setup);
    Py_CLEAR(c->idle);
    Py_CLEAR(c->waiters);
    Py_CLEAR(c->lent);
    Py_CLEAR(c->base.replicas);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Every attribute read counts as a touch (the seeding run polls `isReady`).
PyObject* getattro(PyObject* self, PyObject* name) noexcept {
    if (touch(self) < 0) return nullptr;
    return PyObject_GenericGetAttr(self, name);
}

namespace {

// A number of seconds that is neither a bool nor NaN; TypeError or ValueError otherwise.
bool seconds_value(PyObject* value, const char* what, double* out) noexcept {
    if (PyBool_Check(value) || (!PyLong_Check(value) && !PyFloat_Check(value))) {
        fail(PyExc_TypeError, "%s must be a number of seconds, not %.200s", what, type_name(value));
        return false;
    }
    *out = PyFloat_AsDouble(value);
    if (*out == -1.0 && PyErr_Occurred()) return false;
    if (*out != *out) {
        fail(PyExc_ValueError, "%s must be a number of seconds, not NaN", what);
        return false;
    }
    return true;
}

}  // namespace

int set_liveness(PyObject* self, PyObject* idle_timeout, PyObject* pre_ping) noexcept {
    double timeout = -1;
    if (idle_timeout && idle_timeout != Py_None) {
        if (!seconds_value(idle_timeout, "idleTimeout", &timeout)) return -1;
        if (timeout <= 0) return fail(PyExc_ValueError, "idleTimeout must be more than 0 seconds (or None), not %R", idle_timeout);
    }
    PyObject* given = pre_ping ? pre_ping : Py_True;
    double after = -1;
    if (given == Py_True) {
        after = kDefaultPingAfter;
    } else if (given != Py_False) {
        if (!PyLong_Check(given) && !PyFloat_Check(given)) {
            return fail(PyExc_TypeError, "prePing must be True, False or a number of seconds, not %.200s",
                        type_name(given));
        }
        if (!seconds_value(given, "prePing", &after)) return -1;
        if (after < 0) return fail(PyExc_ValueError, "prePing must be at least 0 seconds, not %R", given);
    }
    AioConnectorObject* c = as_aio(self);
    c->idle_timeout = timeout;
    c->pre_ping = after;
    set_field(c->pre_ping_given, given);
    return 0;
}

PyObject* get_idle_timeout(PyObject* self, void*) noexcept {
    double timeout = as_aio(self)->idle_timeout;
    if (timeout < 0) Py_RETURN_NONE;
    return PyFloat_FromDouble(timeout);
}

PyObject* get_pre_ping(PyObject* self, void*) noexcept {
    PyObject* given = as_aio(self)->pre_ping_given;
    return Py_NewRef(given ? given : Py_True);
}

PyObject* get_true(PyObject*, void*) noexcept { Py_RETURN_TRUE; }

PyObject* get_ready(PyObject* self, void*) noexcept { return PyBool_FromLong(as_aio(self)->ready); }

PyObject* get_con_type(PyObject* self, void*) noexcept { return PyLong_FromLong(as_aio(self)->base.con_type); }

int set_con_type(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete con_type");
    int v = 0;
    if (!to_int(value, &v)) return -1;
    as_aio(self)->base.con_type = v;
    return 0;
}

PyObject* get_paramstyle(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(as_aio(self)->base.style == STYLE_QMARK ? "qmark" : "format");
}

PyObject* get_minsize(PyObject* self, void*) noexcept { return PyLong_FromLong(as_aio(self)->minsize); }

PyObject* get_maxsize(PyObject* self, void*) noexcept { return PyLong_FromLong(as_aio(self)->maxsize); }

namespace {

const char* const kConNames[] = {"con"};
const char* const kColNames[] = {"col"};

PyObject* getCon_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("getCon", nargs, kwnames) || touch(self) < 0) return nullptr;
    return get_con(self);
}

PyObject* releaseCon_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"releaseCon", kConNames, 1, 1};
    PyObject* con[1];
    if (!parse(params, args, nargs, kwnames, con)) return nullptr;
    return release(self, con[0]);
}

PyObject* transaction_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("transaction", nargs, kwnames)) return nullptr;
    return call(reinterpret_cast<PyObject*>(&AioTransactionType), self).release();
}

PyObject* scope_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("scope", nargs, kwnames)) return nullptr;
    return call(reinterpret_cast<PyObject*>(&AioScopeType), self).release();
}

PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    return close_with_replicas(self);  // the primary's pool, then each replica's
}

PyObject* autoFiledAnnounce_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"autoFiledAnnounce", kColNames, 1, 1};
    PyObject* col[1];
    if (!parse(params, args, nargs, kwnames, col)) return nullptr;
    return as_aio(self)->driver->auto_field(col[0]);
}

}  // namespace

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef connector_methods[] = {
    {"getCon", fastkw_ready<aio_ready, getCon_method>(), kFast,
     "getCon($self)\n--\n\nawait getCon(): a connection of the pool (once it is ready). Its statements are not committed "
     "until `await con.commit()`; give it back with releaseCon()."},
    {"releaseCon", fastkw_ready<aio_ready, releaseCon_method>(), kFast,
     "releaseCon($self, con)\n--\n\nawait releaseCon(con): roll back what is uncommitted on `con` and give it back to the pool."},
    {"transaction", fastkw_ready<aio_ready, transaction_method>(), kFast,
     "transaction($self)\n--\n\nasync with transaction() as con: a pooled connection, committed when the block ends normally, "
     "rolled back when it raises, then given back. The task's statements without a connection run inside it."},
    {"scope", fastkw_ready<aio_ready, scope_method>(), kFast,
     "scope($self)\n--\n\nasync with scope() as con: lends the task one pooled connection for the block; the task's "
     "statements without a connection run on it (each committed as it ends) and its transaction blocks use it. "
     "What is left open on it is rolled back at the end."},
    {"close", fastkw_ready<aio_ready, close_method>(), kFast,
     "close($self)\n--\n\nawait close(): close every connection; the next use inside a running loop sets the pool up anew."},
    {"autoFiledAnnounce", fastkw_ready<aio_ready, autoFiledAnnounce_method>(), kFast,
     "autoFiledAnnounce($self, col)\n--\n\nThe CREATE TABLE type text of the auto-increment key column `col`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace aio

bool is_aio(PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, &AioSqliteConnectorType) || PyObject_TypeCheck(obj, &AioMysqlConnectorType);
}

PyObject* run_any(PyObject* connector, PyObject* con, PyObject* sql, PyObject* args, int mode) noexcept {
    if (!is_aio(connector)) return run(connector, con, sql, args, mode);
    if (!check_arg(sql, &PyUnicode_Type, "sql", false)) return nullptr;
    if (!aio_ready(connector)) return not_initialised(connector);
    AioConnectorObject* c = as_aio(connector);
    if (aio::touch(connector) < 0) return nullptr;
    Ref empty;
    if (!args || args == Py_None) {
        empty = steal(PyTuple_New(0));
        if (!empty) return nullptr;
        args = empty.get();
    }
    bool with_args = aio::has_args(args);
    Ref text = steal(driver_text(&c->base, sql, with_args));
    if (!text) return nullptr;
    PyObject* driver_args = with_args || c->base.style != STYLE_FORMAT ? args : Py_None;
    // Logged statements are awaited through a step that writes their record
    // on the loop once they have ended.
    std::shared_ptr<StatementTrace> trace = new_shared_trace();
    Ref pending = steal(aio::run(connector, con ? con : Py_None, text.get(), driver_args, mode, trace));
    if (!trace) return pending.release();
    return logged_awaitable(std::move(pending), std::move(trace), sql, args, mode);
}

int ready_aio(PyObject* module) noexcept {
    if (!coro::import_coro_api() || aio::ready_workers() < 0) return -1;
    struct Entry { PyTypeObject* type; const char* name; };
    const Entry entries[] = {
        {&AioSqliteConnectorType, "AioSqliteConnector"},
        {&AioMysqlConnectorType, "AioMysqlConnector"},
        {&AioSqliteConnectionType, "AioSqliteConnection"},
        {&AioTransactionType, "AioTransaction"},
        {&AioScopeType, "AioScope"},
    };
    for (const Entry& e : entries) {
        if (PyType_Ready(e.type) < 0) return -1;
        if (PyModule_AddObjectRef(module, e.name, reinterpret_cast<PyObject*>(e.type)) < 0) return -1;
    }
    return 0;
}

}  // namespace tsy::db
