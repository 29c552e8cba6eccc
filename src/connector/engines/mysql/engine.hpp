// The pieces of the MariaDB Connector/C engine that do not depend on how a
// call waits for the server: settings and options of a handle, the statement
// text with its arguments, pymysql's exceptions, and result rows as Python
// values. The synchronous connection (engines/mysql/connection.cpp, engines/mysql/cursor.cpp)
// and the asyncio one on the library's non-blocking calls share them.
//
// The engine answers like pymysql: the same exception classes with the same
// arguments, the same Python values for each column type, the same argument
// text, so that code written against a pymysql connection runs unchanged.
#pragma once

#include <mysql.h>

#include <string>
#include <vector>

#include "tessary/py.hpp"

namespace tsy::db {

// What a connection connects to, read from pymysql.connect's keywords.
struct MysqlSettings {
    std::string host, user, password, database, unix_socket, charset;
    unsigned port;
    bool has_user, has_password, has_database, has_socket;
    bool autocommit;
    bool set_autocommit;  // false: autocommit=None, the server's own setting stays
    unsigned connect_timeout, read_timeout, write_timeout;  // seconds; 0: none
    unsigned long client_flag;  // capability flags asked for at connect (CLIENT_FOUND_ROWS, ...)
};

// pymysql's default connect_timeout, the connectors' connectTimeout.
inline constexpr unsigned kDefaultConnectTimeout = 10;

// The MySQL connectors' connectTimeout (10 when not given), readTimeout and
// writeTimeout (None when not given): numbers of seconds > 0 (at most a
// year) or None for no limit, kept in `settings` as floats or None under
// connect_timeout, read_timeout and write_timeout. NULL means not given. -1
// with TypeError or ValueError naming the argument; nothing is kept then.
int set_mysql_timeouts(PyObject* settings, PyObject* connect, PyObject* read, PyObject* write) noexcept;
// One kept timeout for the connectors' attributes (new ref); RuntimeError
// when `settings` is NULL (never initialised).
PyObject* mysql_timeout(PyObject* self, PyObject* settings, const char* key) noexcept;

// pymysql.connect's keywords (host, port, user, password, database, unix_socket, charset, autocommit, client_flag;
// unknown ones -> TypeError) into settings; false with the error set.
bool parse_mysql_settings(PyObject* kwargs, MysqlSettings& out) noexcept;

// mysql_init'ed handle: charset (utf8mb4 default), connect timeout, no LOCAL INFILE, ... before connecting.
bool apply_mysql_options(MYSQL* m, const MysqlSettings& s) noexcept;

// The Python codec of a connection character set for its text (NULL for
// UTF-8, the usual case, decoded without a codec lookup).
const char* mysql_python_encoding(const char* charset) noexcept;

// The text to send: "%s" replaced by each argument escaped by the library (mysql_real_escape_string),
// "%%" by "%" when arguments are given (None: text as it is). false with TypeError/ProgrammingError set.
bool mysql_statement_text(MYSQL* m, PyObject* text, PyObject* args, std::string& out) noexcept;

// One argument as pymysql's escape_item writes it (a str quoted and escaped,
// None as NULL, a tuple as "(a,b)", ...), appended to `out`. false with the error set.
bool append_mysql_literal(MYSQL* m, PyObject* value, std::string& out) noexcept;

// Sets the pymysql.err exception for m's last error / for (errno, message), exactly as pymysql builds it.
void set_mysql_error(MYSQL* m) noexcept;
void set_mysql_error(unsigned errnum, const char* message) noexcept;

// A pymysql.err class by name ("InterfaceError", "ProgrammingError", ...) set
// with (errnum, message) as its arguments, or with `message` alone when
// errnum < 0 (pymysql's own "Cursor closed" kind of error).
void set_pymysql_error(const char* class_name, int errnum, const char* message) noexcept;

// True for the errors after which the connection is gone (2006, 2013, 2055, ...).
bool mysql_connection_lost(unsigned errnum) noexcept;

// True when the pending error says a driver connection's server is out of
// reach or gone (a pymysql.err.Error, which aiomysql raises too; an OSError;
// an EOFError) rather than a fault of the program or a cancellation.
bool pending_error_means_dead() noexcept;

// A stored result's rows (new ref): a list of tuples, or a tuple of them
// (the cursor's fetchall() as pymysql's), text decoded with `encoding`
// (a Python codec; NULL for UTF-8).
PyObject* mysql_stored_rows(MYSQL_RES* res, const char* encoding, bool as_tuple) noexcept;

// Converts the rows of one result: the plan of its fields, made once and used
// for each row (rows of an unbuffered result arrive a batch at a time).
class MysqlRowReader {
public:
    // false with the error set (memory, or the decimal/datetime modules).
    // `encoding` as for mysql_stored_rows; it must outlive the reader.
    bool prepare(MYSQL_RES* res, const char* encoding = nullptr) noexcept;
    // One row (from mysql_fetch_row, with mysql_fetch_lengths) as a tuple (new ref).
    PyObject* row(MYSQL_ROW values, const unsigned long* lengths) noexcept;
    // One field's value (never NULL data: a NULL field is None without asking).
    PyObject* value(unsigned field, const char* data, unsigned long size) const noexcept;
    unsigned fields() const noexcept { return count_; }

private:
    unsigned count_ = 0;
    const char* encoding_ = nullptr;
    std::vector<unsigned char> kinds_;  // one converter code per field
};

// cursor.description as pymysql gives it: a tuple of 7-tuples (name,
// type_code, display size, internal size, precision, scale, null_ok), or
// None for a statement without a result (new ref).
PyObject* mysql_description(MYSQL_RES* res) noexcept;

}  // namespace tsy::db
