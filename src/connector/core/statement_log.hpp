// The statement log (core/statement_log.cpp): each statement a connector sends,
// as a DEBUG record of the logger "Tessary.sql".
//
// A statement path asks `statement_log_on()` once (one dictionary lookup
// while the logger is off); only then does anything read the clock, count
// rows or build a record.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "tessary/py.hpp"

namespace tsy::db {

// What the driver side learns about one statement while it runs: filled by
// run_on() (on the caller's thread, or on an SQLite worker thread with the
// GIL held), read by log_statement() on the thread that logs.
struct StatementTrace {
    bool on = false;                  // the log takes the statement: measure it
    Ref sql;                          // the text as handed to the driver (empty: it never got there)
    std::int64_t elapsed_ns = -1;     // execute and fetch in the driver; -1: not measured
    Py_ssize_t rowcount = -1;         // the cursor's rowcount; -1 when the driver does not tell
    Py_ssize_t rows_read = -1;        // rows a stream read batch by batch; -1: the result's own length
    int server = -1;                  // where it ran: 0 the primary, n replica n; -1: a connector without replicas
    std::chrono::steady_clock::time_point started{};

    void start() noexcept {
        if (on) started = std::chrono::steady_clock::now();
    }
    // Ends the measure; `cursor` (may be NULL) tells the rowcount.
    void stop(PyObject* text, PyObject* cursor) noexcept;
};

// Whether the logger "Tessary.sql" takes DEBUG records now. Never fails: a
// logger that cannot answer counts as off (its error is reported as
// unraisable, the statement goes on).
bool statement_log_on() noexcept;

// A trace for a statement that is about to run (`on` by the check above).
inline StatementTrace new_trace() noexcept {
    StatementTrace t;
    t.on = statement_log_on();
    return t;
}
// The same, shared with a worker thread or coroutine frames; empty when the log is off.
std::shared_ptr<StatementTrace> new_shared_trace() noexcept;

// Writes the record of a statement that has ended, when `trace.on`.
// `statement` is the "%s" text the connector was given, `params` its
// arguments, `mode` the RunMode, `result` the result (NULL: it failed with
// the pending error, which stays pending). Returns `result` (owned) as it is.
PyObject* log_statement(const StatementTrace& trace, PyObject* statement, PyObject* params, int mode,
                        PyObject* result) noexcept;

// Writes the one record of a statement whose rows were read over time (a
// stream of iterAllBy) once it has ended: `rows` read in `elapsed_ns` since
// it was sent; failed with the pending error when one is set, which stays
// pending. The caller asked statement_log_on() as the statement started.
void log_stream(PyObject* statement, PyObject* sql, PyObject* params, std::int64_t elapsed_ns,
                Py_ssize_t rows) noexcept;

// Awaitable: awaits `pending` (a statement's awaitable) and then writes its
// record. `trace` must be non-empty.
PyObject* logged_awaitable(Ref pending, std::shared_ptr<StatementTrace> trace, PyObject* statement, PyObject* params,
                           int mode) noexcept;

// The statements of transaction blocks, logged like the others: a driver
// call that stands for one (con.begin(), con.commit(), con.rollback()),
// recorded as `text`; the same for a call whose result is awaited; and a
// text without arguments run on `con` (BEGIN, SAVEPOINT ...). New references.
PyObject* logged_call(PyObject* con, PyObject* method, PyObject* text) noexcept;
PyObject* logged_call_awaitable(PyObject* con, PyObject* method, PyObject* text) noexcept;
PyObject* logged_run_on(PyObject* con, PyObject* text) noexcept;

// Caches the logger; part of the module's import.
int ready_statement_log() noexcept;

}  // namespace tsy::db
