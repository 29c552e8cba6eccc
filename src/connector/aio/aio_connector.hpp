// Internal declarations of the coroutine connectors (AioSqliteConnector,
// AioMysqlConnector), shared by the files of aio/.
//
// Both connectors keep a pool of connections that is made ready by a setup
// task on the event loop. The setup starts when the connector is made inside
// a running loop, otherwise at its first touch inside one (any attribute
// read, `isReady` included). Everything here runs on the loop's thread with
// the GIL held, except the SQLite workers (aio/sqlite_worker.cpp).
#pragma once

#include <cstdint>
#include <memory>

#include "core/connector.hpp"
#include "core/statement_log.hpp"
#include "tessary/coro.hpp"

namespace tsy::db {

struct AioBackend;

// Both coroutine connectors. `base` keeps what the synchronous connectors
// have (con_type, placeholder style and cache, driver settings) so that the
// statement text is translated by the same code; its `con` and `factory`
// stay NULL.
struct AioConnectorObject {
    ConnectorObject base;
    const AioBackend* backend;
    PyObject* loop;        // the loop the setup was started on, or NULL
    PyObject* setup;       // its task, or NULL
    PyObject* pool;        // MySQL: aiomysql's Pool; SQLite: list of idle connections
    PyObject* waiters;     // SQLite: futures of acquisitions waiting for a connection
    Py_ssize_t open;       // SQLite: connections of this generation, open or being opened
    int minsize;
    int maxsize;
    int ready;
    unsigned generation;   // bumped by close(): older connections are closed when given back
};

inline AioConnectorObject* as_aio(PyObject* obj) noexcept { return reinterpret_cast<AioConnectorObject*>(obj); }

// A connector made by __new__ alone has no driver side (backend) yet.
inline bool aio_ready(PyObject* obj) noexcept { return as_aio(obj)->backend != nullptr; }

// What differs between the two drivers. Awaitables are new references.
struct AioBackend {
    const char* name;
    bool loop_bound;  // the pool works only on the loop it was made on
    // The coroutine of the setup task; sets `ready` when it succeeds.
    PyObject* (*setup)(PyObject* self);
    // Drops the state bound to a loop that is no longer the running one.
    void (*forget)(AioConnectorObject* self);
    // Awaitable: a connection of the pool, lent to the caller.
    PyObject* (*acquire)(PyObject* self);
    // Awaitable: rolls `con` back and gives it back to the pool.
    PyObject* (*release)(PyObject* self, PyObject* con);
    // Gives `con` back at once, from cleanup paths; closes it when `broken`.
    // Keeps the error indicator as it was.
    void (*give_back)(PyObject* self, PyObject* con, bool broken);
    // Awaitable: runs driver text with its arguments (None for none) on `con`,
    // or on a pooled connection committed afterwards when `con` is None.
    // `trace`, when not empty, gets the statement log's measures.
    PyObject* (*run)(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
                     const std::shared_ptr<StatementTrace>& trace);
    // Awaitable: closes every connection; the next touch sets the pool up anew.
    PyObject* (*close)(PyObject* self);
    // The CREATE TABLE type text of the auto-increment key column `col`.
    PyObject* (*auto_field)(PyObject* col);
};

extern const AioBackend kSqliteBackend;        // AioSqliteConnector, driver="sqlite3"
extern const AioBackend kNativeSqliteBackend;  // AioSqliteConnector, the native engine
extern const AioBackend kMysqlBackend;

extern PyTypeObject AioSqliteConnectorType;
extern PyTypeObject AioMysqlConnectorType;
extern PyTypeObject AioSqliteConnectionType;
extern PyTypeObject AioTransactionType;

int ready_aio(PyObject* module) noexcept;

bool is_aio(PyObject* obj) noexcept;

// The `run` of the capsule: statements of the coroutine connectors give an
// awaitable, the others run at once (sync/statement.cpp).
PyObject* run_any(PyObject* connector, PyObject* con, PyObject* sql, PyObject* args, int mode) noexcept;

// Shared slots of the two connector types (aio/aio_connector.cpp).
namespace aio {

extern PyMethodDef connector_methods[];
int init_common(PyObject* self, const AioBackend* backend) noexcept;
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

// A connection lent by a connector, given back when the coroutine holding it
// ends however it ends: returned, failed, cancelled or dropped. `broken`
// closes it instead of pooling it again.
class Lease {
public:
    Lease() noexcept = default;
    Lease(PyObject* connector, Ref con) noexcept : connector_(borrow(connector)), con_(std::move(con)) {}
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&& other) noexcept {
        finish();
        connector_ = std::move(other.connector_);
        con_ = std::move(other.con_);
        broken = other.broken;
        return *this;
    }
    ~Lease() { finish(); }

