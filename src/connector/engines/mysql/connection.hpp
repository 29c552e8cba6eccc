// The synchronous MariaDB connection of the native engine (engines/mysql/connection.cpp)
// and its cursors (engines/mysql/cursor.cpp).
//
// A MYSQL handle must never be used by two threads at once, and its calls
// run without the GIL, so another Python thread can reach the same object
// meanwhile (an application sharing getCon()'s connection): every call
// claims the handle first (`busy`) and a second caller gets
// ProgrammingError at once instead of corrupting the protocol. An
// unbuffered cursor's open result holds the handle too, until it is read to
// its end or closed. close() from another thread while a call runs is
// deferred until that call ends.
#pragma once

#include <string>

#include "core/engines.hpp"
#include "engines/mysql/protocol.hpp"

namespace tsy::db {

struct MysqlPreparedCache;  // mysql_engine_prepared.cpp

struct MysqlConnectionObject {
    PyObject_HEAD
    MYSQL* handle;             // NULL: closed, or never connected
    MysqlSettings* settings;   // NULL until __init__ has run: not initialised
    const char* encoding;      // Python codec of the character set (NULL: UTF-8); points into `settings`
    PyObject* server_version;  // str of the last connection, kept after close (pymysql keeps it)
    MYSQL_RES* stream;         // the unbuffered result `stream_owner` reads, or NULL
    PyObject* stream_owner;    // that cursor (borrowed: it lets go before it goes)
    unsigned long long insert_id;  // of the last statement
    unsigned long long affected;   // rows of the last statement
    int had_result;            // the last statement returned rows (insert_id() is None then)
    MysqlPreparedCache* prepared;  // the handle's prepared INSERTs, or NULL
    int busy;                  // a call is under way (its library calls without the GIL)
    unsigned long busy_thread; // the thread making that call
    int close_pending;         // close() came from another thread during that call
    long long call_started;    // steady-clock ns when that call began: a lost connection past a timeout says so
};

inline MysqlConnectionObject* as_mysql(PyObject* obj) noexcept { return reinterpret_cast<MysqlConnectionObject*>(obj); }

bool mysql_connection_ready(PyObject* obj) noexcept;

// Runs `f` with the GIL released.
template <typename F>
inline void without_gil(F&& f) {
    PyThreadState* saved = PyEval_SaveThread();
    f();
    PyEval_RestoreThread(saved);
}

// Takes the handle for one call: pymysql's InterfaceError(0, "") when the
// connection is closed, ProgrammingError when another call or another
// cursor's unbuffered result holds it. `owner` is the cursor asking, whose
// own unbuffered result does not count.
bool claim_handle(MysqlConnectionObject* c, PyObject* owner = nullptr) noexcept;
// Marks the handle taken by a call of the calling thread, from now.
void mark_busy(MysqlConnectionObject* c) noexcept;
// Ends the call; a close() deferred meanwhile happens now.
void release_handle(MysqlConnectionObject* c) noexcept;

class HandleClaim {
public:
    explicit HandleClaim(MysqlConnectionObject* c, PyObject* owner = nullptr) noexcept
        : c_(claim_handle(c, owner) ? c : nullptr) {}
    HandleClaim(const HandleClaim&) = delete;
    HandleClaim& operator=(const HandleClaim&) = delete;
    ~HandleClaim() {
        if (c_) release_handle(c_);
    }
    explicit operator bool() const noexcept { return c_ != nullptr; }

private:
    MysqlConnectionObject* c_;
};

// After a failed library call on the handle: sets pymysql's exception for
// its error, and closes the connection when the error says it is gone, so
// that `open` is False and the connector opens a new one. A connection lost
// after the call waited as long as its read (or write) timeout allows has
// timed out: its OperationalError says so.
void handle_failed(MysqlConnectionObject* c) noexcept;

// Closes the handle now (an open unbuffered result is dropped unread). The
// caller holds no claim. Keeps a pending error.
void close_handle(MysqlConnectionObject* c) noexcept;

using mysql::QueryOutcome;

// Runs `op` (made blocking, on the handle of a claim or of no object yet) to
// its end with the GIL released. false when it could not be made (MemoryError set).
bool run_blocking(mysql::Steps op) noexcept;

// A blocking session on `m`.
inline mysql::Session blocking(MYSQL* m) noexcept { return mysql::Session{m, true}; }

// Sends `sql` on a claimed handle and reads its first result. The further
// results of a multi-result statement (a CALL) are read and dropped, at once
// for a stored result, when the stream ends for an unbuffered one. false
// with the error set (handle_failed).
bool run_query(MysqlConnectionObject* c, const std::string& sql, bool unbuffered, QueryOutcome& out) noexcept;

// A connector's INSERT asking for its key, through a prepared statement of
// the handle (claimed): 1 done (`out` has the key and count), 0 when it is
// not one the binary protocol takes (run it as text), -1 with the error set.
int run_prepared_insert(MysqlConnectionObject* c, PyObject* text, PyObject* args, QueryOutcome& out);
// Closes the handle's prepared statements (before the handle itself closes).
void forget_prepared(MysqlConnectionObject* c) noexcept;

// Reads and drops the results that follow the last one read; false with the error set.
bool drop_more_results(MysqlConnectionObject* c) noexcept;

// Tessary.DB.Connector.MysqlCursor: the connection's cursor(); buffered,
// or unbuffered when made with pymysql.cursors.SSCursor.
extern PyTypeObject MysqlCursorType;
PyObject* new_mysql_cursor(PyObject* connection, bool unbuffered) noexcept;
// The connection's unbuffered result is let go: what is left of it is read
// and dropped (nothing when the cursor read it to its end), then the
// statement's further results. Claims the handle itself. false with the error set.
bool end_stream(MysqlConnectionObject* c) noexcept;
int ready_mysql_cursor() noexcept;

}  // namespace tsy::db
