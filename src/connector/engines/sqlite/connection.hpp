// Internal declarations of the native SQLite engine (engines/sqlite/):
// the connection, its prepared statements and its cursors, on SQLite's C API.
//
// The GIL rule of the engine: it is released around sqlite3_open_v2 and
// sqlite3_close_v2, around a prepare that misses the statement cache, and
// around the FIRST sqlite3_step of each execution, where SQLite takes its
// file locks, waits out the busy timeout and reads the first pages. Later
// steps keep the GIL: releasing it around every step cost 11-13% CPU on a
// large SELECT, and a step after the first rarely blocks (it may still read
// a page from disk). A statement the asyncio driver finishes on a worker
// thread lets the GIL go every few steps too, so that the loop's thread
// gets to run while the worker builds rows (engines/sqlite/watch.hpp). While a thread is inside SQLite without the GIL, the
// connection's `unlocked` is set: another thread's close() is then deferred
// (every statement under way counts in `running`, and the last one to end
// closes), and any other use from another thread is refused, because the
// connection is opened without SQLite's own mutexes.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstring>

#include "core/engines.hpp"
#include "engines/sqlite/watch.hpp"

namespace tsy::db::sqlite {

// One prepared statement and what every execution of it reads. Kept in its
// connection's cache, or made for one use when the cached one is busy.
struct ConnectionObject;

struct StatementObject {
    PyObject_HEAD
    sqlite3_stmt* stmt;     // NULL for a text without a statement ("", a comment)
    // Its connection (borrowed: the cache, a cursor or a run that holds the
    // statement holds the connection too).
    ConnectionObject* owner;
    PyObject* description;  // cursor.description: None, or 7-tuples named by the columns; made on first use
    int columns;            // the column count `description` was made for
    int prepared_as;        // the statement's re-prepare count when `description` was made
    bool is_dml;            // statement_writes: its rowcount is sqlite3_changes
    bool in_use;            // an execution (a cursor between fetches) is stepping it
};

struct ConnectionObject {
    PyObject_HEAD
    sqlite3* db;            // NULL once closed
    PyObject* statements;   // dict: statement text -> StatementObject (the cache), NULL once closed
    PyObject* weakrefs;
    int busy_timeout_ms;    // how long a lock is waited for under the Wait busy policy
    int running;            // statements under way on the connection, any thread
    bool unlocked;          // a thread is inside SQLite without the GIL
    bool close_pending;     // close() came while `running`: the last statement to end closes
    // Made by the asyncio driver's first use (engines/sqlite/watch.cpp),
    // freed with the connection object; NULL otherwise.
    SqliteWatch* watch;
};

struct CursorObject {
    PyObject_HEAD
    PyObject* connection;   // ConnectionObject
    PyObject* statement;    // StatementObject standing on a row not fetched yet, or NULL
    PyObject* args;         // the arguments bound to `statement` (its text and blobs are read in place)
    PyObject* description;
    PyObject* lastrowid;
    PyObject* weakrefs;
    Py_ssize_t rowcount;
    Py_ssize_t arraysize;
    bool closed;
    bool busy;              // one of its methods is running (a finaliser may call back into it)
};

extern PyTypeObject StatementType;
extern PyTypeObject CursorType;

inline ConnectionObject* as_connection(PyObject* obj) noexcept { return reinterpret_cast<ConnectionObject*>(obj); }
inline StatementObject* as_statement(PyObject* obj) noexcept { return reinterpret_cast<StatementObject*>(obj); }
inline CursorObject* as_cursor(PyObject* obj) noexcept { return reinterpret_cast<CursorObject*>(obj); }

// --- errors (engines/sqlite/errors.cpp) ------------------------------------------

// Imports the sqlite3 module's exception classes; part of the module's import.
int ready_errors() noexcept;
// Raises the class the sqlite3 module raises for `code` with `message`, and
// its attributes sqlite_errorcode (the extended code) and sqlite_errorname.
Failure raise_code(int code, const char* message) noexcept;
// The same for the last error of `db`.
Failure raise_from(sqlite3* db) noexcept;
// sqlite3.ProgrammingError / OperationalError with a text of ours.
Failure programming_error(const char* message) noexcept;
PyObject* operational_error_class() noexcept;
PyObject* programming_error_class() noexcept;
// "Cannot operate on a closed database."
Failure closed_database() noexcept;

// --- values (engines/sqlite/bind.cpp) --------------------------------------------

// The arguments as they are bound: a tuple (a list or other sequence
// copied, so that nothing bound in place can go while the statement holds
// it), or None for none. sqlite3.ProgrammingError for a mapping or a
// non-sequence.
Ref stable_arguments(PyObject* args) noexcept;
// Binds `args` (a tuple from stable_arguments, or NULL/None) to the
// statement's parameters. Text and bytes are bound in place: the caller keeps
// `args` alive until the statement is reset. -1 with sqlite3's own errors.
int bind_arguments(sqlite3_stmt* stmt, PyObject* args) noexcept;
// The current row of `stmt` as a tuple of `n` values (new ref).
PyObject* row_tuple(sqlite3_stmt* stmt, int n) noexcept;

// --- statements (engines/sqlite/statements.cpp) ------------------------------------

// The connection's statement for `text`, marked in use (new ref): the cached
// one, or a new one (cached when the text is new). A cached one in use by a
// cursor gives a fresh one. NULL with the error set (a syntax error, more
// than one statement in the text).
Ref acquire_statement(ConnectionObject* c, PyObject* text) noexcept;
// Resets the statement, clears its bindings and gives it back to the cache.
void release_statement(StatementObject* s) noexcept;
// cursor.description for the statement's columns (borrowed; None for none).
// Made again after a step that re-prepared the statement for a changed
// schema, so it is asked for after the first step of an execution.
PyObject* statement_description(StatementObject* s) noexcept;
// The dict of a new connection's cache, NULL with the error set.
PyObject* new_statement_cache() noexcept;

// --- what a statement is (engines/sqlite/policy.cpp) ---------------------------------

// INSERT, UPDATE, DELETE or REPLACE after blanks and comments: the
// statements whose changes count in rowcount, and before which sqlite3's
// default transaction handling begins a transaction.
bool statement_writes(const char* sql) noexcept;

// The UTF-8 text of `size` octets has a NUL before its end. SQLite would stop
// reading there and take the rest for an empty tail, running the statement
// cut short, so such a text is refused before anything runs.
inline bool has_inner_nul(const char* sql, Py_ssize_t size) noexcept {
    return std::strlen(sql) != static_cast<size_t>(size);
}

// --- the connection (engines/sqlite/connection.cpp) -------------------------------------------

// The connection is open and no other thread is inside SQLite on it; else
// false with sqlite3.ProgrammingError set.
bool usable(ConnectionObject* c) noexcept;
// sqlite3_step; the first step of an execution releases the GIL (see above).
int first_step(ConnectionObject* c, sqlite3_stmt* stmt) noexcept;
// Closes the connection now; keeps a pending error.
void close_now(ConnectionObject* c) noexcept;

// Counts a statement under way on the connection; the last one to end runs a
// close() that came meanwhile from another thread.
class Running {
public:
    explicit Running(ConnectionObject* c) noexcept : c_(c) { ++c_->running; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() {
        if (--c_->running == 0 && c_->close_pending) close_now(c_);
    }

private:
    ConnectionObject* c_;
};

// Gives the statement back however the execution ends.
class InUse {
public:
    InUse() noexcept = default;
    explicit InUse(Ref statement) noexcept : s_(std::move(statement)) {}
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    ~InUse() {
        if (s_) release_statement(as_statement(s_.get()));
    }
    void take(Ref statement) noexcept { s_ = std::move(statement); }
    StatementObject* get() const noexcept { return as_statement(s_.get()); }

private:
    Ref s_;
};

// One execution of a statement: run to its end at once, or paused at a row
// boundary and finished later, maybe on another thread (one thread at a
// time, with the GIL held). It keeps the connection, its arguments and its
// statement until it is destroyed.
class Execution {
public:
    using Clock = std::chrono::steady_clock;
    Execution(ConnectionObject* c, int mode) noexcept
        : held_(borrow(reinterpret_cast<PyObject*>(c))), running_(c), c_(c), mode_(mode) {}
    // Binds `args` to the statement of `text`; -1 with the error set.
    int start(PyObject* text, PyObject* args) noexcept;
    // Steps on to the end (1), or until `deadline` has passed at a row
    // boundary (0, the rows so far kept); -1 with the error set.
    int advance(const Clock::time_point* deadline) noexcept;
    // The result by RunMode once advance() gave 1; `rowcount` is then
    // sqlite3_changes for a DML statement, -1 for others.
    PyObject* result() noexcept;
    Py_ssize_t rowcount = -1;

private:
    int step() noexcept;

    Ref held_;
    Running running_;
    ConnectionObject* c_;
    Ref bound_;
    InUse statement_;
    Ref rows_;
    int mode_;
    int columns_ = 0;
    unsigned rows_since_release_ = 0;
    bool started_ = false;
};

// Runs one statement to its end: the result by RunMode; `rowcount` gets
// sqlite3_changes for a DML statement, -1 for others.
PyObject* run_statement(ConnectionObject* c, PyObject* text, PyObject* args, int mode, Py_ssize_t* rowcount) noexcept;

// --- cursors (engines/sqlite/cursor.cpp) -------------------------------------------

// A new cursor of the connection (new ref).
PyObject* new_cursor(PyObject* connection) noexcept;
// cursor.execute(sql, parameters) / cursor.executemany(sql, seq_of_parameters):
// the cursor (new ref) or NULL.
PyObject* cursor_execute(PyObject* cursor, PyObject* sql, PyObject* parameters) noexcept;
PyObject* cursor_executemany(PyObject* cursor, PyObject* sql, PyObject* seq_of_parameters) noexcept;
int ready_cursor() noexcept;

}  // namespace tsy::db::sqlite