    PyObject* con() const noexcept { return con_.get(); }
    // Ends the lease without giving the connection back.
    Ref take() noexcept { return std::move(con_); }

    bool broken = false;

private:
    void finish() noexcept {
        if (con_) as_aio(connector_.get())->backend->give_back(connector_.get(), con_.get(), broken);
        con_.reset();
    }

    Ref connector_;
    Ref con_;
};

// Runs SQLite work on worker threads (aio/sqlite_worker.cpp): one thread per
// connection, which takes the GIL only to call the sqlite3 module and
// completes the awaiting future on its loop with call_soon_threadsafe.
// OpenCursor and Fetch are the kept cursors of aio/sqlite_stream.cpp.
enum class Op : int { Open, Run, Begin, Commit, Rollback, Close, OpenCursor, Fetch };

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

// How the connections of AioSqliteConnector do their work. The pool
// (aio/sqlite_connector.cpp) and the connection type handed to applications
// (aio/sqlite_connection.cpp) are one for both drivers; only these steps
// differ: the sqlite3 module on a worker thread per connection
// (aio/sqlite_module_driver.cpp), or the native engine inline on the loop's thread
// (aio/sqlite_native_driver.cpp).
struct SqliteDriver {
    const char* name;  // the connector's `driver`: "sqlite3" or "native"
    // Awaitable resolving to `con` once its database is open; `connect_kwargs`
    // are sqlite3.connect's (database, uri, timeout, ...), `after_open` an
    // optional statement run right after.
    PyObject* (*open)(PyObject* con, PyObject* connect_kwargs, PyObject* after_open);
    // Awaitable of one step on `con` (Run, Begin, Commit, Rollback, OpenCursor,
    // Fetch; see sqlite_step).
    PyObject* (*step)(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
                      std::shared_ptr<StatementTrace> trace);
    // Drops the uncommitted work of a connection given back, ahead of
    // whatever its next user does. False when the connection cannot be used
    // any more (the error cleared).
    bool (*discard_work)(PyObject* con);
    // Closes the connection: at once (fire and forget), or as an awaitable.
    void (*close_now)(PyObject* con);
    PyObject* (*close)(PyObject* con);
    // Closes a kept cursor of the connection, ordered before its later steps.
    int (*close_cursor)(PyObject* con, PyObject* cursor);
};

extern const SqliteDriver kModuleSqlite;  // aio_sqlite_module.cpp
extern const SqliteDriver kNativeSqlite;  // aio_sqlite_native.cpp

}  // namespace aio

// The connection object of AioSqliteConnector (aio/sqlite_connection.cpp).
// Exactly one of `worker` and `engine` is set while it is open, by its driver.
struct SqliteConnectionObject {
    PyObject_HEAD
    const aio::SqliteDriver* driver;
    aio::Worker* worker;   // sqlite3 module: the thread owning the connection
    PyObject* engine;      // native: the engine's connection (owned)
    PyObject* connector;   // the connector whose pool it belongs to
    unsigned generation;
    int lent;              // handed out and not given back yet
};

inline SqliteConnectionObject* as_sqlite_con(PyObject* obj) noexcept {
    return reinterpret_cast<SqliteConnectionObject*>(obj);
}

inline bool sqlite_con_open(const SqliteConnectionObject* c) noexcept { return c->worker || c->engine; }

namespace aio {

// The driver of AioSqliteConnector `connector`'s new connections.
const SqliteDriver* sqlite_driver_of(PyObject* connector) noexcept;

// A new connection of `connector` (an awaitable resolving to it once its
// database is open).
PyObject* open_sqlite_connection(PyObject* connector, PyObject* connect_kwargs, PyObject* after_open) noexcept;
// Awaitable of one step on the connection, by its driver. Run: driver text
// and arguments, `settle` committing (or rolling back) the statement's own
// transaction, `trace` measuring it. OpenCursor: `text` run on a new cursor,
// which it returns. Fetch: `text` the cursor method, `args` (cursor, size).
PyObject* sqlite_step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool settle,
                      std::shared_ptr<StatementTrace> trace = {}) noexcept;
// Closes the connection (fire and forget); no-op when closed.
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
