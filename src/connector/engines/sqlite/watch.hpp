// What the asyncio driver asks of the native engine so that a statement
// never holds the event loop for long (aio/sqlite_native_driver.cpp):
//
// - A watch on a connection (sqlite3_progress_handler): while a statement
//   runs on the loop with a budget, a single step that outlasts it is
//   stopped (SQLITE_INTERRUPT) when running the statement again elsewhere is
//   sound -- a read-only statement, or any statement begun outside a
//   transaction, whose interruption SQLite undoes entirely. A statement that
//   writes inside a transaction is never stopped for the budget: SQLite
//   answers its interruption by rolling the whole transaction back.
// - A statement that spends its budget between two rows is paused there and
//   finished elsewhere (a worker thread) as the same execution: nothing is
//   run twice.
// - A cancelled statement is stopped wherever it runs (the watch's
//   `cancelled`, read by the progress handler, and sqlite3_interrupt).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "core/engines.hpp"

namespace tsy::db {

struct SqliteWatch {
    using Clock = std::chrono::steady_clock;
    // Set by the loop's thread while a worker runs the connection's statement.
    std::atomic<bool> cancelled{false};
    // The statement runs on the loop until `deadline`; off: no budget.
    bool budgeted = false;
    Clock::time_point deadline{};
    // The statement began outside a transaction: stopping it undoes all it did.
    bool began_outside = false;
    // Of the statement stepping, set at its first step.
    bool readonly = false;
    // Set when the progress handler stopped a step for the budget.
    bool overran = false;
    // Calls of the progress handler since the budget was set.
    unsigned progress_calls = 0;
    // The statement runs on a worker: the GIL is let go between its steps
    // now and then, so that the loop's thread gets to run.
    bool off_loop = false;
};

// The budget is spent when its time has passed AND the statement has done
// some real work meanwhile (so many virtual machine instructions, or so many
// rows): a short statement whose thread the system merely set aside for a
// while stays on the loop, where it costs least.
constexpr unsigned kBudgetMinProgressCalls = 8;  // of the progress handler, one per 1000 instructions
constexpr unsigned kBudgetMinRows = 64;

// A statement paused at a row boundary; finished (or dropped) with the GIL held.
struct SqliteRun;
using PausedRun = std::shared_ptr<SqliteRun>;

// The connection's watch, made and installed on first call; it lives as long
// as the connection object. NULL with the error set for a closed or foreign
// connection.
SqliteWatch* sqlite_engine_watch(PyObject* conn) noexcept;
// sqlite_engine_run on a watched connection within its budget: the result;
// NULL with the error set; or NULL with no error and `*paused` set: the
// statement stands past its budget at a row boundary, to be finished by
// sqlite_engine_finish (on one thread at a time).
PyObject* sqlite_engine_run_budgeted(PyObject* conn, PyObject* text, PyObject* args, int mode,
                                     StatementTrace* trace, PausedRun* paused) noexcept;
// Runs a paused statement to its end and gives its result (NULL: error).
PyObject* sqlite_engine_finish(const PausedRun& paused) noexcept;
// Stops the connection's running statement, from any thread.
void sqlite_engine_interrupt(PyObject* conn) noexcept;
// Records, on the calling thread, that SQLite asked to wait for a lock (a
// worker hands its note over to the loop's thread).
void sqlite_engine_note_busy() noexcept;
// The path of the main database file, or "" for an in-memory or temporary one.
const char* sqlite_engine_filename(PyObject* conn) noexcept;

}  // namespace tsy::db
