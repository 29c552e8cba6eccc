// The native path of AioSqliteConnector (the default driver): each
// connection is one of the native engine's (engines/sqlite/), and each
// step starts inline, on the loop's thread, the first time its awaitable is
// sent to: no worker thread, no future, no hand-off. A statement costs about
// what it costs synchronously, and nothing runs before it is awaited.
//
// SQLite must not hold the loop for long, and three kinds of wait could:
// - The statement's own work. A statement gets a budget on the loop
//   (kLoopBudget). One that reaches it between two rows is paused there and
//   finished by the connection's worker thread, as the same execution; one
//   whose single step outlasts it is stopped by the engine's watch, when
//   that is sound (engines/sqlite/watch.hpp), and run again from its start
//   on the worker. A statement that writes inside a transaction it did not
//   begin cannot be stopped without losing the transaction, so it finishes
//   on the loop. The connection is used by one thread at a time: the step
//   awaits its worker, and the worker works with the GIL let go now and then.
//   Cancelling the awaiting task stops the statement on the worker
//   (sqlite3_interrupt) and waits for the worker to let the connection go
//   (milliseconds), so that the connection is usable afterwards.
// - Another writer of this loop on the same database. Writes queue at the
//   database's write gate (aio/sqlite_gate.cpp), first come first served;
//   the connection keeps the gate until its transaction ends. A connection
//   already in a transaction does not wait in line (its read lock could be
//   what the gate's holder waits for): it takes the gate when free, else
//   meets SQLite's lock as below. A wait in line lasts the busy timeout at
//   most; then the statement meets SQLite's lock.
// - Another connection's lock (other processes, threads, drivers). The
//   connection is opened with the engine's Decline busy policy, so a locked
//   database fails at once with SQLITE_BUSY. When SQLite did ask to wait --
//   it asks only where waiting and trying again is sound (no lock of this
//   connection's stands in the other's way; otherwise the two would wait for
//   each other) -- the step sleeps on the loop (asyncio.sleep, 1 ms doubling
//   to 50 ms) and tries again, until the busy timeout (the connector's
//   `timeout`, as on the module path) has passed. SQLITE_LOCKED, a table
//   lock of the shared in-memory cache that SQLite never waits for, is tried
//   again the same way. A step that failed so changed nothing, so a
//   cancellation during the sleep leaves no statement mid-way.
//
// A connection handed out keeps sqlite3's default transaction handling (the
// engine itself runs in autocommit): before an INSERT, UPDATE, DELETE or
// REPLACE outside a transaction, BEGIN (in the connector's transactionMode,
// as transaction() blocks begin). A pooled statement of the handle runs
// in autocommit and so commits when it completes.
#include <algorithm>
#include <chrono>

#include "aio/sqlite_native.hpp"
#include "core/engines.hpp"
#include "engines/sqlite/watch.hpp"

namespace tsy::db::aio {
namespace {

using Clock = std::chrono::steady_clock;

// How long a statement may hold the loop before its rest goes to the worker.
constexpr auto kLoopBudget = std::chrono::milliseconds(1);
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
Ref settled(PyObject* engine, Ref result, bool settle) noexcept {
    if (!settle || !sqlite_engine_in_transaction(engine)) return result;
    return steal(commit_or_rollback(engine, std::move(result)));
}

// The statement within the loop's budget, or (watch off) to its end. NULL
// with no error set: paused at a row boundary (`paused`) or stopped for the
// budget (`watch->overran`), to be finished off the loop.
Ref run_statement(PyObject* engine, SqliteWatch* watch, PyObject* begin, PyObject* text, PyObject* args, int mode,
                  bool settle, StatementTrace* trace, PausedRun* paused, bool on_loop) noexcept {
    bool outside = !sqlite_engine_in_transaction(engine);
    // sqlite3's default handling: a write outside a transaction begins one.
    if (!settle && outside && sqlite_engine_writes(text) && !run_sql(engine, begin)) return {};
    watch->overran = false;
    if (on_loop) {
        watch->readonly = false;
        watch->progress_calls = 0;
        watch->began_outside = outside;
        watch->deadline = SqliteWatch::Clock::now() + kLoopBudget;
        watch->budgeted = true;
    }
    Ref result = steal(sqlite_engine_run_budgeted(engine, text, args, mode, trace, paused));
    watch->budgeted = false;
    if (on_loop && !result && (*paused || watch->overran)) {
        PyErr_Clear();  // the step stopped for the budget: SQLite undid it
        return {};
    }
    return settled(engine, std::move(result), settle);
}

// The rest of a statement on the connection's worker: the paused execution
// finished, or the statement run again from its start.
class StatementWork final : public OffloadWork {
public:
    StatementWork(PyObject* engine, SqliteWatch* watch, PyObject* begin, PyObject* text, PyObject* args, int mode,
                  bool settle, std::shared_ptr<StatementTrace> trace, PausedRun paused) noexcept
        : engine_(borrow(engine)), watch_(watch), begin_(borrow(begin)), text_(borrow(text)), args_(borrow(args)),
          mode_(mode), settle_(settle), trace_(std::move(trace)), paused_(std::move(paused)) {}

