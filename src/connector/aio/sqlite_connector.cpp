// AioSqliteConnector: SQLite without blocking the loop, on one of two
// drivers (AioDriver tables, aio/aio_connector.hpp), picked by the constructor's
// `driver`:
// - "native" (the default): the native engine, each step run inline on the
//   loop's thread when it is awaited (aio/sqlite_native_driver.cpp). A statement
//   then costs about what it costs synchronously; lock waits become sleeps
//   on the loop.
// - "sqlite3": the standard sqlite3 module, each pooled connection on a
//   worker thread of its own (aio/sqlite_module_driver.cpp, aio/sqlite_worker.cpp), a
//   thread hand-off per step.
// The pool (aio/pool.cpp) is the same for both: it opens one connection at
// its setup, grows on demand up to `maxsize` and keeps the connections it
// opened.
//
// ":memory:" is one in-memory database per connector shared by all its
// connections: a shared-cache URI "file:tessary_mem_<n>?mode=memory&cache=shared",
// read with `read_uncommitted` so that a reader is not refused while another
// connection holds uncommitted writes (it sees them). Each close() starts a
// new, empty database, as the synchronous connector does.
//
// A connection handed out (getCon(), transaction()) keeps sqlite3's default
// transaction handling on both drivers: a write opens a transaction that
// lasts until commit() or rollback(). Statements the handle runs without a
// connection are committed right after they ran.
//
// The options are the synchronous connector's (core/sqlite_options.cpp):
// `transactionMode` begins transaction() blocks and the transactions a
// handed-out connection opens before a write (its explicit begin() stays
// the plain BEGIN); `timeout` is the busy wait; `foreignKeys` and
// `pragmas` run on every connection the pool opens.
#include <atomic>

#include "aio/aio_connector.hpp"
#include "core/engines.hpp"

namespace tsy::db {
namespace {

constexpr int kDefaultMaxsize = 5;

bool is_memory(PyObject* path) noexcept { return PyUnicode_CompareWithASCIIString(path, ":memory:") == 0; }

// The keyword arguments of sqlite3.connect for the current generation.
Ref connect_kwargs(AioConnectorObject* c) noexcept {
    static std::atomic<unsigned long> serial{0};
    PyObject* path = PyDict_GetItemWithError(c->base.settings, names.path);
    if (!path) return PyErr_Occurred() ? Ref() : fail(PyExc_RuntimeError, "AioSqliteConnector is not initialised");
    Ref database;
    bool uri = false;
    if (is_memory(path)) {
        database = steal(PyUnicode_FromFormat("file:tessary_mem_%lu?mode=memory&cache=shared", ++serial));
        uri = true;
    } else {
        database = borrow(path);
        Ref prefix = steal(PyUnicode_FromString("file:"));
        if (!prefix) return {};
        Py_ssize_t starts = PyUnicode_Tailmatch(path, prefix.get(), 0, PY_SSIZE_T_MAX, -1);
        if (starts < 0) return {};
        uri = starts == 1;
    }
    Ref timeout = steal(PyFloat_FromDouble(busy_timeout(c->base.settings)));
    Ref kwargs = steal(PyDict_New());
    if (!database || !timeout || !kwargs) return {};
    // sqlite3's implicit BEGIN before a write, in the connector's mode too.
    static PyObject* isolation_level = intern("isolation_level");
    Ref mode = steal(sqlite_option(reinterpret_cast<PyObject*>(c), c->base.settings, SqliteOption::TransactionMode));
    if (!mode) return {};
    if (PyDict_SetItem(kwargs.get(), names.database, database.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.uri, uri ? Py_True : Py_False) < 0 ||
        PyDict_SetItem(kwargs.get(), names.check_same_thread, Py_False) < 0 ||
        PyDict_SetItem(kwargs.get(), names.timeout, timeout.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), isolation_level, mode.get()) < 0) {
        return {};
    }
    return kwargs;
}

}  // namespace

