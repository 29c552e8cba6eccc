// Cursors of AioSqliteConnection kept open between awaits, for the row
// streams of the coroutine executor: the statement is run once and its rows
// are read a batch at a time, so memory holds one batch.
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

PyObject* open_cursor_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_openCursor", kOpenNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a) || !usable(self)) return nullptr;
    if (!check_arg(a[0], &PyUnicode_Type, "sql", false)) return nullptr;
    Ref given = a[1] && a[1] != Py_None ? steal(PySequence_Tuple(a[1])) : steal(PyTuple_New(0));
    if (!given) return nullptr;
    // Buffers are taken as bytes now: the worker binds them later, on its own
    // thread; the engine binds them in place when the step runs.
    Ref bound = steal(bindable_args(given.get(), as_sqlite_con(self)->engine != nullptr));
    Ref text = bound ? steal(driver_text(&as_aio(as_sqlite_con(self)->connector)->base, a[0], true)) : Ref();
    if (!text) return nullptr;
    return sqlite_step(self, Op::OpenCursor, text.get(), bound.get(), RUN_NONE, false);
}

PyObject* fetch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_fetch", kFetchNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a) || !usable(self)) return nullptr;
    Py_ssize_t size = PyLong_Check(a[1]) ? PyLong_AsSsize_t(a[1]) : -1;
    if (size <= 0) {
        if (!PyErr_Occurred()) fail(PyExc_ValueError, "_fetch(): size must be a positive int");
        return nullptr;
    }
    Ref job = steal(PyTuple_Pack(2, a[0], a[1]));
    if (!job) return nullptr;
    return sqlite_step(self, Op::Fetch, fetchmany_name, job.get(), RUN_NONE, false);
}

// Not awaited: usable from a finaliser, and done before any later step of
// the connection (its release's rollback among them).
PyObject* close_cursor_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_closeCursor", kCloseNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    SqliteConnectionObject* c = as_sqlite_con(self);
    if (!sqlite_con_open(c)) Py_RETURN_NONE;  // closed: its cursors went with it
    if (!usable(self)) return nullptr;
    if (c->driver->close_cursor(self, a[0]) < 0) return nullptr;
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
