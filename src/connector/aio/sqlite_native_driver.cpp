// The native path of AioSqliteConnector (the default driver): each
// connection is one of the native engine's (engines/sqlite/), and each
// step runs inline, on the loop's thread, the first time its awaitable is
// sent to: no worker thread, no future, no hand-off. A statement costs about
// what it costs synchronously, and nothing runs before it is awaited.
//
// The price is that SQLite works while the loop waits. Two kinds of wait
// could make that long:
// - Another connection's lock. The connection is opened with the engine's
//   Decline busy policy, so a locked database fails at once with
//   SQLITE_BUSY. When SQLite did ask to wait -- it asks only where waiting
//   and trying again is sound (no lock of this connection's stands in the
//   other's way; otherwise the two would wait for each other) -- the step
//   sleeps on the loop
//   (asyncio.sleep, 1 ms doubling to 50 ms) and tries again, until the busy
//   timeout (the connector's `timeout`, as on the module path) has passed. SQLITE_LOCKED, a table
//   lock of the shared in-memory cache that SQLite never waits for, is tried
//   again the same way. A step that failed so changed nothing, so a
//   cancellation during the sleep leaves no statement mid-way.
// - The statement's own work: it runs to completion. The ORM's statements
//   are short; an application with long queries picks driver="sqlite3",
//   which runs them on a worker thread (and can interrupt them).
//
// A connection handed out keeps sqlite3's default transaction handling (the
// engine itself runs in autocommit): before an INSERT, UPDATE, DELETE or
// REPLACE outside a transaction, BEGIN (in the connector's transactionMode,
// as transaction() blocks begin). A pooled statement of the handle runs
// in autocommit and so commits when it completes.
#include <algorithm>
#include <chrono>

#include "aio/aio_connector.hpp"
#include "core/engines.hpp"

namespace tsy::db::aio {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFirstPause = 0.001;  // seconds
constexpr double kLongestPause = 0.05;
constexpr int kSqliteBusy = 5;
constexpr int kSqliteLocked = 6;

PyObject* sleep_fn = nullptr;            // asyncio.sleep, for the life of the process
PyObject* errorcode_name = nullptr;      // "sqlite_errorcode"

// --- one attempt of a step ----------------------------------------------------------

Ref run_sql(PyObject* engine, PyObject* text) noexcept {
    return steal(sqlite_engine_run(engine, text, Py_None, RUN_NONE, nullptr));
}

// A pooled statement (`settle`) runs in autocommit; a transaction it left
// open (one it began itself) is committed, or rolled back when it failed.
Ref run_statement(PyObject* engine, PyObject* begin, PyObject* text, PyObject* args, int mode, bool settle,
                  StatementTrace* trace) noexcept {
    // sqlite3's default handling: a write outside a transaction begins one.
    if (!settle && !sqlite_engine_in_transaction(engine) && sqlite_engine_writes(text) && !run_sql(engine, begin)) {
        return {};
    }
    Ref result = steal(sqlite_engine_run(engine, text, args, mode, trace));
    if (!settle || !sqlite_engine_in_transaction(engine)) return result;
    return steal(commit_or_rollback(engine, std::move(result)));
}

Ref attempt(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
            StatementTrace* trace) noexcept {
    // Held: the step may run code that closes the connection.
    Ref engine = borrow(as_sqlite_con(con)->engine);
    if (!engine) return fail(PyExc_RuntimeError, "the SQLite connection is closed");
    switch (op) {
        case Op::Run: return run_statement(engine.get(), begin_text(sqlite_settings_of(con)), text, args, mode, settle,
                                           trace);
        // con.begin(): the plain BEGIN it always was (transaction() blocks run their own).
        case Op::Begin: return run_sql(engine.get(), names.begin_sql);
        case Op::Commit: return call_method(engine.get(), names.commit);
        case Op::Rollback: return call_method(engine.get(), names.rollback);
        case Op::OpenCursor: return open_cursor(engine.get(), text, args);
        case Op::Fetch: return cursor_step(text, args);
        default: return fail(PyExc_SystemError, "AioSqliteConnection: no such native step");
    }
}

// Whether the pending error is a lock that trying again may get past.
bool worth_retrying() noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* found = nullptr;
    int has = error ? PyObject_GetOptionalAttr(error, errorcode_name, &found) : 0;
    Ref code = steal(found);
    long value = has > 0 && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : -1;
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    int primary = static_cast<int>(value & 0xff);
    // Taken on every failure, so that no note outlives the attempt it was made in.
    bool asked = sqlite_engine_take_busy_note();
    return (primary == kSqliteBusy && asked) || primary == kSqliteLocked;
}

Ref pause(double seconds) noexcept {
    if (!sleep_fn) sleep_fn = import_attr("asyncio", "sleep").release();
    if (!sleep_fn) return {};
    Ref delay = steal(PyFloat_FromDouble(seconds));
    return delay ? call(sleep_fn, delay.get()) : Ref();
}