namespace aio {

// Every connection of one generation opens the same database: the connect
// arguments are kept in the settings with the generation they were made for.
PyObject* sqlite_connect_kwargs(PyObject* connector) noexcept {
    AioConnectorObject* c = as_aio(connector);
    PyObject* kept = PyDict_GetItemWithError(c->base.settings, names._connect);
    if (!kept && PyErr_Occurred()) return nullptr;
    if (kept && PyTuple_Check(kept) && PyTuple_GET_SIZE(kept) == 2 &&
        PyLong_AsUnsignedLong(PyTuple_GET_ITEM(kept, 0)) == c->generation) {
        return PyTuple_GET_ITEM(kept, 1);
    }
    PyErr_Clear();
    Ref fresh = connect_kwargs(c);
    if (!fresh) return nullptr;
    Ref entry = steal(Py_BuildValue("(kO)", static_cast<unsigned long>(c->generation), fresh.get()));
    if (!entry || PyDict_SetItem(c->base.settings, names._connect, entry.get()) < 0) return nullptr;
    return fresh.get();  // borrowed: the settings dict holds it
}

PyObject* sqlite_after_open(PyObject* connector) noexcept {
    PyObject* settings = as_aio(connector)->base.settings;
    Ref statements = steal(pragma_statements(settings));
    if (!statements) return nullptr;
    PyObject* path = PyDict_GetItem(settings, names.path);
    if (path && is_memory(path) && PyList_Insert(statements.get(), 0, names.shared_reads_sql) < 0) return nullptr;
    return statements.release();
}

// "INTEGER": with the PRIMARY KEY constraint line the key is the rowid, as
// with Sqlite3Connector.
PyObject* sqlite_auto_field(PyObject*) noexcept { return PyUnicode_FromString("INTEGER"); }

}  // namespace aio

namespace {

// --- the type -----------------------------------------------------------------

const char* const kInitNames[] = {"path",    "maxsize",         "driver",  "timeout",     "transactionMode",
                                  "pragmas", "foreignKeys",     "idleTimeout", "prePing"};

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kInitNames, 9, 0};
    PyObject* a[9];
    Ref kwnames, values;
    // `driver` is a keyword only.
    if (PyTuple_GET_SIZE(args) > 2) return arg_count_error("__init__", 0, 2, PyTuple_GET_SIZE(args));
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    int native = wants_native(a[2], "sqlite3");
    if (native < 0) return -1;
    Ref path = a[0] ? borrow(a[0]) : steal(PyUnicode_FromString(":memory:"));
    if (!path || !check_arg(path.get(), &PyUnicode_Type, "path", false)) return -1;
    int maxsize = kDefaultMaxsize;
    if (a[1] && !to_int(a[1], &maxsize)) return -1;
    if (maxsize < 1) return fail(PyExc_ValueError, "maxsize must be at least 1, not %d", maxsize);
    AioConnectorObject* c = as_aio(self);
    PyDict_Clear(c->base.settings);
    if (PyDict_SetItem(c->base.settings, names.path, path.get()) < 0) return -1;
    if (set_sqlite_options(c->base.settings, a[4], a[3], a[5], a[6]) < 0) return -1;
    if (aio::set_liveness(self, a[7], a[8]) < 0) return -1;
    c->base.con_type = 1;
    c->base.style = STYLE_QMARK;
    c->minsize = 1;
    c->maxsize = maxsize;
    return aio::init_common(self, native ? &kNativeSqliteDriver : &kModuleSqliteDriver);
}

PyObject* get_path(PyObject* self, void*) noexcept {
    PyObject* path = PyDict_GetItemWithError(as_aio(self)->base.settings, names.path);
    if (!path && PyErr_Occurred()) return nullptr;
    return Py_NewRef(path ? path : Py_None);
}

PyObject* get_driver(PyObject* self, void*) noexcept {
    if (!aio_ready(self)) return not_initialised(self);
    return PyUnicode_FromString(as_aio(self)->driver->name);
}

PyObject* get_transaction_mode(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_aio(self)->base.settings, SqliteOption::TransactionMode);
}

PyObject* get_timeout(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_aio(self)->base.settings, SqliteOption::Timeout);
}

PyObject* get_pragmas(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_aio(self)->base.settings, SqliteOption::Pragmas);
}

// The connect arguments kept for the current generation follow a changed
// timeout or mode (the database they name stays: a ":memory:" one is shared).
int refresh_connect_kwargs(PyObject* self) noexcept {
    AioConnectorObject* c = as_aio(self);
    PyObject* kept = PyDict_GetItemWithError(c->base.settings, names._connect);
    if (!kept) return PyErr_Occurred() ? -1 : 0;
    if (!PyTuple_Check(kept) || PyTuple_GET_SIZE(kept) != 2 || !PyDict_Check(PyTuple_GET_ITEM(kept, 1))) return 0;
    PyObject* kwargs = PyTuple_GET_ITEM(kept, 1);
    static PyObject* isolation_level = intern("isolation_level");
    Ref timeout = steal(PyFloat_FromDouble(busy_timeout(c->base.settings)));
    Ref mode = steal(sqlite_option(self, c->base.settings, SqliteOption::TransactionMode));
    if (!timeout || !mode) return -1;
    if (PyDict_SetItem(kwargs, names.timeout, timeout.get()) < 0) return -1;
    return PyDict_SetItem(kwargs, isolation_level, mode.get());
}

