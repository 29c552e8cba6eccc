// The native SQLite engine: a connection on SQLite's C API offering the
// DB-API methods of an sqlite3 connection in autocommit mode (isolation_level
// None: transactions are the statements BEGIN, COMMIT, SAVEPOINT ... an
// application or transaction() sends), and the runner the connectors'
// statements take instead of a cursor (sqlite_engine_run).
//
// The GIL rule and the guard of a connection used by two threads are
// described in engines/sqlite/connection.hpp.
#include "engines/sqlite/connection.hpp"

#include <cmath>

namespace tsy::db {

using sqlite::ConnectionObject;
using sqlite::as_connection;

namespace sqlite {
namespace {

constexpr double kDefaultTimeout = 5.0;  // sqlite3.connect's own

// --- opening and closing ---------------------------------------------------------

Ref new_connection(sqlite3* db) noexcept {
    Ref cache = steal(new_statement_cache());
    ConnectionObject* c = cache ? PyObject_GC_New(ConnectionObject, &SqliteEngineConnectionType) : nullptr;
    if (!c) {
        Py_BEGIN_ALLOW_THREADS
        sqlite3_close_v2(db);
        Py_END_ALLOW_THREADS
        return {};
    }
    c->db = db;
    c->statements = cache.release();
    c->weakrefs = nullptr;
    c->running = 0;
    c->busy_timeout_ms = 0;
    c->unlocked = false;
    c->close_pending = false;
    c->watch = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
    return steal(reinterpret_cast<PyObject*>(c));
}

Ref open_path(const char* path, bool uri, double timeout) noexcept {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | (uri ? SQLITE_OPEN_URI : 0);
    sqlite3* db = nullptr;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = sqlite3_open_v2(path, &db, flags, nullptr);
    Py_END_ALLOW_THREADS
    if (rc != SQLITE_OK) {
        if (db) raise_from(db);
        else raise_code(rc, sqlite3_errstr(rc));
        Py_BEGIN_ALLOW_THREADS
        sqlite3_close_v2(db);
        Py_END_ALLOW_THREADS
        return {};
    }
    int timeout_ms = static_cast<int>(std::min(timeout * 1000.0, double(INT32_MAX)));
    sqlite3_busy_timeout(db, timeout_ms);
    Ref made = new_connection(db);
    if (made) as_connection(made.get())->busy_timeout_ms = timeout_ms;
    return made;
}

// --- running a statement -----------------------------------------------------------

Ref result_of(ConnectionObject* c, int mode, Ref rows, Py_ssize_t rowcount) noexcept {
    if (mode == RUN_ROWS) return rows ? std::move(rows) : steal(PyList_New(0));
    if (mode == RUN_KEY) return steal(PyLong_FromLongLong(sqlite3_last_insert_rowid(c->db)));
    if (mode == RUN_COUNT) return steal(PyLong_FromSsize_t(rowcount));
    return borrow(Py_None);
}

// --- the Python methods ------------------------------------------------------------

ConnectionObject* open_connection(PyObject* self) noexcept {
    ConnectionObject* c = as_connection(self);
    return usable(c) ? c : nullptr;
}

PyObject* cursor_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("cursor", nargs, kwnames) || !open_connection(self)) return nullptr;
    return new_cursor(self);
}

const char* const kExecuteNames[] = {"sql", "parameters"};

using CursorRun = PyObject* (*)(PyObject*, PyObject*, PyObject*) noexcept;

// connection.execute / executemany: the same on a new cursor, returned.
PyObject* on_new_cursor(PyObject* self, const char* name, CursorRun run, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Py_ssize_t required) noexcept {
    const Params params{name, kExecuteNames, 2, required, false};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a) || !open_connection(self)) return nullptr;
    Ref cursor = steal(new_cursor(self));
    if (!cursor) return nullptr;
    return run(cursor.get(), a[0], a[1]);
}

PyObject* execute_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return on_new_cursor(self, "execute", cursor_execute, args, nargs, kwnames, 1);
}

PyObject* executemany_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return on_new_cursor(self, "executemany", cursor_executemany, args, nargs, kwnames, 2);
}

// COMMIT or ROLLBACK when a transaction is open, else nothing (as sqlite3).
PyObject* end_transaction(PyObject* self, PyObject* text) noexcept {
    ConnectionObject* c = open_connection(self);
    if (!c) return nullptr;
    if (sqlite3_get_autocommit(c->db)) Py_RETURN_NONE;
    Py_ssize_t rowcount = -1;
    return run_statement(c, text, Py_None, RUN_NONE, &rowcount);
}

