// What the rest of the module asks of the engine's connections beyond
// running statements: whether a statement writes (one rule for rowcount and
// for the transaction a connection handed out begins), whether a
// transaction is open, and how a connection meets another's lock.
#include "engines/sqlite/connection.hpp"
#include "engines/sqlite/watch.hpp"

namespace tsy::db {
namespace sqlite {
namespace {

// Set by SQLite's call of the declining busy handler; per thread, because
// the engine steps without the GIL and loops of other threads may be
// stepping too.
thread_local bool busy_noted = false;

int decline_busy(void*, int) noexcept {
    busy_noted = true;
    return 0;  // do not wait here: the caller decides whether and how to wait
}

bool skip_comment(const char*& p) noexcept {
    if (p[0] == '-' && p[1] == '-') {
        while (*p && *p != '\n') ++p;
        return true;
    }
    if (p[0] == '/' && p[1] == '*') {
        p += 2;
        while (*p && !(p[0] == '*' && p[1] == '/')) ++p;
        if (*p) p += 2;
        return true;
    }
    return false;
}

sqlite3* open_handle(PyObject* conn) noexcept {
    return is_native_sqlite(conn) ? as_connection(conn)->db : nullptr;
}

}  // namespace

// The sqlite3 module's rule: INSERT, UPDATE, DELETE or REPLACE as the first
// word after blanks and comments.
bool statement_writes(const char* sql) noexcept {
    for (;;) {
        while (*sql == ' ' || *sql == '\t' || *sql == '\n' || *sql == '\r' || *sql == '\f') ++sql;
        if (!skip_comment(sql)) break;
    }
    return PyOS_strnicmp(sql, "insert", 6) == 0 || PyOS_strnicmp(sql, "update", 6) == 0 ||
           PyOS_strnicmp(sql, "delete", 6) == 0 || PyOS_strnicmp(sql, "replace", 7) == 0;
}

}  // namespace sqlite

bool sqlite_engine_writes(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* sql = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (!sql) {
        PyErr_Clear();  // the engine reports the text itself when it runs it
        return false;
    }
    // A text with a NUL is refused when it runs: no transaction is begun for it.
    if (sqlite::has_inner_nul(sql, size)) return false;
    return sqlite::statement_writes(sql);
}

bool sqlite_engine_is_open(PyObject* conn) noexcept { return sqlite::open_handle(conn) != nullptr; }

bool sqlite_engine_in_transaction(PyObject* conn) noexcept {
    sqlite3* db = sqlite::open_handle(conn);
    return db && !sqlite3_get_autocommit(db);
}

int sqlite_engine_set_busy_policy(PyObject* conn, SqliteBusyPolicy policy) noexcept {
    sqlite3* db = sqlite::open_handle(conn);
    if (!db) return fail(PyExc_RuntimeError, "the SQLite connection is closed");
    if (policy == SqliteBusyPolicy::Decline) {
        sqlite3_busy_handler(db, sqlite::decline_busy, nullptr);
    } else {
        sqlite3_busy_timeout(db, sqlite::as_connection(conn)->busy_timeout_ms);
    }
    return 0;
}

void sqlite_engine_note_busy() noexcept { sqlite::busy_noted = true; }

bool sqlite_engine_take_busy_note() noexcept {
    bool noted = sqlite::busy_noted;
    sqlite::busy_noted = false;
    return noted;
}

}  // namespace tsy::db
