// Running one statement: on any DB-API connection, and with the commit
// policy of a connector's own connection.
#include "core/connector.hpp"

#include <cstring>

#include "core/engines.hpp"
#include "core/statement_log.hpp"
#include "core/read_routing.hpp"

namespace tsy::db {
namespace {

// Calls `conn.<method>()` while an error is pending, keeping that error: a
// cleanup failure must not hide why the statement failed.
void cleanup_keeping_error(PyObject* obj, PyObject* method) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    Ref done = call_method(obj, method);
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

}  // namespace

Ref written_rows(PyObject* cursor) noexcept {
    Ref count = attr(cursor, names.rowcount);
    if (count && PyLong_Check(count.get())) return count;
    if (!count && !PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();  // a driver that keeps no count: unknown, as DB-API writes it
    return steal(PyLong_FromLong(-1));
}

namespace {

Ref fetch_result(PyObject* cursor, int mode) noexcept {
    switch (mode) {
        case RUN_ROWS: return call_method(cursor, names.fetchall);
        case RUN_KEY: return attr(cursor, names.lastrowid);
        case RUN_COUNT: return written_rows(cursor);
        default: return borrow(Py_None);
    }
}

// cursor.execute(text[, args]) and the result by `mode`, measured for the
// statement log when `trace` asks for it.
Ref execute_and_fetch(PyObject* cursor, PyObject* text, PyObject* args, int mode, StatementTrace* trace) noexcept {
    if (trace) trace->start();
    Ref executed = args == Py_None ? call_method(cursor, names.execute, text)
                                   : call_method(cursor, names.execute, text, args);
    Ref result = executed ? fetch_result(cursor, mode) : Ref();
    if (trace) trace->stop(text, cursor);
    return result;
}

bool has_args(PyObject* args) noexcept {
    if (PyTuple_Check(args)) return PyTuple_GET_SIZE(args) > 0;
    if (PyList_Check(args)) return PyList_GET_SIZE(args) > 0;
    int truth_value = PyObject_IsTrue(args);
    if (truth_value < 0) PyErr_Clear();  // the driver reports unusable arguments itself
    return truth_value != 0;
}

bool check_sql(PyObject* sql) noexcept { return check_arg(sql, &PyUnicode_Type, "sql", false); }

// An exact sqlite3.Connection: its cursors are cheap to keep and cost more
// to make than most statements take to run. The type is held once seen.
bool plain_sqlite_connection(PyObject* conn) noexcept {
    static PyTypeObject* type = nullptr;
    PyTypeObject* t = Py_TYPE(conn);
    if (type) return t == type;
    if (std::strcmp(t->tp_name, "sqlite3.Connection") != 0) return false;
    type = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(t)));
    return true;
}

// A kept cursor still behaves like a new one: a cursor takes the
// connection's row_factory when it is made.
int still_fresh(PyObject* cursor, PyObject* conn) noexcept {
    Ref mine = attr(cursor, names.row_factory);
    Ref current = mine ? attr(conn, names.row_factory) : Ref();
    if (!current) return -1;
    return mine.get() == current.get();
}

// The statement left rows nobody fetched (a SELECT run for no result): the
// cursor would keep SQLite's read lock, so it is closed as before.
int rows_left(PyObject* cursor) noexcept {
    Ref description = attr(cursor, names.description);
    if (!description) return -1;
    return description.get() != Py_None;
}

// run_on with the thread's kept cursor of `conn`.
PyObject* run_kept(ThreadConnectionObject* c, PyObject* conn, PyObject* text, PyObject* args, int mode,
                   StatementTrace* trace) noexcept {
    int fresh = c->cursor && c->cursor_con == conn ? still_fresh(c->cursor, conn) : 0;
    if (fresh < 0) return nullptr;
    if (!fresh) {
        forget_cursor(c);
        Ref made = call_method(conn, names.cursor);
        if (!made) return nullptr;
        set_field(c->cursor, made.get());
        set_field(c->cursor_con, conn);
    }
    Ref cursor = borrow(c->cursor);
    c->cursor_busy = 1;
    Ref result = execute_and_fetch(cursor.get(), text, args, mode, trace);
    c->cursor_busy = 0;
    int left = result && mode != RUN_ROWS ? rows_left(cursor.get()) : 0;
    if (!result || left != 0) {
        if (c->cursor == cursor.get()) forget_cursor(c);
        if (left < 0) return nullptr;
    }
    return result.release();
}

// A connector that is not one of ours: the connector interface gives its
// connection through getCon(); "%s" text and arguments go to it unchanged.
PyObject* run_foreign(PyObject* connector, PyObject* con, PyObject* sql, PyObject* args, int mode,
                      StatementTrace* trace) noexcept {
    bool own = !con || con == Py_None;
    Ref conn = own ? call_method(connector, names.getCon) : borrow(con);
    if (!conn) return nullptr;
    PyObject* driver_args = has_args(args) ? args : Py_None;
    Ref result = steal(run_on(conn.get(), sql, driver_args, mode, trace));
    if (!own) return result.release();
    return commit_or_rollback(conn.get(), std::move(result));
}

// A buffer export, released however the conversion ends.
struct Exported {
    Py_buffer view{};
    bool held = false;
    Exported() = default;
    Exported(const Exported&) = delete;
    Exported& operator=(const Exported&) = delete;
    ~Exported() {
        if (held) PyBuffer_Release(&view);
    }
};

// The octets of a memoryview: bytes, or the view itself when the driver
// reads C-contiguous buffers in place. Items wider than one octet are
// refused: their octets depend on the machine's byte order and layout, and
// only the caller can say which were meant (a cast to 'B' says it).
Ref view_octets(PyObject* view, bool in_place) noexcept {
    Exported exported;
    if (PyObject_GetBuffer(view, &exported.view, PyBUF_FULL_RO) < 0) return {};  // a released view
    exported.held = true;
    const Py_buffer& b = exported.view;
    if (b.itemsize != 1) {
        return fail(PyExc_TypeError,
                    "a memoryview of format '%s' cannot be stored as octets: its items are %zd bytes wide "
                    "(cast it to 'B' first)",
                    b.format ? b.format : "B", b.itemsize);
    }
    bool contiguous = PyBuffer_IsContiguous(&b, 'C');
    if (contiguous && in_place) return borrow(view);
    if (contiguous) return steal(PyBytes_FromStringAndSize(static_cast<const char*>(b.buf), b.len));
    return steal(PyBytes_FromObject(view));
}

Ref buffer_octets(PyObject* value, bool in_place) noexcept {
    if (PyMemoryView_Check(value)) return view_octets(value, in_place);
    if (in_place) return borrow(value);
    return steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value)));
}

