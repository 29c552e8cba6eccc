// BaseConnector: the synchronous connector over DB-API connections. Each
// thread that uses it gets a connection of its own, opened by its connect()
// at the thread's first statement (sync/thread_connections.cpp); the connector
// holds the commit policy of statements run on them.
#include "core/connector.hpp"
#include "core/read_routing.hpp"
#include "core/statement_log.hpp"

#include <cstring>

namespace tsy::db {
namespace {

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ConnectorObject* c = as_connector(self.get());
    c->settings = PyDict_New();
    c->cache = PyDict_New();
    if (!c->settings || !c->cache) return nullptr;
    c->threads = new_registry();
    if (!c->threads) return nullptr;
    c->style = STYLE_FORMAT;
    return self.release();
}

const char* const kLimitNames[] = {"maxConnections", "acquireTimeout", "idleTimeout", "prePing"};

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kLimitNames, 4, 0};
    PyObject* a[4];
    Ref kwnames, values;
    if (PyTuple_GET_SIZE(args) > 0) return arg_count_error("__init__", 0, 0, PyTuple_GET_SIZE(args));
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    return init_limits(self, a[0], a[1], a[2], a[3]);
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ConnectorObject* c = as_connector(self);
    Py_VISIT(c->factory);
    Py_VISIT(c->settings);
    Py_VISIT(c->cache);
    Py_VISIT(c->local);
    Py_VISIT(c->shared);
    Py_VISIT(c->replicas);
    return traverse_registry(c, visit, arg);
}

// Dropping `local` drops every thread's connection, each closing its own
// (the pool takes none once the connector is going).
int tp_clear(PyObject* self) noexcept {
    ConnectorObject* c = as_connector(self);
    orphan_registry(c);
    Py_CLEAR(c->local);
    forget_shared_memory(c);
    Py_CLEAR(c->factory);
    Py_CLEAR(c->settings);
    Py_CLEAR(c->cache);
    Py_CLEAR(c->replicas);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    ConnectorObject* c = as_connector(self);
    release_registry(c->threads);
    c->threads = nullptr;
    Py_TYPE(self)->tp_free(self);
}

// --- methods ----------------------------------------------------------------

const char* const kConNames[] = {"con"};
const char* const kColNames[] = {"col"};
const char* const kSqlNames[] = {"sql"};
const char* const kRunNames[] = {"sql", "args", "con"};

PyObject* connect_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("connect", nargs, kwnames)) return nullptr;
    ConnectorObject* c = as_connector(self);
    if (!c->factory) {
        return fail(PyExc_NotImplementedError, "%.200s does not know how to open a connection: override connect()",
                    type_name(self));
    }
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(c->factory, empty.get(), c->settings);
}

PyObject* getCon_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("getCon", nargs, kwnames)) return nullptr;
    return handed_out_connection(self);
}

// Connections in autocommit mode need an explicit start; the others are
// always inside a transaction already. A SQLite connection begins in the
// connector's transactionMode.
PyObject* begin_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"begin", kConNames, 1, 1};
    PyObject* con[1];
    if (!parse(params, args, nargs, kwnames, con)) return nullptr;
    if (!as_connector(self)->autocommit) Py_RETURN_NONE;
    int has_begin = PyObject_HasAttrWithError(con[0], names.begin);
    if (has_begin < 0) return nullptr;
    ConnectorObject* c = as_connector(self);
    // Another thread's block may hold the shared in-memory database's write
    // lock: BEGIN IMMEDIATE then fails with SQLITE_LOCKED, which no busy
    // handler waits on, so it is tried again within the busy timeout.
    long long started = 0;
    for (;;) {
        Ref done = steal(has_begin ? logged_call(con[0], names.begin, names.begin_sql)
                                   : logged_run_on(con[0], begin_text(c->settings)));
        if (done) Py_RETURN_NONE;
        if (!c->shared) return nullptr;
        if (!started) started = steady_now_ns();
        if (!retry_when_locked(c, started)) return nullptr;
    }
}

PyObject* translate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"translate", kSqlNames, 1, 1};
    PyObject* sql[1];
    if (!parse(params, args, nargs, kwnames, sql)) return nullptr;
    if (!check_arg(sql[0], &PyUnicode_Type, "sql", false)) return nullptr;
    return driver_text(as_connector(self), sql[0], true);
}

PyObject* run_method(const char* func, int mode, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    const Params params{func, kRunNames, 3, 1};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return run(self, a[2], a[0], a[1], mode);
}

PyObject* query_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method("query", RUN_ROWS, self, args, nargs, kwnames);
}

PyObject* write_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method("write", RUN_KEY, self, args, nargs, kwnames);
}

PyObject* transaction_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("transaction", nargs, kwnames)) return nullptr;
    return call(reinterpret_cast<PyObject*>(&TransactionType), self).release();
}

