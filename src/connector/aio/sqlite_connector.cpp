// AioSqliteConnector: SQLite without blocking the loop, on one of two
// drivers (SqliteDriver, aio/aio_connector.hpp), picked by the constructor's
// `driver`:
// - "native" (the default): the native engine, each step run inline on the
//   loop's thread when it is awaited (aio/sqlite_native_driver.cpp). A statement
//   then costs about what it costs synchronously; lock waits become sleeps
//   on the loop.
// - "sqlite3": the standard sqlite3 module, each pooled connection on a
//   worker thread of its own (aio/sqlite_module_driver.cpp, aio/sqlite_worker.cpp), a
//   thread hand-off per step.
// The pool is the same for both: it grows on demand up to `maxsize` and
// keeps the connections it opened.
//
// ":memory:" is one in-memory database per connector shared by all its
// connections: a shared-cache URI "file:tessary_mem_<n>?mode=memory&cache=shared",
// read with `read_uncommitted` so that a reader is not refused while another
// connection holds uncommitted writes (it sees them). Each close() starts a
// new, empty database, as the synchronous connector does.
//
// A connection handed out (getCon(), transaction()) keeps sqlite3's default
// transaction handling on both drivers: a write opens a transaction that
// lasts until commit() or rollback(). Statements the handle runs without a
// connection are committed right after they ran.
#include <atomic>

#include "aio/aio_connector.hpp"
#include "core/engines.hpp"

