// AioMysqlConnector: MySQL and MariaDB, natively through MariaDB Connector/C
// driven by the loop (engines/mysql/nonblocking.cpp, aio/mysql_native_pool.cpp, the default), or through
// aiomysql's pool (driver="aiomysql", this file). aiomysql's pool is
// made by the setup task on the running loop and works only there: touched
// from another loop, the connector sets up a new pool.
//
// Pooled connections do not commit by themselves. Statements the handle runs
// without a connection commit right after they ran and roll back when they
// fail; a statement cut off by cancellation leaves its connection closed
// (aiomysql closes it), which the pool then drops.
#include "aio/aio_connector.hpp"
#include "engines/mysql/nonblocking.hpp"
#include "core/engines.hpp"

namespace tsy::db {
namespace {

using aio::Lease;

// The lent connections and the pool each came from: `waiters` serves as
// that dict here. A connection goes back to its own pool even after the
// connector moved to another one.
PyObject* lent(AioConnectorObject* c) noexcept { return c->waiters; }

int is_closed(PyObject* con) noexcept {
    Ref closed = attr(con, names.closed);
    return closed ? truth(closed.get()) : -1;
}

// --- setup ------------------------------------------------------------------

coro::Task setup_task(Ref self, Ref pool = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    unsigned generation = c->generation;
    Ref create_pool = import_attr("aiomysql", "create_pool");
    Ref no_args = steal(PyTuple_New(0));
    if (!create_pool || !no_args) co_return nullptr;
    pool = co_await coro::await(steal(PyObject_Call(create_pool.get(), no_args.get(), c->base.settings)));
    if (!pool) co_return nullptr;
    if (c->generation != generation) {  // closed, or moved to another loop, meanwhile
        // Its connections are cut and waited for here, on the loop that made
        // them: collected later, after that loop closed, they would complain.
        if (!call_method(pool.get(), names.terminate)) co_return nullptr;
        Ref closed = co_await coro::await(call_method(pool.get(), names.wait_closed));
        if (!closed) co_return nullptr;
        co_return borrow(Py_None);
    }
    set_field(c->pool, pool.get());
    c->ready = 1;
    co_return borrow(Py_None);
}

PyObject* setup(PyObject* self) noexcept {
    return coro::make_coroutine(setup_task(borrow(self)), "setup", "AioMysqlConnector.setup");
}

// The old loop's pool cannot serve the new loop; its connections are cut.
void forget(AioConnectorObject* c) noexcept {
    ++c->generation;
    Ref pool = steal(c->pool);
    c->pool = nullptr;
    c->ready = 0;
    Ref pending = steal(PyErr_GetRaisedException());
    if (pool && !call_method(pool.get(), names.terminate)) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// --- acquisition and give-back ---------------------------------------------------

coro::Task acquire_task(Ref self, Ref pool = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    if (!c->pool) {
        fail(PyExc_RuntimeError, "AioMysqlConnector: the pool is closed");
        co_return nullptr;
    }
    pool = borrow(c->pool);
    Ref con = co_await coro::await(call_method(pool.get(), names.acquire));
    if (!con) co_return nullptr;
    if (PyDict_SetItem(lent(c), con.get(), pool.get()) < 0) {
        aio::call_keeping_error(pool.get(), names.release, con.get());  // the dict's error stays
        co_return nullptr;
    }
    co_return con;
}

PyObject* acquire(PyObject* self) noexcept {
    return coro::make_coroutine(acquire_task(borrow(self)), "getCon", "AioMysqlConnector.getCon");
}

// The pool `con` was lent from, taken out of the lent dict (new ref), or
// NULL (not lent by this connector; no error set).
Ref take_lent(AioConnectorObject* c, PyObject* con) noexcept {
    PyObject* pool = nullptr;
    if (PyDict_Pop(lent(c), con, &pool) <= 0) return {};
    return steal(pool);
}

void give_back(PyObject* self, PyObject* con, bool broken) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    Ref pool = take_lent(as_aio(self), con);
    if (broken || !pool) {
        if (!call_method(con, names.close)) PyErr_Clear();
    }
    // aiomysql's release is no coroutine; what it returns schedules itself.
    if (pool && !call_method(pool.get(), names.release, con)) PyErr_Clear();
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// The lease is a parameter: a releaseCon() never awaited still gives the
// connection back when it is dropped.
coro::Task release_task(Ref self, Lease lease) {
    int closed = is_closed(lease.con());
    if (closed < 0) co_return nullptr;
    if (!closed) {
        Ref rolled = co_await coro::await(call_method(lease.con(), names.rollback));
        if (!rolled) {
            Ref error = steal(PyErr_GetRaisedException());
            lease.broken = !aio::is_cancellation(error.get());
            PyErr_SetRaisedException(error.release());
            co_return nullptr;
        }
    }
    Ref con = lease.take();
    Ref pool = take_lent(as_aio(self.get()), con.get());
    if (!pool) co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
    Ref released = call_method(pool.get(), names.release, con.get());
    if (!released) co_return nullptr;
    co_return co_await coro::await(std::move(released));
}

PyObject* release(PyObject* self, PyObject* con) noexcept {
    int known = PyDict_Contains(lent(as_aio(self)), con);
    if (known < 0) return nullptr;
    if (!known) return fail(PyExc_ValueError, "the connection is not lent out by this connector");
    return coro::make_coroutine(release_task(borrow(self), Lease(self, borrow(con))), "releaseCon",
                                "AioMysqlConnector.releaseCon");
}

// --- statements -------------------------------------------------------------

coro::Task statement_task(Ref con, Ref text, Ref args, int mode, std::shared_ptr<StatementTrace> trace,
                          Ref cursor = nullptr) {
    cursor = co_await coro::await(call_method(con.get(), names.cursor));
    if (!cursor) co_return nullptr;
    if (trace) trace->start();  // on the loop: the time includes other tasks' turns meanwhile
    Ref executing = args.get() == Py_None ? call_method(cursor.get(), names.execute, text.get())
                                          : call_method(cursor.get(), names.execute, text.get(), args.get());
    Ref done = co_await coro::await(std::move(executing));
    if (!done) {
        if (trace) trace->stop(text.get(), nullptr);
        co_return nullptr;
    }
    Ref result;
    if (mode == RUN_ROWS) {
        result = co_await coro::await(call_method(cursor.get(), names.fetchall));
    } else {
        result = mode == RUN_KEY ? attr(cursor.get(), names.lastrowid) : borrow(Py_None);
    }
    if (trace) trace->stop(text.get(), cursor.get());
    if (!result) co_return nullptr;
    Ref closed = co_await coro::await(call_method(cursor.get(), names.close));
    if (!closed) co_return nullptr;
    co_return result;
}

PyObject* statement(PyObject* con, PyObject* text, PyObject* args, int mode,
                    std::shared_ptr<StatementTrace> trace) noexcept {
    return coro::make_coroutine(statement_task(borrow(con), borrow(text), borrow(args), mode, std::move(trace)),
                                "execute");
}

// A failed statement of the handle's own: rolled back, unless the failure
// was a cancellation (aiomysql closed the connection) or the rollback fails
// too (the connection is then closed). The statement's error is kept.
coro::Task abandon_task(Ref con, Ref error) {
    if (!aio::is_cancellation(error.get()) && is_closed(con.get()) == 0) {
        Ref rolled = co_await coro::await(call_method(con.get(), names.rollback));
        if (!rolled) PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error.release());
    co_return nullptr;
}

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
    // Broken until the statement and its commit have run to their end: a
    // coroutine dropped half-way leaves the protocol in an unknown state.
    lease.broken = true;
    Ref result = co_await coro::await(steal(statement(lease.con(), text.get(), args.get(), mode, std::move(trace))));
    if (!result) {
        Ref error = steal(PyErr_GetRaisedException());
        lease.broken = aio::is_cancellation(error.get());
        co_return co_await coro::await(
            steal(coro::make_coroutine(abandon_task(borrow(lease.con()), std::move(error)), "rollback")));
    }
    Ref done = co_await coro::await(call_method(lease.con(), names.commit));
    if (!done) co_return nullptr;
    lease.broken = false;
    co_return result;
}

// aiomysql writes bytes as octets but any other buffer as its repr: they
// are handed over as bytes.
PyObject* run_awaitable(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
                        const std::shared_ptr<StatementTrace>& trace) noexcept {
    Ref bound = steal(bindable_args(args, false));
    if (!bound) return nullptr;
    if (con == Py_None) {
        return coro::make_coroutine(run_pooled_task(borrow(self), borrow(text), std::move(bound), mode, trace),
                                    "execute");
    }
    return statement(con, text, bound.get(), mode, trace);
}

coro::Task close_task(Ref self, Ref pool = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    ++c->generation;
    c->ready = 0;
    Py_CLEAR(c->setup);
    Py_CLEAR(c->loop);
    pool = steal(c->pool);
    c->pool = nullptr;
    if (!pool) co_return borrow(Py_None);
    if (!call_method(pool.get(), names.terminate)) co_return nullptr;
    co_return co_await coro::await(call_method(pool.get(), names.wait_closed));
}

PyObject* close_pool(PyObject* self) noexcept {
    return coro::make_coroutine(close_task(borrow(self)), "close", "AioMysqlConnector.close");
}

// The column's own type name, so that a BIGINT key stays BIGINT (as with MysqlConnector).
PyObject* auto_field(PyObject* col) noexcept {
    Ref type = attr(col, names.targetType);
    if (!type) return nullptr;
    bool usable = PyUnicode_Check(type.get()) && PyUnicode_GET_LENGTH(type.get()) > 0;
    if (!usable) return PyUnicode_FromString("INT NOT NULL AUTO_INCREMENT");
    return PyUnicode_FromFormat("%U NOT NULL AUTO_INCREMENT", type.get());
}

// --- the type -----------------------------------------------------------------

const char* const kInitNames[] = {"host",    "port",    "user",        "password", "database",
                                  "minsize", "maxsize", "unix_socket", "charset",  "driver"};

// The backend `driver` names; a connector that has started on one keeps it.
const AioBackend* chosen_backend(PyObject* self, PyObject* driver) noexcept {
    int native = wants_native(driver, "aiomysql");
    if (native < 0) return nullptr;
    const AioBackend* backend = native ? &kMysqlNativeBackend : &kMysqlBackend;
    AioConnectorObject* c = as_aio(self);
    if (c->backend && c->backend != backend && (c->setup || c->ready)) {
        fail(PyExc_RuntimeError, "AioMysqlConnector: the driver cannot change once the pool was set up");
        return nullptr;
    }
    return backend;
}

// The native pool keeps lists (idle connections, waiters); aiomysql's
// backend keeps its lent connections in a dict.
bool backend_state(AioConnectorObject* c, const AioBackend* backend) noexcept {
    bool native = backend == &kMysqlNativeBackend;
    if (!(native ? PyList_Check(c->waiters) : PyDict_Check(c->waiters))) {
        Ref fresh = steal(native ? PyList_New(0) : PyDict_New());
        if (!fresh) return false;
        set_field(c->waiters, fresh.get());
    }
    if (native && !(c->pool && PyList_Check(c->pool))) {
        Ref idle = steal(PyList_New(0));
        if (!idle) return false;
        set_field(c->pool, idle.get());
    }
    // aiomysql's pool is made by its setup; the native one's list would be taken for it.
    if (!native && c->pool && PyList_Check(c->pool)) Py_CLEAR(c->pool);
    return true;
}

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kInitNames, 10, 0};
    PyObject* a[10];
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    const AioBackend* backend = chosen_backend(self, a[9]);
    if (!backend) return -1;
    int port = 3306, minsize = 1, maxsize = 10;
    if ((a[1] && !to_int(a[1], &port)) || (a[5] && !to_int(a[5], &minsize)) || (a[6] && !to_int(a[6], &maxsize))) {
        return -1;
    }
    if (minsize < 0 || maxsize < 1 || maxsize < minsize) {
        return fail(PyExc_ValueError, "need 0 <= minsize <= maxsize and maxsize >= 1 (got %d, %d)", minsize, maxsize);
    }
    Ref host = a[0] ? borrow(a[0]) : steal(PyUnicode_FromString("127.0.0.1"));
    Ref password = a[3] ? borrow(a[3]) : steal(PyUnicode_FromString(""));
    Ref charset = a[8] ? borrow(a[8]) : steal(PyUnicode_FromString("utf8mb4"));
    Ref port_obj = steal(PyLong_FromLong(port));
    Ref min_obj = steal(PyLong_FromLong(minsize));
    Ref max_obj = steal(PyLong_FromLong(maxsize));
    if (!host || !password || !charset || !port_obj || !min_obj || !max_obj) return -1;
    PyObject* entries[][2] = {
        {names.host, host.get()},
        {names.port, port_obj.get()},
        {names.user, a[2] ? a[2] : Py_None},
        {names.password, password.get()},
        {names.db, a[4] ? a[4] : Py_None},
        {names.unix_socket, a[7] ? a[7] : Py_None},
        {names.charset, charset.get()},
        {names.minsize, min_obj.get()},
        {names.maxsize, max_obj.get()},
        {names.autocommit, Py_False},
    };
    AioConnectorObject* c = as_aio(self);
    PyDict_Clear(c->base.settings);
    for (auto& entry : entries) {
        if (PyDict_SetItem(c->base.settings, entry[0], entry[1]) < 0) return -1;
    }
    if (!backend_state(c, backend)) return -1;
    c->base.con_type = 0;
    c->base.style = STYLE_FORMAT;
    c->minsize = minsize;
    c->maxsize = maxsize;
    return aio::init_common(self, backend);
}

