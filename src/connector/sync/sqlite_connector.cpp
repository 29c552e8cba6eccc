// Sqlite3Connector: SQLite through the native engine (engines/sqlite/),
// or through the standard sqlite3 module with driver="sqlite3". Its connections run in
// autocommit mode (isolation_level None): every statement outside a
// transaction() block is committed by SQLite itself when it completes.
//
// Each thread has a connection of its own. On a file they wait for each
// other's locks up to the busy timeout (`timeout`, 5 s by default, sqlite3's
// own). transaction() blocks, and the package's own multi-statement writes
// that run in one, begin in `transactionMode`: IMMEDIATE by default, so that
// two blocks that read and then write queue for the write lock at BEGIN
// instead of failing with "database is locked" half-way. `pragmas` run on
// every connection the connector opens, right after it is opened, after
// PRAGMA foreign_keys as `foreignKeys` says (on by default).
//
// ":memory:" is one database for all threads of the connector: a
// shared-cache URI "file:tessary_sync_<n>?mode=memory&cache=shared", read with
// `read_uncommitted` so that a reader is not refused while another thread
// holds uncommitted writes (it sees them), kept alive by an idle keeper
// connection until close(), after which the next statement starts a new,
// empty database as before. A write refused because another thread's
// connection holds the shared cache's write lock (SQLITE_LOCKED, for which
// SQLite has no busy handler) is tried again within the busy timeout.
#include "core/connector.hpp"
#include "core/engines.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace tsy::db {
namespace {

const char* const kInitNames[] = {"path",    "maxConnections",  "acquireTimeout", "driver",      "timeout",
                                  "transactionMode", "pragmas", "foreignKeys",    "idleTimeout", "prePing"};
const char* const kColNames[] = {"col"};

constexpr int kSqliteLocked = 6;  // SQLITE_LOCKED, the primary code of its extended ones
constexpr auto kLockedPause = std::chrono::microseconds(500);

bool is_memory(PyObject* path) noexcept {
    return PyUnicode_Check(path) && PyUnicode_CompareWithASCIIString(path, ":memory:") == 0;
}

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kInitNames, 10, 0};
    PyObject* a[10];
    Ref kwnames, values;
    // Only the path is positional.
    if (PyTuple_GET_SIZE(args) > 1) return arg_count_error("__init__", 0, 1, PyTuple_GET_SIZE(args));
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    Ref path = a[0] ? borrow(a[0]) : steal(PyUnicode_FromString(":memory:"));
    // What sqlite3.connect takes (str, bytes, os.PathLike), checked now: a bad
    // path would otherwise surface only at the first statement.
    if (a[0] && !steal(PyOS_FSPath(a[0]))) return -1;
    int native = wants_native(a[3], "sqlite3");
    if (native < 0) return -1;
    Ref connect = native ? sqlite_engine_connect() : import_attr("sqlite3", "connect");
    if (!path || !connect) return -1;
    if (init_limits(self, a[1], a[2], a[8], a[9]) < 0) return -1;
    ConnectorObject* c = as_connector(self);
    if (set_sqlite_options(c->settings, a[5], a[4], a[6], a[7]) < 0) return -1;
    set_field(c->factory, connect.get());
    if (PyDict_SetItemString(c->settings, "database", path.get()) < 0 ||
        PyDict_SetItemString(c->settings, "isolation_level", Py_None) < 0) {
        return -1;
    }
    c->con_type = 1;
    c->style = STYLE_QMARK;
    c->autocommit = 1;
    return 0;
}

// The (uri, keeper) of the connector's in-memory database, opened by the
// first connection after construction or close().
PyObject* shared_memory(ConnectorObject* c, PyObject* kwargs) noexcept {
    if (c->shared) return c->shared;
    static std::atomic<unsigned long> serial{0};
    Ref uri = steal(PyUnicode_FromFormat("file:tessary_sync_%lu?mode=memory&cache=shared", ++serial));
    if (!uri || PyDict_SetItem(kwargs, names.database, uri.get()) < 0) return nullptr;
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref keeper = steal(PyObject_Call(c->factory, empty.get(), kwargs));
    if (!keeper) return nullptr;
    Ref pair = steal(PyTuple_Pack(2, uri.get(), keeper.get()));
    if (!pair) return nullptr;
    if (!c->shared) c->shared = pair.release();  // the connect may have run code that made one
    return c->shared;
}