namespace tsy::db {
namespace {

using aio::Lease;
using aio::Op;

constexpr int kDefaultMaxsize = 5;

bool is_memory(PyObject* path) noexcept { return PyUnicode_CompareWithASCIIString(path, ":memory:") == 0; }

// The keyword arguments of sqlite3.connect for the current generation.
Ref connect_kwargs(AioConnectorObject* c) noexcept {
    static std::atomic<unsigned long> serial{0};
    PyObject* path = PyDict_GetItemWithError(c->base.settings, names.path);
    if (!path) return PyErr_Occurred() ? Ref() : fail(PyExc_RuntimeError, "AioSqliteConnector is not initialised");
    Ref database;
    bool uri = false;
    if (is_memory(path)) {
        database = steal(PyUnicode_FromFormat("file:tessary_mem_%lu?mode=memory&cache=shared", ++serial));
        uri = true;
    } else {
        database = borrow(path);
        Ref prefix = steal(PyUnicode_FromString("file:"));
        if (!prefix) return {};
        Py_ssize_t starts = PyUnicode_Tailmatch(path, prefix.get(), 0, PY_SSIZE_T_MAX, -1);
        if (starts < 0) return {};
        uri = starts == 1;
    }
    Ref timeout = steal(PyFloat_FromDouble(5.0));
    Ref kwargs = steal(PyDict_New());
    if (!database || !timeout || !kwargs) return {};
    if (PyDict_SetItem(kwargs.get(), names.database, database.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.uri, uri ? Py_True : Py_False) < 0 ||
        PyDict_SetItem(kwargs.get(), names.check_same_thread, Py_False) < 0 ||
        PyDict_SetItem(kwargs.get(), names.timeout, timeout.get()) < 0) {
        return {};
    }
    return kwargs;
}

// The connect arguments live in the pool's state so that every connection of
// one generation opens the same database.
PyObject* generation_kwargs(AioConnectorObject* c) noexcept {
    PyObject* kwargs = PyDict_GetItemWithError(c->base.settings, names._connect);
    if (kwargs || PyErr_Occurred()) return kwargs;
    Ref fresh = connect_kwargs(c);
    if (!fresh || PyDict_SetItem(c->base.settings, names._connect, fresh.get()) < 0) return nullptr;
    return fresh.get();  // borrowed: the settings dict holds it
}

void new_generation(AioConnectorObject* c) noexcept {
    ++c->generation;
    if (PyDict_DelItem(c->base.settings, names._connect) < 0) PyErr_Clear();
}

PyObject* after_open(AioConnectorObject* c) noexcept {
    PyObject* path = PyDict_GetItem(c->base.settings, names.path);
    return path && is_memory(path) ? names.shared_reads_sql : nullptr;
}

// Awaitable: a new connection of the current generation, counted in `open`.
PyObject* open_connection(PyObject* self) noexcept {
    AioConnectorObject* c = as_aio(self);
    PyObject* kwargs = generation_kwargs(c);
    if (!kwargs) return nullptr;
    return aio::open_sqlite_connection(self, kwargs, after_open(c));
}

void lend(PyObject* con) noexcept { as_sqlite_con(con)->lent = 1; }

bool is_native(PyObject* self) noexcept { return as_aio(self)->backend == &kNativeSqliteBackend; }

// The last idle connection, taken out of the pool (new ref), or NULL.
Ref pop_idle(AioConnectorObject* c) noexcept {
    Py_ssize_t n = c->pool ? PyList_GET_SIZE(c->pool) : 0;
    if (n == 0) return {};
    Ref con = borrow(PyList_GET_ITEM(c->pool, n - 1));
    if (PyList_SetSlice(c->pool, n - 1, n, nullptr) < 0) return {};
    return con;
}

// --- setup, acquisition, give-back ----------------------------------------------

coro::Task setup_task(Ref self, Ref con = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    unsigned generation = c->generation;
    ++c->open;
    con = co_await coro::await(steal(open_connection(self.get())));
    if (!con) {
        if (c->generation == generation) --c->open;
        co_return nullptr;
    }
    if (c->generation != generation) {  // closed meanwhile
        aio::close_sqlite_connection(con.get());
        co_return borrow(Py_None);
    }
    if (PyList_Append(c->pool, con.get()) < 0) co_return nullptr;
    c->ready = 1;
    co_return borrow(Py_None);
}

PyObject* setup(PyObject* self) noexcept {
    return coro::make_coroutine(setup_task(borrow(self)), "setup", "AioSqliteConnector.setup");
}

void forget(AioConnectorObject*) noexcept {
    // Connections complete futures on whatever loop awaits them: nothing is bound to the old loop.
}

// A waiting acquisition that is cancelled may already have been handed a
// connection: it goes back to the pool.
void abandon_waiter(PyObject* self, PyObject* waiter) noexcept {
    AioConnectorObject* c = as_aio(self);
    Ref pending = steal(PyErr_GetRaisedException());
    int listed = c->waiters ? PySequence_Contains(c->waiters, waiter) : 0;
    // Best effort: each step that fails is dropped before the next one runs.
    if (listed < 0 || (listed > 0 && !call_method(c->waiters, names.remove, waiter))) PyErr_Clear();
    Ref cancelled = call_method(waiter, names.cancelled);
    Ref done = cancelled ? call_method(waiter, names.done) : Ref();
    if (cancelled && done && cancelled.get() == Py_False && done.get() == Py_True) {
        Ref con = call_method(waiter, names.result);
        if (con && PyObject_TypeCheck(con.get(), &AioSqliteConnectionType)) {
            as_aio(self)->backend->give_back(self, con.get(), false);
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

coro::Task acquire_task(Ref self, Ref con = nullptr, Ref waiter = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    con = pop_idle(c);
    if (con) {
        lend(con.get());
        co_return std::move(con);
    }
    if (PyErr_Occurred()) co_return nullptr;
    if (c->open < c->maxsize) {
        unsigned generation = c->generation;
        ++c->open;
        con = co_await coro::await(steal(open_connection(self.get())));
        if (!con) {
            if (c->generation == generation) --c->open;
            co_return nullptr;
        }
        lend(con.get());
        co_return std::move(con);
    }
    waiter = aio::new_future();
    if (!waiter || PyList_Append(c->waiters, waiter.get()) < 0) co_return nullptr;
    con = co_await coro::await(waiter.get());
    if (!con) abandon_waiter(self.get(), waiter.get());
    co_return std::move(con);  // lent by give_back, which handed it over
}

PyObject* acquire(PyObject* self) noexcept {
    return coro::make_coroutine(acquire_task(borrow(self)), "getCon", "AioSqliteConnector.getCon");
}

// Hands a returned connection to the first acquisition still waiting, else
// keeps it idle. Its uncommitted work is rolled back first (by its driver,
// ahead of whatever its next user does); one that cannot even do that is
// closed.
void hand_back(PyObject* self, PyObject* con, bool broken) noexcept {
    AioConnectorObject* c = as_aio(self);
    SqliteConnectionObject* s = as_sqlite_con(con);
    s->lent = 0;
    bool current = s->generation == c->generation;
    if (broken || !current || !sqlite_con_open(s) || !c->pool || !s->driver->discard_work(con)) {
        if (current && c->open > 0) --c->open;
        aio::close_sqlite_connection(con);
        return;
    }
    while (PyList_GET_SIZE(c->waiters) > 0) {
        Ref waiter = borrow(PyList_GET_ITEM(c->waiters, 0));
        if (PyList_SetSlice(c->waiters, 0, 1, nullptr) < 0) return;
        Ref done = call_method(waiter.get(), names.done);
        if (!done) return;
        if (done.get() == Py_True) continue;
        s->lent = 1;
        if (!call_method(waiter.get(), names.set_result, con)) s->lent = 0;
        return;
    }
    PyList_Append(c->pool, con);
}

void give_back(PyObject* self, PyObject* con, bool broken) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    hand_back(self, con, broken);
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

bool check_connection(PyObject* self, PyObject* con) noexcept {
    if (!check_arg(con, &AioSqliteConnectionType, "con", false)) return false;
    if (as_sqlite_con(con)->connector != self) {
        fail(PyExc_ValueError, "the connection does not belong to this connector");
        return false;
    }
    return true;
}

// The lease is a parameter: a releaseCon() never awaited still gives the
// connection back when it is dropped.
coro::Task release_task(Lease lease) {
    Ref rolled = co_await coro::await(steal(aio::sqlite_step(lease.con(), Op::Rollback, nullptr, nullptr, RUN_NONE, false)));
    if (!rolled) {
        Ref error = steal(PyErr_GetRaisedException());
        lease.broken = !aio::is_cancellation(error.get());
        PyErr_SetRaisedException(error.release());
        co_return nullptr;
    }
    co_return borrow(Py_None);
}

PyObject* release(PyObject* self, PyObject* con) noexcept {
    if (!check_connection(self, con)) return nullptr;
    if (!as_sqlite_con(con)->lent) return fail(PyExc_ValueError, "the connection is not lent out (given back twice?)");
    as_sqlite_con(con)->lent = 0;  // a second releaseCon() fails at once
    return coro::make_coroutine(release_task(Lease(self, borrow(con))), "releaseCon",
                                "AioSqliteConnector.releaseCon");
}

// --- statements -------------------------------------------------------------

coro::Task run_pooled_task(Ref self, Ref text, Ref args, int mode, std::shared_ptr<StatementTrace> trace) {
    Ref pending = aio::readiness(self.get());
    if (!pending) co_return nullptr;
    if (pending.get() != Py_None) {
        Ref ready = co_await coro::await(std::move(pending));
        if (!ready) co_return nullptr;
    }
    Ref con = co_await coro::await(steal(acquire(self.get())));
    if (!con) co_return nullptr;
    Lease lease(self.get(), std::move(con));
    co_return co_await coro::await(
        steal(aio::sqlite_step(lease.con(), Op::Run, text.get(), args.get(), mode, true, std::move(trace))));
}

// Buffers are taken as bytes now for a worker, which binds them later on
// its own thread while the loop may change them; the engine binds the
// C-contiguous ones in place, on the loop's thread.
PyObject* run_awaitable(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
                        const std::shared_ptr<StatementTrace>& trace) noexcept {
    Ref bound = steal(bindable_args(args, is_native(self)));
    if (!bound) return nullptr;
    if (con == Py_None) {
        return coro::make_coroutine(run_pooled_task(borrow(self), borrow(text), std::move(bound), mode, trace),
                                    "execute");
    }
    if (!check_connection(self, con)) return nullptr;
    return aio::sqlite_step(con, Op::Run, text, bound.get(), mode, false, trace);
}

// Idle connections are closed now; lent ones when they come back.
coro::Task close_task(Ref self, Ref idle = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    new_generation(c);
    c->ready = 0;
    c->open = 0;
    Py_CLEAR(c->setup);
    Py_CLEAR(c->loop);
    idle = steal(c->pool);
    c->pool = PyList_New(0);
    Ref waiters = steal(c->waiters);
    c->waiters = PyList_New(0);
    if (!c->pool || !c->waiters) co_return nullptr;
    for (Py_ssize_t i = 0; waiters && i < PyList_GET_SIZE(waiters.get()); ++i) {
        PyObject* waiter = PyList_GET_ITEM(waiters.get(), i);
        Ref done = call_method(waiter, names.done);
        if (!done) co_return nullptr;
        if (done.get() == Py_True) continue;
        Ref error = steal(PyObject_CallFunction(PyExc_RuntimeError, "s", "the connector was closed"));
        if (!error || !call_method(waiter, names.set_exception, error.get())) co_return nullptr;
    }
    for (Py_ssize_t i = 0; idle && i < PyList_GET_SIZE(idle.get()); ++i) {
        Ref con = borrow(PyList_GET_ITEM(idle.get(), i));
        Ref closed = co_await coro::await(call_method(con.get(), names.close));
        if (!closed) co_return nullptr;
    }
    co_return borrow(Py_None);
}

PyObject* close_pool(PyObject* self) noexcept {
    return coro::make_coroutine(close_task(borrow(self)), "close", "AioSqliteConnector.close");
}

// "INTEGER": with the PRIMARY KEY constraint line the key is the rowid, as
// with Sqlite3Connector.
PyObject* auto_field(PyObject*) noexcept { return PyUnicode_FromString("INTEGER"); }

// --- the type -----------------------------------------------------------------

const char* const kInitNames[] = {"path", "maxsize", "driver"};

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kInitNames, 3, 0};
    PyObject* a[3];
    Ref kwnames, values;
    // `driver` is a keyword only.
    if (PyTuple_GET_SIZE(args) > 2) return arg_count_error("__init__", 0, 2, PyTuple_GET_SIZE(args));
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    int native = wants_native(a[2], "sqlite3");
    if (native < 0) return -1;
    Ref path = a[0] ? borrow(a[0]) : steal(PyUnicode_FromString(":memory:"));
    if (!path || !check_arg(path.get(), &PyUnicode_Type, "path", false)) return -1;
    int maxsize = kDefaultMaxsize;
    if (a[1] && !to_int(a[1], &maxsize)) return -1;
    if (maxsize < 1) return fail(PyExc_ValueError, "maxsize must be at least 1, not %d", maxsize);
    AioConnectorObject* c = as_aio(self);
    PyDict_Clear(c->base.settings);
    if (PyDict_SetItem(c->base.settings, names.path, path.get()) < 0) return -1;
    if (!c->pool && !(c->pool = PyList_New(0))) return -1;
    c->base.con_type = 1;
    c->base.style = STYLE_QMARK;
    c->minsize = 1;
    c->maxsize = maxsize;
    return aio::init_common(self, native ? &kNativeSqliteBackend : &kSqliteBackend);
}

PyObject* get_path(PyObject* self, void*) noexcept {
    PyObject* path = PyDict_GetItemWithError(as_aio(self)->base.settings, names.path);
    if (!path && PyErr_Occurred()) return nullptr;
    return Py_NewRef(path ? path : Py_None);
}

PyObject* get_driver(PyObject* self, void*) noexcept {
    if (!aio_ready(self)) return not_initialised(self);
    return PyUnicode_FromString(aio::sqlite_driver_of(self)->name);
}

PyGetSetDef getset[] = {
    {"isAsync", aio::get_true, nullptr, "True: statements are awaited on an event loop.", nullptr},
    {"isReady", aio::get_ready, nullptr,
     "True once the first connection is open; reading it inside a running loop starts the setup.", nullptr},
    {"con_type", aio::get_con_type, aio::set_con_type, "1: INSERT column lists as single-quoted names.", nullptr},
    {"paramstyle", aio::get_paramstyle, nullptr, "'qmark': \"%s\" becomes \"?\".", nullptr},
    {"maxsize", aio::get_maxsize, nullptr, "Most connections open at once (on the module path, worker threads too).", nullptr},
    {"driver", get_driver, nullptr,
     "\"native\" (the engine, steps inline on the loop's thread) or \"sqlite3\" (the module, a worker thread per "
     "connection).", nullptr},
    {"path", get_path, nullptr, "The database file (\":memory:\": one in-memory database per connector).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

namespace aio {

const SqliteDriver* sqlite_driver_of(PyObject* connector) noexcept {
    return is_native(connector) ? &kNativeSqlite : &kModuleSqlite;
}

}  // namespace aio

// The two drivers share the pool; which table a connector holds says which
// driver its new connections get. Both are constants, set before any code runs.
constexpr AioBackend kSqliteBackend = {
    .name = "AioSqliteConnector",
    .loop_bound = false,
    .setup = setup,
    .forget = forget,
    .acquire = acquire,
    .release = release,
    .give_back = give_back,
    .run = run_awaitable,
    .close = close_pool,
    .auto_field = auto_field,
};

constexpr AioBackend kNativeSqliteBackend = kSqliteBackend;

PyTypeObject AioSqliteConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioSqliteConnector",
    .tp_basicsize = sizeof(AioConnectorObject),
    .tp_dealloc = aio::dealloc,
    .tp_repr = connector_repr,
    .tp_getattro = aio::getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "AioSqliteConnector(path=':memory:', maxsize=5, *, driver=None)\n--\n\n"
              "AioSqliteConnector(path=\":memory:\", maxsize=5, *, driver=None): asynchronous SQLite connector. "
              "driver \"native\" (the default; TESSARY_DRIVER=module picks the other) runs each statement on the "
              "native engine, on the loop's thread, when it is awaited; \"sqlite3\" runs it on the sqlite3 module, "
              "on a worker thread per pooled connection.",
    .tp_traverse = aio::traverse,
    .tp_clear = aio::clear,
    .tp_methods = aio::connector_methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = aio::new_connector,
};

}  // namespace tsy::db
