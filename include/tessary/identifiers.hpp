// SQL identifiers as statements write them. A name is written as it is
// unless it is a reserved word of SQLite or MariaDB/MySQL (the table
// `order`, the column `group`) or is not a plain [A-Za-z_][A-Za-z0-9_]*:
// then it is quoted with backticks, which both databases accept, a backtick
// inside doubled. Every module renders names through quoted_name(), so the
// rule and its word list stand in this one place.
#pragma once

#include <algorithm>
#include <string_view>

#include "py.hpp"

namespace tsy::sql {

// The union of SQLite's keywords and MariaDB's reserved words, upper case, sorted.
inline constexpr std::string_view kReservedWords[] = {
    "ABORT", "ACCESSIBLE", "ACTION", "ADD", "AFTER", "ALL", "ALTER", "ALWAYS", "ANALYZE", "AND", "AS", "ASC",
    "ASENSITIVE", "ATTACH", "AUTOINCREMENT", "BEFORE", "BEGIN", "BETWEEN", "BIGINT", "BINARY", "BLOB", "BOTH",
    "BY", "CALL", "CASCADE", "CASE", "CAST", "CHANGE", "CHAR", "CHARACTER", "CHECK", "COLLATE", "COLUMN",
    "COMMIT", "CONDITION", "CONFLICT", "CONSTRAINT", "CONTINUE", "CONVERT", "CREATE", "CROSS", "CURRENT",
    "CURRENT_DATE", "CURRENT_ROLE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "DATABASE",
    "DATABASES", "DAY_HOUR", "DAY_MICROSECOND", "DAY_MINUTE", "DAY_SECOND", "DEC", "DECIMAL", "DECLARE",
    "DEFAULT", "DEFERRABLE", "DEFERRED", "DELAYED", "DELETE", "DELETE_DOMAIN_ID", "DESC", "DESCRIBE", "DETACH",
    "DETERMINISTIC", "DISTINCT", "DISTINCTROW", "DIV", "DO", "DOUBLE", "DO_DOMAIN_IDS", "DROP", "DUAL", "EACH",
    "ELSE", "ELSEIF", "ENCLOSED", "END", "ESCAPE", "ESCAPED", "EXCEPT", "EXCLUDE", "EXCLUSIVE", "EXISTS",
    "EXIT", "EXPLAIN", "FAIL", "FALSE", "FETCH", "FILTER", "FIRST", "FLOAT", "FLOAT4", "FLOAT8", "FOLLOWING",
    "FOR", "FORCE", "FOREIGN", "FROM", "FULL", "FULLTEXT", "GENERAL", "GENERATED", "GLOB", "GRANT", "GROUP",
    "GROUPS", "HAVING", "HIGH_PRIORITY", "HOUR_MICROSECOND", "HOUR_MINUTE", "HOUR_SECOND", "IF", "IGNORE",
    "IGNORE_DOMAIN_IDS", "IGNORE_SERVER_IDS", "IMMEDIATE", "IN", "INDEX", "INDEXED", "INFILE", "INITIALLY",
    "INNER", "INOUT", "INSENSITIVE", "INSERT", "INSTEAD", "INT", "INT1", "INT2", "INT3", "INT4", "INT8",
    "INTEGER", "INTERSECT", "INTERVAL", "INTO", "IS", "ISNULL", "ITERATE", "JOIN", "KEY", "KEYS", "KILL",
    "LAST", "LEADING", "LEAVE", "LEFT", "LIKE", "LIMIT", "LINEAR", "LINES", "LOAD", "LOCALTIME",
    "LOCALTIMESTAMP", "LOCK", "LONG", "LONGBLOB", "LONGTEXT", "LOOP", "LOW_PRIORITY", "MASTER_HEARTBEAT_PERIOD",
    "MASTER_SSL_VERIFY_SERVER_CERT", "MATCH", "MATERIALIZED", "MAXVALUE", "MEDIUMBLOB", "MEDIUMINT",
    "MEDIUMTEXT", "MIDDLEINT", "MINUTE_MICROSECOND", "MINUTE_SECOND", "MOD", "MODIFIES", "NATURAL", "NO", "NOT",
    "NOTHING", "NOTNULL", "NO_WRITE_TO_BINLOG", "NULL", "NULLS", "NUMERIC", "OF", "OFFSET", "ON", "OPTIMIZE",
    "OPTION", "OPTIONALLY", "OR", "ORDER", "OTHERS", "OUT", "OUTER", "OUTFILE", "OVER", "PAGE_CHECKSUM",
    "PARSE_VCOL_EXPR", "PARTITION", "PLAN", "PRAGMA", "PRECEDING", "PRECISION", "PRIMARY", "PROCEDURE", "PURGE",
    "QUERY", "RAISE", "RANGE", "READ", "READS", "READ_WRITE", "REAL", "RECURSIVE", "REFERENCES",
    "REF_SYSTEM_ID", "REGEXP", "REINDEX", "RELEASE", "RENAME", "REPEAT", "REPLACE", "REQUIRE", "RESIGNAL",
    "RESTRICT", "RETURN", "RETURNING", "REVOKE", "RIGHT", "RLIKE", "ROLLBACK", "ROW", "ROWS", "ROW_NUMBER",
    "SAVEPOINT", "SCHEMA", "SCHEMAS", "SECOND_MICROSECOND", "SELECT", "SENSITIVE", "SEPARATOR", "SET", "SHOW",
    "SIGNAL", "SLOW", "SMALLINT", "SPATIAL", "SPECIFIC", "SQL", "SQLEXCEPTION", "SQLSTATE", "SQLWARNING",
    "SQL_BIG_RESULT", "SQL_CALC_FOUND_ROWS", "SQL_SMALL_RESULT", "SSL", "STARTING", "STATS_AUTO_RECALC",
    "STATS_PERSISTENT", "STATS_SAMPLE_PAGES", "STRAIGHT_JOIN", "TABLE", "TEMP", "TEMPORARY", "TERMINATED",
    "THEN", "TIES", "TINYBLOB", "TINYINT", "TINYTEXT", "TO", "TRAILING", "TRANSACTION", "TRIGGER", "TRUE",
    "UNBOUNDED", "UNDO", "UNION", "UNIQUE", "UNLOCK", "UNSIGNED", "UPDATE", "USAGE", "USE", "USING", "UTC_DATE",
    "UTC_TIME", "UTC_TIMESTAMP", "VACUUM", "VALUES", "VARBINARY", "VARCHAR", "VARCHARACTER", "VARYING", "VIEW",
    "VIRTUAL", "WHEN", "WHERE", "WHILE", "WINDOW", "WITH", "WITHOUT", "WRITE", "XOR", "YEAR_MONTH", "ZEROFILL",
};

// Whether an ASCII word, in any case, is in kReservedWords.
inline bool is_reserved(std::string_view word) noexcept {
    char upper[40];
    if (word.size() >= sizeof upper) return false;  // longer than every reserved word
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return std::binary_search(std::begin(kReservedWords), std::end(kReservedWords), std::string_view(upper, word.size()));
}

inline bool is_plain(std::string_view word) noexcept {
    if (word.empty()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

// Whether a name must be quoted to stand as an identifier.
inline bool needs_quotes(std::string_view word) noexcept { return !is_plain(word) || is_reserved(word); }

// `name` in backticks, a backtick inside doubled (new reference).
inline Ref backticked(PyObject* name) noexcept {
    Ref tick = steal(PyUnicode_FromString("`"));
    Ref twice = tick ? steal(PyUnicode_FromString("``")) : Ref();
    Ref inner = twice ? steal(PyUnicode_Replace(name, tick.get(), twice.get(), -1)) : Ref();
    return inner ? steal(PyUnicode_FromFormat("`%U`", inner.get())) : Ref();
}

// The name as statements write it: `name` itself, or its quoted form. The
// answer is decided once per name and kept for the life of the process in a
// dict of the calling module; anything but a str comes back as it is (the
// caller writes str() of it, as it always did).
inline Ref quoted_name(PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name)) return borrow(name);
    static PyObject* decided = nullptr;  // name -> the text written for it; never freed
    if (!decided && !(decided = PyDict_New())) return {};
    PyObject* known = PyDict_GetItemWithError(decided, name);
    if (known) return borrow(known);
    if (PyErr_Occurred()) return {};
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
    if (!utf8) {
        PyErr_Clear();  // lone surrogates: not a plain name, quoted
    }
    bool quote = !utf8 || needs_quotes(std::string_view(utf8, static_cast<std::size_t>(n)));
    Ref text = quote ? backticked(name) : borrow(name);
    if (!text || PyDict_SetItem(decided, name, text.get()) < 0) return {};
    return text;
}

}  // namespace tsy::sql
