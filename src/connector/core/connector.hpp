// Internal declarations of Tessary.DB.Connector, shared by its files.
#pragma once

#include "core/names.hpp"
#include "tessary/db.hpp"

namespace tsy::db {

// How "%s" placeholders reach the driver.
enum PlaceholderStyle : int {
    STYLE_FORMAT = 0,  // "%s" kept; other '%' doubled when arguments are given (pymysql)
    STYLE_QMARK = 1,   // "%s" becomes "?" (sqlite3)
};

struct ThreadRegistry;
struct StatementTrace;  // statement_log.hpp

// Every connector of this module. The subclasses differ only by data: the
// driver's connect function and its keyword arguments, the placeholder style,
// `con_type`, and whether their connection commits each statement itself.
//
// A synchronous connector gives each thread that uses it a connection of its
// own (ThreadConnectionObject, kept in `local`), so that no connection is
// ever used by two threads; `threads` counts and lists them for close() and
// maxConnections. The coroutine connectors embed it as their `base` and
// keep their pool's state after it (aio/aio_connector.hpp).
struct ConnectorObject {
    PyObject_HEAD
    PyObject* factory;    // driver connect function, or NULL (connect() then has to be overridden)
    PyObject* settings;   // dict of keyword arguments for `factory`
    PyObject* cache;      // dict: statement text -> driver text
    int con_type;
    int style;            // PlaceholderStyle
    int autocommit;       // a connection commits each statement by itself outside transaction()
    PyObject* local;      // threading.local holding this thread's ThreadConnectionObject; NULL for coroutine connectors
    ThreadRegistry* threads;  // shared with the thread connections; NULL for coroutine connectors
    // Sqlite3Connector on ":memory:": (uri, keeper) of the shared-cache
    // database every thread's connection opens, the keeper an idle connection
    // that keeps it alive until close(); NULL until the first connection.
    PyObject* shared;
    // The read replicas of a MySQL connector made with `replicas=`
    // (a ReplicaSetObject, core/read_routing.hpp), or NULL.
    PyObject* replicas;
};

// One thread's connection of a synchronous connector and what goes with it.
// It lives in the connector's threading.local: the interpreter drops it when
// the thread ends, and its dealloc closes the connection.
struct ThreadConnectionObject {
    PyObject_HEAD
    ThreadRegistry* registry;      // counted reference, shared with the connector
    ThreadConnectionObject* prev;  // the registry's list of every live thread connection
    ThreadConnectionObject* next;
    unsigned long thread;  // the owner's thread identifier
    PyObject* con;         // NULL until the thread's first statement
    // A sqlite3 cursor of `cursor_con` kept between statements, or NULL;
    // `cursor_busy` while a statement runs on it (a nested one makes its own).
    PyObject* cursor;
    PyObject* cursor_con;
    int cursor_busy;
    int depth;    // open transaction() blocks of this thread on `con`
    int running;  // driver calls on `con` under way
    int retire;   // close() from another thread came while running: closed when they end
    int counted;  // `con` holds one of the connector's maxConnections slots
    // Scopes and the pool of idle connections (sync/scope.cpp, sync/idle_pool.cpp):
    int scopes;         // open scope() blocks of this thread; nested ones join the outermost
    int exposed;        // `con` was handed out (getCon()): its user may close it, checked before reuse
    int movable;        // `con` may serve another thread later (the connector's own connect() opened it)
    long long used_ns;  // when `con` was last taken into use (steady clock), for prePing
    // Bumped whenever the thread gives its connection back (scope end,
    // release()): a transaction() block begun before has nothing left to end.
    unsigned long lending;
};

inline ThreadConnectionObject* as_thread_con(PyObject* obj) noexcept {
    return reinterpret_cast<ThreadConnectionObject*>(obj);
}

inline ConnectorObject* as_connector(PyObject* obj) noexcept { return reinterpret_cast<ConnectorObject*>(obj); }


extern PyTypeObject BaseConnectorType;
extern PyTypeObject Sqlite3ConnectorType;
extern PyTypeObject MysqlConnectorType;
extern PyTypeObject TransactionType;

int ready_base_connector() noexcept;
// repr of every connector: its class and where it connects (path, or host, port, user and
// database), read from its driver settings; never the password.
PyObject* connector_repr(PyObject* self) noexcept;
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

// --- thread connections (sync/thread_connections.cpp) ------------------------------

// The registry of a new synchronous connector, or NULL with the error set.
ThreadRegistry* new_registry() noexcept;
// Drops the connector's reference; the last one frees it.
void release_registry(ThreadRegistry* registry) noexcept;
// maxConnections (None or a positive int) and acquireTimeout (seconds, a
// non-negative number) of a connector's constructor; NULL leaves a value as it is.
int set_limits(ConnectorObject* c, PyObject* max_connections, PyObject* acquire_timeout) noexcept;
// What the constructors do with them and with idleTimeout and prePing: a
// value not given is the default (None, 30 s, None, True).
int init_limits(PyObject* self, PyObject* max_connections, PyObject* acquire_timeout, PyObject* idle_timeout,
                PyObject* pre_ping) noexcept;
// idleTimeout (None or seconds > 0) and prePing (a bool, or seconds >= 0);
// NULL leaves a value as it is. -1 with TypeError or ValueError naming it.
int set_pool_options(ConnectorObject* c, PyObject* idle_timeout, PyObject* pre_ping) noexcept;
PyObject* get_idle_timeout(ConnectorObject* c) noexcept;
PyObject* get_pre_ping(ConnectorObject* c) noexcept;
// Connections idle in the pool now.
int idle_connections(ConnectorObject* c) noexcept;
PyObject* get_max_connections(ConnectorObject* c) noexcept;
PyObject* get_acquire_timeout(ConnectorObject* c) noexcept;
// Connections open now, all threads together.
int open_connections(ConnectorObject* c) noexcept;

// The calling thread's ThreadConnectionObject (new ref), made on first use.
Ref thread_state(PyObject* self) noexcept;
// The calling thread's one if it has been made (new ref), else None.
Ref existing_thread_state(PyObject* self) noexcept;
// The thread's connection, opened through the connector's `connect()` on
// first use (borrowed from `s`). With maxConnections open it waits, without
// the GIL, until one is closed, for at most acquireTimeout: TimeoutError.
PyObject* thread_connection(PyObject* self, ThreadConnectionObject* s) noexcept;
// Gives back the maxConnections slot of the connection `s` no longer holds.
void release_slot(ThreadConnectionObject* s) noexcept;
// The calling thread's connection (borrowed, held by its thread state).
PyObject* own_connection(PyObject* self) noexcept;
// The same for getCon() (new ref): the connection is marked as handed out,
// so that a close() by its user is noticed before the next statement and it
// is not given to another thread when this one ends.
PyObject* handed_out_connection(PyObject* self) noexcept;

// Closes every connection of the connector, the idle ones included: now
// where no statement runs on it, otherwise by its thread when the statement
// ends. -1 with the calling thread's close() error after all were tried.
int close_all(PyObject* self) noexcept;
// The connector is being destroyed: connections given back from now on are
// closed, and the idle ones are closed now.
void orphan_registry(ConnectorObject* c) noexcept;
int traverse_registry(ConnectorObject* c, visitproc visit, void* arg) noexcept;

// --- scopes (sync/scope.cpp) -------------------------------------------------------

// Tessary.DB.Connector.Scope: `with connector.scope():` lends the calling
// thread one pooled connection for the block.
extern PyTypeObject ScopeType;
int ready_scope() noexcept;
// connector.release(): the calling thread's held connection back to the pool.
PyObject* release_connection(PyObject* self) noexcept;

// Marks driver calls on the thread's own connection; when the last one ends
// after a close() from another thread, the connection is closed (the pending
// error kept).
class Running {
public:
    explicit Running(ThreadConnectionObject* s, bool own = true) noexcept : s_(own ? s : nullptr) {
        if (s_) ++s_->running;
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() { finish(); }
    void finish() noexcept;

private:
    ThreadConnectionObject* s_;
};

// --- statements (sync/statement.cpp) ---------------------------------------------

// The capability flag the MySQL connectors open their connections with
// (CLIENT_FOUND_ROWS, the same bit for pymysql, aiomysql and the library): an
// UPDATE counts the rows it matched, not only those whose values changed, as
// SQLite counts them. A write by key that finds its row then reads 1, which
// optimistic locking relies on.
inline constexpr long kClientFoundRows = 2;

// Runs one statement on a connector of this module; `con` NULL or None means
// the calling thread's own connection. Result by `mode` (RunMode).
PyObject* run(PyObject* self, PyObject* con, PyObject* sql, PyObject* args, int mode) noexcept;
// The same on this module's connectors, without the statement log's record
// and without read routing: the statement runs on `self` itself.
PyObject* run_statement(PyObject* self, PyObject* con, PyObject* sql, PyObject* args, int mode,
                        StatementTrace* trace) noexcept;

// The rule for a statement run on a connection the caller does not hold
// (a connector's own, or a pooled one): committed right after it ran, rolled
// back when it (or its commit) failed, so that nothing is lost and no failed
// statement leaves a transaction open. `result` is the statement's (NULL
// with its error set); the error is kept. The result, or NULL. A connection
// whose commit and rollback are awaited does the same in aio/pool.cpp.
PyObject* commit_or_rollback(PyObject* conn, Ref result) noexcept;

// cursor.rowcount after a statement ran: RUN_COUNT's result (new ref); -1
// when the cursor has no integer rowcount.
Ref written_rows(PyObject* cursor) noexcept;

// Runs one statement on any DB-API connection; no commit or rollback.
// `trace` (when given) gets the measures of the statement log.
PyObject* run_on(PyObject* conn, PyObject* text, PyObject* args, int mode, StatementTrace* trace = nullptr) noexcept;

// Runs `text` (no arguments, no result) on the thread's connection the way
// its statements run: on the kept cursor of a plain sqlite3 connection, so
// that a set-up statement costs no cursor of its own. -1 on error.
int run_on_thread(ThreadConnectionObject* s, PyObject* text) noexcept;

// Closes and forgets the thread's kept cursor, if any; keeps a pending error.
void forget_cursor(ThreadConnectionObject* s) noexcept;

// Forgets the thread's connection when a failure has closed it (a driver
// that tells so through a false `open`, as pymysql's does after the server
// went away), so that the next statement opens a new one. Inside a
// transaction() block it is kept: the block's later statements must fail,
// not run outside it. Keeps the pending error.
void drop_if_broken(ThreadConnectionObject* s) noexcept;

// --- liveness (core/liveness.cpp) --------------------------------------------------

// Whether `con`, a connection of the synchronous connector `self`, still
// answers: 1 alive, 0 dead (the caller discards it and opens another), -1
// with an error set. A SQLite connection is always alive.
int ping_connection(PyObject* self, PyObject* con) noexcept;
// Adds _ping(connector, con) to the module.
int add_liveness_functions(PyObject* module) noexcept;

// --- Sqlite3Connector (sync/sqlite_connector.cpp) ----------------------------------

// True when the pending error is a shared-cache table lock (SQLITE_LOCKED)
// of a ":memory:" connector that another thread's connection holds, and
// `started` (a steady-clock time in ns) is less than the busy timeout ago:
// the error is then cleared after a short pause without the GIL, for the
// statement to be tried again.
bool retry_when_locked(ConnectorObject* c, long long started) noexcept;
long long steady_now_ns() noexcept;
// Closes the keeper of the shared in-memory database; the next connection
// opens a new, empty one. Keeps a pending error.
void forget_shared_memory(ConnectorObject* c) noexcept;

// --- options of the SQLite connectors (core/sqlite_options.cpp) ----------------------

// Checks transactionMode ("IMMEDIATE", the default, "DEFERRED" or
// "EXCLUSIVE", any case), timeout (seconds >= 0, default 5), pragmas (a
// dict of plain identifiers to int, str or bool values; None or not given for
// none) and foreignKeys (a bool, default True) and keeps them in `settings`:
// "transactionMode" (upper case), "timeout" (a float), "pragmas" (a checked
// copy) and "foreignKeys". NULL means not given. -1 with TypeError or ValueError.
int set_sqlite_options(PyObject* settings, PyObject* mode, PyObject* timeout, PyObject* pragmas,
                       PyObject* foreign_keys) noexcept;
// Removes the keys the connect function does not take from a copy of the
// settings ("transactionMode", "pragmas", "foreignKeys"). -1 on error.
int drop_sqlite_options(PyObject* kwargs) noexcept;
// The statement that begins a transaction on the settings' connections:
// "BEGIN <mode>", or "BEGIN" where no mode is kept (the MySQL connectors).
// Borrowed, immortal.
PyObject* begin_text(PyObject* settings) noexcept;
// The busy timeout kept in the settings, in seconds (5 when none is).
double busy_timeout(PyObject* settings) noexcept;
// The kept value of an option, for the connectors' attributes (the pragmas
// as a new dict). New ref; RuntimeError when `self` was never initialised.
enum class SqliteOption { TransactionMode, Timeout, Pragmas, ForeignKeys };
PyObject* sqlite_option(PyObject* self, PyObject* settings, SqliteOption which) noexcept;
// Replaces one kept option, checked as the constructors check it: the
// connections and transactions opened afterwards follow it. -1 with the
// error set (AttributeError for a deletion).
int set_sqlite_option(PyObject* self, PyObject* settings, SqliteOption which, PyObject* value) noexcept;
// The PRAGMA statements every new connection runs (new list): foreign_keys
// ON or OFF as foreignKeys says, unless the pragmas name foreign_keys
// themselves (their value wins), then the kept pragmas in their order.
PyObject* pragma_statements(PyObject* settings) noexcept;

// --- transaction() (sync/transaction.cpp) ------------------------------------------

// Opens a transaction() level on the thread's connection: BEGIN for the
// outermost, SAVEPOINT sp_<level> inside one. `*level` gets the new block's
// level (0 for the outermost). The connection (new ref), or NULL.
PyObject* enter_transaction(PyObject* self, ThreadConnectionObject* s, int* level) noexcept;
// Closes the level entered by enter_transaction; `ok` false rolls back (to
// its savepoint). -1 on error.
int exit_transaction(PyObject* self, ThreadConnectionObject* s, int level, bool ok) noexcept;

// The savepoint statements of nested transaction() blocks (new refs).
PyObject* savepoint_sql(const char* verb, int level) noexcept;

}  // namespace tsy::db