// Most arguments are str, int, float or None, whose types export no buffer:
// one pointer test settles each of them.
bool is_mutable_buffer(PyObject* value) noexcept {
    PyBufferProcs* procs = Py_TYPE(value)->tp_as_buffer;
    if (!procs || !procs->bf_getbuffer || PyBytes_CheckExact(value)) return false;
    return PyMemoryView_Check(value) || PyByteArray_Check(value);
}

// A new tuple of `items` with each buffer from `first` on replaced by its octets.
PyObject* with_octets(PyObject* const* items, Py_ssize_t n, Py_ssize_t first, bool in_place) noexcept {
    Ref bound = steal(PyTuple_New(n));
    if (!bound) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = i >= first && is_mutable_buffer(items[i]) ? buffer_octets(items[i], in_place) : borrow(items[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(bound.get(), i, item.release());
    }
    return bound.release();
}

}  // namespace

PyObject* bindable_args(PyObject* args, bool in_place) noexcept {
    if (!PyTuple_Check(args) && !PyList_Check(args)) return Py_NewRef(args);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(args);
    PyObject* const* items = PySequence_Fast_ITEMS(args);
    Py_ssize_t first = 0;
    while (first < n && !is_mutable_buffer(items[first])) ++first;
    if (first == n) return Py_NewRef(args);
    if (PyTuple_Check(args)) return with_octets(items, n, first, in_place);
    // A list is read from a copy: an allocation may run a collection, and a
    // finaliser could change the list meanwhile.
    Ref snapshot = steal(PyList_AsTuple(args));
    if (!snapshot) return nullptr;
    return with_octets(PySequence_Fast_ITEMS(snapshot.get()), PyTuple_GET_SIZE(snapshot.get()), 0, in_place);
}

PyObject* run_on(PyObject* conn, PyObject* text, PyObject* args, int mode, StatementTrace* trace) noexcept {
    Ref cursor = call_method(conn, names.cursor);
    if (!cursor) return nullptr;
    Ref result = execute_and_fetch(cursor.get(), text, args, mode, trace);
    if (!result) {
        cleanup_keeping_error(cursor.get(), names.close);
        return nullptr;
    }
    Ref closed = call_method(cursor.get(), names.close);
    if (!closed) return nullptr;
    return result.release();
}