// The connector's pragmas on a connection it has just opened; a failing
// one closes it, so that no connection without them is ever used.
int run_pragmas(ConnectorObject* c, PyObject* con) noexcept {
    Ref statements = steal(pragma_statements(c->settings));
    if (!statements) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements.get()); ++i) {
        if (!Ref(steal(run_on(con, PyList_GET_ITEM(statements.get(), i), Py_None, RUN_NONE)))) {
            Ref pending = steal(PyErr_GetRaisedException());
            if (!call_method(con, names.close)) PyErr_Clear();
            PyErr_SetRaisedException(pending.release());
            return -1;
        }
    }
    return 0;
}

// sqlite3.connect with the connector's settings; any thread may close the
// connection (close() does, for all of them), none but its own runs on it.
PyObject* connect_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("connect", nargs, kwnames)) return nullptr;
    ConnectorObject* c = as_connector(self);
    if (!c->factory) return not_initialised(self);
    Ref kwargs = steal(PyDict_Copy(c->settings));
    if (!kwargs || drop_sqlite_options(kwargs.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.check_same_thread, Py_False) < 0) {
        return nullptr;
    }
    PyObject* path = PyDict_GetItemWithError(kwargs.get(), names.database);
    if (!path && PyErr_Occurred()) return nullptr;
    bool memory = path && is_memory(path);
    if (memory) {
        if (PyDict_SetItem(kwargs.get(), names.uri, Py_True) < 0) return nullptr;
        Ref shared = borrow(shared_memory(c, kwargs.get()));
        if (!shared || PyDict_SetItem(kwargs.get(), names.database, PyTuple_GET_ITEM(shared.get(), 0)) < 0) {
            return nullptr;
        }
    }
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return nullptr;
    // The thread's connection is set to read uncommitted rows when it is
    // taken into use (thread_connection), on the cursor its statements use.
    Ref con = steal(PyObject_Call(c->factory, empty.get(), kwargs.get()));
    if (!con || run_pragmas(c, con.get()) < 0) return nullptr;
    return con.release();
}

// "INTEGER" with the table's PRIMARY KEY constraint line makes the key an
// alias of the rowid, which SQLite generates.
PyObject* autoFiledAnnounce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"autoFiledAnnounce", kColNames, 1, 1};
    PyObject* col[1];
    if (!parse(params, args, nargs, kwnames, col)) return nullptr;
    return PyUnicode_FromString("INTEGER");
}

PyObject* get_path(PyObject* self, void*) noexcept {
    PyObject* path = PyDict_GetItemString(as_connector(self)->settings, "database");
    return Py_NewRef(path ? path : Py_None);
}

PyMethodDef methods[] = {
    {"connect", fastkw<connect_method>(), METH_FASTCALL | METH_KEYWORDS,
     "connect($self)\n--\n\nA new connection (native, or sqlite3's) on the connector's database (each thread opens its own at its first "
     "statement)."},
    {"autoFiledAnnounce", fastkw<autoFiledAnnounce>(), METH_FASTCALL | METH_KEYWORDS,
     "autoFiledAnnounce($self, col)\n--\n\n\"INTEGER\": with the PRIMARY KEY constraint the key is the rowid, generated by SQLite."},
    {nullptr, nullptr, 0, nullptr},
};

// Which engine the connections are opened by: the factory tells.
PyObject* get_driver(PyObject* self, void*) noexcept {
    PyObject* factory = as_connector(self)->factory;
    if (!factory) return not_initialised(self);
    Ref native = sqlite_engine_connect();
    if (!native) return nullptr;
    return PyUnicode_FromString(factory == native.get() ? "native" : "sqlite3");
}

PyObject* get_transaction_mode(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_connector(self)->settings, SqliteOption::TransactionMode);
}

PyObject* get_timeout(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_connector(self)->settings, SqliteOption::Timeout);
}

PyObject* get_pragmas(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_connector(self)->settings, SqliteOption::Pragmas);
}

int set_transaction_mode(PyObject* self, PyObject* value, void*) noexcept {
    return set_sqlite_option(self, as_connector(self)->settings, SqliteOption::TransactionMode, value);
}

