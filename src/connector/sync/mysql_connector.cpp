// MysqlConnector: MySQL and MariaDB, synchronously, through the native
// engine on MariaDB Connector/C (engines/mysql/), or through pymysql with
// driver="pymysql". Each thread has a connection of its own, opened in
// autocommit mode; transaction() starts its block with the driver's begin().
#include "core/connector.hpp"
#include "core/engines.hpp"
#include "engines/mysql/engine.hpp"
#include "core/read_routing.hpp"

namespace tsy::db {
namespace {

const char* const kInitNames[] = {"host",           "port",           "user",        "password",    "database",
                                  "unix_socket",    "charset",        "maxConnections", "acquireTimeout", "driver",
                                  "connectTimeout", "readTimeout",    "writeTimeout", "idleTimeout", "prePing",
                                  // read replicas (sync/replicas.cpp)
                                  "replicas", "consistency", "causalTimeout", "maxReplicaLag"};
constexpr Py_ssize_t kInitCount = sizeof kInitNames / sizeof kInitNames[0];
constexpr Py_ssize_t kPositional = 7;  // the bounds, the driver, the timeouts, the pool's and the replicas' keywords by keyword only
const char* const kColNames[] = {"col"};

// --- pymysql's connect, bounded -------------------------------------------------------

// Whether the pending error, or one it was raised for, is a socket timeout.
bool pending_timeout() noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    Ref error = borrow(raised);
    bool timed_out = false;
    for (int depth = 0; error && depth < 4 && !timed_out; ++depth) {
        timed_out = PyErr_GivenExceptionMatches(error.get(), PyExc_TimeoutError);
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttrString(error.get(), "original_exception", &found) < 0) PyErr_Clear();
        error = found ? steal(found) : steal(PyException_GetContext(error.get()));
    }
    PyErr_SetRaisedException(raised);
    return timed_out;
}

// pymysql.connect with connect_timeout bounding the whole connect. pymysql
// gives it to the TCP connect only, then reads the server's greeting with
// read_timeout (none by default): a server that accepts and never speaks
// would hold the thread forever. Each read and write of the connect waits
// at most connect_timeout; the connection then keeps the read and write
// timeouts asked for (pymysql reads them at each socket call).
PyObject* pymysql_connect(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static PyObject* connect = nullptr;
    if (!connect && !(connect = import_attr("pymysql", "connect").release())) return nullptr;
    Ref kw = steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!kw) return nullptr;
    PyObject* limit = PyDict_GetItemString(kw.get(), "connect_timeout");
    Ref read = borrow(PyDict_GetItemString(kw.get(), "read_timeout"));
    Ref write = borrow(PyDict_GetItemString(kw.get(), "write_timeout"));
    double seconds = limit && limit != Py_None ? PyFloat_AsDouble(limit) : 0;
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    Ref bound = limit ? borrow(limit) : Ref();
    if (seconds > 0) {
        for (const char* key : {"read_timeout", "write_timeout"}) {
            PyObject* asked = PyDict_GetItemString(kw.get(), key);
            bool longer = !asked || asked == Py_None || PyFloat_AsDouble(asked) > seconds;
            if (PyErr_Occurred() || (longer && PyDict_SetItemString(kw.get(), key, limit) < 0)) return nullptr;
        }
    }
    Ref con = steal(PyObject_Call(connect, args, kw.get()));
    if (!con) {
        if (seconds > 0 && pending_timeout()) {
            PyErr_Clear();
            set_connect_timeout_error(PyDict_GetItemString(kw.get(), "host"), seconds);
        }
        return nullptr;
    }
    if (seconds > 0 && (PyObject_SetAttrString(con.get(), "_read_timeout", read ? read.get() : Py_None) < 0 ||
                        PyObject_SetAttrString(con.get(), "_write_timeout", write ? write.get() : Py_None) < 0)) {
        return nullptr;
    }
    return con.release();
}

PyMethodDef pymysql_connect_def = {
    "connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(pymysql_connect)),
    METH_VARARGS | METH_KEYWORDS,
    "connect(*args, **kwargs)\n--\n\npymysql.connect, with connect_timeout bounding every wait of the connect."};

