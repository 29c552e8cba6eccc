// Internal declarations of the coroutine connectors (AioSqliteConnector,
// AioMysqlConnector), shared by the files of aio/.
//
// Both connectors keep a pool of connections (aio/pool.cpp) that is made
// ready by a setup task on the event loop. The setup starts when the
// connector is made inside a running loop, otherwise at its first touch
// inside one (any attribute read, `isReady` included). Everything here runs
// on the loop's thread with the GIL held, except the SQLite workers
// (aio/sqlite_worker.cpp).
//
// What a connection is and how it does its work is the business of a driver,
// described by one table (AioDriver) per driver: the native SQLite engine
// inline on the loop, the sqlite3 module on worker threads, MariaDB
// Connector/C driven by the loop, aiomysql. The pool calls nothing else.
#pragma once

#include <cstdint>
#include <memory>

#include "core/connector.hpp"
#include "core/statement_log.hpp"
#include "tessary/coro.hpp"

namespace tsy::db {

struct AioDriver;

// The names of a connector type and of its pool's coroutines (their
// __qualname__), string literals.
struct AioConnectorNames {
    const char* type;
    const char* setup;
    const char* getCon;
    const char* releaseCon;
    const char* close;
};

// The MySQL engine's header names the table type so.
using AioBackend = AioDriver;

// Both coroutine connectors. `base` keeps what the synchronous connectors
// have (con_type, placeholder style and cache, driver settings) so that the
// statement text is translated by the same code; its `con` and `factory`
// stay NULL. The pool's state is the same for every driver.
struct AioConnectorObject {
    ConnectorObject base;
    const AioDriver* driver;  // the driver of the pool's new connections; NULL before __init__
    PyObject* loop;        // the loop the setup was started on, or NULL
    PyObject* setup;       // its task, or NULL
    PyObject* idle;        // list of idle connections, the last given back lent first
    PyObject* waiters;     // list of futures of acquisitions waiting in line, first come first served
    PyObject* lent;        // dict: connection handed out -> its generation, for drivers without slot_of
    Py_ssize_t open;       // connections of this generation, open or being opened
    int minsize;
    int maxsize;
    int ready;
    unsigned generation;   // bumped by close() and by a move to another loop
    // Liveness of the pooled connections (aio/pool.cpp): idle ones are
    // closed after `idle_timeout` seconds (< 0: never); one taken from the
    // pool after `pre_ping` seconds idle or more is pinged first (< 0: never),
    // `pre_ping_given` the constructor's value. `idle_since` maps each idle
    // connection to the steady-clock second it went idle, while either is
    // in use; `sweeper` is the loop's timer that closes the expired ones.
    double idle_timeout;
    double pre_ping;
    PyObject* pre_ping_given;
    PyObject* idle_since;
    PyObject* sweeper;
};

inline AioConnectorObject* as_aio(PyObject* obj) noexcept { return reinterpret_cast<AioConnectorObject*>(obj); }

// A connector made by __new__ alone has no driver yet.
inline bool aio_ready(PyObject* obj) noexcept { return as_aio(obj)->driver != nullptr; }

namespace aio {

// The steps a driver's connection takes. Open, Close and the kept-cursor
// steps (OpenCursor, Fetch) are the SQLite drivers' own.
enum class Op : int { Open, Run, Begin, Commit, Rollback, Close, OpenCursor, Fetch };

// The __name__ of a step's coroutine.
constexpr const char* step_name(Op op) noexcept {
    switch (op) {
        case Op::Open: return "open";
        case Op::Begin: return "begin";
        case Op::Commit: return "commit";
        case Op::Rollback: return "rollback";
        case Op::Close: return "close";
        default: return "execute";
    }
}

}  // namespace aio

// What the pool records on a connection it lent, when the connection has
// room for it (aio/pool.cpp).
struct PoolSlot {
    unsigned generation;  // the pool's generation the connection belongs to
    bool lent;            // handed out and not given back yet
    bool returning;       // releaseCon() is giving it back
};

// One driver of a coroutine connector. Awaitables are new references; every
// function runs on the loop's thread with the GIL held. A connection answers
// to the table that opened it (`table_of`), so a connector re-initialised
// with another driver still rolls back and closes its older connections the
// way they need.
struct AioDriver {
    const char* name;       // the connector's `driver`: "native", "sqlite3", "aiomysql"
    // Statements run on this module's own engine (the library it links),
    // not on a driver module's.
    bool native;
    const AioConnectorNames* names;  // of the connector type it serves
    bool loop_bound;        // connections work only on the loop that opened them
    // A pooled Run step (its `settle` true) commits its own work, or rolls
    // it back when it fails, in the same step; otherwise the pool does.
    bool settles_itself;
    // Buffers are bound while the step runs on the loop's thread, so the
    // C-contiguous ones may be bound in place (bindable_args).
    bool binds_in_place;
    // Whether `con` is a connection of `connector` of this driver's kind;
    // TypeError or ValueError otherwise.
    bool (*belongs)(PyObject* connector, PyObject* con);
    // The table of a connection of this connector type.
    const AioDriver* (*table_of)(PyObject* con);
    // The pool's record on `con`; NULL: the pool keeps it in its `lent` dict.
    PoolSlot* (*slot_of)(PyObject* con);
    // Awaitable: a new connection of `connector`, from its settings.
    PyObject* (*open)(PyObject* connector);
    // Awaitable of one step on `con`: Run (driver text and arguments, None
    // for none; the result by `mode`; `trace` measuring it), Begin, Commit,
    // Rollback, and the SQLite drivers' kept-cursor steps.
    PyObject* (*step)(PyObject* con, aio::Op op, PyObject* text, PyObject* args, int mode, bool settle,
                      std::shared_ptr<StatementTrace> trace);
    // Whether `con` may hold uncommitted work for releaseCon() to roll
    // back; NULL: always.
    bool (*may_hold_work)(PyObject* con);
    // At give-back: drops the uncommitted work of `con` (or leaves it to be
    // rolled back when it is next lent, when `rolls_back_when_lent`) and
    // says whether it can be pooled again (false: it is closed). Keeps no
    // error.
    bool (*discard_work)(PyObject* con);
    bool rolls_back_when_lent;
    // Whether an idle connection still looks usable; NULL: always.
    bool (*idle_alive)(PyObject* con);
    // Closes at once, for paths that cannot wait; keeps a pending error.
    void (*close_now)(PyObject* con);
    // Awaitable: closes the connection.
    PyObject* (*close)(PyObject* con);
    // Closes a kept cursor of the connection, ordered before its later
    // steps; NULL for drivers without kept cursors.
    int (*close_cursor)(PyObject* con, PyObject* cursor);
    // The CREATE TABLE type text of the auto-increment key column `col`.
    PyObject* (*auto_field)(PyObject* col);
    // Awaitable of True/False: whether an idle `con` still answers the
    // server; NULL: always alive (the SQLite drivers).
    PyObject* (*ping)(PyObject* con);
};

extern const AioConnectorNames kSqliteConnectorNames;  // aio/sqlite_connector.cpp
extern const AioConnectorNames kMysqlConnectorNames;   // aio/mysql_connector.cpp

extern const AioDriver kNativeSqliteDriver;  // AioSqliteConnector, the native engine (aio/sqlite_native_driver.cpp)
extern const AioDriver kModuleSqliteDriver;  // AioSqliteConnector, driver="sqlite3" (aio/sqlite_module_driver.cpp)
extern const AioDriver kAiomysqlDriver;      // AioMysqlConnector, driver="aiomysql" (aio/mysql_connector.cpp)
// AioMysqlConnector's native driver, kMysqlNativeBackend, is declared with its connection type
// (engines/mysql/nonblocking.hpp) and defined in aio/mysql_native_driver.cpp.

extern PyTypeObject AioSqliteConnectorType;
extern PyTypeObject AioMysqlConnectorType;
extern PyTypeObject AioSqliteConnectionType;
extern PyTypeObject AioTransactionType;
extern PyTypeObject AioScopeType;

int ready_aio(PyObject* module) noexcept;

bool is_aio(PyObject* obj) noexcept;

// The `run` of the capsule: statements of the coroutine connectors give an
// awaitable, the others run at once (sync/statement.cpp).
PyObject* run_any(PyObject* connector, PyObject* con, PyObject* sql, PyObject* args, int mode) noexcept;

// Shared slots of the two connector types (aio/aio_connector.cpp).
namespace aio {

extern PyMethodDef connector_methods[];
int init_common(PyObject* self, const AioDriver* driver) noexcept;
int traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int clear(PyObject* self) noexcept;
void dealloc(PyObject* self) noexcept;
PyObject* getattro(PyObject* self, PyObject* name) noexcept;
PyObject* new_connector(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
PyObject* get_true(PyObject* self, void*) noexcept;
PyObject* get_ready(PyObject* self, void*) noexcept;
PyObject* get_con_type(PyObject* self, void*) noexcept;
int set_con_type(PyObject* self, PyObject* value, void*) noexcept;
PyObject* get_paramstyle(PyObject* self, void*) noexcept;
PyObject* get_minsize(PyObject* self, void*) noexcept;
PyObject* get_maxsize(PyObject* self, void*) noexcept;
PyObject* get_driver(PyObject* self, void*) noexcept;

// idleTimeout (None or seconds > 0) and prePing (True: a check after
// kDefaultPingAfter seconds idle, False: none, or seconds >= 0) of both
// constructors, NULL meaning not given (None, True). -1 with TypeError or
// ValueError, the connector unchanged.
inline constexpr double kDefaultPingAfter = 1.0;
int set_liveness(PyObject* self, PyObject* idle_timeout, PyObject* pre_ping) noexcept;
PyObject* get_idle_timeout(PyObject* self, void*) noexcept;
PyObject* get_pre_ping(PyObject* self, void*) noexcept;

// Starts the setup when a loop runs and it has not been started on that loop
// (or has failed there). -1 on error.
int touch(PyObject* self) noexcept;
// None when the connections are ready; otherwise an awaitable that completes
// when they are (the setup task, shielded from the caller's cancellation).
Ref readiness(PyObject* self) noexcept;

// asyncio helpers.
Ref running_loop() noexcept;                       // the running loop or None
Ref new_future() noexcept;                         // on the running loop; RuntimeError without one
bool is_cancellation(PyObject* exc) noexcept;      // CancelledError or GeneratorExit
// Calls `obj.<name>()` (or `obj.<name>(arg)`) while an error may be pending, keeping that error.
void call_keeping_error(PyObject* obj, PyObject* name, PyObject* arg = nullptr) noexcept;
// Awaitable: a connection of the connector once its pool is ready (getCon()).
PyObject* get_con(PyObject* self) noexcept;

// Runs SQLite work on worker threads (aio/sqlite_worker.cpp): one thread per
// connection, which takes the GIL only to call the sqlite3 module and
// completes the awaiting future on its loop with call_soon_threadsafe.
// OpenCursor and Fetch are the kept cursors of aio/sqlite_stream.cpp.
class Worker;

// Starts a worker thread; its connection is opened by the first job, an
// Open job. NULL with the error set.
Worker* start_worker() noexcept;
// Queues `op` and returns the future it completes (new ref), or queues it
// with nobody waiting when `wait` is false (then None). For Open, `args` is
// the keyword dict of sqlite3.connect and `text` an optional statement run
// right after; for Run, the driver text and arguments, `settle` committing
// (or rolling back) the statement's own transaction.
// A Run job with a `trace` measures its statement on the worker.
PyObject* submit(Worker* worker, Op op, PyObject* text, PyObject* args, int mode, bool settle, bool wait,
                 std::shared_ptr<StatementTrace> trace = {}) noexcept;
// Queues the Close job: the worker closes its connection and ends. The
// pointer must not be used afterwards. Returns the future of the close when
// `wait`, else None.
PyObject* retire(Worker* worker, bool wait) noexcept;
// Calls sqlite3's interrupt() when job `id` is the one running.
void interrupt(Worker* worker, std::uint64_t id) noexcept;
// The id the next submitted job gets.
std::uint64_t next_job(Worker* worker) noexcept;
int ready_workers() noexcept;

}  // namespace aio

// The connection object of AioSqliteConnector (aio/sqlite_connection.cpp),
// the same type on both SQLite drivers. Exactly one of `worker` and `engine`
// is set while it is open, by its driver.
struct SqliteConnectionObject {
    PyObject_HEAD
    const AioDriver* driver;  // the driver it was opened with
    aio::Worker* worker;   // sqlite3 module: the thread owning the connection
    PyObject* engine;      // native: the engine's connection (owned)
    PyObject* connector;   // the connector whose pool it belongs to
    PoolSlot pool;         // the pool's record while it is lent
    // Native driver: its worker and write gate (NativeSqliteState,
    // aio/sqlite_native.hpp), made when the connection opens; NULL otherwise.
    void* native;
};

inline SqliteConnectionObject* as_sqlite_con(PyObject* obj) noexcept {
    return reinterpret_cast<SqliteConnectionObject*>(obj);
}

inline bool sqlite_con_open(const SqliteConnectionObject* c) noexcept { return c->worker || c->engine; }

namespace aio {

// What the SQLite drivers share: a new connection object of `connector` on
// its driver, not open yet (aio/sqlite_connection.cpp), and the connector's
// open arguments of the current generation (aio/sqlite_connector.cpp): the
// keyword dict of sqlite3.connect and the statements run right after opening
// (a new list, maybe empty: the shared cache's reads, then the pragmas).
Ref new_sqlite_connection(PyObject* connector) noexcept;
PyObject* sqlite_connect_kwargs(PyObject* connector) noexcept;  // borrowed
PyObject* sqlite_after_open(PyObject* connector) noexcept;      // new ref
// The settings of the connector `con` belongs to (borrowed), or NULL once
// the connection has been cleared: its options (core/sqlite_options.cpp).
inline PyObject* sqlite_settings_of(PyObject* con) noexcept {
    PyObject* connector = as_sqlite_con(con)->connector;
    return connector ? as_aio(connector)->base.settings : nullptr;
}
// The SQLite tables' `belongs`, `table_of` and `slot_of`.
bool sqlite_belongs(PyObject* connector, PyObject* con) noexcept;
const AioDriver* sqlite_table_of(PyObject* con) noexcept;
PoolSlot* sqlite_slot_of(PyObject* con) noexcept;
// The MySQL tables' `table_of` and `auto_field` (aio/mysql_connector.cpp).
const AioDriver* mysql_table_of(PyObject* con) noexcept;
PyObject* mysql_auto_field(PyObject* col) noexcept;
// The SQLite tables' `auto_field`: "INTEGER", the rowid key (aio/sqlite_connector.cpp).
PyObject* sqlite_auto_field(PyObject* col) noexcept;
// Awaitable of one step on the connection, by its own driver. Run: driver
// text and arguments, `settle` committing (or rolling back) the statement's
// own transaction, `trace` measuring it. OpenCursor: `text` run on a new
// cursor, which it returns. Fetch: `text` the cursor method, `args` (cursor,
// size).
PyObject* sqlite_step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
                      std::shared_ptr<StatementTrace> trace = {}) noexcept;
// Closes the connection by its own driver (fire and forget); no-op when closed.
void close_sqlite_connection(PyObject* con) noexcept;

// Kept cursors (aio/sqlite_stream.cpp): the drivers' side of OpenCursor (runs
// `text` on a new cursor of `connection`, a sqlite3 or engine connection,
// and returns it) and of Fetch (`method` of the cursor `job[0]`, with
// `job[1]` when given); the connection's _openCursor, _fetch and
// _closeCursor methods.
Ref open_cursor(PyObject* connection, PyObject* text, PyObject* args) noexcept;
Ref cursor_step(PyObject* method, PyObject* job) noexcept;
PyObject* open_cursor_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fetch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* close_cursor_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace aio
}  // namespace tsy::db
