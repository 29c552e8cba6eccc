// The engine's side of keeping the event loop free (engines/sqlite/watch.hpp):
// the progress handler that stops a step past the loop's budget or after a
// cancellation, and statements paused at a row boundary.
#include "engines/sqlite/connection.hpp"

namespace tsy::db {

using sqlite::ConnectionObject;
using sqlite::Execution;
using sqlite::as_connection;

struct SqliteRun {
    SqliteRun(ConnectionObject* c, int mode, PyObject* text, StatementTrace* trace) noexcept
        : execution(c, mode), text(borrow(text)), trace(trace) {}
    Execution execution;
    Ref text;
    StatementTrace* trace;  // owned by the caller, who keeps it while the run lives
};

namespace {

// SQLite calls it every kProgressPeriod virtual machine instructions (some
// tens of microseconds): a clock read each time costs nothing measurable.
constexpr int kProgressPeriod = 1000;

int on_progress(void* arg) noexcept {
    auto* watch = static_cast<SqliteWatch*>(arg);
    if (watch->cancelled.load(std::memory_order_relaxed)) return 1;
    if (!watch->budgeted || ++watch->progress_calls < kBudgetMinProgressCalls) return 0;
    if (SqliteWatch::Clock::now() < watch->deadline) return 0;
    // Stopped, the statement would be run again from its start: sound only
    // when SQLite undoes all of it (see watch.hpp).
    if (!watch->readonly && !watch->began_outside) return 0;
    watch->overran = true;
    return 1;
}

ConnectionObject* native_open(PyObject* conn) noexcept {
    if (!is_native_sqlite(conn)) {
        expected_kind("SqliteConnection", conn);
        return nullptr;
    }
    ConnectionObject* c = as_connection(conn);
    return sqlite::usable(c) ? c : nullptr;
}

// Ends a run's trace with its outcome.
PyObject* traced(SqliteRun& run, PyObject* result) noexcept {
    if (run.trace) {
        run.trace->stop(run.text.get(), nullptr);
        if (result) run.trace->rowcount = run.execution.rowcount;
    }
    return result;
}

}  // namespace

SqliteWatch* sqlite_engine_watch(PyObject* conn) noexcept {
    ConnectionObject* c = native_open(conn);
    if (!c) return nullptr;
    if (c->watch) return c->watch;
    c->watch = new (std::nothrow) SqliteWatch;
    if (!c->watch) {
        PyErr_NoMemory();
        return nullptr;
    }
    sqlite3_progress_handler(c->db, kProgressPeriod, on_progress, c->watch);
    return c->watch;
}

PyObject* sqlite_engine_run_budgeted(PyObject* conn, PyObject* text, PyObject* args, int mode,
                                     StatementTrace* trace, PausedRun* paused) noexcept {
    if (!PyUnicode_Check(text)) return wrong_arg_type("sql", &PyUnicode_Type, text);
    ConnectionObject* c = native_open(conn);
    if (!c) return nullptr;
    if (!c->watch) return fail(PyExc_SystemError, "the SQLite connection is not watched");
    PausedRun run;
    try {
        run = std::make_shared<SqliteRun>(c, mode, text, trace);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (trace) trace->start();
    if (run->execution.start(text, args) < 0) return traced(*run, nullptr);
    int done = run->execution.advance(c->watch->budgeted ? &c->watch->deadline : nullptr);
    if (done < 0) return traced(*run, nullptr);
    if (done == 0) {
        *paused = std::move(run);
        return nullptr;
    }
    return traced(*run, run->execution.result());
}

PyObject* sqlite_engine_finish(const PausedRun& paused) noexcept {
    SqliteRun& run = *paused;
    if (run.execution.advance(nullptr) < 0) return traced(run, nullptr);
    return traced(run, run.execution.result());
}

void sqlite_engine_interrupt(PyObject* conn) noexcept {
    if (!is_native_sqlite(conn)) return;
    ConnectionObject* c = as_connection(conn);
    if (c->watch) c->watch->cancelled.store(true);
    // Safe from any thread while the handle is open; it closes only on the
    // thread that holds the GIL, as this one does.
    if (c->db) sqlite3_interrupt(c->db);
}

const char* sqlite_engine_filename(PyObject* conn) noexcept {
    if (!is_native_sqlite(conn) || !as_connection(conn)->db) return "";
    const char* name = sqlite3_db_filename(as_connection(conn)->db, "main");
    return name ? name : "";
}

}  // namespace tsy::db
