// The pool of idle connections of a synchronous connector: what scopes,
// release() and ended threads give back, lent again to the next thread that
// needs a connection. An idle connection keeps its maxConnections slot.
//
// Nothing runs in the background: idle connections past idleTimeout are
// closed whenever the pool is touched, and one lent again after having been
// idle at least the prePing threshold is checked first (ping_connection).
// The pool is changed with the GIL held; each entry is taken out of it
// before any driver code runs on it, so that code may touch the pool again.
#include "sync/registry.hpp"

#include <cmath>

#include "core/engines.hpp"
#include "engines/mysql/connection.hpp"

namespace tsy::db {
namespace {

constexpr double kDefaultPingAfter = 1.0;  // prePing=True

long long seconds_ns(double seconds) noexcept { return static_cast<long long>(seconds * 1e9); }

void count_idle(ThreadRegistry* r) noexcept {
    std::lock_guard<std::mutex> guard(r->lock);
    r->idle_count = static_cast<int>(r->idle.size());
}

// The entries idle longer than idleTimeout, taken out of the pool (the
// oldest are at the front).
std::vector<IdleConnection> take_expired(ThreadRegistry* r) noexcept {
    std::vector<IdleConnection> expired;
    if (r->idle_timeout < 0 || r->idle.empty()) return expired;
    const long long cutoff = steady_now_ns() - seconds_ns(r->idle_timeout);
    std::size_t n = 0;
    while (n < r->idle.size() && r->idle[n].since_ns <= cutoff) ++n;
    if (n == 0) return expired;
    try {
        expired.assign(r->idle.begin(), r->idle.begin() + static_cast<std::ptrdiff_t>(n));
    } catch (...) {
        return {};  // no memory: they expire at the next touch
    }
    r->idle.erase(r->idle.begin(), r->idle.begin() + static_cast<std::ptrdiff_t>(n));
    count_idle(r);
    return expired;
}

void close_entries(ThreadRegistry* r, std::vector<IdleConnection>& entries) noexcept {
    for (IdleConnection& entry : entries) {
        discard_connection(r, steal(entry.con));
        entry.con = nullptr;
    }
}

bool is_seconds(PyObject* value) noexcept {
    return !PyBool_Check(value) && (PyLong_Check(value) || PyFloat_Check(value));
}

// A finite number of seconds from `value` (checked to be one), at least
// `least` (or above it when `strict`); -1 with ValueError naming `what`.
int finite_seconds(PyObject* value, const char* what, const char* rule, double least, bool strict,
                   double* out) noexcept {
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1 && PyErr_Occurred()) return -1;
    bool ok = std::isfinite(seconds) && (strict ? seconds > least : seconds >= least);
    if (!ok) return fail(PyExc_ValueError, "%s must be %s, not %R", what, rule, value);
    *out = seconds;
    return 0;
}

int parse_idle_timeout(PyObject* value, double* out) noexcept {
    static const char* rule = "a finite number of seconds > 0 or None";
    if (value == Py_None) {
        *out = -1;
        return 0;
    }
    if (!is_seconds(value)) return fail(PyExc_TypeError, "idleTimeout must be %s, not %.200s", rule, type_name(value));
    return finite_seconds(value, "idleTimeout", rule, 0, true, out);
}

int parse_pre_ping(PyObject* value, double* after, int* flag) noexcept {
    static const char* rule = "True, False or a finite number of seconds >= 0";
    if (PyBool_Check(value)) {
        *flag = value == Py_True;
        *after = *flag ? kDefaultPingAfter : -1;
        return 0;
    }
    if (!is_seconds(value)) return fail(PyExc_TypeError, "prePing must be %s, not %.200s", rule, type_name(value));
    *flag = -1;
    return finite_seconds(value, "prePing", rule, 0, false, after);
}

}  // namespace

// --- options ------------------------------------------------------------------------

int set_pool_options(ConnectorObject* c, PyObject* idle_timeout, PyObject* pre_ping) noexcept {
    double timeout = -1, after = kDefaultPingAfter;
    int flag = 1;
    if (idle_timeout && parse_idle_timeout(idle_timeout, &timeout) < 0) return -1;
    if (pre_ping && parse_pre_ping(pre_ping, &after, &flag) < 0) return -1;
    if (!c) return 0;  // checked only
    ThreadRegistry* r = c->threads;
    if (!r) return not_initialised(reinterpret_cast<PyObject*>(c));
    if (idle_timeout) r->idle_timeout = timeout;
    if (pre_ping) {
        r->ping_after = after;
        r->ping_flag = flag;
    }
    return 0;
}

PyObject* get_idle_timeout(ConnectorObject* c) noexcept {
    if (!c->threads || c->threads->idle_timeout < 0) Py_RETURN_NONE;
    return PyFloat_FromDouble(c->threads->idle_timeout);
}

PyObject* get_pre_ping(ConnectorObject* c) noexcept {
    if (!c->threads) Py_RETURN_TRUE;
    if (c->threads->ping_flag >= 0) return PyBool_FromLong(c->threads->ping_flag);
    return PyFloat_FromDouble(c->threads->ping_after);
}

int idle_connections(ConnectorObject* c) noexcept {
    if (!c->threads) return 0;
    pool_prune(c->threads);  // what an operator reads is what could be lent now
    return static_cast<int>(c->threads->idle.size());
}

// --- the pool -----------------------------------------------------------------------

