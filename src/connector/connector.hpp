// Internal declarations of Tessary.DB.Connector, shared by its files.
#pragma once

#include "tessary/db.hpp"

namespace tsy::db {

// How "%s" placeholders reach the driver.
enum PlaceholderStyle : int {
    STYLE_FORMAT = 0,  // "%s" kept; other '%' doubled when arguments are given (pymysql)
    STYLE_QMARK = 1,   // "%s" becomes "?" (sqlite3)
};

// Every connector of this module. The subclasses differ only by data: the
// driver's connect function and its keyword arguments, the placeholder style,
// `con_type`, and whether their connection commits each statement itself.
struct ConnectorObject {
    PyObject_HEAD
    PyObject* con;        // the connector's own connection; NULL until the first statement
    PyObject* factory;    // driver connect function, or NULL (connect() then has to be overridden)
    PyObject* settings;   // dict of keyword arguments for `factory`
    PyObject* cache;      // dict: statement text -> driver text
    int con_type;
    int style;            // PlaceholderStyle
    int autocommit;       // `con` commits each statement by itself outside transaction()
    int depth;            // open transaction() blocks on `con`
    // A sqlite3 cursor of `cursor_con` kept between statements, or NULL;
    // `cursor_busy` while a statement runs on it (a nested one makes its own).
    PyObject* cursor;
    PyObject* cursor_con;
    int cursor_busy;
};

inline ConnectorObject* as_connector(PyObject* obj) noexcept { return reinterpret_cast<ConnectorObject*>(obj); }

// Interned strings of the module: attribute, method and keyword names, and the
// few statement texts sent as they are. Made by init_names() when the module
// is imported (the import fails if one cannot be made), immortal afterwards.
// The worker threads read them too, always after that.
struct Names {
    PyObject* _connect;
    PyObject* acquire;
    PyObject* add_done_callback;
    PyObject* autocommit;
    PyObject* begin;
    PyObject* call_soon_threadsafe;
    PyObject* cancelled;
    PyObject* charset;
    PyObject* check_same_thread;
    PyObject* close;
    PyObject* closed;
    PyObject* commit;
    PyObject* connect;
    PyObject* create_future;
    PyObject* create_task;
    PyObject* cursor;
    PyObject* database;
    PyObject* db;
    PyObject* description;
    PyObject* done;
    PyObject* execute;
    PyObject* fetchall;
    PyObject* getCon;
    PyObject* host;
    PyObject* interrupt;
    PyObject* lastrowid;
    PyObject* maxsize;
    PyObject* minsize;
    PyObject* open;
    PyObject* password;
    PyObject* path;
    PyObject* port;
    PyObject* release;
    PyObject* remove;
    PyObject* result;
    PyObject* rollback;
    PyObject* row_factory;
    PyObject* set_exception;
    PyObject* set_result;
    PyObject* targetType;
    PyObject* terminate;
    PyObject* timeout;
    PyObject* unix_socket;
    PyObject* uri;
    PyObject* user;
    PyObject* wait_closed;
    PyObject* begin_sql;         // "BEGIN"
    PyObject* shared_reads_sql;  // "PRAGMA read_uncommitted = 1"
};
extern Names names;

// Fills `names`; -1 with the error set when one cannot be made.
int init_names() noexcept;

extern PyTypeObject BaseConnectorType;
extern PyTypeObject Sqlite3ConnectorType;
extern PyTypeObject MysqlConnectorType;
extern PyTypeObject TransactionType;

int ready_base_connector() noexcept;
int ready_sqlite_connector() noexcept;
int ready_mysql_connector() noexcept;
int ready_transaction() noexcept;

// The statement text in the driver's placeholder style (new ref), cached per
// connector. `with_args` false means the driver will not see an argument
// tuple, so format-style text needs no escaping.
PyObject* driver_text(ConnectorObject* self, PyObject* sql, bool with_args) noexcept;

// The argument sequence with every bytearray and memoryview as the octets
// it holds (new ref; `args` itself when it has none; a tuple otherwise).
// `in_place` keeps bytearrays and C-contiguous views, for a driver that reads
// them itself. TypeError for a view of items wider than one octet.
PyObject* bindable_args(PyObject* args, bool in_place) noexcept;

// The connector's own connection, opened through its `connect()` on first use (borrowed).
PyObject* own_connection(PyObject* self) noexcept;

// Runs one statement on a connector of this module; `con` NULL or None means
// its own connection. Result by `mode` (RunMode).
PyObject* run(PyObject* self, PyObject* con, PyObject* sql, PyObject* args, int mode) noexcept;

struct StatementTrace;  // statement_log.hpp

// Runs one statement on any DB-API connection; no commit or rollback.
// `trace` (when given) gets the measures of the statement log.
PyObject* run_on(PyObject* conn, PyObject* text, PyObject* args, int mode, StatementTrace* trace = nullptr) noexcept;

// Closes and forgets the connector's kept cursor, if any; keeps a pending error.
void forget_cursor(ConnectorObject* c) noexcept;

// Forgets the own connection when a failure has closed it (a driver that
// tells so through a false `open`, as pymysql's does after the server went
// away), so that the next statement opens a new one. Inside a transaction()
// block it is kept: the block's later statements must fail, not run outside
// it. Keeps the pending error.
void drop_if_broken(PyObject* self) noexcept;

// Opens a transaction on the own connection (nested blocks join the outer one).
PyObject* enter_transaction(PyObject* self) noexcept;
// Closes one transaction() level; `ok` false rolls back. -1 on error.
int exit_transaction(PyObject* self, bool ok) noexcept;

}  // namespace tsy::db
