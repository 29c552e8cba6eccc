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

int is_closed(PyObject* con) noexcept {
    Ref closed = attr(con, names.closed);
    return closed ? truth(closed.get()) : -1;
}

// --- the aiomysql driver ----------------------------------------------------------

PyObject* asyncio_wait_for = nullptr;     // asyncio.wait_for, for the life of the process
PyObject* aiomysql_connection = nullptr;  // aiomysql.Connection, likewise

// Where a connection keeps the bound of each of its steps, (seconds,
// keyword); absent: none.
const char* const kStepLimit = "_tessary_step_limit";
const char* const kReadTimeout[] = {"read_timeout", "readTimeout"};
const char* const kWriteTimeout[] = {"write_timeout", "writeTimeout"};

// aiomysql takes connect_timeout for the TCP connect only; the greeting and
// the login that follow would wait forever on a server that accepts and
// never speaks. The whole connect is bounded by it, on a connection of our
// own making (what aiomysql.connect() does), so that one cut off is closed.
coro::Task connect_task(Ref con, Ref connecting, Ref host, double limit) {
    Ref done = co_await coro::await(std::move(connecting));
    if (done) co_return con;
    aio::call_keeping_error(con.get(), names.close);
    if (!PyErr_ExceptionMatches(PyExc_TimeoutError)) co_return nullptr;
    PyErr_Clear();
    set_connect_timeout_error(host.get(), limit);
    co_return nullptr;
}

// The bound of a step as (seconds, its keyword): readTimeout, else
// writeTimeout; None for none. aiomysql reads and writes through streams
// without limits of their own, so the bound is on the whole step: sending,
// the server's work, reading the result.
Ref step_limit(PyObject* settings) noexcept {
    for (const char* const* key : {kReadTimeout, kWriteTimeout}) {
        PyObject* value = PyDict_GetItemString(settings, key[0]);
        if (value && value != Py_None) return steal(Py_BuildValue("(Os)", value, key[1]));
    }
    return borrow(Py_None);
}

bool bind_aiomysql() noexcept {
    if (!asyncio_wait_for && !(asyncio_wait_for = import_attr("asyncio", "wait_for").release())) return false;
    if (!aiomysql_connection && !(aiomysql_connection = import_attr("aiomysql", "Connection").release())) return false;
    return true;
}

// A new aiomysql connection, made with the connector's settings but the
// pool's sizes and the timeouts aiomysql has no keyword for.
PyObject* open_connection(PyObject* connector) noexcept {
    if (!bind_aiomysql()) return nullptr;
    PyObject* settings = as_aio(connector)->base.settings;
    Ref kwargs = steal(PyDict_Copy(settings));
    if (!kwargs || PyDict_DelItem(kwargs.get(), names.minsize) < 0 || PyDict_DelItem(kwargs.get(), names.maxsize) < 0) {
        return nullptr;
    }
    for (const char* key : {"read_timeout", "write_timeout"}) {
        if (PyDict_PopString(kwargs.get(), key, nullptr) < 0) return nullptr;
    }
    PyObject* limit = PyDict_GetItemString(kwargs.get(), "connect_timeout");
    double seconds = limit && limit != Py_None ? PyFloat_AsDouble(limit) : 0;
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    Ref no_args = steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    Ref con = steal(PyObject_Call(aiomysql_connection, no_args.get(), kwargs.get()));
    Ref bound = con ? step_limit(settings) : Ref();
    if (!bound || (bound.get() != Py_None && PyObject_SetAttrString(con.get(), kStepLimit, bound.get()) < 0)) {
        return nullptr;
    }
    Ref connecting = call_method(con.get(), names._connect);
    if (connecting && seconds > 0) {
        connecting = steal(PyObject_CallFunctionObjArgs(asyncio_wait_for, connecting.get(), limit, nullptr));
    }
    if (!connecting) return nullptr;
    PyObject* found = PyDict_GetItem(kwargs.get(), names.host);
    Ref host = borrow(found ? found : Py_None);
    return coro::make_coroutine(connect_task(std::move(con), std::move(connecting), std::move(host), seconds),
                                "connect", "AioMysqlConnector.connect");
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

// A step past its bound: aiomysql closes a connection whose read is
// cancelled; it is closed here in any case, for the pool to drop it.
void close_now(PyObject* con) noexcept;

coro::Task bounded_step_task(Ref con, Ref waiting, Ref limit) {
    Ref done = co_await coro::await(std::move(waiting));
    if (done || !PyErr_ExceptionMatches(PyExc_TimeoutError)) co_return done;
    PyErr_Clear();
    close_now(con.get());
    PyErr_Clear();
    double seconds = PyFloat_AsDouble(PyTuple_GET_ITEM(limit.get(), 0));
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(limit.get(), 1));
    if (!name || (seconds == -1.0 && PyErr_Occurred())) co_return nullptr;
    set_timeout_error(2013, "Lost connection to MySQL server during query", name, seconds);
    co_return nullptr;
}