PyObject* commit_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("commit", nargs, kwnames)) return nullptr;
    return end_transaction(self, names.commit_sql);
}

PyObject* rollback_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("rollback", nargs, kwnames)) return nullptr;
    return end_transaction(self, names.rollback_sql);
}

// Idempotent. A statement of another thread under way keeps the connection
// until it ends (its thread closes it then).
PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    ConnectionObject* c = as_connection(self);
    if (!c->db) Py_RETURN_NONE;
    if (c->running > 0) c->close_pending = true;
    else close_now(c);
    Py_RETURN_NONE;
}

// sqlite3_interrupt is safe from any thread, also while a statement steps.
PyObject* interrupt_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("interrupt", nargs, kwnames)) return nullptr;
    ConnectionObject* c = as_connection(self);
    if (!c->db) return closed_database();
    sqlite3_interrupt(c->db);
    Py_RETURN_NONE;
}

PyObject* enter_method(PyObject* self, PyObject*) noexcept {
    if (!open_connection(self)) return nullptr;
    return Py_NewRef(self);
}

// As sqlite3's: the open transaction is committed when the block ended
// normally, rolled back when it raised; the block's exception propagates.
PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) return arg_count_error("__exit__", 3, 3, nargs);
    bool ok = args[0] == Py_None;
    Ref ended = steal(end_transaction(self, ok ? names.commit_sql : names.rollback_sql));
    if (!ended && ok) {
        Ref pending = steal(PyErr_GetRaisedException());
        if (!Ref(steal(end_transaction(self, names.rollback_sql)))) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    if (!ended) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* get_in_transaction(PyObject* self, void*) noexcept {
    ConnectionObject* c = open_connection(self);
    if (!c) return nullptr;
    return PyBool_FromLong(!sqlite3_get_autocommit(c->db));
}

PyObject* get_total_changes(PyObject* self, void*) noexcept {
    ConnectionObject* c = open_connection(self);
    if (!c) return nullptr;
    return PyLong_FromLongLong(sqlite3_total_changes64(c->db));
}

PyObject* get_isolation_level(PyObject*, void*) noexcept { Py_RETURN_NONE; }

int connection_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_connection(self)->statements);
    return 0;
}

int connection_clear(PyObject* self) noexcept {
    Py_CLEAR(as_connection(self)->statements);
    return 0;
}

void connection_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    ConnectionObject* c = as_connection(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    close_now(c);
    delete c->watch;
    Py_TYPE(self)->tp_free(self);
}

PyObject* connection_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<SqliteConnection%s at %p>", as_connection(self)->db ? "" : " (closed)", self);
}