void discard_connection(ThreadRegistry* r, Ref con) noexcept {
    if (con) {
        Ref pending = steal(PyErr_GetRaisedException());
        if (!call_method(con.get(), names.close)) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    give_slot(r);
}

void pool_put(ThreadRegistry* r, Ref con) noexcept {
    if (r->orphaned) {
        discard_connection(r, std::move(con));
        return;
    }
    try {
        r->idle.push_back(IdleConnection{con.get(), steady_now_ns()});
    } catch (...) {
        discard_connection(r, std::move(con));
        return;
    }
    con.release();  // the pool's now
    count_idle(r);
    wake_waiters(r);
    pool_prune(r);
}

int pool_take(PyObject* self, ThreadRegistry* r, Ref* out) noexcept {
    pool_prune(r);
    while (!r->idle.empty()) {
        IdleConnection entry = r->idle.back();
        r->idle.pop_back();
        count_idle(r);
        Ref con = steal(entry.con);
        bool check = r->ping_after >= 0 && steady_now_ns() - entry.since_ns >= seconds_ns(r->ping_after);
        int alive = check ? ping_connection(self, con.get()) : 1;
        if (alive > 0) {
            *out = std::move(con);
            return 1;
        }
        discard_connection(r, std::move(con));
        if (alive < 0) return -1;
    }
    return 0;
}

void pool_prune(ThreadRegistry* r) noexcept {
    std::vector<IdleConnection> expired = take_expired(r);
    close_entries(r, expired);
}

void pool_close_all(ThreadRegistry* r) noexcept {
    std::vector<IdleConnection> all;
    all.swap(r->idle);
    count_idle(r);
    close_entries(r, all);
}

int pool_traverse(ThreadRegistry* r, visitproc visit, void* arg) noexcept {
    for (const IdleConnection& entry : r->idle) Py_VISIT(entry.con);
    return 0;
}

// --- what a connection holds --------------------------------------------------------

int connection_closed(PyObject* con) noexcept {
    if (is_native_sqlite(con)) return !sqlite_engine_is_open(con);
    // pymysql and the MySQL engine say it with `open`.
    PyObject* found = nullptr;
    int known = PyObject_GetOptionalAttr(con, names.open, &found);
    Ref open = steal(found);
    if (known > 0) {
        int yes = PyObject_IsTrue(open.get());
        if (yes < 0) PyErr_Clear();
        return yes == 0;
    }
    if (known < 0) {
        PyErr_Clear();
        return 0;
    }
    // The sqlite3 module's refuses to read its state once closed.
    static PyObject* in_transaction = intern("in_transaction");
    Ref state = attr(con, in_transaction);
    if (state) return 0;
    bool attribute_missing = PyErr_ExceptionMatches(PyExc_AttributeError);
    PyErr_Clear();
    return !attribute_missing;
}

namespace {

constexpr long kServerInTransaction = 1;  // SERVER_STATUS_IN_TRANS

// The server status the library keeps from the last reply of the session:
// read without a round trip. An idle connection (no call under way) only.
int native_mysql_in_transaction(PyObject* con) noexcept {
    MysqlConnectionObject* c = as_mysql(con);
    unsigned int status = 0;
    if (!c->handle || c->busy || mariadb_get_infov(c->handle, MARIADB_CONNECTION_SERVER_STATUS, &status)) return 1;
    return (status & kServerInTransaction) != 0;
}

// 1 when `con` may hold uncommitted work, 0 when its driver says it holds
// none: the SQLite connections tell with `in_transaction`, pymysql and the
// MySQL engine with the server's status flags; otherwise it may.
int may_hold_work(PyObject* con) noexcept {
    static PyObject* in_transaction = intern("in_transaction");
    static PyObject* server_status = intern("server_status");
    if (is_native_sqlite(con)) return sqlite_engine_in_transaction(con);
    if (is_native_mysql(con)) return native_mysql_in_transaction(con);
    for (PyObject* name : {in_transaction, server_status}) {
        PyObject* found = nullptr;
        int known = PyObject_GetOptionalAttr(con, name, &found);
        Ref value = steal(found);
        if (known < 0) return -1;
        if (!known) continue;
        if (name == in_transaction) return PyObject_IsTrue(value.get());
        if (!PyLong_Check(value.get())) return 1;
        long flags = PyLong_AsLong(value.get());
        if (flags == -1 && PyErr_Occurred()) return -1;
        return (flags & kServerInTransaction) != 0;
    }
    return 1;
}

}  // namespace

int roll_back_leftovers(PyObject* con, bool force) noexcept {
    int dirty = force ? 1 : may_hold_work(con);
    if (dirty <= 0) return dirty;
    return call_method(con, names.rollback) ? 0 : -1;
}

void give_back(ThreadConnectionObject* s) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    forget_cursor(s);
    PyErr_Clear();
    Ref con = steal(s->con);
    const bool counted = s->counted != 0;
    // A connection of an overridden connect() may be bound to its thread.
    const bool movable = s->movable != 0;
    const bool force = s->depth > 0;  // blocks left open
    s->con = nullptr;
    s->counted = 0;
    s->depth = 0;
    s->retire = 0;
    s->exposed = 0;
    ++s->lending;
    ThreadRegistry* r = s->registry;
    if (con && counted) {
        if (movable && roll_back_leftovers(con.get(), force) == 0 && !connection_closed(con.get())) {
            pool_put(r, std::move(con));
        } else {
            PyErr_Clear();
            discard_connection(r, std::move(con));
        }
    } else if (con) {
        // Not counted (a connect() that re-entered): never pooled.
        if (!call_method(con.get(), names.close)) PyErr_Clear();
    }
    PyErr_SetRaisedException(pending.release());
}

}  // namespace tsy::db