PyObject* unbounded_step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode,
                         std::shared_ptr<StatementTrace> trace) noexcept;

// The step bounded by the connection's limit, when it has one.
PyObject* step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool,
               std::shared_ptr<StatementTrace> trace) noexcept {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(con, kStepLimit, &found) < 0) return nullptr;
    Ref limit = steal(found);
    if (limit && !bind_aiomysql()) return nullptr;
    Ref stepping = steal(unbounded_step(con, op, text, args, mode, std::move(trace)));
    if (!limit || !stepping || !PyTuple_Check(limit.get()) || PyTuple_GET_SIZE(limit.get()) != 2) {
        return stepping.release();
    }
    Ref waiting = steal(PyObject_CallFunctionObjArgs(asyncio_wait_for, stepping.get(), PyTuple_GET_ITEM(limit.get(), 0),
                                                     nullptr));
    if (!waiting) return nullptr;
    return coro::make_coroutine(bounded_step_task(borrow(con), std::move(waiting), std::move(limit)),
                                aio::step_name(op));
}

PyObject* unbounded_step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode,
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

// ping(reconnect=False) raises when the server does not answer; the
// connection is then closed (aiomysql's close() drops the transport at once).
// Cancellation and faults of the program stay errors.
coro::Task ping_task(Ref con, Ref ping = nullptr) {
    ping = steal(PyObject_GetAttrString(con.get(), "ping"));
    Ref kwargs = ping ? steal(Py_BuildValue("{s:O}", "reconnect", Py_False)) : Ref();
    Ref no_args = kwargs ? steal(PyTuple_New(0)) : Ref();
    Ref pinging = no_args ? steal(PyObject_Call(ping.get(), no_args.get(), kwargs.get())) : Ref();
    Ref answered = co_await coro::await(std::move(pinging));
    if (answered) co_return borrow(Py_True);
    if (!pending_error_means_dead()) co_return nullptr;
    PyErr_Clear();
    close_now(con.get());
    PyErr_Clear();
    co_return borrow(Py_False);
}

PyObject* ping(PyObject* con) noexcept {
    return coro::make_coroutine(ping_task(borrow(con)), "ping", "AioMysqlConnector.ping");
}

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
    .ping = ping,
};

namespace {

// --- the type -----------------------------------------------------------------

const char* const kInitNames[] = {"host",    "port",    "user",        "password", "database",
                                  "minsize", "maxsize", "unix_socket", "charset",  "driver",
                                  "connectTimeout", "readTimeout", "writeTimeout", "idleTimeout", "prePing",
                                  // read replicas (aio/replicas.cpp)
                                  "replicas", "consistency", "causalTimeout", "maxReplicaLag"};
constexpr Py_ssize_t kInitCount = sizeof kInitNames / sizeof kInitNames[0];
constexpr Py_ssize_t kPositional = 10;  // the timeouts, the liveness and the replica keywords by keyword only

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
    if (PyTuple_GET_SIZE(args) > kPositional) {
        return arg_count_error("__init__", 0, kPositional, PyTuple_GET_SIZE(args));
    }
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
    if (aio::set_liveness(self, a[13], a[14]) < 0) return -1;
    AioConnectorObject* c = as_aio(self);
    PyDict_Clear(c->base.settings);
    for (auto& entry : entries) {
        if (PyDict_SetItem(c->base.settings, entry[0], entry[1]) < 0) return -1;
    }
    if (set_mysql_timeouts(c->base.settings, a[10], a[11], a[12]) < 0) return -1;
    c->base.con_type = 0;
    c->base.style = STYLE_FORMAT;
    c->minsize = minsize;
    c->maxsize = maxsize;
    if (init_aio_replicas(self, a, a[15], a[16], a[17], a[18]) < 0) return -1;
    return aio::init_common(self, driver);
}

