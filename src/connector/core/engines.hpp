// The native engines behind the connectors: SQLite through its C API
// (engines/sqlite/) and MySQL/MariaDB through MariaDB Connector/C
// (engines/mysql/). Each engine's connection is a Python object of this
// module that offers the DB-API methods an application uses (execute,
// executemany, cursor, commit, rollback, close), so that everything written
// against a driver connection (transaction blocks, the thread model, the
// statement log, getCon()) works on it unchanged; statements of the
// connectors skip those methods and go to the engine's runner directly.
#pragma once

#include "core/connector.hpp"
#include "core/statement_log.hpp"

namespace tsy::db {

// Runs driver text (the connector's placeholder style) with its arguments
// (a tuple or list, after bindable_args; None for none) on a native
// connection. Result by RunMode (new ref) or NULL with the driver module's
// own exception class set. `trace` (may be NULL) gets the statement log's
// measures: it is started and stopped around the engine's work.
using NativeRun = PyObject* (*)(PyObject* conn, PyObject* text, PyObject* args, int mode,
                                StatementTrace* trace) noexcept;

// A native engine as the synchronous side sees it: which connections are
// its own, and its runner. One row per engine in core/engines.cpp.
struct NativeEngine {
    const char* name;
    bool (*owns)(PyObject* conn);
    NativeRun run;
};

// The runner of `conn` when it is a native connection, else NULL.
NativeRun native_runner(PyObject* conn) noexcept;

// --- SQLite (engines/sqlite/) ----------------------------------------------

// Tessary.DB.Connector.SqliteConnection
extern PyTypeObject SqliteEngineConnectionType;
bool is_native_sqlite(PyObject* obj) noexcept;
// A connection on `database` (str, bytes or os.PathLike; a URI when `uri`),
// waiting up to `timeout` seconds for another connection's lock (0: a
// locked database fails at once with OperationalError "database is locked").
// New ref, or NULL with sqlite3.OperationalError set.
PyObject* sqlite_engine_open(PyObject* database, bool uri, double timeout) noexcept;
PyObject* sqlite_engine_run(PyObject* conn, PyObject* text, PyObject* args, int mode, StatementTrace* trace) noexcept;
// The engine's connect function: a callable taking sqlite3.connect's
// keyword arguments (database, timeout, isolation_level, check_same_thread,
// uri), used as the connector's factory (new ref).
Ref sqlite_engine_connect() noexcept;
// Whether `text` writes: INSERT, UPDATE, DELETE or REPLACE after blanks and
// comments, the sqlite3 module's rule for rowcount and for the transaction
// its default handling begins. False for a text that is no str.
bool sqlite_engine_writes(PyObject* text) noexcept;
// Whether `conn` is an open engine connection, and one inside a transaction.
bool sqlite_engine_is_open(PyObject* conn) noexcept;
bool sqlite_engine_in_transaction(PyObject* conn) noexcept;
// How a connection meets another connection's lock: Wait, the busy timeout
// it was opened with (the default); or Decline, failing at once with
// SQLITE_BUSY, for a caller that waits its own way. SQLite asks to wait only
// where waiting and trying again is sound (no lock of this connection's
// stands in the other's way, else the two would wait for each other):
// sqlite_engine_take_busy_note() tells whether it asked since the last call
// on this thread. -1 with RuntimeError on a closed connection.
enum class SqliteBusyPolicy { Wait, Decline };
int sqlite_engine_set_busy_policy(PyObject* conn, SqliteBusyPolicy policy) noexcept;
bool sqlite_engine_take_busy_note() noexcept;
int ready_sqlite_engine(PyObject* module) noexcept;

// --- MySQL / MariaDB (engines/mysql/) -----------------------------------------

// Tessary.DB.Connector.MysqlConnection
extern PyTypeObject MysqlEngineConnectionType;
bool is_native_mysql(PyObject* obj) noexcept;
PyObject* mysql_engine_run(PyObject* conn, PyObject* text, PyObject* args, int mode, StatementTrace* trace) noexcept;
// The engine's connect function: a callable taking pymysql.connect's keyword
// arguments (host, port, user, password, database, unix_socket, charset,
// autocommit), used as the connector's factory (new ref).
Ref mysql_engine_connect() noexcept;
int ready_mysql_engine(PyObject* module) noexcept;
// The engine's non-blocking side, for the coroutine connector: readies
// AioMysqlConnection and AioMysqlCursor and adds them to the module.
int ready_aio_mysql_engine(PyObject* module) noexcept;

// --- which engine a connector uses ------------------------------------------------

// The `driver` option of the connectors' constructors: "native" (the
// default), or the driver module's name ("sqlite3", "pymysql", "aiomysql")
// for the module path. Not given, the environment variable TESSARY_DRIVER
// ("native" or "module") decides. 1 for native, 0 for the module, -1 with
// ValueError/TypeError set. `module_name` is the accepted module name.
int wants_native(PyObject* driver, const char* module_name) noexcept;

}  // namespace tsy::db
