// The MYSQL handle of a native connection: who may use it, the one way a
// statement is sent and its result read, and how it ends.
#include "engines/mysql/connection.hpp"

namespace tsy::db {

bool claim_handle(MysqlConnectionObject* c, PyObject* owner) noexcept {
    if (!c->handle) {
        set_pymysql_error("InterfaceError", 0, "");  // pymysql's text for a closed connection
        return false;
    }
    if (c->busy) {
        bool same_thread = c->busy_thread == PyThread_get_thread_ident();
        set_pymysql_error("ProgrammingError", -1,
                          same_thread ? "the connection is in use by a call that has not ended (code run by that call "
                                        "cannot use the connection)"
                                      : "the connection is in use by another thread: a connection serves one call "
                                        "at a time");
        return false;
    }
    if (c->stream && c->stream_owner != owner) {
        set_pymysql_error("ProgrammingError", -1,
                          "the connection is reading an unbuffered result: fetch it to its end or close its "
                          "cursor first");
        return false;
    }
    mark_busy(c);
    return true;
}

void mark_busy(MysqlConnectionObject* c) noexcept {
    c->busy = 1;
    c->busy_thread = PyThread_get_thread_ident();
    c->call_started = steady_now_ns();
}

void release_handle(MysqlConnectionObject* c) noexcept {
    c->busy = 0;
    if (c->close_pending) close_handle(c);
}

namespace {

// The stream's result freed without reading the rest: only when the handle
// goes too (the library would read every remaining row first otherwise).
void drop_stream_unread(MysqlConnectionObject* c) noexcept {
    if (!c->stream) return;
    MYSQL_RES* res = c->stream;
    c->stream = nullptr;
    c->stream_owner = nullptr;
    res->handle = nullptr;
    mysql_free_result(res);
}

}  // namespace

bool run_blocking(mysql::Steps op) noexcept {
    if (!op) {
        PyErr_NoMemory();
        return false;
    }
    without_gil([&] { op.start(); });
    return true;
}

void close_handle(MysqlConnectionObject* c) noexcept {
    c->close_pending = 0;
    drop_stream_unread(c);
    MYSQL* m = c->handle;
    if (!m) return;
    c->handle = nullptr;
    without_gil([c] { forget_prepared(c); });
    if (!run_blocking(mysql::close(blocking(m)))) {
        PyErr_Clear();  // no memory for the goodbye: the handle is freed without it
        without_gil([m] { mysql_close(m); });
    }
}

namespace {

// The library gives a timed-out read the same error as a dropped connection
// (2013): a call lost after waiting at least a limit is taken for its timeout.
// The library counts whole seconds and tries a read once, so the limit is
// the setting rounded up.
void name_timeout(MysqlConnectionObject* c) noexcept {
    const MysqlSettings* s = c->settings;
    if (!s || !c->busy) return;
    double waited = static_cast<double>(steady_now_ns() - c->call_started) / 1e9;
    const char* name = nullptr;
    unsigned limit = 0;
    if (s->read_timeout && waited >= s->read_timeout) {
        name = "readTimeout";
        limit = s->read_timeout;
    } else if (s->write_timeout && waited >= s->write_timeout) {
        name = "writeTimeout";
        limit = s->write_timeout;
    }
    if (!name) return;
    PyErr_Clear();
    set_timeout_error(2013, "Lost connection to server during query", name, limit);
}

}  // namespace

void handle_failed(MysqlConnectionObject* c) noexcept {
    if (!mysql::set_failure(c->handle)) return;
    name_timeout(c);
    close_handle(c);
}

bool drop_more_results(MysqlConnectionObject* c) noexcept {
    MYSQL* m = c->handle;
    if (!m || !mysql_more_results(m)) return true;
    bool failed = false;
    if (!run_blocking(mysql::drain(blocking(m), failed))) return false;
    if (failed) handle_failed(c);
    return !failed;
}

// One release of the GIL for the statement and its whole result: the rows
// then become Python values with the GIL held and no more waiting.
bool run_query(MysqlConnectionObject* c, const std::string& sql, bool unbuffered, QueryOutcome& out) noexcept {
    if (!run_blocking(mysql::statement(blocking(c->handle), sql, unbuffered, out))) return false;
    if (out.failed) {
        if (out.res) {
            mysql_free_result(out.res);
            out.res = nullptr;
        }
        handle_failed(c);
        return false;
    }
    c->insert_id = out.insert_id;
    c->affected = out.affected;
    c->had_result = out.field_count > 0;
    return true;
}

bool end_stream(MysqlConnectionObject* c) noexcept {
    MYSQL_RES* res = c->stream;
    if (!res) return true;
    c->stream = nullptr;
    c->stream_owner = nullptr;
    MYSQL* m = c->handle;
    if (!m) {
        res->handle = nullptr;
        mysql_free_result(res);
        return true;
    }
    bool failed = false;
    mark_busy(c);
    mysql::Steps op = mysql::end_stream(blocking(m), res, failed);
    if (!op) {
        // Without memory for the operation the rest of the stream cannot be read: the connection goes.
        res->handle = nullptr;
        mysql_free_result(res);
        release_handle(c);
        close_handle(c);
        PyErr_NoMemory();
        return false;
    }
    without_gil([&] { op.start(); });
    unsigned errnum = mysql_errno(m);
    bool broken = failed || (errnum && mysql_connection_lost(errnum));
    if (broken) {
        // An error already pending (the one that ended the reading) is the one to tell.
        Ref pending = steal(PyErr_GetRaisedException());
        handle_failed(c);
        if (pending) {
            PyErr_Clear();
            PyErr_SetRaisedException(pending.release());
        }
    }
    release_handle(c);
    return !broken;
}

}  // namespace tsy::db
