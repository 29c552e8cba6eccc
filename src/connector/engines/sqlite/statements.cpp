// The prepared statements of a connection: a cache keyed by the statement
// text object (the connector hands the same text object for the same
// statement, so a lookup is its cached hash and an identity test), bounded,
// the oldest entry not in use going first when it is full.
#include "engines/sqlite/connection.hpp"

#include <chrono>
#include <thread>

namespace tsy::db::sqlite {
namespace {

constexpr Py_ssize_t kCacheSize = 128;
constexpr auto kOtherThreadPause = std::chrono::microseconds(100);

// A cursor dropped on one thread may let go of its statement while another
// thread is inside SQLite on the same connection without the GIL (a first
// step): the connection has no mutex of its own, so the handle is touched
// only once that thread is back.
void wait_for_other_thread(StatementObject* s) noexcept {
    while (s->owner && s->owner->unlocked) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(kOtherThreadPause);
        Py_END_ALLOW_THREADS
    }
}

void statement_dealloc(PyObject* self) noexcept {
    StatementObject* s = as_statement(self);
    if (s->stmt) wait_for_other_thread(s);
    // Finalizing after the connection has closed is allowed: sqlite3_close_v2
    // keeps the handle until its last statement is finalized.
    sqlite3_finalize(s->stmt);
    Py_XDECREF(s->description);
    Py_TYPE(self)->tp_free(self);
}

// The rest of a text after its statement: white space and comments only?
bool only_comments(const char* tail) noexcept {
    for (const char* p = tail; *p;) {
        if (*p == ' ' || *p == '\t' || *p == '\f' || *p == '\n' || *p == '\r') {
            ++p;
        } else if (p[0] == '-' && p[1] == '-') {
            while (*p && *p != '\n') ++p;
        } else if (p[0] == '/' && p[1] == '*') {
            const char* end = std::strstr(p + 2, "*/");
            if (!end) return true;  // an unclosed comment runs to the end
            p = end + 2;
        } else {
            return false;
        }
    }
    return true;
}

Ref new_statement(ConnectionObject* c, sqlite3_stmt* stmt, bool is_dml) noexcept {
    StatementObject* s = PyObject_New(StatementObject, &StatementType);
    if (!s) {
        sqlite3_finalize(stmt);
        return {};
    }
    s->stmt = stmt;
    s->owner = c;
    s->description = nullptr;
    s->columns = -1;
    s->prepared_as = 0;
    s->is_dml = is_dml;
    s->in_use = false;
    return steal(reinterpret_cast<PyObject*>(s));
}

// Prepares `text` without the GIL (the schema may have to be read first).
Ref prepare(ConnectionObject* c, PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* sql = PyUnicode_AsUTF8AndSize(text, &size);
    if (!sql) return {};
    if (size >= INT32_MAX) return fail(PyExc_OverflowError, "SQL string is too long");
    if (has_inner_nul(sql, size)) return programming_error("the query contains a null character");
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    sqlite3* db = c->db;
    c->unlocked = true;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    // The size counts the terminating NUL: SQLite then reads the text in place.
    rc = sqlite3_prepare_v2(db, sql, static_cast<int>(size) + 1, &stmt, &tail);
    Py_END_ALLOW_THREADS
    c->unlocked = false;
    if (rc != SQLITE_OK) {
        raise_from(db);
        sqlite3_finalize(stmt);
        return {};
    }
    if (tail && !only_comments(tail)) {
        sqlite3_finalize(stmt);
        return programming_error("You can only execute one statement at a time.");
    }
    return new_statement(c, stmt, statement_writes(sql));
}

// Makes room for one more entry: the oldest one no cursor is stepping goes.
int evict_one(PyObject* cache) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(cache, &pos, &key, &value)) {
        if (as_statement(value)->in_use) continue;
        Ref held = borrow(key);
        return PyDict_DelItem(cache, held.get());
    }
    return 0;  // all of them in use: the cache grows past its bound for now
}

Ref description_of(sqlite3_stmt* stmt, int n) noexcept {
    if (n == 0) return borrow(Py_None);
    Ref all = steal(PyTuple_New(n));
    if (!all) return {};
    for (int i = 0; i < n; ++i) {
        const char* name = sqlite3_column_name(stmt, i);
        if (!name) return steal(PyErr_NoMemory());
        PyObject* text = PyUnicode_FromString(name);
        if (!text) return {};
        PyUnicode_InternInPlace(&text);
        Ref entry = steal(PyTuple_Pack(7, text, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None));
        Py_DECREF(text);
        if (!entry) return {};
        PyTuple_SET_ITEM(all.get(), i, entry.release());
    }
    return all;
}

}  // namespace

PyTypeObject StatementType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector._SqliteStatement",
    .tp_basicsize = sizeof(StatementObject),
    .tp_dealloc = statement_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "A prepared statement of a native SQLite connection (internal).",
};

PyObject* new_statement_cache() noexcept { return PyDict_New(); }

Ref acquire_statement(ConnectionObject* c, PyObject* text) noexcept {
    PyObject* found = PyDict_GetItemWithError(c->statements, text);
    if (!found && PyErr_Occurred()) return {};
    if (found && !as_statement(found)->in_use) {
        as_statement(found)->in_use = true;
        return borrow(found);
    }
    Ref made = prepare(c, text);
    if (!made) return {};
    // The prepare ran without the GIL: the connection may have been closed meanwhile.
    if (!c->db || !c->statements) return closed_database();
    as_statement(made.get())->in_use = true;
    if (found) return made;  // the cached one is busy: this one is for one use
    if (PyDict_GET_SIZE(c->statements) >= kCacheSize && evict_one(c->statements) < 0) return {};
    if (PyDict_SetItem(c->statements, text, made.get()) < 0) return {};
    return made;
}

void release_statement(StatementObject* s) noexcept {
    if (s->stmt) {
        wait_for_other_thread(s);
        sqlite3_reset(s->stmt);
        sqlite3_clear_bindings(s->stmt);
    }
    s->in_use = false;
}

PyObject* statement_description(StatementObject* s) noexcept {
    int n = s->stmt ? sqlite3_column_count(s->stmt) : 0;
    // A change of schema by any connection re-prepares the statement at its
    // next step: its columns may since have other names (a rename, a column
    // dropped and added again) or another count (SELECT * after ADD COLUMN).
    int prepared_as = s->stmt ? sqlite3_stmt_status(s->stmt, SQLITE_STMTSTATUS_REPREPARE, 0) : 0;
    if (!s->description || s->columns != n || s->prepared_as != prepared_as) {
        Ref made = description_of(s->stmt, n);
        if (!made) return nullptr;
        Py_XSETREF(s->description, made.release());
        s->columns = n;
        s->prepared_as = prepared_as;
    }
    return s->description;
}

}  // namespace tsy::db::sqlite