int set_option(PyObject* self, SqliteOption which, PyObject* value) noexcept {
    if (!aio_ready(self)) return not_initialised(self);
    if (set_sqlite_option(self, as_aio(self)->base.settings, which, value) < 0) return -1;
    return refresh_connect_kwargs(self);
}

int set_transaction_mode(PyObject* self, PyObject* value, void*) noexcept {
    return set_option(self, SqliteOption::TransactionMode, value);
}

int set_timeout(PyObject* self, PyObject* value, void*) noexcept { return set_option(self, SqliteOption::Timeout, value); }

int set_pragmas(PyObject* self, PyObject* value, void*) noexcept { return set_option(self, SqliteOption::Pragmas, value); }

PyObject* get_foreign_keys(PyObject* self, void*) noexcept {
    return sqlite_option(self, as_aio(self)->base.settings, SqliteOption::ForeignKeys);
}

int set_foreign_keys(PyObject* self, PyObject* value, void*) noexcept {
    return set_option(self, SqliteOption::ForeignKeys, value);
}

// Settable, as plain attributes of that name on a subclass always were: the
// value is checked, and the connections (and blocks) opened afterwards follow it.
PyGetSetDef getset[] = {
    {"transactionMode", get_transaction_mode, set_transaction_mode,
     "How transaction() blocks (and a handed-out connection's first write) begin: \"IMMEDIATE\" (the default), "
     "\"DEFERRED\" or \"EXCLUSIVE\".", nullptr},
    {"timeout", get_timeout, set_timeout, "Seconds a statement waits for another connection's lock (the busy timeout).",
     nullptr},
    {"pragmas", get_pragmas, set_pragmas, "The PRAGMAs run on every new connection (a copy).", nullptr},
    {"foreignKeys", get_foreign_keys, set_foreign_keys,
     "Whether new connections enforce foreign-key constraints (PRAGMA foreign_keys; True by default). A "
     "foreign_keys entry of pragmas wins over it.", nullptr},
    {"isAsync", aio::get_true, nullptr, "True: statements are awaited on an event loop.", nullptr},
    {"isReady", aio::get_ready, nullptr,
     "True once the first connection is open; reading it inside a running loop starts the setup.", nullptr},
    {"con_type", aio::get_con_type, aio::set_con_type, "1: INSERT column lists as single-quoted names.", nullptr},
    {"paramstyle", aio::get_paramstyle, nullptr, "'qmark': \"%s\" becomes \"?\".", nullptr},
    {"maxsize", aio::get_maxsize, nullptr, "Most connections open at once (on the module path, worker threads too).", nullptr},
    {"driver", get_driver, nullptr,
     "\"native\" (the engine, steps inline on the loop's thread) or \"sqlite3\" (the module, a worker thread per "
     "connection).", nullptr},
    {"idleTimeout", aio::get_idle_timeout, nullptr,
     "Seconds after which an idle pooled connection is closed; None: never.", nullptr},
    {"prePing", aio::get_pre_ping, nullptr,
     "Whether a connection taken from the pool after idling is checked first (SQLite connections are always "
     "alive).", nullptr},
    {"path", get_path, nullptr, "The database file (\":memory:\": one in-memory database per connector).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const AioConnectorNames kSqliteConnectorNames = {
    .type = "AioSqliteConnector",
    .setup = "AioSqliteConnector.setup",
    .getCon = "AioSqliteConnector.getCon",
    .releaseCon = "AioSqliteConnector.releaseCon",
    .close = "AioSqliteConnector.close",
};

PyTypeObject AioSqliteConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioSqliteConnector",
    .tp_basicsize = sizeof(AioConnectorObject),
    .tp_dealloc = aio::dealloc,
    .tp_repr = connector_repr,
    .tp_getattro = aio::getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "AioSqliteConnector(path=':memory:', maxsize=5, *, driver=None, timeout=5.0, "
              "transactionMode='IMMEDIATE', pragmas=None, foreignKeys=True, idleTimeout=None, prePing=True)\n--\n\n"
              "AioSqliteConnector(path=\":memory:\", maxsize=5, *, driver=None, timeout=5.0, "
              "transactionMode=\"IMMEDIATE\", pragmas=None, foreignKeys=True, idleTimeout=None, prePing=True): "
              "asynchronous SQLite connector. "
              "driver \"native\" (the default; TESSARY_DRIVER=module picks the other) runs each statement on the "
              "native engine, on the loop's thread, when it is awaited; \"sqlite3\" runs it on the sqlite3 module, "
              "on a worker thread per pooled connection.",
    .tp_traverse = aio::traverse,
    .tp_clear = aio::clear,
    .tp_methods = aio::connector_methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = aio::new_connector,
};

}  // namespace tsy::db