PyObject* get_setting(PyObject* self, void* key) noexcept {
    PyObject* value = PyDict_GetItemString(as_aio(self)->base.settings, static_cast<const char*>(key));
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_timeout(PyObject* self, void* key) noexcept {
    return mysql_timeout(self, aio_ready(self) ? as_aio(self)->base.settings : nullptr, static_cast<const char*>(key));
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
    {"idleTimeout", aio::get_idle_timeout, nullptr,
     "Seconds after which an idle pooled connection is closed; None: never.", nullptr},
    {"prePing", aio::get_pre_ping, nullptr,
     "True: a connection taken from the pool after 1 s idle or more is pinged first (and replaced when dead); a "
     "number: that threshold in seconds; False: never.", nullptr},
    {"host", get_setting, nullptr, "Server host.", const_cast<char*>("host")},
    {"port", get_setting, nullptr, "Server port.", const_cast<char*>("port")},
    {"user", get_setting, nullptr, "User name.", const_cast<char*>("user")},
    {"database", get_setting, nullptr, "Database name.", const_cast<char*>("db")},
    {"unix_socket", get_setting, nullptr, "Unix socket path, or None for TCP.", const_cast<char*>("unix_socket")},
    {"charset", get_setting, nullptr, "Connection character set.", const_cast<char*>("charset")},
    {"connectTimeout", get_timeout, nullptr,
     "Seconds a new connection may take, the server's greeting and the login included; None: no limit.",
     const_cast<char*>("connect_timeout")},
    {"readTimeout", get_timeout, nullptr,
     "Seconds a call waits for the server's answer (aiomysql: a whole step) before it fails; None: no limit.",
     const_cast<char*>("read_timeout")},
    {"writeTimeout", get_timeout, nullptr, "Seconds a call waits to send before it fails; None: no limit.",
     const_cast<char*>("write_timeout")},
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
    .tp_doc = "AioMysqlConnector(host='127.0.0.1', port=3306, user=None, password='', database=None, minsize=1, maxsize=10, unix_socket=None, charset='utf8mb4', driver=None, *, connectTimeout=10, readTimeout=None, writeTimeout=None, idleTimeout=None, prePing=True, replicas=None, consistency='causal', causalTimeout=1.0, maxReplicaLag=None)\n--\n\nAioMysqlConnector(host=\"127.0.0.1\", port=3306, user=None, password=\"\", database=None, "
              "minsize=1, maxsize=10, unix_socket=None, charset=\"utf8mb4\", driver=None, *, connectTimeout=10, "
              "readTimeout=None, writeTimeout=None, idleTimeout=None, prePing=True, replicas=None, "
              "consistency=\"causal\", causalTimeout=1.0, maxReplicaLag=None): asynchronous connector, "
              "natively on MariaDB Connector/C driven by the event loop (driver \"native\", the default) or on "
              "aiomysql's connections (driver \"aiomysql\"). connectTimeout, readTimeout, writeTimeout: seconds "
              "(None: no limit); a call past one raises OperationalError and its connection is closed. replicas: "
              "URLs or settings dicts of read replicas; reads outside transaction blocks go to them, after the "
              "task's own writes (consistency=\"causal\").",
    .tp_traverse = aio::traverse,
    .tp_clear = aio::clear,
    .tp_methods = aio::connector_methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = aio::new_connector,
};

}  // namespace tsy::db