// ImportError at once when pymysql is missing, as when the connector is made.
Ref bounded_pymysql_connect() noexcept {
    if (!import_attr("pymysql", "connect")) return {};
    static PyObject* function = nullptr;
    if (!function) function = PyCFunction_New(&pymysql_connect_def, nullptr);
    return borrow(function);
}

// --- the type -----------------------------------------------------------------------

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kInitNames, kInitCount, 0};
    PyObject* a[kInitCount];
    Ref kwnames, values;
    if (PyTuple_GET_SIZE(args) > kPositional) {
        return arg_count_error("__init__", 0, kPositional, PyTuple_GET_SIZE(args));
    }
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    int port = 3306;
    if (a[1] && !to_int(a[1], &port)) return -1;
    int native = wants_native(a[9], "pymysql");
    if (native < 0) return -1;
    Ref connect = native ? mysql_engine_connect() : bounded_pymysql_connect();
    if (!connect) return -1;
    Ref host = a[0] ? borrow(a[0]) : steal(PyUnicode_FromString("127.0.0.1"));
    Ref port_obj = steal(PyLong_FromLong(port));
    Ref password = a[3] ? borrow(a[3]) : steal(PyUnicode_FromString(""));
    Ref charset = a[6] ? borrow(a[6]) : steal(PyUnicode_FromString("utf8mb4"));
    Ref found_rows = steal(PyLong_FromLong(kClientFoundRows));
    if (!host || !port_obj || !password || !charset || !found_rows) return -1;
    if (init_limits(self, a[7], a[8], a[13], a[14]) < 0) return -1;
    PyObject* entries[][2] = {
        {names.host, host.get()},
        {names.port, port_obj.get()},
        {names.user, a[2] ? a[2] : Py_None},
        {names.password, password.get()},
        {names.database, a[4] ? a[4] : Py_None},
        {names.unix_socket, a[5] ? a[5] : Py_None},
        {names.charset, charset.get()},
        {names.autocommit, Py_True},
        {names.client_flag, found_rows.get()},
    };
    ConnectorObject* c = as_connector(self);
    PyDict_Clear(c->settings);
    for (auto& entry : entries) {
        if (PyDict_SetItem(c->settings, entry[0], entry[1]) < 0) return -1;
    }
    if (set_mysql_timeouts(c->settings, a[10], a[11], a[12]) < 0) return -1;
    set_field(c->factory, connect.get());
    c->con_type = 0;
    c->style = STYLE_FORMAT;
    c->autocommit = 1;
    return init_sync_replicas(self, a, a[15], a[16], a[17], a[18]);
}

// The column's own type name, so that a BIGINT key stays BIGINT.
PyObject* autoFiledAnnounce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"autoFiledAnnounce", kColNames, 1, 1};
    PyObject* col[1];
    if (!parse(params, args, nargs, kwnames, col)) return nullptr;
    Ref type = attr(col[0], names.targetType);
    if (!type) return nullptr;
    int usable = PyUnicode_Check(type.get()) ? static_cast<int>(PyUnicode_GET_LENGTH(type.get()) > 0) : 0;
    if (!usable) return PyUnicode_FromString("INT NOT NULL AUTO_INCREMENT");
    return PyUnicode_FromFormat("%U NOT NULL AUTO_INCREMENT", type.get());
}

