// AioMysqlConnector: MySQL and MariaDB, natively through MariaDB Connector/C
// driven by the loop (driver "native", the default: aio/mysql_native_driver.cpp),
// or through aiomysql's connections (driver="aiomysql", this file). Either
// way the connections are pooled by aio/pool.cpp and work only on the loop
// that opened them: touched from another loop, the connector sets up a new
// pool.
//
// Pooled connections do not commit by themselves. Statements the handle runs
// without a connection commit right after they ran and roll back when they
// fail; a statement cut off by cancellation leaves its connection closed
// (aiomysql closes it), which the pool then drops.
#include "aio/aio_connector.hpp"
#include "engines/mysql/nonblocking.hpp"
#include "core/engines.hpp"
#include "core/read_routing.hpp"

namespace tsy::db {
namespace {

using aio::Op;

PyObject* aiomysql_connect = nullptr;  // aiomysql.connect, for the life of the process

int is_closed(PyObject* con) noexcept {
    Ref closed = attr(con, names.closed);
    return closed ? truth(closed.get()) : -1;
}

// --- the aiomysql driver ----------------------------------------------------------

// The keywords of aiomysql.connect: the connector's settings but the pool's sizes.
PyObject* open_connection(PyObject* connector) noexcept {
    if (!aiomysql_connect && !(aiomysql_connect = import_attr("aiomysql", "connect").release())) return nullptr;
    Ref kwargs = steal(PyDict_Copy(as_aio(connector)->base.settings));
    if (!kwargs || PyDict_DelItem(kwargs.get(), names.minsize) < 0 || PyDict_DelItem(kwargs.get(), names.maxsize) < 0) {
        return nullptr;
    }
    Ref no_args = steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    return PyObject_Call(aiomysql_connect, no_args.get(), kwargs.get());
}

// Nothing tells an aiomysql connection of this connector from another's:
// the pool's record of what it lent decides.
bool belongs(PyObject*, PyObject*) noexcept { return true; }

coro::Task statement_task(Ref con, Ref text, Ref args, int mode, std::shared_ptr<StatementTrace> trace,
                          Ref cursor = nullptr) {
    cursor = co_await coro::await(call_method(con.get(), names.cursor));
    if (!cursor) co_return nullptr;
    if (trace) trace->start();  // on the loop: the time includes other tasks' turns meanwhile
    Ref executing = args.get() == Py_None ? call_method(cursor.get(), names.execute, text.get())
                                          : call_method(cursor.get(), names.execute, text.get(), args.get());
    Ref done = co_await coro::await(std::move(executing));
    if (!done) {
        if (trace) trace->stop(text.get(), nullptr);
        co_return nullptr;
    }
    Ref result;
    if (mode == RUN_ROWS) {
        result = co_await coro::await(call_method(cursor.get(), names.fetchall));
    } else {
        result = mode == RUN_KEY     ? attr(cursor.get(), names.lastrowid)
                 : mode == RUN_COUNT ? written_rows(cursor.get())
                                     : borrow(Py_None);
    }
    if (trace) trace->stop(text.get(), cursor.get());
    if (!result) co_return nullptr;
    Ref closed = co_await coro::await(call_method(cursor.get(), names.close));
    if (!closed) co_return nullptr;
    co_return result;
}

PyObject* step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool,
               std::shared_ptr<StatementTrace> trace) noexcept {
    switch (op) {
        case Op::Run:
            return coro::make_coroutine(statement_task(borrow(con), borrow(text), borrow(args), mode, std::move(trace)),
                                        "execute");
        case Op::Begin: return call_method(con, names.begin).release();
        case Op::Commit: return call_method(con, names.commit).release();
        case Op::Rollback: return call_method(con, names.rollback).release();
        default: return fail(PyExc_SystemError, "aiomysql connections have no such step");
    }
}

bool may_hold_work(PyObject* con) noexcept {
    int closed = is_closed(con);
    if (closed < 0) PyErr_Clear();
    return closed == 0;
}

// Whether the connection's socket still stands, and nothing has arrived on
// it since its last call (a killed or timed-out session shows as an error
// packet or the end of the stream).
bool idle_alive(PyObject* con) noexcept {
    if (is_closed(con) != 0) {
        PyErr_Clear();
        return false;
    }
    Ref reader = steal(PyObject_GetAttrString(con, "_reader"));
    Ref at_eof = reader ? steal(PyObject_CallMethod(reader.get(), "at_eof", nullptr)) : Ref();
    Ref failed = at_eof ? steal(PyObject_CallMethod(reader.get(), "exception", nullptr)) : Ref();
    Ref received = failed ? steal(PyObject_GetAttrString(reader.get(), "eof_received")) : Ref();
    bool alive = received && at_eof.get() == Py_False && failed.get() == Py_None && !PyObject_IsTrue(received.get());
    PyErr_Clear();
    return alive;
}

// Work left on a connection given back needs an awaited rollback: such a
// connection is closed instead, as aiomysql's own pool does.
bool discard_work(PyObject* con) noexcept {
    if (!may_hold_work(con)) return false;
    Ref in_transaction = steal(PyObject_CallMethod(con, "get_transaction_status", nullptr));
    bool clean = in_transaction && in_transaction.get() == Py_False;
    PyErr_Clear();
    return clean;
}

void close_now(PyObject* con) noexcept { aio::call_keeping_error(con, names.close); }

PyObject* close_connection(PyObject* con) noexcept {
    return PyObject_CallMethod(con, "ensure_closed", nullptr);
}

}  // namespace