// Every thread's connection is closed; closing inside a transaction() block
// drops the block's work with the connection. The next statement on any
// thread opens a new one (on a new ":memory:" database).
PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    int closed = close_all(self);
    if (close_replicas(self) < 0) closed = -1;  // keeps the first error
    forget_shared_memory(as_connector(self));
    if (closed < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* scope_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("scope", nargs, kwnames)) return nullptr;
    return call(reinterpret_cast<PyObject*>(&ScopeType), self).release();
}

PyObject* release_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("release", nargs, kwnames)) return nullptr;
    return release_connection(self);
}

PyObject* autoFiledAnnounce_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"autoFiledAnnounce", kColNames, 1, 1};
    PyObject* col[1];
    if (!parse(params, args, nargs, kwnames, col)) return nullptr;
    return fail(PyExc_NotImplementedError, "%.200s has no auto-increment column type: override autoFiledAnnounce()",
                type_name(self));
}

PyMethodDef methods[] = {
    {"connect", fastkw<connect_method>(), METH_FASTCALL | METH_KEYWORDS,
     "connect($self)\n--\n\nOpen a new connection of the driver (called once, at the first statement)."},
    {"getCon", fastkw<getCon_method>(), METH_FASTCALL | METH_KEYWORDS,
     "getCon($self)\n--\n\nThe calling thread's connection, opened on first use."},
    {"begin", fastkw<begin_method>(), METH_FASTCALL | METH_KEYWORDS,
     "begin($self, con)\n--\n\nStart a transaction on `con` when it commits each statement by itself."},
    {"translate", fastkw<translate_method>(), METH_FASTCALL | METH_KEYWORDS,
     "translate($self, sql)\n--\n\nThe statement text with its \"%s\" placeholders in the driver's style."},
    {"query", fastkw<query_method>(), METH_FASTCALL | METH_KEYWORDS,
     "query($self, sql, args=(), con=None)\n--\n\nRun `sql` with `args` (on `con`, else the thread's connection) and return every row."},
    {"write", fastkw<write_method>(), METH_FASTCALL | METH_KEYWORDS,
     "write($self, sql, args=(), con=None)\n--\n\nRun `sql` with `args` (on `con`, else the thread's connection) and return the generated key."},
    {"transaction", fastkw<transaction_method>(), METH_FASTCALL | METH_KEYWORDS,
     "transaction($self)\n--\n\nA context manager yielding the thread's connection: commit at the end of the block, rollback on "
     "error; a block inside another one of the same thread is a savepoint."},
    {"close", fastkw<close_method>(), METH_FASTCALL | METH_KEYWORDS,
     "close($self)\n--\n\nClose the connection of every thread (one that runs a statement right now is closed by its "
     "thread when the statement ends)."},
    {"scope", fastkw<scope_method>(), METH_FASTCALL | METH_KEYWORDS,
     "scope($self)\n--\n\nA context manager lending the calling thread one pooled connection for the block: "
     "rolled back and given back to the pool (not closed) at its end; a scope inside another one joins it."},
    {"release", fastkw<release_method>(), METH_FASTCALL | METH_KEYWORDS,
     "release($self)\n--\n\nGive the calling thread's connection back to the pool now (rolled back); its next "
     "statement takes one again. RuntimeError inside a scope or a transaction() block."},
    {"autoFiledAnnounce", fastkw<autoFiledAnnounce_method>(), METH_FASTCALL | METH_KEYWORDS,
     "autoFiledAnnounce($self, col)\n--\n\nThe CREATE TABLE type text of the auto-increment key column `col`."},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes ---------------------------------------------------------------

PyObject* get_false(PyObject*, void*) noexcept { Py_RETURN_FALSE; }
PyObject* get_true(PyObject*, void*) noexcept { Py_RETURN_TRUE; }

PyObject* get_con_type(PyObject* self, void*) noexcept { return PyLong_FromLong(as_connector(self)->con_type); }

int set_con_type(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete con_type");
    int v = 0;
    if (!to_int(value, &v)) return -1;
    as_connector(self)->con_type = v;
    return 0;
}

PyObject* get_paramstyle(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(as_connector(self)->style == STYLE_QMARK ? "qmark" : "format");
}

int set_paramstyle(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) return fail(PyExc_TypeError, "paramstyle must be 'format' or 'qmark'");
    int style;
    if (PyUnicode_CompareWithASCIIString(value, "format") == 0) style = STYLE_FORMAT;
    else if (PyUnicode_CompareWithASCIIString(value, "qmark") == 0) style = STYLE_QMARK;
    else return fail(PyExc_ValueError, "paramstyle must be 'format' or 'qmark', not %R", value);
    ConnectorObject* c = as_connector(self);
    if (c->style != style) PyDict_Clear(c->cache);
    c->style = style;
    return 0;
}

PyObject* get_autocommit(PyObject* self, void*) noexcept { return PyBool_FromLong(as_connector(self)->autocommit); }

int set_autocommit(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete autocommit");
    int v = truth(value);
    if (v < 0) return -1;
    as_connector(self)->autocommit = v;
    return 0;
}

