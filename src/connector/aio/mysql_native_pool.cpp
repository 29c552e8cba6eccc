// The native backend of AioMysqlConnector: a pool of AioMysqlConnection
// (MariaDB Connector/C in its non-blocking mode, driven by the loop).
//
// The pool opens `minsize` connections at its setup and more on demand, up
// to `maxsize` open at once (`open` counts those of the current generation,
// opening ones included). An acquisition with none idle and none to open
// waits in line (`waiters`, first come first served) for one to be given
// back. Idle connections are kept in `pool`, the last given back lent first.
//
// Connections do not commit by themselves. Statements the handle runs
// without a connection commit right after they ran and roll back when they
// fail. A connection given back with work left (a lease ended by a cleanup
// path) is rolled back before it is lent again; one cut off in the middle of
// a call, or lost, is closed and dropped.
//
// The pool follows the connector's generation rule: close() and a move to
// another loop start a new generation; connections of an older one are
// closed when they come back.
#include "engines/mysql/nonblocking.hpp"

namespace tsy::db {
namespace {

using aio::Lease;
using mysql_async::Command;

bool in_generation(AioConnectorObject* c, AioMysqlConnectionObject* con) noexcept {
    return con->generation == c->generation && con->connector == reinterpret_cast<PyObject*>(c);
}

// The connect settings from the connector's keywords (aiomysql's names:
// "db" for the database; the pool sizes are the pool's own).
bool connect_settings(AioConnectorObject* c, MysqlSettings& out) noexcept {
    static const char* const kept[] = {"host", "port", "user", "password", "unix_socket", "charset", "autocommit"};
    Ref kwargs = steal(PyDict_New());
    if (!kwargs) return false;
    for (const char* key : kept) {
        PyObject* value = PyDict_GetItemString(c->base.settings, key);
        if (value && value != Py_None && PyDict_SetItemString(kwargs.get(), key, value) < 0) return false;
    }
    PyObject* db = PyDict_GetItemWithError(c->base.settings, names.db);
    if (db && db != Py_None && PyDict_SetItem(kwargs.get(), names.database, db) < 0) return false;
    if (PyErr_Occurred()) return false;
    return parse_mysql_settings(kwargs.get(), out);
}

// The freed place to the first waiter still waiting, or given up.
void hand_place(AioConnectorObject* c) noexcept {
    while (c->waiters && PyList_GET_SIZE(c->waiters) > 0) {
        Ref waiter = borrow(PyList_GET_ITEM(c->waiters, 0));
        if (PyList_SetSlice(c->waiters, 0, 1, nullptr) < 0) break;
        Ref done = call_method(waiter.get(), names.done);
        if (!done) break;
        if (done.get() == Py_True) continue;
        if (call_method(waiter.get(), names.set_result, Py_None)) return;
        break;
    }
    if (c->open > 0) --c->open;
}

// A place freed in the current generation (a connection dropped, an open
// that failed) goes to the first waiter, woken with None to open one in it;
// with nobody waiting it is given up. Keeps a pending error.
void free_place(AioConnectorObject* c) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    hand_place(c);
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

void drop(AioConnectorObject* c, AioMysqlConnectionObject* con) noexcept {
    bool current = in_generation(c, con);
    mysql_async::close_now(con);
    if (current) free_place(c);
}

// Awaitable: a new connection of the current generation, in a place of
// `open` taken now (or already taken for it: `placed`).
coro::Task open_counted_task(Ref self, bool placed, Ref con = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    unsigned generation = c->generation;
    if (!placed) ++c->open;
    MysqlSettings settings;
    if (connect_settings(c, settings)) con = co_await coro::await(steal(mysql_async::open(self.get(), settings)));
    if (!con && c->generation == generation) free_place(c);
    co_return std::move(con);
}

PyObject* open_counted(PyObject* self, bool placed = false) noexcept {
    return coro::make_coroutine(open_counted_task(borrow(self), placed), "open");
}

// The last idle connection that is still alive, taken out of the pool (new
// ref), or NULL. Dead ones (killed, timed out by the server) are dropped.
Ref pop_idle(AioConnectorObject* c) noexcept {
    while (c->pool && PyList_GET_SIZE(c->pool) > 0) {
        Py_ssize_t n = PyList_GET_SIZE(c->pool);
        Ref con = borrow(PyList_GET_ITEM(c->pool, n - 1));
        if (PyList_SetSlice(c->pool, n - 1, n, nullptr) < 0) return {};
        if (mysql_async::idle_alive(as_mysql_con(con.get()))) return con;
        drop(c, as_mysql_con(con.get()));
    }
    return {};
}

// --- setup ------------------------------------------------------------------

coro::Task setup_task(Ref self, Ref con = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    unsigned generation = c->generation;
    for (int i = 0; i < c->minsize; ++i) {
        con = co_await coro::await(steal(open_counted(self.get())));
        if (!con) co_return nullptr;
        if (c->generation != generation) {  // closed, or moved to another loop, meanwhile
            Ref closed = co_await coro::await(steal(mysql_async::close(con.get())));
            co_return closed ? borrow(Py_None) : Ref();
        }
        if (PyList_Append(c->pool, con.get()) < 0) co_return nullptr;
    }
    c->ready = 1;
    co_return borrow(Py_None);
}

PyObject* setup(PyObject* self) noexcept {
    return coro::make_coroutine(setup_task(borrow(self)), "setup", "AioMysqlConnector.setup");
}

// Idle connections are closed now, lent ones when they come back; waiters
// get `error`.
bool new_generation(AioConnectorObject* c, PyObject* error) noexcept {
    ++c->generation;
    c->ready = 0;
    c->open = 0;
    Ref idle = steal(c->pool);
    Ref waiters = steal(c->waiters);
    c->pool = PyList_New(0);
    c->waiters = PyList_New(0);
    if (!c->pool || !c->waiters) return false;
    for (Py_ssize_t i = 0; waiters && i < PyList_GET_SIZE(waiters.get()); ++i) {
        PyObject* waiter = PyList_GET_ITEM(waiters.get(), i);
        Ref done = call_method(waiter, names.done);
        if (done && done.get() == Py_False && error) call_method(waiter, names.set_exception, error);
        PyErr_Clear();
    }
    for (Py_ssize_t i = 0; idle && i < PyList_GET_SIZE(idle.get()); ++i) {
        mysql_async::close_now(as_mysql_con(PyList_GET_ITEM(idle.get(), i)));
    }
    return true;
}

// The old loop cannot watch the sockets any more; its waiters go with it.
void forget(AioConnectorObject* c) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    if (!new_generation(c, nullptr)) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// --- acquisition and give-back ---------------------------------------------------

// A waiting acquisition that ends otherwise (cancelled) may already have been
// handed a connection or a place: it goes to the next in line.
void abandon_waiter(PyObject* self, PyObject* waiter) noexcept {
    AioConnectorObject* c = as_aio(self);
    Ref pending = steal(PyErr_GetRaisedException());
    int listed = c->waiters ? PySequence_Contains(c->waiters, waiter) : 0;
    if (listed < 0 || (listed > 0 && !call_method(c->waiters, names.remove, waiter))) PyErr_Clear();
    Ref cancelled = call_method(waiter, names.cancelled);
    Ref done = cancelled ? call_method(waiter, names.done) : Ref();
    if (cancelled && done && cancelled.get() == Py_False && done.get() == Py_True) {
        Ref handed = call_method(waiter, names.result);
        if (handed && is_aio_mysql_connection(handed.get())) {
            kMysqlNativeBackend.give_back(self, handed.get(), false);
        } else if (handed && handed.get() == Py_None) {
            free_place(c);  // the place it was given goes on to the next in line
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// Waits in line; a connection handed over, None when a place was freed for
// it to open one, NULL with the error.
coro::Task wait_in_line_task(Ref self, Ref waiter = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    waiter = aio::new_future();
    if (!waiter || PyList_Append(c->waiters, waiter.get()) < 0) co_return nullptr;
    Ref handed = co_await coro::await(waiter.get());
    if (!handed) abandon_waiter(self.get(), waiter.get());
    co_return handed;
}

coro::Task acquire_task(Ref self, Ref con = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    if (!c->pool) co_return fail(PyExc_RuntimeError, "AioMysqlConnector: the pool is closed");
    while (!con) {
        con = pop_idle(c);
        if (con) break;
        if (PyErr_Occurred()) co_return nullptr;
        if (c->open < c->maxsize && (!c->waiters || PyList_GET_SIZE(c->waiters) == 0)) {
            con = co_await coro::await(steal(open_counted(self.get())));
            if (!con) co_return nullptr;
            break;
        }
        con = co_await coro::await(steal(coro::make_coroutine(wait_in_line_task(borrow(self.get())), "getCon")));
        if (!con) co_return nullptr;
        if (con.get() == Py_None) {  // a place freed for this acquisition
            con = co_await coro::await(steal(open_counted(self.get(), true)));
            if (!con) co_return nullptr;
        }
    }
    AioMysqlConnectionObject* m = as_mysql_con(con.get());
    m->lent = true;
    Lease lease(self.get(), std::move(con));
    if (m->dirty) {
        lease.broken = true;  // until its leftover work is rolled back
        Ref rolled = co_await coro::await(steal(mysql_async::command(lease.con(), Command::Rollback)));
        if (!rolled) co_return nullptr;
        lease.broken = false;
    }
    co_return lease.take();
}

PyObject* acquire(PyObject* self) noexcept {
    return coro::make_coroutine(acquire_task(borrow(self)), "getCon", "AioMysqlConnector.getCon");
}

// Hands a returned connection to the first acquisition still waiting, else
// keeps it idle; a broken one, or one of an older generation, is closed.
void hand_back(PyObject* self, PyObject* con, bool broken) noexcept {
    AioConnectorObject* c = as_aio(self);
    AioMysqlConnectionObject* m = as_mysql_con(con);
    m->lent = false;
    if (broken || m->broken || m->busy || !m->mysql || !in_generation(c, m) || !c->pool) {
        drop(c, m);
        return;
    }
    while (c->waiters && PyList_GET_SIZE(c->waiters) > 0) {
        Ref waiter = borrow(PyList_GET_ITEM(c->waiters, 0));
        if (PyList_SetSlice(c->waiters, 0, 1, nullptr) < 0) return;
        Ref done = call_method(waiter.get(), names.done);
        if (!done) return;
        if (done.get() == Py_True) continue;
        m->lent = true;
        if (call_method(waiter.get(), names.set_result, con)) return;
        m->lent = false;
        PyErr_Clear();
    }
    PyList_Append(c->pool, con);
}

void give_back(PyObject* self, PyObject* con, bool broken) noexcept {
    if (!is_aio_mysql_connection(con)) return;
    Ref pending = steal(PyErr_GetRaisedException());
    hand_back(self, con, broken);
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

bool check_connection(PyObject* self, PyObject* con) noexcept {
    if (!check_arg(con, &AioMysqlConnectionType, "con", false)) return false;
    if (as_mysql_con(con)->connector != self) {
        fail(PyExc_ValueError, "the connection does not belong to this connector");
        return false;
    }
    return true;
}

// The lease is a parameter: a releaseCon() never awaited still gives the
// connection back when it is dropped (rolled back by its next lender).
coro::Task release_task(Lease lease) {
    AioMysqlConnectionObject* m = as_mysql_con(lease.con());
    if (!m->mysql || m->broken || !m->dirty) co_return borrow(Py_None);
    Ref rolled = co_await coro::await(steal(mysql_async::command(lease.con(), Command::Rollback)));
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
    if (!as_mysql_con(con)->lent) return fail(PyExc_ValueError, "the connection is not lent out (given back twice?)");
    as_mysql_con(con)->lent = false;  // a second releaseCon() fails at once
    return coro::make_coroutine(release_task(Lease(self, borrow(con))), "releaseCon", "AioMysqlConnector.releaseCon");
}

// --- statements -------------------------------------------------------------

// A failed statement of the handle's own is rolled back, unless the
// connection is broken (it is then dropped) or the failure was a
// cancellation. The statement's error is kept.
coro::Task abandon_task(Ref con, Ref error) {
    AioMysqlConnectionObject* m = as_mysql_con(con.get());
    if (!aio::is_cancellation(error.get()) && m->mysql && !m->broken && !m->busy) {
        Ref rolled = co_await coro::await(steal(mysql_async::command(con.get(), Command::Rollback)));
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
    Ref result = co_await coro::await(steal(mysql_async::statement(lease.con(), text.get(), args.get(), mode, std::move(trace))));
    if (!result) {
        Ref error = steal(PyErr_GetRaisedException());
        co_return co_await coro::await(
            steal(coro::make_coroutine(abandon_task(borrow(lease.con()), std::move(error)), "rollback")));
    }
    Ref done = co_await coro::await(steal(mysql_async::command(lease.con(), Command::Commit)));
    if (!done) co_return nullptr;
    co_return result;
}

PyObject* run_awaitable(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
                        const std::shared_ptr<StatementTrace>& trace) noexcept {
    // Buffers are taken as bytes now: the statement's text is written later,
    // when the call starts, while the loop may have changed them.
    Ref bound = args == Py_None ? borrow(Py_None) : steal(bindable_args(args, false));
    if (!bound) return nullptr;
    if (con == Py_None) {
        return coro::make_coroutine(run_pooled_task(borrow(self), borrow(text), std::move(bound), mode, trace),
                                    "execute");
    }
    if (!check_arg(con, &AioMysqlConnectionType, "con", false)) return nullptr;
    return mysql_async::statement(con, text, bound.get(), mode, trace);
}

coro::Task close_task(Ref self, Ref idle = nullptr, Ref con = nullptr) {
    AioConnectorObject* c = as_aio(self.get());
    Py_CLEAR(c->setup);
    Py_CLEAR(c->loop);
    idle = steal(c->pool);
    c->pool = nullptr;  // kept from new_generation's own closing: they are closed below, waiting for each
    Ref error = steal(PyObject_CallFunction(PyExc_RuntimeError, "s", "the connector was closed"));
    if (!error || !new_generation(c, error.get())) co_return nullptr;
    for (Py_ssize_t i = 0; idle && i < PyList_GET_SIZE(idle.get()); ++i) {
        con = borrow(PyList_GET_ITEM(idle.get(), i));
        Ref closed = co_await coro::await(steal(mysql_async::close(con.get())));
        if (!closed) co_return nullptr;
    }
    co_return borrow(Py_None);
}

PyObject* close_pool(PyObject* self) noexcept {
    return coro::make_coroutine(close_task(borrow(self)), "close", "AioMysqlConnector.close");
}

// The column's own type name, so that a BIGINT key stays BIGINT (as with MysqlConnector).
PyObject* auto_field(PyObject* col) noexcept { return kMysqlBackend.auto_field(col); }

}  // namespace

const AioBackend kMysqlNativeBackend = {
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

int ready_aio_mysql_engine(PyObject* module) noexcept {
    if (mysql_async::ready() < 0 || mysql_async::ready_cursor(module) < 0) return -1;
    return add_type(module, &AioMysqlConnectionType, "AioMysqlConnection");
}

}  // namespace tsy::db