int set_timeout(PyObject* self, PyObject* value, void*) noexcept {
    return set_sqlite_option(self, as_connector(self)->settings, SqliteOption::Timeout, value);
}

int set_pragmas(PyObject* self, PyObject* value, void*) noexcept {
    return set_sqlite_option(self, as_connector(self)->settings, SqliteOption::Pragmas, value);
}

PyObject* get_foreign_keys(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_connector(self)->settings, SqliteOption::ForeignKeys);
}

int set_foreign_keys(PyObject* self, PyObject* value, void*) noexcept {
    return set_sqlite_option(self, as_connector(self)->settings, SqliteOption::ForeignKeys, value);
}

// Settable, as plain attributes of that name on a subclass always were: the
// value is checked, and the connections (and blocks) opened afterwards follow it.
PyGetSetDef getset[] = {
    {"transactionMode", get_transaction_mode, set_transaction_mode,
     "How transaction() blocks begin: \"IMMEDIATE\" (the default), \"DEFERRED\" or \"EXCLUSIVE\".", nullptr},
    {"timeout", get_timeout, set_timeout, "Seconds a statement waits for another connection's lock (the busy timeout).",
     nullptr},
    {"pragmas", get_pragmas, set_pragmas, "The PRAGMAs run on every new connection (a copy).", nullptr},
    {"foreignKeys", get_foreign_keys, set_foreign_keys,
     "Whether new connections enforce foreign-key constraints (PRAGMA foreign_keys; True by default). A "
     "foreign_keys entry of pragmas wins over it.", nullptr},
    {"path", get_path, nullptr,
     "The database file (\":memory:\" for an in-memory database of this connector, shared by its threads).",
     nullptr},
    {"driver", get_driver, nullptr,
     "\"native\" (SQLite's C API, the default) or \"sqlite3\" (the standard module): the driver option.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject Sqlite3ConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.Sqlite3Connector",
    .tp_basicsize = sizeof(ConnectorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,  // GC inherited
    .tp_doc = "Sqlite3Connector(path=\":memory:\", *, maxConnections=None, acquireTimeout=30.0, driver=None, "
              "timeout=5.0, transactionMode=\"IMMEDIATE\", pragmas=None, foreignKeys=True, idleTimeout=None, "
              "prePing=True)\n--\n\n"
              "Synchronous SQLite connector; each thread connects at its first statement. driver: \"native\" "
              "(SQLite's C API; the default, also when TESSARY_DRIVER=native) or \"sqlite3\" (the standard module; "
              "the default when TESSARY_DRIVER=module). timeout: the busy wait in seconds; transactionMode: how "
              "transaction() blocks begin; pragmas: {name: value} run on every new connection; foreignKeys: "
              "whether its connections enforce foreign-key constraints (a foreign_keys entry of pragmas wins).",
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_init = tp_init,
};

long long steady_now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool retry_when_locked(ConnectorObject* c, long long started) noexcept {
    static PyObject* operational = nullptr;
    Ref error = steal(PyErr_GetRaisedException());
    if (!operational) operational = import_attr("sqlite3", "OperationalError").release();
    PyErr_Clear();
    bool matches = operational && error && PyErr_GivenExceptionMatches(error.get(), operational);
    Ref code = matches ? attr(error.get(), "sqlite_errorcode") : Ref();
    long value = code ? PyLong_AsLong(code.get()) : -1;
    PyErr_Clear();
    double seconds = busy_timeout(c->settings);
    bool in_time = steady_now_ns() - started < static_cast<long long>(seconds * 1e9);
    if ((value & 0xff) != kSqliteLocked || !in_time) {
        PyErr_SetRaisedException(error.release());
        return false;
    }
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(kLockedPause);
    Py_END_ALLOW_THREADS
    return true;
}

void forget_shared_memory(ConnectorObject* c) noexcept {
    if (!c->shared) return;
    Ref shared = steal(c->shared);
    c->shared = nullptr;
    Ref pending = steal(PyErr_GetRaisedException());
    if (!call_method(PyTuple_GET_ITEM(shared.get(), 1), names.close)) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

int ready_sqlite_connector() noexcept {
    Sqlite3ConnectorType.tp_base = &BaseConnectorType;
    return PyType_Ready(&Sqlite3ConnectorType);
}

}  // namespace tsy::db
