// AioSqliteConnection: what AioSqliteConnector.getCon() hands out, on
// either driver. Its methods are the same for both; each step goes to the
// driver the connection was opened with (kept on the connection, so a
// connector re-initialised with another driver still closes and rolls back
// its older connections the way they need: the pool asks `table_of`).
#include "aio/aio_connector.hpp"

namespace tsy::db {
namespace aio {

PyObject* sqlite_step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
                      std::shared_ptr<StatementTrace> trace) noexcept {
    return as_sqlite_con(con)->driver->step(con, op, text, args, mode, settle, std::move(trace));
}

Ref new_sqlite_connection(PyObject* connector) noexcept {
    Ref con = steal(PyObject_GC_New(PyObject, &AioSqliteConnectionType));
    if (!con) return {};
    SqliteConnectionObject* c = as_sqlite_con(con.get());
    c->driver = as_aio(connector)->driver;
    c->worker = nullptr;
    c->engine = nullptr;
    c->connector = Py_NewRef(connector);
    c->pool = PoolSlot{0, false, false};
    c->native = nullptr;
    PyObject_GC_Track(con.get());
    return con;
}

bool sqlite_belongs(PyObject* connector, PyObject* con) noexcept {
    if (!check_arg(con, &AioSqliteConnectionType, "con", false)) return false;
    if (as_sqlite_con(con)->connector != connector) {
        fail(PyExc_ValueError, "the connection does not belong to this connector");
        return false;
    }
    return true;
}

const AioDriver* sqlite_table_of(PyObject* con) noexcept { return as_sqlite_con(con)->driver; }

PoolSlot* sqlite_slot_of(PyObject* con) noexcept { return &as_sqlite_con(con)->pool; }

void close_sqlite_connection(PyObject* con) noexcept { as_sqlite_con(con)->driver->close_now(con); }

}  // namespace aio

namespace {

using aio::Op;

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_sqlite_con(self)->connector);
    Py_VISIT(as_sqlite_con(self)->engine);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    Py_CLEAR(as_sqlite_con(self)->connector);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    aio::close_sqlite_connection(self);
    tp_clear(self);
    PyObject_GC_Del(self);
}

PyObject* step_method(const char* func, Op op, PyObject* self, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_args(func, nargs, kwnames)) return nullptr;
    return aio::sqlite_step(self, op, nullptr, nullptr, RUN_NONE, false);
}

PyObject* commit_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return step_method("commit", Op::Commit, self, nargs, kwnames);
}

PyObject* rollback_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return step_method("rollback", Op::Rollback, self, nargs, kwnames);
}

PyObject* begin_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return step_method("begin", Op::Begin, self, nargs, kwnames);
}

PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    return as_sqlite_con(self)->driver->close(self);
}

PyObject* get_closed(PyObject* self, void*) noexcept { return PyBool_FromLong(!sqlite_con_open(as_sqlite_con(self))); }

PyObject* get_driver(PyObject* self, void*) noexcept { return PyUnicode_FromString(as_sqlite_con(self)->driver->name); }

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"commit", fastkw<commit_method>(), kFast, "commit($self)\n--\n\nawait commit(): commit the work done on this connection."},
    {"rollback", fastkw<rollback_method>(), kFast, "rollback($self)\n--\n\nawait rollback(): drop the uncommitted work."},
    {"begin", fastkw<begin_method>(), kFast, "begin($self)\n--\n\nawait begin(): start a transaction explicitly."},
    {"close", fastkw<close_method>(), kFast,
     "close($self)\n--\n\nawait close(): close the connection (uncommitted work is dropped; on the module path its worker thread ends)."},
    {"_openCursor", fastkw<aio::open_cursor_method>(), kFast,
     "_openCursor($self, sql, args=None)\n--\n\nawait _openCursor(sql, args=None): run a \"%s\" statement on a cursor kept open between awaits."},
    {"_fetch", fastkw<aio::fetch_method>(), kFast,
     "_fetch($self, cursor, size)\n--\n\nawait _fetch(cursor, size): the kept cursor's next `size` rows (fewer at the end, [] after it)."},
    {"_closeCursor", fastkw<aio::close_cursor_method>(), kFast,
     "_closeCursor($self, cursor)\n--\n\nclose the kept cursor (on the module path: on the worker, after the jobs queued before)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", get_closed, nullptr, "True once the connection is closed.", nullptr},
    {"driver", get_driver, nullptr, "\"native\" (the engine, inline on the loop) or \"sqlite3\" (the module, on a worker thread).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject AioSqliteConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioSqliteConnection",
    .tp_basicsize = sizeof(SqliteConnectionObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A connection of AioSqliteConnector (from getCon()): one native engine connection whose steps run "
              "on the loop's thread when awaited, or (driver=\"sqlite3\") one sqlite3 connection on a worker thread "
              "of its own. Its statements are not committed until `await con.commit()`.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
};

}  // namespace tsy::db
