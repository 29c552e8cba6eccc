// The module path of AioSqliteConnector (driver="sqlite3"): each connection
// is a sqlite3.Connection owned by a worker thread of its own
// (aio/sqlite_worker.cpp), and every step is a job of that worker, awaited through a
// future of the caller's loop. SQLite may wait for locks (the busy timeout)
// and run long statements there without holding up the loop; a statement
// whose awaiting task is cancelled is interrupted in SQLite.
#include "aio/aio_connector.hpp"

namespace tsy::db::aio {
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

// The job is submitted when the awaitable is first awaited, not before.
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

PyObject* step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
               std::shared_ptr<StatementTrace> trace) noexcept {
    return coro::make_coroutine(step_task(borrow(con), op, borrow(text), borrow(args), mode, settle, std::move(trace)),
                                step_name(op));
}

PyObject* open_connection(PyObject* connector) noexcept {
    PyObject* kwargs = sqlite_connect_kwargs(connector);
    if (!kwargs) return nullptr;
    Ref con = new_sqlite_connection(connector);
    if (!con) return nullptr;
    SqliteConnectionObject* c = as_sqlite_con(con.get());
    c->worker = start_worker();
    if (!c->worker) return nullptr;
    Ref after_open = steal(sqlite_after_open(connector));
    if (!after_open) return nullptr;
    return coro::make_coroutine(open_task(std::move(con), borrow(kwargs), std::move(after_open)), "open");
}

// Queued on the worker, so it runs ahead of whatever the next user submits.
bool discard_work(PyObject* con) noexcept {
    if (!as_sqlite_con(con)->worker) return false;
    Ref rolled = steal(submit(as_sqlite_con(con)->worker, Op::Rollback, nullptr, nullptr, RUN_NONE, false, false));
    if (!rolled) PyErr_Clear();
    return static_cast<bool>(rolled);
}

void close_now(PyObject* con) noexcept {
    SqliteConnectionObject* c = as_sqlite_con(con);
    if (!c->worker) return;
    Ref pending = steal(PyErr_GetRaisedException());
    Ref done = steal(retire(c->worker, false));
    c->worker = nullptr;
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// The Close job is queued now (the connection is closed for every later
// step); the awaitable waits for the worker to have done it.
PyObject* close_awaitable(PyObject* con) noexcept {
    SqliteConnectionObject* c = as_sqlite_con(con);
    Ref closing = c->worker ? steal(retire(c->worker, true)) : borrow(Py_None);
    c->worker = nullptr;
    if (!closing) return nullptr;
    return coro::make_coroutine(close_task(std::move(closing)), "close");
}

// Queued without waiting: usable from a finaliser, and ordered before any
// later job of the connection (its release's rollback among them).
int close_cursor(PyObject* con, PyObject* cursor) noexcept {
    Ref job = steal(PyTuple_Pack(1, cursor));
    if (!job) return -1;
    Ref queued = steal(submit(as_sqlite_con(con)->worker, Op::Fetch, names.close, job.get(), RUN_NONE, false, false));
    return queued ? 0 : -1;
}

}  // namespace

}  // namespace tsy::db::aio

namespace tsy::db {

const AioDriver kModuleSqliteDriver = {
    .name = "sqlite3",
    .names = &kSqliteConnectorNames,
    .loop_bound = false,  // a worker completes futures on whatever loop awaits them
    .settles_itself = true,
    .binds_in_place = false,  // the worker binds later, on its own thread
    .belongs = aio::sqlite_belongs,
    .table_of = aio::sqlite_table_of,
    .slot_of = aio::sqlite_slot_of,
    .open = aio::open_connection,
    .step = aio::step,
    .may_hold_work = nullptr,
    .discard_work = aio::discard_work,
    .rolls_back_when_lent = false,
    .idle_alive = nullptr,
    .close_now = aio::close_now,
    .close = aio::close_awaitable,
    .close_cursor = aio::close_cursor,
    .auto_field = aio::sqlite_auto_field,
};

}  // namespace tsy::db
