// The binary protocol for the one statement kind where it measured faster
// than text: a connector's INSERT that asks for its key (RUN_KEY) with
// arguments of the plain kinds (int, float, str, bytes, bool, None). The
// statement is prepared once per connection and text, then only executed
// with its arguments bound; the server neither parses the text again nor
// reads the values back from literals. Everything else keeps the text
// protocol: reads especially, whose FLOAT columns the binary protocol would
// widen to double (0.1 becoming 0.10000000149011612).
//
// A text the server refuses to prepare, or whose statement returns rows
// (INSERT ... RETURNING, when the server tells at prepare time), is
// remembered and runs as text, so that its error or result is exactly the
// text protocol's.
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "engines/mysql/connection.hpp"

#include <mysqld_error.h>

namespace tsy::db {

struct MysqlPreparedCache {
    // Text -> its prepared statement, or NULL for a text that runs as text.
    std::unordered_map<std::string, MYSQL_STMT*> statements;
};

namespace {

// Prepared statements held by one connection; past it the cache starts
// over (a server allows max_prepared_stmt_count, 16382 by default, in all).
constexpr size_t kMaxPrepared = 64;

bool starts_with_insert(const char* text, Py_ssize_t size) noexcept {
    Py_ssize_t i = 0;
    while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    return size - i >= 6 && strncasecmp(text + i, "INSERT", 6) == 0;
}

// Whether each argument binds as it is: exact builtin types whose octets
// stay put while the GIL is released (a bytearray could be resized meanwhile).
bool plain_arguments(PyObject* const* items, Py_ssize_t n) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = items[i];
        PyTypeObject* t = Py_TYPE(v);
        if (v == Py_None || t == &PyBool_Type || t == &PyBytes_Type || t == &PyUnicode_Type) continue;
        if (t == &PyFloat_Type) {
            if (!std::isfinite(PyFloat_AS_DOUBLE(v))) return false;  // the text path's error, as pymysql's
            continue;
        }
        if (t != &PyLong_Type) return false;
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return false;
    }
    return true;
}

// "%s" -> "?", "%%" -> "%"; false (text path) for any other conversion or
// a count of placeholders other than the arguments'.
bool placeholder_text(const char* text, Py_ssize_t size, Py_ssize_t args, std::string& out) {
    Py_ssize_t seen = 0;
    out.clear();
    out.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 1 >= size) return false;
        char kind = text[++i];
        if (kind == '%') out += '%';
        else if (kind == 's') out += '?', ++seen;
        else return false;
    }
    return seen == args;
}

struct Bound {
    std::vector<MYSQL_BIND> binds;
    std::vector<long long> ints;
    std::vector<double> floats;
    std::vector<unsigned long> lengths;
};

bool bind_arguments(PyObject* const* items, Py_ssize_t n, Bound& b) {
    b.binds.assign(static_cast<size_t>(n), MYSQL_BIND{});
    b.ints.assign(static_cast<size_t>(n), 0);
    b.floats.assign(static_cast<size_t>(n), 0);
    b.lengths.assign(static_cast<size_t>(n), 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = items[i];
        MYSQL_BIND& bind = b.binds[static_cast<size_t>(i)];
        if (v == Py_None) {
            bind.buffer_type = MYSQL_TYPE_NULL;
        } else if (PyBool_Check(v) || PyLong_CheckExact(v)) {
            b.ints[i] = PyLong_AsLongLong(v);
            bind.buffer_type = MYSQL_TYPE_LONGLONG;
            bind.buffer = &b.ints[i];
        } else if (PyFloat_CheckExact(v)) {
            b.floats[i] = PyFloat_AS_DOUBLE(v);
            bind.buffer_type = MYSQL_TYPE_DOUBLE;
            bind.buffer = &b.floats[i];
        } else if (PyBytes_CheckExact(v)) {
            bind.buffer_type = MYSQL_TYPE_BLOB;
            bind.buffer = PyBytes_AS_STRING(v);
            b.lengths[i] = static_cast<unsigned long>(PyBytes_GET_SIZE(v));
            bind.buffer_length = b.lengths[i];
            bind.length = &b.lengths[i];
        } else {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(v, &size);  // kept by the str itself
            if (!text) return false;
            bind.buffer_type = MYSQL_TYPE_STRING;
            bind.buffer = const_cast<char*>(text);
            b.lengths[i] = static_cast<unsigned long>(size);
            bind.buffer_length = b.lengths[i];
            bind.length = &b.lengths[i];
        }
    }
    return true;
}