const AioConnectorNames kMysqlConnectorNames = {
    .type = "AioMysqlConnector",
    .setup = "AioMysqlConnector.setup",
    .getCon = "AioMysqlConnector.getCon",
    .releaseCon = "AioMysqlConnector.releaseCon",
    .close = "AioMysqlConnector.close",
};

namespace aio {

const AioDriver* mysql_table_of(PyObject* con) noexcept {
    return is_aio_mysql_connection(con) ? &kMysqlNativeBackend : &kAiomysqlDriver;
}

// The column's own type name, so that a BIGINT key stays BIGINT (as with MysqlConnector).
PyObject* mysql_auto_field(PyObject* col) noexcept {
    Ref type = attr(col, names.targetType);
    if (!type) return nullptr;
    bool usable = PyUnicode_Check(type.get()) && PyUnicode_GET_LENGTH(type.get()) > 0;
    if (!usable) return PyUnicode_FromString("INT NOT NULL AUTO_INCREMENT");
    return PyUnicode_FromFormat("%U NOT NULL AUTO_INCREMENT", type.get());
}

}  // namespace aio

const AioDriver kAiomysqlDriver = {
    .name = "aiomysql",
    .names = &kMysqlConnectorNames,
    .loop_bound = true,  // its streams belong to the loop that opened them
    .settles_itself = false,
    .binds_in_place = false,  // aiomysql writes bytes as octets but any other buffer as its repr
    .belongs = belongs,
    .table_of = aio::mysql_table_of,
    .slot_of = nullptr,
    .open = open_connection,
    .step = step,
    .may_hold_work = may_hold_work,
    .discard_work = discard_work,
    .rolls_back_when_lent = false,
    .idle_alive = idle_alive,
    .close_now = close_now,
    .close = close_connection,
    .close_cursor = nullptr,
    .auto_field = aio::mysql_auto_field,
};

