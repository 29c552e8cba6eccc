// The native side of AioMysqlConnector: MariaDB Connector/C's non-blocking
// calls driven by the event loop (engines/mysql/nonblocking.cpp), the connection that
// getCon() and transaction() lend (engines/mysql/aio_connection.cpp), and the
// pool behind them (aio/mysql_native_pool.cpp).
//
// Everything runs on the loop's thread with the GIL held: a call that would
// block hands control back to the loop, which watches the connection's socket
// and resumes the call once the socket is ready. No thread is involved.
#pragma once

#include <memory>
#include <string>

#include "aio/aio_connector.hpp"
#include "engines/mysql/engine.hpp"

namespace tsy::db {

// AioMysqlConnector on MariaDB Connector/C (kMysqlBackend: on aiomysql's
// pool). It keeps its idle connections as a list in the connector's `pool`,
// its waiting acquisitions' futures as a list in `waiters`, and counts in
// `open` the connections of the current generation, open or being opened.
extern const AioBackend kMysqlNativeBackend;

// Readies the native connection and cursor types; adds AioMysqlConnection and AioMysqlCursor to the module.
int ready_aio_mysql_engine(PyObject* module) noexcept;

// Tessary.DB.Connector.AioMysqlConnection
struct AioMysqlConnectionObject {
    PyObject_HEAD
    MYSQL* mysql;         // NULL once closed (or before it was opened)
    PyObject* connector;  // the connector whose pool it belongs to
    unsigned generation;  // the pool's generation when it was opened
    bool busy;            // a call is in flight: one at a time per connection
    bool broken;          // lost, or cut in the middle of a call: never pooled again
    bool lent;            // handed out by the pool and not given back yet
    bool dirty;           // may hold uncommitted work: rolled back before it is lent again
    // Once connected, the socket stays registered for reading on the loop
    // that last waited on it (registering costs more than the rest of a
    // statement's work on the loop): `watch_loop` is that loop, `waiter` the
    // future of the wait in progress, `on_readable` the registered callback.
    PyObject* watch_loop;
    PyObject* waiter;
    PyObject* on_readable;
    int watched_fd;
};

extern PyTypeObject AioMysqlConnectionType;

inline AioMysqlConnectionObject* as_mysql_con(PyObject* obj) noexcept {
    return reinterpret_cast<AioMysqlConnectionObject*>(obj);
}

inline bool is_aio_mysql_connection(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, &AioMysqlConnectionType); }

namespace mysql_async {

// Awaitables (new references), each one call in flight on the connection.
// Opens a new connection of `connector` with `settings`; resolves to it.
PyObject* open(PyObject* connector, const MysqlSettings& settings) noexcept;
// Runs driver text ("%s" placeholders) with its arguments (a tuple or list,
// None for none) on `con`; the result by RunMode. `trace` (may be empty)
// gets the statement log's measures.
PyObject* statement(PyObject* con, PyObject* text, PyObject* args, int mode,
                    std::shared_ptr<StatementTrace> trace) noexcept;
// The mode of a cursor's execute(): the result is (rows or None,
// description, rowcount, lastrowid); past every RunMode.
inline constexpr int RUN_CURSOR = 16;
enum class Command { Begin, Commit, Rollback };
PyObject* command(PyObject* con, Command which) noexcept;
// COM_PING on an idle connection; resolves to True when the server
// answered, False when it did not (the connection is then closed: the pool
// drops it). A closed or broken connection is False at once.
PyObject* ping(PyObject* con) noexcept;
// Closes the connection through the library's non-blocking close; resolves to None.
PyObject* close(PyObject* con) noexcept;

// Closes at once, for paths that cannot wait (a connection given back
// broken, a pool dropped by a loop change, a connection collected). Keeps a
// pending error.
void close_now(AioMysqlConnectionObject* c) noexcept;
// Takes the socket off its loop's watch; before anything closes the socket
// (a registered number could be reused by another file). Keeps a pending error.
void unwatch(AioMysqlConnectionObject* c) noexcept;
// Whether an idle connection still looks usable: nothing has arrived on its
// socket since its last call (a killed or timed-out session shows as an
// error packet or the end of the stream).
bool idle_alive(AioMysqlConnectionObject* c) noexcept;
// The error of a call on a closed, busy or broken connection; true when it
// can take a call.
bool usable(AioMysqlConnectionObject* c) noexcept;

// AioMysqlConnection.cursor (engines/mysql/aio_cursor.cpp).
PyObject* cursor_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
int ready_cursor(PyObject* module) noexcept;  // adds AioMysqlCursor

// The socket callbacks and names; part of the module's import.
int ready() noexcept;

}  // namespace mysql_async
}  // namespace tsy::db
