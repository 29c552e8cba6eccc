// AioSqliteConnection: what AioSqliteConnector.getCon() hands out. It owns
// one worker thread and the sqlite3 connection living on it; every step is a
// job of that worker, awaited through a future of the caller's loop.
#include "aio_common.hpp"

namespace tsy::db {
namespace aio {
namespace {

PyObject* interrupt_if_cancelled(PyObject* bound, PyObject* future) noexcept;

PyMethodDef interrupt_def = {"_interrupt_if_cancelled", interrupt_if_cancelled, METH_O,
                             "Interrupt the statement of a cancelled future."};

// (connection, job id) -> the future's done callback.
PyObject* interrupt_if_cancelled(PyObject* bound, PyObject* future) noexcept {
    Ref cancelled = call_method(future, names.cancelled);
    int yes = cancelled ? truth(cancelled.get()) : -1;
    if (yes < 0) return nullptr;
    if (yes) {
        PyObject* con = PyTuple_GET_ITEM(bound, 0);
        std::uint64_t id = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(bound, 1));
        if (PyErr_Occurred()) return nullptr;
        interrupt(as_sqlite_con(con)->worker, id);
    }
    Py_RETURN_NONE;
}

// A statement whose awaiting task is cancelled is interrupted in SQLite, so
// that the connection is free again at once.
bool interrupt_on_cancel(PyObject* con, PyObject* future, std::uint64_t id) noexcept {
    Ref job = steal(PyLong_FromUnsignedLongLong(id));
    Ref bound = job ? steal(PyTuple_Pack(2, con, job.get())) : Ref();
    Ref callback = bound ? steal(PyCFunction_New(&interrupt_def, bound.get())) : Ref();
    return callback && call_method(future, names.add_done_callback, callback.get());
}

coro::Task step_task(Ref con, Op op, Ref text, Ref args, int mode, bool settle, std::shared_ptr<StatementTrace> trace) {
    SqliteConnectionObject* c = as_sqlite_con(con.get());
    std::uint64_t id = c->worker ? next_job(c->worker) : 0;
    Ref future = steal(submit(c->worker, op, text.get(), args.get(), mode, settle, true, std::move(trace)));
    if (!future) co_return nullptr;
    if (op == Op::Run && !interrupt_on_cancel(con.get(), future.get(), id)) co_return nullptr;
    co_return co_await coro::await(std::move(future));
}

coro::Task open_task(Ref con, Ref kwargs, Ref after_open) {
    Ref opened = co_await coro::await(steal(sqlite_step(con.get(), Op::Open, after_open.get(), kwargs.get(),
                                                         RUN_NONE, false)));
    if (!opened) {
        close_sqlite_connection(con.get());
        co_return nullptr;
    }
    co_return std::move(con);
}

coro::Task close_task(Ref closing) {
    if (closing.get() == Py_None) co_return borrow(Py_None);
    co_return co_await coro::await(std::move(closing));
}

const char* step_name(Op op) noexcept {
    switch (op) {
        case Op::Open: return "open";
        case Op::Begin: return "begin";
        case Op::Commit: return "commit";
        case Op::Rollback: return "rollback";
        case Op::Close: return "close";
        default: return "execute";
    }
}

}  // namespace

PyObject* sqlite_step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
                      std::shared_ptr<StatementTrace> trace) noexcept {
    return coro::make_coroutine(step_task(borrow(con), op, borrow(text), borrow(args), mode, settle, std::move(trace)),
                                step_name(op));
}

PyObject* open_sqlite_connection(PyObject* connector, PyObject* connect_kwargs, PyObject* after_open) noexcept {
    Ref con = steal(PyObject_GC_New(PyObject, &AioSqliteConnectionType));
    if (!con) return nullptr;
    SqliteConnectionObject* c = as_sqlite_con(con.get());
    c->worker = nullptr;
    c->connector = Py_NewRef(connector);
    c->generation = as_aio(connector)->generation;
    c->lent = 0;
    PyObject_GC_Track(con.get());
    c->worker = start_worker();
    if (!c->worker) return nullptr;
    return coro::make_coroutine(open_task(std::move(con), borrow(connect_kwargs), borrow(after_open)), "open");
}

void close_sqlite_connection(PyObject* con) noexcept {
    SqliteConnectionObject* c = as_sqlite_con(con);
    if (!c->worker) return;
    Ref pending = steal(PyErr_GetRaisedException());
    Ref done = steal(retire(c->worker, false));
    c->worker = nullptr;
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

}  // namespace aio

namespace {

using aio::Op;

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_sqlite_con(self)->connector);
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
    SqliteConnectionObject* c = as_sqlite_con(self);
    Ref closing = c->worker ? steal(aio::retire(c->worker, true)) : borrow(Py_None);
    c->worker = nullptr;
    if (!closing) return nullptr;
    return coro::make_coroutine(aio::close_task(std::move(closing)), "close");
}

PyObject* get_closed(PyObject* self, void*) noexcept { return PyBool_FromLong(as_sqlite_con(self)->worker == nullptr); }

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"commit", fastkw<commit_method>(), kFast, "commit($self)\n--\n\nawait commit(): commit the work done on this connection."},
    {"rollback", fastkw<rollback_method>(), kFast, "rollback($self)\n--\n\nawait rollback(): drop the uncommitted work."},
    {"begin", fastkw<begin_method>(), kFast, "begin($self)\n--\n\nawait begin(): start a transaction explicitly."},
    {"close", fastkw<close_method>(), kFast,
     "close($self)\n--\n\nawait close(): close the connection (uncommitted work is dropped) and end its worker thread."},
    {"_openCursor", fastkw<aio::open_cursor_method>(), kFast,
     "_openCursor($self, sql, args=None)\n--\n\nawait _openCursor(sql, args=None): run a \"%s\" statement on a cursor kept open on the worker."},
    {"_fetch", fastkw<aio::fetch_method>(), kFast,
     "_fetch($self, cursor, size)\n--\n\nawait _fetch(cursor, size): the kept cursor's next `size` rows (fewer at the end, [] after it)."},
    {"_closeCursor", fastkw<aio::close_cursor_method>(), kFast,
     "_closeCursor($self, cursor)\n--\n\nclose the kept cursor on the worker, after the jobs queued before."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", get_closed, nullptr, "True once the connection is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject AioSqliteConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioSqliteConnection",
    .tp_basicsize = sizeof(SqliteConnectionObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A connection of AioSqliteConnector (from getCon()): one sqlite3 connection on a worker "
              "thread of its own. Its statements are not committed until `await con.commit()`.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
};

}  // namespace tsy::db
