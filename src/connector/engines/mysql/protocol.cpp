// The MariaDB operations written once for both connections (see
// protocol.hpp): the library calls, each with its blocking form and its
// X_start/X_cont pair, the operations as sequences of them, and what a
// finished one means to Python.
//
// Each co_await stands as a statement of its own, its value kept in a local
// before any test of it: GCC 12 miscompiles a co_await inside an if's
// condition whose branch co_returns (the coroutine never starts).
#include "engines/mysql/protocol.hpp"

#include <errmsg.h>

#include <cstring>

#include "core/connector.hpp"

namespace tsy::db::mysql {

// --- Steps -----------------------------------------------------------------------------

Steps& Steps::operator=(Steps&& other) noexcept {
    if (this != &other) {
        if (h_) h_.destroy();
        h_ = other.h_;
        other.h_ = nullptr;
    }
    return *this;
}

Steps::~Steps() {
    if (h_) h_.destroy();
}

int Steps::advance() noexcept {
    h_.promise().waiting = 0;
    h_.resume();
    return h_.done() ? 0 : h_.promise().waiting;
}

int Steps::start() noexcept { return h_ ? advance() : 0; }

int Steps::resume(int events) noexcept {
    if (done()) return 0;
    promise_type& p = h_.promise();
    int status = p.pending->resume(events);
    if (status != 0) return p.waiting = status;
    p.pending = nullptr;
    return advance();
}

namespace {

// --- the library calls -------------------------------------------------------------------
//
// Each call: block(m) runs the blocking function, start(m)/resume(m, events)
// the non-blocking pair; `ret` is the function's result.

struct ConnectCall {
    const MysqlSettings* s;
    MYSQL* ret = nullptr;
    // A socket path is used whatever the host says, as pymysql does: the
    // library takes the socket only for "localhost".
    const char* host() const noexcept { return s->has_socket ? "localhost" : s->host.c_str(); }
    const char* user() const noexcept { return s->has_user ? s->user.c_str() : nullptr; }
    const char* database() const noexcept { return s->has_database ? s->database.c_str() : nullptr; }
    const char* socket() const noexcept { return s->has_socket ? s->unix_socket.c_str() : nullptr; }
    void block(MYSQL* m) noexcept {
        ret = mysql_real_connect(m, host(), user(), s->password.c_str(), database(), s->port, socket(),
                                 s->client_flag);
    }
    int start(MYSQL* m) noexcept {
        return mysql_real_connect_start(&ret, m, host(), user(), s->password.c_str(), database(), s->port, socket(),
                                        s->client_flag);
    }
    int resume(MYSQL* m, int events) noexcept { return mysql_real_connect_cont(&ret, m, events); }
};

struct QueryCall {
    std::string_view sql;
    int ret = 0;
    void block(MYSQL* m) noexcept { ret = mysql_real_query(m, sql.data(), sql.size()); }
    int start(MYSQL* m) noexcept { return mysql_real_query_start(&ret, m, sql.data(), sql.size()); }
    int resume(MYSQL* m, int events) noexcept { return mysql_real_query_cont(&ret, m, events); }
};

struct StoreCall {
    MYSQL_RES* ret = nullptr;
    void block(MYSQL* m) noexcept { ret = mysql_store_result(m); }
    int start(MYSQL* m) noexcept { return mysql_store_result_start(&ret, m); }
    int resume(MYSQL* m, int events) noexcept { return mysql_store_result_cont(&ret, m, events); }
};

struct NextResultCall {
    int ret = 0;
    void block(MYSQL* m) noexcept { ret = mysql_next_result(m); }
    int start(MYSQL* m) noexcept { return mysql_next_result_start(&ret, m); }
    int resume(MYSQL* m, int events) noexcept { return mysql_next_result_cont(&ret, m, events); }
};

struct FreeResultCall {
    MYSQL_RES* res;
    void block(MYSQL*) noexcept { mysql_free_result(res); }
    int start(MYSQL*) noexcept { return mysql_free_result_start(res); }
    int resume(MYSQL*, int events) noexcept { return mysql_free_result_cont(res, events); }
};

// The calls whose result is a failure flag (non-zero: failed).
template <auto Block, auto Start, auto Cont, typename Ret>
struct FlagCall {
    Ret ret = 0;
    void block(MYSQL* m) noexcept { ret = Block(m); }
    int start(MYSQL* m) noexcept { return Start(&ret, m); }
    int resume(MYSQL* m, int events) noexcept { return Cont(&ret, m, events); }
};
using CommitCall = FlagCall<mysql_commit, mysql_commit_start, mysql_commit_cont, my_bool>;
using RollbackCall = FlagCall<mysql_rollback, mysql_rollback_start, mysql_rollback_cont, my_bool>;
using PingCall = FlagCall<mysql_ping, mysql_ping_start, mysql_ping_cont, int>;

struct AutocommitCall {
    my_bool on;
    my_bool ret = 0;
    void block(MYSQL* m) noexcept { ret = mysql_autocommit(m, on); }
    int start(MYSQL* m) noexcept { return mysql_autocommit_start(&ret, m, on); }
    int resume(MYSQL* m, int events) noexcept { return mysql_autocommit_cont(&ret, m, events); }
};

struct CloseCall {
    void block(MYSQL* m) noexcept { mysql_close(m); }
    int start(MYSQL* m) noexcept { return mysql_close_start(m); }
    int resume(MYSQL* m, int events) noexcept { return mysql_close_cont(m, events); }
};

// `co_await perform(s, call)`: the call made the session's way. Suspended
// only when a non-blocking call waits; its value is the finished call.
template <typename Call>
class Perform final : public PendingCall {
public:
    Perform(Session s, Call call) noexcept : s_(s), call_(call) {}
    bool await_ready() noexcept {
        if (s_.blocking) {
            call_.block(s_.m);
            return true;
        }
        return (status_ = call_.start(s_.m)) == 0;
    }
    void await_suspend(Steps::Handle h) noexcept {
        h.promise().pending = this;
        h.promise().waiting = status_;
    }
    const Call& await_resume() const noexcept { return call_; }
    int resume(int events) noexcept override { return call_.resume(s_.m, events); }

private:
    Session s_;
    Call call_;
    int status_ = 0;
};

template <typename Call>
Perform<Call> perform(Session s, Call call) noexcept {
    return Perform<Call>(s, call);
}

// `co_await run_within(inner)`: an operation as one step of another, on the same session.
class Within final : public PendingCall {
public:
    explicit Within(Steps& inner) noexcept : inner_(inner) {}
    bool await_ready() noexcept { return (status_ = inner_.start()) == 0; }
    void await_suspend(Steps::Handle h) noexcept {
        h.promise().pending = this;
        h.promise().waiting = status_;
    }
    void await_resume() const noexcept {}
    int resume(int events) noexcept override { return inner_.resume(events); }

private:
    Steps& inner_;
    int status_ = 0;
};

// Every result after the current one, read and freed; `failed` at the first that fails.
Steps drain_results(Session s, bool& failed) noexcept {
    while (mysql_more_results(s.m)) {
        int next = (co_await perform(s, NextResultCall{})).ret;
        if (next > 0) {
            failed = true;
            co_return;
        }
        MYSQL_RES* extra = (co_await perform(s, StoreCall{})).ret;
        if (extra) {
            mysql_free_result(extra);
        } else if (mysql_field_count(s.m)) {
            failed = true;
            co_return;
        }
    }
}

}  // namespace

// --- the operations -------------------------------------------------------------------------

bool server_autocommit(MYSQL* m) noexcept {
    unsigned int status = 0;
    if (mariadb_get_infov(m, MARIADB_CONNECTION_SERVER_STATUS, &status)) return false;
    return (status & SERVER_STATUS_AUTOCOMMIT) != 0;
}

Steps connect(Session s, const MysqlSettings& settings, ConnectOutcome& out) noexcept {
    MYSQL* connected = (co_await perform(s, ConnectCall{&settings})).ret;
    if (!connected) {
        out.failed = true;
        co_return;
    }
    out.connected = true;
    if (!settings.set_autocommit || server_autocommit(s.m) == settings.autocommit) co_return;
    out.failed = (co_await perform(s, AutocommitCall{settings.autocommit ? my_bool(1) : my_bool(0)})).ret != 0;
}

Steps statement(Session s, std::string_view sql, bool unbuffered, QueryOutcome& out) noexcept {
    MYSQL* m = s.m;
    int sent = (co_await perform(s, QueryCall{sql})).ret;
    if (sent != 0) {
        out.failed = true;
        co_return;
    }
    out.field_count = mysql_field_count(m);
    if (out.field_count) {
        // An unbuffered result reads nothing yet: it has no non-blocking form.
        if (unbuffered) out.res = mysql_use_result(m);
        else out.res = (co_await perform(s, StoreCall{})).ret;
        if (!out.res) {
            out.failed = true;
            co_return;
        }
    }
    out.affected = mysql_affected_rows(m);
    out.insert_id = mysql_insert_id(m);
    if ((out.res && unbuffered) || !mysql_more_results(m)) co_return;
    Steps rest = drain_results(s, out.failed);
    if (!rest) {
        out.failed = true;
        co_return;
    }
    co_await Within(rest);
}

Steps drain(Session s, bool& failed) noexcept { return drain_results(s, failed); }

Steps end_stream(Session s, MYSQL_RES* res, bool& failed) noexcept {
    co_await perform(s, FreeResultCall{res});
    if (!mysql_more_results(s.m)) co_return;
    Steps rest = drain_results(s, failed);
    if (!rest) {
        failed = true;
        co_return;
    }
    co_await Within(rest);
}

Steps command(Session s, Command which, bool& failed) noexcept {
    switch (which) {
        case Command::Begin:
            failed = (co_await perform(s, QueryCall{"BEGIN"})).ret != 0;
            break;
        case Command::Commit:
            failed = (co_await perform(s, CommitCall{})).ret != 0;
            break;
        case Command::Rollback:
            failed = (co_await perform(s, RollbackCall{})).ret != 0;
            break;
        case Command::Ping:
            failed = (co_await perform(s, PingCall{})).ret != 0;
            break;
        case Command::AutocommitOn:
        case Command::AutocommitOff:
            failed = (co_await perform(s, AutocommitCall{which == Command::AutocommitOn ? my_bool(1) : my_bool(0)})).ret != 0;
            break;
    }
}

Steps close(Session s) noexcept { co_await perform(s, CloseCall{}); }

// --- errors ---------------------------------------------------------------------------------

void set_connect_error(MYSQL* m, const MysqlSettings& settings, const ConnectOutcome& out) noexcept {
    unsigned errnum = mysql_errno(m);
    bool unreachable = errnum == CR_CONNECTION_ERROR || errnum == CR_CONN_HOST_ERROR || errnum == CR_UNKNOWN_HOST ||
                       errnum == CR_SERVER_LOST || errnum == CR_SERVER_GONE_ERROR;
    if (out.connected || !unreachable) {
        set_mysql_error(m);
        return;
    }
    const std::string& host = settings.host;
    Ref name = steal(PyUnicode_DecodeUTF8(host.data(), static_cast<Py_ssize_t>(host.size()), "replace"));
    Ref text;
    if (name) text = steal(PyUnicode_FromFormat("Can't connect to MySQL server on %R (%s)", name.get(), mysql_error(m)));
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!message) return;
    set_mysql_error(CR_CONN_HOST_ERROR, message);
}