// The step, tried again while another connection's lock is in the way.
coro::Task step_task(Ref con, Op op, Ref text, Ref args, int mode, bool settle, std::shared_ptr<StatementTrace> trace,
                     Ref slept = nullptr) {
    Clock::time_point deadline{};
    double delay = kFirstPause;
    for (;;) {
        Ref result = attempt(con.get(), op, text.get(), args.get(), mode, settle, trace.get());
        if (result || !worth_retrying()) co_return result;
        Clock::time_point now = Clock::now();
        if (deadline == Clock::time_point{}) {
            std::chrono::duration<double> timeout(busy_timeout(sqlite_settings_of(con.get())));
            deadline = now + std::chrono::duration_cast<Clock::duration>(timeout);
        }
        if (now >= deadline) co_return nullptr;  // the lock's error stands
        PyErr_Clear();
        double left = std::chrono::duration<double>(deadline - now).count();
        slept = co_await coro::await(pause(std::min(delay, left)));
        if (!slept) co_return nullptr;  // cancelled: nothing of the step has run
        delay = std::min(delay * 2, kLongestPause);
    }
}

PyObject* step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
               std::shared_ptr<StatementTrace> trace) noexcept {
    return coro::make_coroutine(step_task(borrow(con), op, borrow(text), borrow(args), mode, settle, std::move(trace)),
                                step_name(op));
}

// --- opening and closing ------------------------------------------------------------

bool ready_names() noexcept {
    return errorcode_name || (errorcode_name = intern("sqlite_errorcode"));
}

coro::Task open_task(Ref con, Ref kwargs, Ref after_open) {
    if (!ready_names()) co_return nullptr;
    PyObject* database = PyDict_GetItemWithError(kwargs.get(), names.database);
    PyObject* uri = database ? PyDict_GetItemWithError(kwargs.get(), names.uri) : nullptr;
    if (!uri) {
        if (!PyErr_Occurred()) fail(PyExc_RuntimeError, "AioSqliteConnector is not initialised");
        co_return nullptr;
    }
    Ref engine = steal(sqlite_engine_open(database, uri == Py_True, 0.0));
    if (!engine) co_return nullptr;
    if (sqlite_engine_set_busy_policy(engine.get(), SqliteBusyPolicy::Decline) < 0) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(after_open.get()); ++i) {
        if (!run_sql(engine.get(), PyList_GET_ITEM(after_open.get(), i))) {
            call_keeping_error(engine.get(), names.close);
            co_return nullptr;
        }
    }
    set_field(as_sqlite_con(con.get())->engine, engine.get());
    co_return std::move(con);
}

PyObject* open_connection(PyObject* connector) noexcept {
    PyObject* kwargs = sqlite_connect_kwargs(connector);
    if (!kwargs) return nullptr;
    Ref con = new_sqlite_connection(connector);
    if (!con) return nullptr;
    Ref after_open = steal(sqlite_after_open(connector));
    if (!after_open) return nullptr;
    return coro::make_coroutine(open_task(std::move(con), borrow(kwargs), std::move(after_open)), "open");
}

// Inline, so it is done before the connection's next user runs anything.
// An engine closed behind the pool's back (through a cursor's connection) is
// no use to the next user.
bool discard_work(PyObject* con) noexcept {
    PyObject* engine = as_sqlite_con(con)->engine;
    if (!engine || !sqlite_engine_is_open(engine)) return false;
    if (!sqlite_engine_in_transaction(engine)) return true;
    Ref rolled = call_method(engine, names.rollback);
    if (!rolled) PyErr_Clear();
    return static_cast<bool>(rolled);
}

void close_now(PyObject* con) noexcept {
    SqliteConnectionObject* c = as_sqlite_con(con);
    if (!c->engine) return;
    Ref engine = steal(c->engine);
    c->engine = nullptr;
    call_keeping_error(engine.get(), names.close);
}

coro::Task close_task(Ref con) {
    Ref engine = steal(as_sqlite_con(con.get())->engine);
    as_sqlite_con(con.get())->engine = nullptr;
    if (!engine) co_return borrow(Py_None);
    co_return call_method(engine.get(), names.close);
}

// Closed when awaited, like every other step of this path.
PyObject* close_awaitable(PyObject* con) noexcept { return coro::make_coroutine(close_task(borrow(con)), "close"); }

int close_cursor(PyObject*, PyObject* cursor) noexcept { return call_method(cursor, names.close) ? 0 : -1; }

}  // namespace

}  // namespace tsy::db::aio

namespace tsy::db {

const AioDriver kNativeSqliteDriver = {
    .name = "native",
    .native = true,
    .names = &kSqliteConnectorNames,
    .loop_bound = false,  // nothing of a connection is bound to a loop
    .settles_itself = true,
    .binds_in_place = true,  // bound inline, while the loop waits
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