void close_statements(MysqlPreparedCache& cache) noexcept {
    for (auto& [text, stmt] : cache.statements) {
        if (stmt) mysql_stmt_close(stmt);
    }
    cache.statements.clear();
}

// The statement of `text` (with `params` placeholders of ours), prepared now
// if it is new; NULL for a text that runs as text. `lost` when preparing
// found the connection gone (error set).
MYSQL_STMT* statement_of(MysqlConnectionObject* c, const std::string& text, Py_ssize_t params, bool& lost) {
    MysqlPreparedCache& cache = *c->prepared;
    auto found = cache.statements.find(text);
    if (found != cache.statements.end()) return found->second;
    if (cache.statements.size() >= kMaxPrepared) without_gil([&] { close_statements(cache); });
    MYSQL_STMT* stmt = mysql_stmt_init(c->handle);
    if (!stmt) throw std::bad_alloc();
    int failed = 0;
    without_gil([&] { failed = mysql_stmt_prepare(stmt, text.data(), text.size()); });
    // The server counts placeholders of its own too: a "?" written in the
    // text beside the "%s" ones would leave a parameter unbound, which the
    // library reads past the binds given. Run as text, such a statement gets
    // the server's own error for the "?", as with pymysql.
    bool unbound = !failed && mysql_stmt_param_count(stmt) != static_cast<unsigned long>(params);
    if (failed || unbound || mysql_stmt_field_count(stmt) > 0) {
        lost = failed && mysql_connection_lost(mysql_stmt_errno(stmt));
        if (lost) set_mysql_error(mysql_stmt_errno(stmt), mysql_stmt_error(stmt));
        mysql_stmt_close(stmt);
        if (lost) return nullptr;
        stmt = nullptr;
    }
    cache.statements.emplace(text, stmt);
    return stmt;
}

bool execute_bound(MysqlConnectionObject* c, MYSQL_STMT* stmt, Bound& b, QueryOutcome& out) noexcept {
    int failed = 0;
    without_gil([&] {
        failed = mysql_stmt_bind_param(stmt, b.binds.data()) || mysql_stmt_execute(stmt);
        if (failed) return;
        out.field_count = mysql_stmt_field_count(stmt);
        // Rows (INSERT ... RETURNING, known only once run): read and dropped,
        // as a key was asked for.
        if (out.field_count) failed = mysql_stmt_store_result(stmt);
        out.affected = mysql_stmt_affected_rows(stmt);
        out.insert_id = mysql_stmt_insert_id(stmt);
        mysql_stmt_free_result(stmt);
    });
    if (!failed) {
        c->insert_id = out.insert_id;
        c->affected = out.affected;
        c->had_result = out.field_count > 0;
        return true;
    }
    unsigned errnum = mysql_stmt_errno(stmt);
    if (errnum == ER_NEED_REPREPARE) return false;  // the caller runs the text instead
    set_mysql_error(errnum, mysql_stmt_error(stmt));
    if (mysql_connection_lost(errnum)) close_handle(c);
    return false;
}

}  // namespace

int run_prepared_insert(MysqlConnectionObject* c, PyObject* text, PyObject* args, QueryOutcome& out) {
    if (c->encoding || !(PyTuple_Check(args) || PyList_Check(args))) return 0;
    Ref items = steal(PySequence_Tuple(args));  // a list may change while the GIL is released
    if (!items) return -1;
    PyObject* const* values = &PyTuple_GET_ITEM(items.get(), 0);
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return -1;
    // A text with a NUL goes to the text path, which refuses it.
    if (n == 0 || std::memchr(data, '\0', static_cast<size_t>(size))) return 0;
    if (!starts_with_insert(data, size) || !plain_arguments(values, n)) return 0;
    std::string sql;
    if (!placeholder_text(data, size, n, sql)) return 0;
    if (!c->prepared) c->prepared = new MysqlPreparedCache();
    bool lost = false;
    MYSQL_STMT* stmt = statement_of(c, sql, n, lost);
    if (lost) {
        close_handle(c);
        return -1;
    }
    if (!stmt) return 0;
    Bound bound;
    if (!bind_arguments(values, n, bound)) return -1;
    if (execute_bound(c, stmt, bound, out)) return 1;
    if (PyErr_Occurred()) return -1;
    // The table changed under the statement more than the server re-prepares for: text from now on.
    c->prepared->statements[sql] = nullptr;
    mysql_stmt_close(stmt);
    return 0;
}

void forget_prepared(MysqlConnectionObject* c) noexcept {
    if (!c->prepared) return;
    close_statements(*c->prepared);
    delete c->prepared;
    c->prepared = nullptr;
}

}  // namespace tsy::db