    Ref run() noexcept override {
        Ref result;
        if (paused_) {
            result = steal(sqlite_engine_finish(paused_));
            paused_.reset();  // gives the statement back here, on the thread that used it
            result = settled(engine_.get(), std::move(result), settle_);
        } else {
            PausedRun none;
            result = run_statement(engine_.get(), watch_, begin_.get(), text_.get(), args_.get(), mode_, settle_,
                                   trace_.get(), &none, false);
        }
        busy_noted = sqlite_engine_take_busy_note();
        watch_->off_loop = false;
        return result;
    }
    void stop() noexcept override { sqlite_engine_interrupt(engine_.get()); }

    bool busy_noted = false;

private:
    Ref engine_;
    SqliteWatch* watch_;  // the engine's, which engine_ keeps
    Ref begin_;
    Ref text_;
    Ref args_;
    int mode_;
    bool settle_;
    std::shared_ptr<StatementTrace> trace_;
    PausedRun paused_;
};

// Awaitable: the statement on the loop, or NULL with `off_loop` set to the
// awaitable of its rest on the worker.
Ref run_step(PyObject* con, PyObject* engine, PyObject* text, PyObject* args, int mode, bool settle,
             const std::shared_ptr<StatementTrace>& trace, std::shared_ptr<StatementWork>* off_loop) noexcept {
    SqliteWatch* watch = sqlite_engine_watch(engine);
    if (!watch) return {};
    PyObject* begin = begin_text(sqlite_settings_of(con));
    PausedRun paused;
    Ref result = run_statement(engine, watch, begin, text, args, mode, settle, trace.get(), &paused, true);
    if (result || PyErr_Occurred()) return result;
    watch->off_loop = true;
    *off_loop = std::make_shared<StatementWork>(engine, watch, begin, text, args, mode, settle, trace,
                                                std::move(paused));
    return {};
}

Ref attempt(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
            const std::shared_ptr<StatementTrace>& trace, std::shared_ptr<StatementWork>* off_loop) noexcept {
    // Held: the step may run code that closes the connection.
    Ref engine = borrow(as_sqlite_con(con)->engine);
    if (!engine) return fail(PyExc_RuntimeError, "the SQLite connection is closed");
    SqliteWatch* watch = sqlite_engine_watch(engine.get());
    if (!watch) return {};
    watch->cancelled.store(false);  // a cancellation of an earlier step is over: its worker let go
    switch (op) {
        case Op::Run: return run_step(con, engine.get(), text, args, mode, settle, trace, off_loop);
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

// --- the write gate around a step -----------------------------------------------------

// None when the step may run now, else an awaitable: its wait in line.
Ref gate_for(PyObject* con, Op op, PyObject* text) noexcept {
    if (op != Op::Run || !native_state(con) || !gated_text(text)) return borrow(Py_None);
    PyObject* engine = as_sqlite_con(con)->engine;
    if (engine && sqlite_engine_in_transaction(engine)) {
        gate_try(con);  // its locks may be what the holder waits for: no waiting in line
        return borrow(Py_None);
    }
    Ref entered = gate_enter(con);
    if (!entered || entered.get() == Py_None) return entered;
    return steal(gate_wait(con, std::move(entered)));
}

// Gives the gate back when the step leaves the connection outside a transaction.
class LeaveGateAfter {
public:
    explicit LeaveGateAfter(PyObject* con) noexcept : con_(con) {}
    LeaveGateAfter(const LeaveGateAfter&) = delete;
    LeaveGateAfter& operator=(const LeaveGateAfter&) = delete;
    ~LeaveGateAfter() {
        NativeSqliteState* state = native_state(con_);
        if (!state || !state->gate) return;
        PyObject* engine = as_sqlite_con(con_)->engine;
        if (!engine || !sqlite_engine_in_transaction(engine)) gate_leave(con_);
    }

private:
    PyObject* con_;
};

// The step, after its turn at the write gate, tried again while another
// connection's lock is in the way; its rest off the loop when it outlasts
// the loop's budget.
coro::Task step_task(Ref con, Op op, Ref text, Ref args, int mode, bool settle, std::shared_ptr<StatementTrace> trace,
                     Ref waiting = nullptr) {
    LeaveGateAfter leave(con.get());
    waiting = gate_for(con.get(), op, text.get());
    if (!waiting) co_return nullptr;
    if (waiting.get() != Py_None && !(co_await coro::await(waiting.get()))) co_return nullptr;
    Clock::time_point deadline{};
    double delay = kFirstPause;
    for (;;) {
        std::shared_ptr<StatementWork> work;
        Ref result = attempt(con.get(), op, text.get(), args.get(), mode, settle, trace, &work);
        if (work) {
            waiting = steal(offload(con.get(), work));
            result = co_await coro::await(waiting.get());
            if (!result && work->busy_noted) sqlite_engine_note_busy();  // the worker's note, for worth_retrying
        }
        if (result || !worth_retrying()) co_return result;
        Clock::time_point now = Clock::now();
        if (deadline == Clock::time_point{}) {
            std::chrono::duration<double> timeout(busy_timeout(sqlite_settings_of(con.get())));
            deadline = now + std::chrono::duration_cast<Clock::duration>(timeout);
        }
        if (now >= deadline) co_return nullptr;  // the lock's error stands
        PyErr_Clear();
        double left = std::chrono::duration<double>(deadline - now).count();
        waiting = co_await coro::await(pause(std::min(delay, left)));
        if (!waiting) co_return nullptr;  // cancelled: nothing of the step has run
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

// The connection's worker and gate; the gates' name of its database.
bool attach_state(PyObject* con, PyObject* engine) noexcept {
    auto* state = new (std::nothrow) NativeSqliteState;
    if (!state) {
        PyErr_NoMemory();
        return false;
    }
    try {
        state->database = sqlite_engine_filename(engine);
        if (state->database.empty()) {
            state->database = "memory:" + std::to_string(reinterpret_cast<std::uintptr_t>(as_sqlite_con(con)->connector));
        }
    } catch (...) {
        delete state;
        PyErr_NoMemory();
        return false;
    }
    as_sqlite_con(con)->native = state;
    return true;
}

// At close: the gate passed on, the line left, the worker retired (it ends
// after the work queued before).
void detach_state(PyObject* con) noexcept {
    NativeSqliteState* state = native_state(con);
    if (!state) return;
    gate_abandon(con);
    gate_leave(con);
    if (state->worker) {
        Ref pending = steal(PyErr_GetRaisedException());
        Py_XDECREF(retire(state->worker, false));
        PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    as_sqlite_con(con)->native = nullptr;
    delete state;
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
    if (!sqlite_engine_watch(engine.get()) || !attach_state(con.get(), engine.get())) {
        call_keeping_error(engine.get(), names.close);
        co_return nullptr;
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
    if (!sqlite_engine_in_transaction(engine)) {
        gate_leave(con);
        return true;
    }
    Ref rolled = call_method(engine, names.rollback);
    if (!rolled) PyErr_Clear();
    gate_leave(con);
    return static_cast<bool>(rolled);
}

void close_now(PyObject* con) noexcept {
    SqliteConnectionObject* c = as_sqlite_con(con);
    detach_state(con);
    if (!c->engine) return;
    Ref engine = steal(c->engine);
    c->engine = nullptr;
    call_keeping_error(engine.get(), names.close);
}

coro::Task close_task(Ref con) {
    detach_state(con.get());
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