PyObject* get_in_transaction(PyObject* self, void*) noexcept {
    Ref state = existing_thread_state(self);
    if (!state) return nullptr;
    return PyBool_FromLong(state.get() != Py_None && as_thread_con(state.get())->depth > 0);
}

PyObject* max_connections_getter(PyObject* self, void*) noexcept { return get_max_connections(as_connector(self)); }

PyObject* acquire_timeout_getter(PyObject* self, void*) noexcept { return get_acquire_timeout(as_connector(self)); }

PyObject* open_connections_getter(PyObject* self, void*) noexcept {
    return PyLong_FromLong(open_connections(as_connector(self)));
}

PyObject* idle_connections_getter(PyObject* self, void*) noexcept {
    return PyLong_FromLong(idle_connections(as_connector(self)));
}

PyObject* idle_timeout_getter(PyObject* self, void*) noexcept { return get_idle_timeout(as_connector(self)); }

PyObject* pre_ping_getter(PyObject* self, void*) noexcept { return get_pre_ping(as_connector(self)); }

PyGetSetDef getset[] = {
    {"isAsync", get_false, nullptr, "False: statements run synchronously.", nullptr},
    {"isReady", get_true, nullptr, "True: the connection is opened on demand.", nullptr},
    {"con_type", get_con_type, set_con_type,
     "0: INSERT column lists table-qualified; 1: single-quoted names.", nullptr},
    {"paramstyle", get_paramstyle, set_paramstyle, "'format' (%s kept) or 'qmark' (%s becomes ?).", nullptr},
    {"autocommit", get_autocommit, set_autocommit,
     "True when connect() returns a connection that commits each statement by itself.", nullptr},
    {"inTransaction", get_in_transaction, nullptr, "True inside a transaction() block of the calling thread.",
     nullptr},
    {"maxConnections", max_connections_getter, nullptr,
     "The bound on connections open at once (all threads), or None for no bound.", nullptr},
    {"acquireTimeout", acquire_timeout_getter, nullptr,
     "Seconds a thread waits for a connection while maxConnections are open (then TimeoutError).", nullptr},
    {"openConnections", open_connections_getter, nullptr,
     "Connections open now: held by threads and idle in the pool together.", nullptr},
    {"idleConnections", idle_connections_getter, nullptr, "Connections idle in the pool now.", nullptr},
    {"idleTimeout", idle_timeout_getter, nullptr,
     "Seconds a pooled connection may stay idle before it is closed, or None: it stays.", nullptr},
    {"prePing", pre_ping_getter, nullptr,
     "Whether a connection reused after being idle is checked first: True (idle 1 s or more), False, or "
     "that threshold in seconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* connector_repr(PyObject* self) noexcept {
    // Settings key -> the name shown: the sqlite3 connectors keep the path as "database"
    // (Sqlite3Connector) or "path", aiomysql calls the database "db".
    static const char* const kShown[][2] = {
        {"path", "path"}, {"host", "host"}, {"port", "port"}, {"user", "user"},
        {"database", "database"}, {"db", "database"}, {"unix_socket", "unix_socket"},
    };
    const bool sqlite = PyObject_TypeCheck(self, &Sqlite3ConnectorType);
    Ref settings = borrow(as_connector(self)->settings);
    Ref parts = steal(PyList_New(0));
    if (!parts) return nullptr;
    const char* full = Py_TYPE(self)->tp_name;
    const char* dot = std::strrchr(full, '.');
    Ref head = steal(PyUnicode_FromFormat("<%s", dot ? dot + 1 : full));
    if (!head || PyList_Append(parts.get(), head.get()) < 0) return nullptr;
    for (const auto& shown : kShown) {
        if (!settings || !PyDict_Check(settings.get())) break;
        Ref value = borrow(PyDict_GetItemString(settings.get(), shown[0]));
        if (!value || value.get() == Py_None) continue;
        const char* label = sqlite && std::strcmp(shown[0], "database") == 0 ? "path" : shown[1];
        Ref part = steal(PyUnicode_FromFormat(" %s=%R", label, value.get()));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
    }
    Ref tail = steal(PyUnicode_FromString(">"));
    Ref empty = steal(PyUnicode_FromString(""));
    if (!tail || !empty || PyList_Append(parts.get(), tail.get()) < 0) return nullptr;
    return PyUnicode_Join(empty.get(), parts.get());
}

PyTypeObject BaseConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.BaseConnector",
    .tp_basicsize = sizeof(ConnectorObject),
    .tp_dealloc = tp_dealloc,
    .tp_repr = connector_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BaseConnector(*, maxConnections=None, acquireTimeout=30.0, idleTimeout=None, prePing=True)\n--\n\n"
              "Synchronous connector over DB-API connections, one per thread that uses it (or per scope()), "
              "idle ones kept in a pool. Subclasses override connect() "
              "(and con_type, paramstyle, autocommit, autoFiledAnnounce) for their driver.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = tp_new,
};

int ready_base_connector() noexcept { return PyType_Ready(&BaseConnectorType); }

}  // namespace tsy::db