PyObject* get_setting(PyObject* self, void* key) noexcept {
    PyObject* value = PyDict_GetItemString(as_connector(self)->settings, static_cast<const char*>(key));
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_timeout(PyObject* self, void* key) noexcept {
    return mysql_timeout(self, as_connector(self)->factory ? as_connector(self)->settings : nullptr,
                         static_cast<const char*>(key));
}

// Which engine the connections are opened by: the factory tells.
PyObject* get_driver(PyObject* self, void*) noexcept {
    PyObject* factory = as_connector(self)->factory;
    if (!factory) return not_initialised(self);
    Ref native = mysql_engine_connect();
    if (!native) return nullptr;
    return PyUnicode_FromString(factory == native.get() ? "native" : "pymysql");
}

PyObject* get_replicas(PyObject* self, void*) noexcept { return replica_members(self); }
PyObject* get_consistency(PyObject* self, void*) noexcept { return replica_consistency(self); }
PyObject* get_causal_timeout(PyObject* self, void*) noexcept { return replica_causal_timeout(self); }
PyObject* get_max_lag(PyObject* self, void*) noexcept { return replica_max_lag(self); }

PyMethodDef methods[] = {
    {"autoFiledAnnounce", fastkw<autoFiledAnnounce>(), METH_FASTCALL | METH_KEYWORDS,
     "autoFiledAnnounce($self, col)\n--\n\n\"<targetType> NOT NULL AUTO_INCREMENT\" for the key column `col`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"host", get_setting, nullptr, "Server host.", const_cast<char*>("host")},
    {"port", get_setting, nullptr, "Server port.", const_cast<char*>("port")},
    {"user", get_setting, nullptr, "User name.", const_cast<char*>("user")},
    {"database", get_setting, nullptr, "Database name.", const_cast<char*>("database")},
    {"unix_socket", get_setting, nullptr, "Unix socket path, or None for TCP.", const_cast<char*>("unix_socket")},
    {"charset", get_setting, nullptr, "Connection character set.", const_cast<char*>("charset")},
    {"driver", get_driver, nullptr,
     "\"native\" (MariaDB Connector/C, the default) or \"pymysql\": the driver option.", nullptr},
    {"connectTimeout", get_timeout, nullptr, "Seconds a new connection may take to be made; None: no limit.",
     const_cast<char*>("connect_timeout")},
    {"readTimeout", get_timeout, nullptr,
     "Seconds a connection waits for the server's answer before the statement fails; None: no limit.",
     const_cast<char*>("read_timeout")},
    {"writeTimeout", get_timeout, nullptr,
     "Seconds a connection waits to send a statement before it fails; None: no limit.",
     const_cast<char*>("write_timeout")},
    {"replicas", get_replicas, nullptr, "The read replicas' connectors (a tuple; empty without replicas).", nullptr},
    {"consistency", get_consistency, nullptr,
     "\"causal\" (a thread's reads on a replica wait for its own writes) or \"eventual\".", nullptr},
    {"causalTimeout", get_causal_timeout, nullptr,
     "Seconds a causal read waits on a replica before it goes to the primary.", nullptr},
    {"maxReplicaLag", get_max_lag, nullptr,
     "Seconds a replica may lag before reads skip it; None: not checked.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject MysqlConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.MysqlConnector",
    .tp_basicsize = sizeof(ConnectorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,  // GC inherited
    .tp_doc = "MysqlConnector(host=\"127.0.0.1\", port=3306, user=None, password=\"\", database=None, "
              "unix_socket=None, charset=\"utf8mb4\", *, maxConnections=None, acquireTimeout=30.0, driver=None, "
              "connectTimeout=10, readTimeout=None, writeTimeout=None, idleTimeout=None, prePing=True, "
              "replicas=None, consistency=\"causal\", causalTimeout=1.0, maxReplicaLag=None)\n--\n\n"
              "Synchronous MySQL/MariaDB connector; each thread connects at its first statement. driver: "
              "\"native\" (MariaDB Connector/C; the default, also when TESSARY_DRIVER=native) or \"pymysql\" "
              "(the default when TESSARY_DRIVER=module). connectTimeout, readTimeout, writeTimeout: seconds "
              "(None: no limit); a statement past one raises OperationalError and its connection is closed. "
              "replicas: URLs or settings dicts of read replicas; reads outside transaction blocks go to them, "
              "after the thread's own writes (consistency=\"causal\").",
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_init = tp_init,
};

int ready_mysql_connector() noexcept {
    MysqlConnectorType.tp_base = &BaseConnectorType;
    return PyType_Ready(&MysqlConnectorType);
}

}  // namespace tsy::db