PyObject* run_statement(PyObject* self, PyObject* con, PyObject* sql, PyObject* args, int mode,
                        StatementTrace* trace) noexcept {
    if (!check_sql(sql)) return nullptr;
    Ref empty;
    if (!args || args == Py_None) {
        empty = steal(PyTuple_New(0));
        if (!empty) return nullptr;
        args = empty.get();
    }
    if (!PyObject_TypeCheck(self, &BaseConnectorType)) return run_foreign(self, con, sql, args, mode, trace);
    ConnectorObject* c = as_connector(self);
    // Held: the statement may run code that ends the thread's state (close()).
    Ref state = thread_state(self);
    if (!state) return nullptr;
    ThreadConnectionObject* s = as_thread_con(state.get());
    bool given = con && con != Py_None;
    Ref conn = given ? borrow(con) : borrow(thread_connection(self, s));
    if (!conn) return nullptr;
    bool with_args = has_args(args);
    Ref text = steal(driver_text(c, sql, with_args));
    if (!text) return nullptr;
    NativeRun native = native_runner(conn.get());
    bool plain_sqlite = !native && plain_sqlite_connection(conn.get());
    // Buffers reach the driver as their octets: sqlite3 and the native
    // engines bind the C-contiguous ones themselves, any other driver (or
    // wrapper) gets bytes.
    Ref driver_args = steal(bindable_args(with_args || c->style != STYLE_FORMAT ? args : Py_None, plain_sqlite || native));
    if (!driver_args) return nullptr;
    bool own = conn.get() == s->con;
    Running running(s, own);
    long long started = 0;
    Ref result;
    for (;;) {
        bool keep = own && !s->cursor_busy && plain_sqlite;
        if (native) result = steal(native(conn.get(), text.get(), driver_args.get(), mode, trace));
        else if (keep) result = steal(run_kept(s, conn.get(), text.get(), driver_args.get(), mode, trace));
        else result = steal(run_on(conn.get(), text.get(), driver_args.get(), mode, trace));
        if (result || !c->shared) break;
        if (!started) started = steady_now_ns();
        if (!retry_when_locked(c, started)) break;
    }
    own = conn.get() == s->con;  // the statement may have run code that closed the connector
    if (!own || s->depth > 0) return result.release();
    if (!c->autocommit) result = steal(commit_or_rollback(conn.get(), std::move(result)));
    if (!result) drop_if_broken(s);
    return result.release();
}

PyObject* commit_or_rollback(PyObject* conn, Ref result) noexcept {
    if (!result) {
        cleanup_keeping_error(conn, names.rollback);
        return nullptr;
    }
    Ref committed = call_method(conn, names.commit);
    if (!committed) {
        cleanup_keeping_error(conn, names.rollback);
        return nullptr;
    }
    return result.release();
}

// Each statement that reaches this point is one record of the statement log,
// written once it has ended (committed, when it commits by itself).
PyObject* run(PyObject* self, PyObject* con, PyObject* sql, PyObject* args, int mode) noexcept {
    if (!check_sql(sql)) return nullptr;
    StatementTrace trace = new_trace();
    if (PyObject_TypeCheck(self, &BaseConnectorType) && as_connector(self)->replicas) {
        return run_with_replicas(self, con, sql, args, mode, trace);  // reads may go to a replica
    }
    return log_statement(trace, sql, args, mode, run_statement(self, con, sql, args, mode, &trace));
}

int run_on_thread(ThreadConnectionObject* s, PyObject* text) noexcept {
    Ref conn = borrow(s->con);
    if (!conn) return 0;
    Ref result = steal(plain_sqlite_connection(conn.get()) ? run_kept(s, conn.get(), text, Py_None, RUN_NONE, nullptr)
                                                           : run_on(conn.get(), text, Py_None, RUN_NONE));
    return result ? 0 : -1;
}

void forget_cursor(ThreadConnectionObject* c) noexcept {
    if (!c->cursor) return;
    Ref cursor = steal(c->cursor);
    Ref con = steal(c->cursor_con);
    c->cursor = nullptr;
    c->cursor_con = nullptr;
    cleanup_keeping_error(cursor.get(), names.close);
}

void drop_if_broken(ThreadConnectionObject* c) noexcept {
    if (!c->con || c->depth > 0) return;
    Ref pending = steal(PyErr_GetRaisedException());
    PyObject* found = nullptr;
    int known = PyObject_GetOptionalAttr(c->con, names.open, &found);
    Ref open = steal(found);
    int usable = known > 0 ? PyObject_IsTrue(open.get()) : 1;
    if (known < 0 || usable < 0) PyErr_Clear();
    if (usable == 0) {
        forget_cursor(c);
        Ref dead = steal(c->con);
        c->con = nullptr;
        if (c->counted) release_slot(c);
    }
    PyErr_SetRaisedException(pending.release());
}

}  // namespace tsy::db