namespace {

// --- the type -----------------------------------------------------------------

const char* const kInitNames[] = {"host",    "port",    "user",        "password", "database",
                                  "minsize", "maxsize", "unix_socket", "charset",  "driver",
                                  // read replicas (aio/replicas.cpp)
                                  "replicas", "consistency", "causalTimeout", "maxReplicaLag"};
constexpr Py_ssize_t kInitCount = sizeof kInitNames / sizeof kInitNames[0];
constexpr Py_ssize_t kPositional = 10;  // the replica keywords are given by keyword only

// The driver `driver` names; a connector that has started on one keeps it.
const AioDriver* chosen_driver(PyObject* self, PyObject* driver) noexcept {
    int native = wants_native(driver, "aiomysql");
    if (native < 0) return nullptr;
    const AioDriver* chosen = native ? &kMysqlNativeBackend : &kAiomysqlDriver;
    AioConnectorObject* c = as_aio(self);
    if (c->driver && c->driver != chosen && (c->setup || c->ready)) {
        fail(PyExc_RuntimeError, "AioMysqlConnector: the driver cannot change once the pool was set up");
        return nullptr;
    }
    return chosen;
}

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kInitNames, kInitCount, 0};
    PyObject* a[kInitCount];
    Ref kwnames, values;
    if (PyTuple_GET_SIZE(args) > kPositional) return arg_count_error("__init__", 0, kPositional, PyTuple_GET_SIZE(args));
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    const AioDriver* driver = chosen_driver(self, a[9]);
    if (!driver) return -1;
    int port = 3306, minsize = 1, maxsize = 10;
    if ((a[1] && !to_int(a[1], &port)) || (a[5] && !to_int(a[5], &minsize)) || (a[6] && !to_int(a[6], &maxsize))) {
        return -1;
    }
    if (minsize < 0 || maxsize < 1 || maxsize < minsize) {
        return fail(PyExc_ValueError, "need 0 <= minsize <= maxsize and maxsize >= 1 (got %d, %d)", minsize, maxsize);
    }
    Ref host = a[0] ? borrow(a[0]) : steal(PyUnicode_FromString("127.0.0.1"));
    Ref password = a[3] ? borrow(a[3]) : steal(PyUnicode_FromString(""));
    Ref charset = a[8] ? borrow(a[8]) : steal(PyUnicode_FromString("utf8mb4"));
    Ref port_obj = steal(PyLong_FromLong(port));
    Ref min_obj = steal(PyLong_FromLong(minsize));
    Ref max_obj = steal(PyLong_FromLong(maxsize));
    Ref found_rows = steal(PyLong_FromLong(kClientFoundRows));
    if (!host || !password || !charset || !port_obj || !min_obj || !max_obj || !found_rows) return -1;
    PyObject* entries[][2] = {
        {names.host, host.get()},
        {names.port, port_obj.get()},
        {names.user, a[2] ? a[2] : Py_None},
        {names.password, password.get()},
        {names.db, a[4] ? a[4] : Py_None},
        {names.unix_socket, a[7] ? a[7] : Py_None},
        {names.charset, charset.get()},
        {names.minsize, min_obj.get()},
        {names.maxsize, max_obj.get()},
        {names.autocommit, Py_False},
        {names.client_flag, found_rows.get()},
    };
    AioConnectorObject* c = as_aio(self);
    PyDict_Clear(c->base.settings);
    for (auto& entry : entries) {
        if (PyDict_SetItem(c->base.settings, entry[0], entry[1]) < 0) return -1;
    }
    c->base.con_type = 0;
    c->base.style = STYLE_FORMAT;
    c->minsize = minsize;
    c->maxsize = maxsize;
    if (init_aio_replicas(self, a, a[10], a[11], a[12], a[13]) < 0) return -1;
    return aio::init_common(self, driver);
}

PyObject* get_setting(PyObject* self, void* key) noexcept {
    PyObject* value = PyDict_GetItemString(as_aio(self)->base.settings, static_cast<const char*>(key));
    return Py_NewRef(value ? value : Py_None);
}