PyMethodDef methods[] = {
    {"cursor", fastkw<cursor_method>(), METH_FASTCALL | METH_KEYWORDS, "cursor($self)\n--\n\nA new cursor."},
    {"execute", fastkw<execute_method>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, sql, parameters=(), /)\n--\n\nRun one statement on a new cursor and return the cursor."},
    {"executemany", fastkw<executemany_method>(), METH_FASTCALL | METH_KEYWORDS,
     "executemany($self, sql, parameters, /)\n--\n\nRun one DML statement for each argument sequence on a new cursor."},
    {"commit", fastkw<commit_method>(), METH_FASTCALL | METH_KEYWORDS,
     "commit($self)\n--\n\nCOMMIT the open transaction, if any."},
    {"rollback", fastkw<rollback_method>(), METH_FASTCALL | METH_KEYWORDS,
     "rollback($self)\n--\n\nROLLBACK the open transaction, if any."},
    {"close", fastkw<close_method>(), METH_FASTCALL | METH_KEYWORDS,
     "close($self)\n--\n\nClose the connection (again: nothing); another thread's statement under way ends first."},
    {"interrupt", fastkw<interrupt_method>(), METH_FASTCALL | METH_KEYWORDS,
     "interrupt($self)\n--\n\nMake the statement under way (from any thread) fail with OperationalError."},
    {"__enter__", reinterpret_cast<PyCFunction>(entry<enter_method>), METH_NOARGS,
     "__enter__($self, /)\n--\n\nThe connection itself."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<exit_method>)), METH_FASTCALL,
     "__exit__($self, exc_type, exc, traceback, /)\n--\n\nCommit when the block ended normally, roll back when it "
     "raised."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"in_transaction", get_in_transaction, nullptr, "True while a transaction is open.", nullptr},
    {"total_changes", get_total_changes, nullptr, "Rows changed since the connection was opened.", nullptr},
    {"isolation_level", get_isolation_level, nullptr, "None: autocommit, transactions are explicit.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- the connect function -------------------------------------------------------------

const char* const kConnectNames[] = {"database", "timeout", "isolation_level", "check_same_thread", "uri"};

bool read_timeout(PyObject* value, double* seconds) noexcept {
    if (!value) return true;
    if (PyBool_Check(value) || (!PyFloat_Check(value) && !PyLong_Check(value))) {
        fail(PyExc_TypeError, "timeout must be a number of seconds, not %.200s", type_name(value));
        return false;
    }
    *seconds = PyFloat_AsDouble(value);
    if (*seconds == -1 && PyErr_Occurred()) return false;
    if (!(*seconds >= 0) || std::isinf(*seconds)) {
        fail(PyExc_ValueError, "timeout must be a finite number of seconds >= 0, not %R", value);
        return false;
    }
    return true;
}

// The thread model gives each thread a connection of its own, so
// check_same_thread has nothing to check; isolation_level must be None.
PyObject* connect_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"connect", kConnectNames, 5, 1};
    PyObject* a[5];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    double timeout = kDefaultTimeout;
    if (!read_timeout(a[1], &timeout)) return nullptr;
    if (a[2] && a[2] != Py_None) {
        return fail(PyExc_ValueError,
                    "isolation_level must be None: the native connection runs in autocommit mode and transactions "
                    "are explicit BEGIN/COMMIT statements");
    }
    int uri = a[4] ? truth(a[4]) : 0;
    if (uri < 0) return nullptr;
    return sqlite_engine_open(a[0], uri != 0, timeout);
}

PyMethodDef connect_def = {
    "connect", fastkw<connect_function>(), METH_FASTCALL | METH_KEYWORDS,
    "connect(database, timeout=5.0, isolation_level=None, check_same_thread=True, uri=False)\n--\n\n"
    "A native SQLite connection in autocommit mode (sqlite3.connect's keywords; isolation_level only None)."};

PyObject* connect_callable = nullptr;

}  // namespace

// --- shared by the engine's files ------------------------------------------------------

bool usable(ConnectionObject* c) noexcept {
    if (!c->db) {
        closed_database();
        return false;
    }
    if (c->unlocked) {
        programming_error("the SQLite connection is running a statement in another thread");
        return false;
    }
    return true;
}

int first_step(ConnectionObject* c, sqlite3_stmt* stmt) noexcept {
    int rc;
    c->unlocked = true;
    Py_BEGIN_ALLOW_THREADS
    rc = sqlite3_step(stmt);
    Py_END_ALLOW_THREADS
    c->unlocked = false;
    return rc;
}

void close_now(ConnectionObject* c) noexcept {
    c->close_pending = false;
    sqlite3* db = c->db;
    if (!db) return;
    c->db = nullptr;
    // The cached statements are finalized here; the ones cursors still hold
    // when they let go of them (close_v2 waits for those).
    Ref pending = steal(PyErr_GetRaisedException());
    Py_CLEAR(c->statements);
    // With statements still held by cursors, close_v2 only marks the handle
    // (the last finalize closes it), and those cursors may reset or finalize
    // theirs from another thread at any moment: without SQLite's mutexes
    // that must not overlap, so the GIL is kept then.
    if (sqlite3_next_stmt(db, nullptr)) {
        sqlite3_close_v2(db);
    } else {
        Py_BEGIN_ALLOW_THREADS
        sqlite3_close_v2(db);
        Py_END_ALLOW_THREADS
    }
    PyErr_SetRaisedException(pending.release());
}

int Execution::start(PyObject* text, PyObject* args) noexcept {
    bound_ = stable_arguments(args);
    if (!bound_) return -1;
    statement_.take(acquire_statement(c_, text));
    StatementObject* s = statement_.get();
    if (!s) return -1;
    rows_ = mode_ == RUN_ROWS ? steal(PyList_New(0)) : Ref();
    if (mode_ == RUN_ROWS && !rows_) return -1;
    return bind_arguments(s->stmt, bound_.get());
}

