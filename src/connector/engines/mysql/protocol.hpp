// The operations both MariaDB connections perform (connect, run a statement
// and drain its further results, end an unbuffered result, commit, close,
// ...), each written once as a sequence of Connector/C calls
// (engines/mysql/protocol.cpp), and what they leave as Python values.
//
// An operation is a `Steps` coroutine. Run blocking (Session::blocking),
// every library call is the library's blocking one and the operation runs to
// its end at once: the synchronous connection does so with the GIL released
// (an operation touches no Python object). Run non-blocking, every call is
// the X_start/X_cont pair of MYSQL_OPT_NONBLOCK: start() and resume() return
// the MYSQL_WAIT_* mask the operation waits for (0 once it is complete), and
// the event loop's driver (engines/mysql/nonblocking.cpp) resumes it with the
// events that came.
#pragma once

#include <coroutine>
#include <exception>
#include <string_view>

#include "engines/mysql/engine.hpp"

namespace tsy::db::mysql {

// The handle an operation runs on, and how its calls wait.
struct Session {
    MYSQL* m;
    bool blocking;
};

// A library call suspended half-way, resumed with the events it waited for.
class PendingCall {
public:
    virtual int resume(int events) noexcept = 0;

protected:
    ~PendingCall() = default;
};

class [[nodiscard]] Steps {
public:
    struct promise_type {
        PendingCall* pending = nullptr;
        int waiting = 0;
        Steps get_return_object() noexcept { return Steps(Handle::from_promise(*this)); }
        // A frame that cannot be allocated gives an empty Steps (operator bool).
        static Steps get_return_object_on_allocation_failure() noexcept { return Steps(); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }  // operations are noexcept
    };
    using Handle = std::coroutine_handle<promise_type>;

    Steps() noexcept = default;
    Steps(Steps&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
    Steps& operator=(Steps&& other) noexcept;
    Steps(const Steps&) = delete;
    Steps& operator=(const Steps&) = delete;
    ~Steps();

    explicit operator bool() const noexcept { return static_cast<bool>(h_); }
    bool done() const noexcept { return !h_ || h_.done(); }

    // Runs until the first wait: 0 once complete, else the MYSQL_WAIT_* mask.
    int start() noexcept;
    // Resumes the call in flight with `events`: 0 once complete, else what it waits for next.
    int resume(int events) noexcept;

private:
    explicit Steps(Handle h) noexcept : h_(h) {}
    int advance() noexcept;
    Handle h_;
};

// What one statement left: its first result (stored, or open for reading
// when unbuffered; NULL without rows) and its counts.
struct QueryOutcome {
    MYSQL_RES* res = nullptr;
    unsigned field_count = 0;
    unsigned long long affected = 0;
    unsigned long long insert_id = 0;
    bool failed = false;
};

// Connects the mysql_init'ed, optioned handle of `s` with `settings`; then
// the autocommit mode is sent when the server's differs from the one asked
// for (pymysql's rule; autocommit=None keeps the server's).
struct ConnectOutcome {
    bool connected = false;  // the connection itself was made (a later failure is the autocommit's)
    bool failed = false;
};
Steps connect(Session s, const MysqlSettings& settings, ConnectOutcome& out) noexcept;
// The exception of a failed connect: pymysql's OperationalError(2003, "Can't
// connect to MySQL server on 'host' (why)") for a server out of reach, the
// server's own refusal (1045, 1049, ...) as it is.
void set_connect_error(MYSQL* m, const MysqlSettings& settings, const ConnectOutcome& out) noexcept;
// OperationalError(2003, "Can't connect to MySQL server on 'host' (timed out:
// connectTimeout=<seconds> s)"): the server did not let the connect finish in time.
void set_connect_timeout_error(const MysqlSettings& settings, double seconds) noexcept;

// Sends `sql` and reads its first result (stored, or opened for reading when
// `unbuffered`). The further results of a multi-result statement (a CALL)
// are read and dropped, at once unless an unbuffered result is left open
// (they follow its end: end_stream). `sql` must outlive the operation.
Steps statement(Session s, std::string_view sql, bool unbuffered, QueryOutcome& out) noexcept;
// Reads and drops the results that follow the last one read.
Steps drain(Session s, bool& failed) noexcept;
// Frees an unbuffered result (which reads what the server still sends of
// it: the protocol cannot stop it), then drains the statement's further results.
Steps end_stream(Session s, MYSQL_RES* res, bool& failed) noexcept;

enum class Command { Begin, Commit, Rollback, Ping, AutocommitOn, AutocommitOff };
Steps command(Session s, Command which, bool& failed) noexcept;
// Says goodbye and frees the handle.
Steps close(Session s) noexcept;

// Whether the server says the session is in autocommit mode.
bool server_autocommit(MYSQL* m) noexcept;

// After a failed operation: sets pymysql's exception for the handle's error
// and answers whether the connection is gone (the error says so, or the
// library has closed its socket) and must not serve again.
bool set_failure(MYSQL* m) noexcept;

// pymysql's lastrowid: None after a statement with rows, else the key (0 for none). New ref.
PyObject* insert_id_value(const QueryOutcome& r) noexcept;
// A connector's statement's answer by RunMode: its rows (a list of tuples,
// text decoded with `encoding`, NULL for UTF-8), its key, or None. New ref.
PyObject* run_result(const QueryOutcome& r, int mode, const char* encoding) noexcept;
// A cursor's view of a statement: (rows list or None, description,
// rowcount, lastrowid) as aiomysql's buffered cursor keeps them. New ref.
PyObject* cursor_result(const QueryOutcome& r, const char* encoding) noexcept;
// The Python codec of the handle's character set (NULL for UTF-8).
const char* handle_encoding(MYSQL* m) noexcept;

}  // namespace tsy::db::mysql
