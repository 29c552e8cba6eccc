// Cursors of AioSqliteConnection kept open between awaits, for the row
// streams of the coroutine executor: the statement is run once and its rows
// are read a batch at a time, so memory holds one batch. Other modules reach
// them through the connector capsule (open_cursor, fetch, close_cursor);
// the connection's methods give Python code the same:
//
//     cursor = await con._openCursor(sql, args)   # "%s" text
//     rows = await con._fetch(cursor, n)          # cursor.fetchmany(n); [] at the end
//     con._closeCursor(cursor)                    # not awaited
//
// Each step goes to the connection's driver. On the module path it is a job
// of the connection's worker, so the loop never waits for SQLite: the cursor
// object never leaves the worker's hands except as a token, and every call
// on it is queued behind the connection's others, so it is never used by two
// threads at once. On the native path the steps run inline when awaited (a
// batch of rows costs about what building its instances does).
#include "aio/aio_connector.hpp"

namespace tsy::db {
namespace {

PyObject* fetchmany_name = nullptr;

const char* const kOpenNames[] = {"sql", "args"};
const char* const kFetchNames[] = {"cursor", "size"};
const char* const kCloseNames[] = {"cursor"};

bool usable(PyObject* self) noexcept {
    SqliteConnectionObject* c = as_sqlite_con(self);
    if (!sqlite_con_open(c) || !c->connector) {
        fail(PyExc_RuntimeError, "the SQLite connection is closed");
        return false;
    }
    if (!fetchmany_name && !(fetchmany_name = intern("fetchmany"))) return false;
    return true;
}

}  // namespace

namespace aio {

// The capsule's side (declared in module.cpp, which exports them).
PyObject* open_kept_cursor(PyObject* con, PyObject* sql, PyObject* args) noexcept;
PyObject* fetch_kept_cursor(PyObject* con, PyObject* cursor, Py_ssize_t size) noexcept;
int close_kept_cursor(PyObject* con, PyObject* cursor) noexcept;

PyObject* open_kept_cursor(PyObject* con, PyObject* sql, PyObject* args) noexcept {
    if (!check_arg(con, &AioSqliteConnectionType, "con", false) || !usable(con)) return nullptr;
    if (!check_arg(sql, &PyUnicode_Type, "sql", false)) return nullptr;
    Ref given = args && args != Py_None ? steal(PySequence_Tuple(args)) : steal(PyTuple_New(0));
    if (!given) return nullptr;
    // Buffers are taken as bytes now: the worker binds them later, on its own
    // thread; the engine binds them in place when the step runs.
    Ref bound = steal(bindable_args(given.get(), as_sqlite_con(con)->engine != nullptr));
    Ref text = bound ? steal(driver_text(&as_aio(as_sqlite_con(con)->connector)->base, sql, true)) : Ref();
    if (!text) return nullptr;
    return sqlite_step(con, Op::OpenCursor, text.get(), bound.get(), RUN_NONE, false);
}

PyObject* fetch_kept_cursor(PyObject* con, PyObject* cursor, Py_ssize_t size) noexcept {
    if (!check_arg(con, &AioSqliteConnectionType, "con", false) || !usable(con)) return nullptr;
    if (size <= 0) return fail(PyExc_ValueError, "_fetch(): size must be a positive int");
    Ref count = steal(PyLong_FromSsize_t(size));
    Ref job = count ? steal(PyTuple_Pack(2, cursor, count.get())) : Ref();
    if (!job) return nullptr;
    return sqlite_step(con, Op::Fetch, fetchmany_name, job.get(), RUN_NONE, false);
}

// Not awaited: usable from a finaliser, and done before any later step of
// the connection (its release's rollback among them).
int close_kept_cursor(PyObject* con, PyObject* cursor) noexcept {
    if (!check_arg(con, &AioSqliteConnectionType, "con", false)) return -1;
    SqliteConnectionObject* c = as_sqlite_con(con);
    if (!sqlite_con_open(c)) return 0;  // closed: its cursors went with it
    if (!usable(con)) return -1;
    return c->driver->close_cursor(con, cursor) < 0 ? -1 : 0;
}

PyObject* open_cursor_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_openCursor", kOpenNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return open_kept_cursor(self, a[0], a[1]);
}

PyObject* fetch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_fetch", kFetchNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Py_ssize_t size = PyLong_Check(a[1]) ? PyLong_AsSsize_t(a[1]) : -1;
    if (size == -1 && PyErr_Occurred()) return nullptr;
    return fetch_kept_cursor(self, a[0], size);
}

PyObject* close_cursor_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_closeCursor", kCloseNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (close_kept_cursor(self, a[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

Ref open_cursor(PyObject* connection, PyObject* text, PyObject* args) noexcept {
    Ref cursor = call_method(connection, names.cursor);
    if (!cursor) return {};
    if (!call_method(cursor.get(), names.execute, text, args)) {
        call_keeping_error(cursor.get(), names.close);
        return {};
    }
    return cursor;
}

// `job` is (cursor, size) for fetchmany, (cursor,) for close; `method` says which.
Ref cursor_step(PyObject* method, PyObject* job) noexcept {
    PyObject* cursor = PyTuple_GET_ITEM(job, 0);
    if (PyTuple_GET_SIZE(job) == 1) return call_method(cursor, method);
    Ref rows = call_method(cursor, method, PyTuple_GET_ITEM(job, 1));
    if (!rows) call_keeping_error(cursor, names.close);
    return rows;
}


}  // namespace aio
}  // namespace tsy::db