// Off the loop, the GIL is let go around every few steps; on it, only around
// the first (see connection.hpp).
int Execution::step() noexcept {
    sqlite3_stmt* stmt = statement_.get()->stmt;
    if (!started_) {
        started_ = true;
        if (c_->watch) c_->watch->readonly = sqlite3_stmt_readonly(stmt) != 0;
        return first_step(c_, stmt);
    }
    constexpr unsigned kRowsPerRelease = 32;
    if (c_->watch && c_->watch->off_loop && ++rows_since_release_ >= kRowsPerRelease) {
        rows_since_release_ = 0;
        return first_step(c_, stmt);
    }
    return sqlite3_step(stmt);
}

int Execution::advance(const Clock::time_point* deadline) noexcept {
    StatementObject* s = statement_.get();
    if (!s->stmt) return 1;
    // The clock is read every few rows: a row costs about a microsecond.
    constexpr unsigned kRowsPerClock = 16;
    unsigned rows = 0;
    int rc;
    while ((rc = step()) == SQLITE_ROW) {
        if (rows_) {
            if (!columns_) columns_ = sqlite3_column_count(s->stmt);
            Ref row = steal(row_tuple(s->stmt, columns_));
            if (!row || PyList_Append(rows_.get(), row.get()) < 0) return -1;
        }
        if (deadline && ++rows % kRowsPerClock == 0 && rows >= kBudgetMinRows && Clock::now() >= *deadline) {
            return 0;
        }
    }
    if (rc != SQLITE_DONE) return raise_from(c_->db);
    return 1;
}

PyObject* Execution::result() noexcept {
    rowcount = statement_.get()->is_dml ? static_cast<Py_ssize_t>(sqlite3_changes64(c_->db)) : -1;
    return result_of(c_, mode_, std::move(rows_), rowcount).release();
}

PyObject* run_statement(ConnectionObject* c, PyObject* text, PyObject* args, int mode, Py_ssize_t* rowcount) noexcept {
    Execution run(c, mode);
    if (run.start(text, args) < 0 || run.advance(nullptr) < 0) return nullptr;
    Ref result = steal(run.result());
    *rowcount = run.rowcount;
    return result.release();
}

}  // namespace sqlite

PyTypeObject SqliteEngineConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.SqliteConnection",
    .tp_basicsize = sizeof(ConnectionObject),
    .tp_dealloc = sqlite::connection_dealloc,
    .tp_repr = sqlite::connection_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A native SQLite connection (made by the engine's connect function, not by this class).",
    .tp_traverse = sqlite::connection_traverse,
    .tp_clear = sqlite::connection_clear,
    .tp_weaklistoffset = offsetof(ConnectionObject, weakrefs),
    .tp_methods = sqlite::methods,
    .tp_getset = sqlite::getset,
};

bool is_native_sqlite(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &SqliteEngineConnectionType); }

PyObject* sqlite_engine_open(PyObject* database, bool uri, double timeout) noexcept {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(database, &converted)) return nullptr;
    Ref path = steal(converted);
    return sqlite::open_path(PyBytes_AS_STRING(path.get()), uri, timeout).release();
}

PyObject* sqlite_engine_run(PyObject* conn, PyObject* text, PyObject* args, int mode, StatementTrace* trace) noexcept {
    if (!is_native_sqlite(conn)) return expected_kind("SqliteConnection", conn);
    if (!PyUnicode_Check(text)) return wrong_arg_type("sql", &PyUnicode_Type, text);
    ConnectionObject* c = as_connection(conn);
    if (!sqlite::usable(c)) return nullptr;
    Ref held = borrow(conn);  // a finaliser run meanwhile may drop the caller's reference
    if (trace) trace->start();
    Py_ssize_t rowcount = -1;
    Ref result = steal(sqlite::run_statement(c, text, args, mode, &rowcount));
    if (trace) {
        trace->stop(text, nullptr);
        if (result) trace->rowcount = rowcount;
    }
    return result.release();
}

Ref sqlite_engine_connect() noexcept { return borrow(sqlite::connect_callable); }

int ready_sqlite_engine(PyObject* module) noexcept {
    if (sqlite::ready_errors() < 0 || sqlite::ready_cursor() < 0 || PyType_Ready(&sqlite::StatementType) < 0) return -1;
    if (!sqlite::connect_callable) {
        sqlite::connect_callable = PyCFunction_NewEx(&sqlite::connect_def, nullptr, module);
        if (!sqlite::connect_callable) return -1;
    }
    return add_type(module, &SqliteEngineConnectionType, "SqliteConnection");
}

}  // namespace tsy::db