void set_connect_timeout_error(const MysqlSettings& settings, double seconds) noexcept {
    const std::string& host = settings.host;
    Ref name = steal(PyUnicode_DecodeUTF8(host.data(), static_cast<Py_ssize_t>(host.size()), "replace"));
    if (name) tsy::db::set_connect_timeout_error(name.get(), seconds);
}

bool set_failure(MYSQL* m) noexcept {
    unsigned errnum = m ? mysql_errno(m) : 0;
    bool socket_gone = !m || mysql_get_socket(m) < 0;
    if (errnum == 0 && socket_gone) {
        set_mysql_error(CR_SERVER_LOST, "Lost connection to server during query");
        return true;
    }
    set_mysql_error(m);
    // A failure the library gave no number for leaves the protocol's state unknown.
    return errnum == 0 || socket_gone || mysql_connection_lost(errnum);
}

// --- results ---------------------------------------------------------------------------------

const char* handle_encoding(MYSQL* m) noexcept {
    return m ? mysql_python_encoding(mysql_character_set_name(m)) : nullptr;
}

PyObject* insert_id_value(const QueryOutcome& r) noexcept {
    if (r.field_count) return Py_NewRef(Py_None);
    return PyLong_FromUnsignedLongLong(r.insert_id);
}

PyObject* run_result(const QueryOutcome& r, int mode, const char* encoding) noexcept {
    switch (mode) {
        case RUN_ROWS:
            return r.res ? mysql_stored_rows(r.res, encoding, false) : PyList_New(0);
        case RUN_KEY:
            return insert_id_value(r);
        case RUN_COUNT:
            return PyLong_FromLongLong(r.affected == static_cast<unsigned long long>(-1)
                                           ? -1
                                           : static_cast<long long>(r.affected));
        default:
            return Py_NewRef(Py_None);
    }
}

PyObject* cursor_result(const QueryOutcome& r, const char* encoding) noexcept {
    Ref rows = steal(r.res ? mysql_stored_rows(r.res, encoding, false) : Py_NewRef(Py_None));
    Ref description = rows ? steal(r.res ? mysql_description(r.res) : Py_NewRef(Py_None)) : Ref();
    bool unknown = r.affected == static_cast<unsigned long long>(-1);
    Ref rowcount = steal(PyLong_FromLongLong(unknown ? -1 : static_cast<long long>(r.affected)));
    Ref lastrowid = steal(insert_id_value(r));
    if (!description || !rowcount || !lastrowid) return nullptr;
    return PyTuple_Pack(4, rows.get(), description.get(), rowcount.get(), lastrowid.get());
}

}  // namespace tsy::db::mysql
