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
    c->busy = 1;
    c->busy_thread = PyThread_get_thread_ident();
    return true;
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

void close_handle(MysqlConnectionObject* c) noexcept {
    c->close_pending = 0;
    drop_stream_unread(c);
    MYSQL* m = c->handle;
    if (!m) return;
    c->handle = nullptr;
    without_gil([c, m] {
        forget_prepared(c);
        mysql_close(m);
    });
}

void handle_failed(MysqlConnectionObject* c) noexcept {
    MYSQL* m = c->handle;
    set_mysql_error(m);
    if (m && mysql_connection_lost(mysql_errno(m))) close_handle(c);
}

namespace {

// Without the GIL: every result after the current one, read and freed.
// Returns the library's failure (non-zero) of the first that fails.
int skip_results(MYSQL* m) noexcept {
    while (mysql_more_results(m)) {
        if (mysql_next_result(m) > 0) return 1;
        MYSQL_RES* extra = mysql_store_result(m);
        if (extra) mysql_free_result(extra);
        else if (mysql_field_count(m)) return 1;
    }
    return 0;
}

}  // namespace

bool drop_more_results(MysqlConnectionObject* c) noexcept {
    MYSQL* m = c->handle;
    if (!m || !mysql_more_results(m)) return true;
    int failed = 0;
    without_gil([&] { failed = skip_results(m); });
    if (failed) handle_failed(c);
    return !failed;
}

bool run_query(MysqlConnectionObject* c, const std::string& sql, bool unbuffered, QueryOutcome& out) noexcept {
    MYSQL* m = c->handle;
    int failed = 0;
    // One release for the statement and its whole result: the rows then
    // become Python values with the GIL held and no more waiting.
    without_gil([&] {
        failed = mysql_real_query(m, sql.data(), sql.size());
        if (failed) return;
        out.res = unbuffered ? mysql_use_result(m) : mysql_store_result(m);
        out.field_count = mysql_field_count(m);
        if (!out.res && out.field_count) {
            failed = 1;
            return;
        }
        out.affected = mysql_affected_rows(m);
        out.insert_id = mysql_insert_id(m);
        if (!out.res || !unbuffered) failed = skip_results(m);
    });
    if (failed) {
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
    // Freeing an unbuffered result reads what the server still sends of it:
    // the protocol has no way to stop it. Then the statement's further results.
    int failed = 0;
    c->busy = 1;
    c->busy_thread = PyThread_get_thread_ident();
    without_gil([&] {
        mysql_free_result(res);
        failed = skip_results(m);
    });
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