// The connections are pooled by the connector itself on both drivers.
PyObject* get_pool(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_driver(PyObject* self, void*) noexcept {
    const AioDriver* driver = as_aio(self)->driver;
    if (!driver) Py_RETURN_NONE;
    return PyUnicode_FromString(driver->name);
}

PyObject* get_replicas(PyObject* self, void*) noexcept { return replica_members(self); }
PyObject* get_consistency(PyObject* self, void*) noexcept { return replica_consistency(self); }
PyObject* get_causal_timeout(PyObject* self, void*) noexcept { return replica_causal_timeout(self); }
PyObject* get_max_lag(PyObject* self, void*) noexcept { return replica_max_lag(self); }

PyGetSetDef getset[] = {
    {"isAsync", aio::get_true, nullptr, "True: statements are awaited on an event loop.", nullptr},
    {"isReady", aio::get_ready, nullptr,
     "True once the pool is made; reading it inside a running loop starts the setup.", nullptr},
    {"con_type", aio::get_con_type, aio::set_con_type, "0: INSERT column lists table-qualified.", nullptr},
    {"paramstyle", aio::get_paramstyle, nullptr, "'format': \"%s\" kept, other '%' doubled.", nullptr},
    {"minsize", aio::get_minsize, nullptr, "Connections the pool opens at its setup.", nullptr},
    {"maxsize", aio::get_maxsize, nullptr, "Most connections open at once.", nullptr},
    {"pool", get_pool, nullptr, "None: the connector pools its connections itself, aiomysql's ones included.", nullptr},
    {"driver", get_driver, nullptr,
     "\"native\" (MariaDB Connector/C driven by the loop) or \"aiomysql\"; None before __init__.", nullptr},
    {"host", get_setting, nullptr, "Server host.", const_cast<char*>("host")},
    {"port", get_setting, nullptr, "Server port.", const_cast<char*>("port")},
    {"user", get_setting, nullptr, "User name.", const_cast<char*>("user")},
    {"database", get_setting, nullptr, "Database name.", const_cast<char*>("db")},
    {"unix_socket", get_setting, nullptr, "Unix socket path, or None for TCP.", const_cast<char*>("unix_socket")},
    {"charset", get_setting, nullptr, "Connection character set.", const_cast<char*>("charset")},
    {"replicas", get_replicas, nullptr, "The read replicas' connectors (a tuple; empty without replicas).", nullptr},
    {"consistency", get_consistency, nullptr,
     "\"causal\" (a task's reads on a replica wait for its own writes) or \"eventual\".", nullptr},
    {"causalTimeout", get_causal_timeout, nullptr,
     "Seconds a causal read waits on a replica before it goes to the primary.", nullptr},
    {"maxReplicaLag", get_max_lag, nullptr,
     "Seconds a replica may lag before reads skip it; None: not checked.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject AioMysqlConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioMysqlConnector",
    .tp_basicsize = sizeof(AioConnectorObject),
    .tp_dealloc = aio::dealloc,
    .tp_repr = connector_repr,
    .tp_getattro = aio::getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "AioMysqlConnector(host='127.0.0.1', port=3306, user=None, password='', database=None, minsize=1, maxsize=10, unix_socket=None, charset='utf8mb4', driver=None, *, replicas=None, consistency='causal', causalTimeout=1.0, maxReplicaLag=None)\n--\n\nAioMysqlConnector(host=\"127.0.0.1\", port=3306, user=None, password=\"\", database=None, "
              "minsize=1, maxsize=10, unix_socket=None, charset=\"utf8mb4\", driver=None): asynchronous connector, "
              "natively on MariaDB Connector/C driven by the event loop (driver \"native\", the default) or on "
              "aiomysql's connections (driver \"aiomysql\"). replicas: URLs or settings dicts of read replicas; "
              "reads outside transaction blocks go to them, after the task's own writes (consistency=\"causal\").",
    .tp_traverse = aio::traverse,
    .tp_clear = aio::clear,
    .tp_methods = aio::connector_methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = aio::new_connector,
};

}  // namespace tsy::db