PyObject* get_setting(PyObject* self, void* key) noexcept {
    PyObject* value = PyDict_GetItemString(as_aio(self)->base.settings, static_cast<const char*>(key));
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_pool(PyObject* self, void*) noexcept {
    PyObject* pool = as_aio(self)->backend == &kMysqlBackend ? as_aio(self)->pool : nullptr;
    return Py_NewRef(pool ? pool : Py_None);
}

PyObject* get_driver(PyObject* self, void*) noexcept {
    const AioBackend* backend = as_aio(self)->backend;
    if (!backend) Py_RETURN_NONE;
    return PyUnicode_FromString(backend == &kMysqlNativeBackend ? "native" : "aiomysql");
}

PyGetSetDef getset[] = {
    {"isAsync", aio::get_true, nullptr, "True: statements are awaited on an event loop.", nullptr},
    {"isReady", aio::get_ready, nullptr,
     "True once the pool is made; reading it inside a running loop starts the setup.", nullptr},
    {"con_type", aio::get_con_type, aio::set_con_type, "0: INSERT column lists table-qualified.", nullptr},
    {"paramstyle", aio::get_paramstyle, nullptr, "'format': \"%s\" kept, other '%' doubled.", nullptr},
    {"minsize", aio::get_minsize, nullptr, "Connections the pool opens at its setup.", nullptr},
    {"maxsize", aio::get_maxsize, nullptr, "Most connections open at once.", nullptr},
    {"pool", get_pool, nullptr, "aiomysql's Pool once ready (driver \"aiomysql\"), else None.", nullptr},
    {"driver", get_driver, nullptr,
     "\"native\" (MariaDB Connector/C driven by the loop) or \"aiomysql\"; None before __init__.", nullptr},
    {"host", get_setting, nullptr, "Server host.", const_cast<char*>("host")},
    {"port", get_setting, nullptr, "Server port.", const_cast<char*>("port")},
    {"user", get_setting, nullptr, "User name.", const_cast<char*>("user")},
    {"database", get_setting, nullptr, "Database name.", const_cast<char*>("db")},
    {"unix_socket", get_setting, nullptr, "Unix socket path, or None for TCP.", const_cast<char*>("unix_socket")},
    {"charset", get_setting, nullptr, "Connection character set.", const_cast<char*>("charset")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const AioBackend kMysqlBackend = {
    .name = "AioMysqlConnector",
    .loop_bound = true,
    .setup = setup,
    .forget = forget,
    .acquire = acquire,
    .release = release,
    .give_back = give_back,
    .run = run_awaitable,
    .close = close_pool,
    .auto_field = auto_field,
};

PyTypeObject AioMysqlConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioMysqlConnector",
    .tp_basicsize = sizeof(AioConnectorObject),
    .tp_dealloc = aio::dealloc,
    .tp_repr = connector_repr,
    .tp_getattro = aio::getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "AioMysqlConnector(host='127.0.0.1', port=3306, user=None, password='', database=None, minsize=1, maxsize=10, unix_socket=None, charset='utf8mb4', driver=None)\n--\n\nAioMysqlConnector(host=\"127.0.0.1\", port=3306, user=None, password=\"\", database=None, "
              "minsize=1, maxsize=10, unix_socket=None, charset=\"utf8mb4\", driver=None): asynchronous connector, "
              "natively on MariaDB Connector/C driven by the event loop (driver \"native\", the default) or on "
              "aiomysql's pool (driver \"aiomysql\").",
    .tp_traverse = aio::traverse,
    .tp_clear = aio::clear,
    .tp_methods = aio::connector_methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = aio::new_connector,
};

}  // namespace tsy::db
