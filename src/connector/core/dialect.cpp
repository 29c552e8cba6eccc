// The dialect facts of the connection a statement runs on (ConnectorApi's
// dialect(), Tessary.DB.Connector.dialect()): which SQL it takes, how it
// quotes and binds, whether it has INSERT ... RETURNING, and how many host
// parameters one statement may carry. Every executor that writes SQL of its
// own asks here instead of guessing from names, so the limits below stand
// nowhere else.
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>

#include "aio/aio_connector.hpp"
#include "core/engines.hpp"
#include "engines/mysql/nonblocking.hpp"

namespace tsy::db {

// module.cpp adds it to the module.
int add_dialect_function(PyObject* module) noexcept;
int dialect_of(PyObject* connector, PyObject* con, int flags, Dialect* out) noexcept;

namespace {

static_assert(int{PLACEHOLDERS_FORMAT} == int{STYLE_FORMAT} && int{PLACEHOLDERS_QMARK} == int{STYLE_QMARK},
              "the capsule's placeholder kinds are the connectors' own styles");

// The protocol counts a prepared statement's parameters in 16 bits; the
// drivers that write values into the text are held to the same bound.
constexpr Py_ssize_t kMysqlParamLimit = 65535;
constexpr long kSqliteReturningSince = 3035000;   // 3.35.0, as sqlite3_libversion_number() counts
constexpr long kMariadbReturningSince = 10005000; // 10.5.0, counted the same way

// Which library runs a connection's statements.
enum class Engine { unknown, sqlite_linked, sqlite_module, mysql };

struct SqliteFacts {
    bool known = false;
    bool returning = false;
    Py_ssize_t param_limit = 0;
};

struct DialectNames {
    PyObject* con_type;
    PyObject* paramstyle;
    PyObject* isAsync;
    PyObject* get_server_info;
    PyObject* getlimit;
    PyObject* close;
};

// Interned on first use; immortal afterwards.
const DialectNames* dialect_names() noexcept {
    static DialectNames n{};
    static bool made = false;
    if (made) return &n;
    const NameSlot all[] = {
        {&n.con_type, "con_type"},         {&n.paramstyle, "paramstyle"}, {&n.isAsync, "isAsync"},
        {&n.get_server_info, "get_server_info"}, {&n.getlimit, "getlimit"}, {&n.close, "close"},
    };
    if (intern_all(all) < 0) return nullptr;
    made = true;
    return &n;
}

// The library this module links: its version, and the parameter limit of a
// fresh handle (what every engine connection starts with; none lowers it).
const SqliteFacts* linked_sqlite() noexcept {
    static SqliteFacts facts;
    if (facts.known) return &facts;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        fail(PyExc_MemoryError, "SQLite could not open an in-memory database (code %d)", rc);
        return nullptr;
    }
    facts.param_limit = sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
    sqlite3_close_v2(db);
    facts.returning = sqlite3_libversion_number() >= kSqliteReturningSince;
    facts.known = true;
    return &facts;
}

// The library the sqlite3 module runs on, which may not be the linked one:
// its version and a fresh connection's limit, read once.
const SqliteFacts* module_sqlite() noexcept {
    static SqliteFacts facts;
    if (facts.known) return &facts;
    const DialectNames* n = dialect_names();
    Ref module = n ? steal(PyImport_ImportModule("sqlite3")) : Ref();
    Ref version = module ? attr(module.get(), "sqlite_version_info") : Ref();
    Ref since = version ? steal(Py_BuildValue("(iii)", 3, 35, 0)) : Ref();
    Ref which = since ? attr(module.get(), "SQLITE_LIMIT_VARIABLE_NUMBER") : Ref();
    Ref connect = which ? attr(module.get(), "connect") : Ref();
    Ref path = connect ? steal(PyUnicode_FromString(":memory:")) : Ref();
    Ref con = path ? call(connect.get(), path.get()) : Ref();
    if (!con) return nullptr;
    Ref limit = call_method(con.get(), n->getlimit, which.get());
    if (!call_method(con.get(), n->close) || !limit) return nullptr;
    int recent = PyObject_RichCompareBool(version.get(), since.get(), Py_GE);
    Py_ssize_t value = PyLong_AsSsize_t(limit.get());
    if (recent < 0 || (value == -1 && PyErr_Occurred())) return nullptr;
    facts.returning = recent != 0;
    facts.param_limit = value;
    facts.known = true;
    return &facts;
}

// A connection class of a driver module, once that module has been
// imported (before, nothing can be an instance of it); kept once found.
bool is_driver_connection(PyObject* con, PyObject*& kept, const char* module_name) noexcept {
    if (!kept) {
        Ref name = steal(PyUnicode_FromString(module_name));
        Ref module = name ? steal(PyImport_GetModule(name.get())) : Ref();
        if (!module) {
            PyErr_Clear();  // not imported: not this driver's
            return false;
        }
        Ref type = attr(module.get(), "Connection");
        if (!type || !PyType_Check(type.get())) {
            PyErr_Clear();
            return false;
        }
        kept = type.release();
    }
    return PyObject_TypeCheck(con, reinterpret_cast<PyTypeObject*>(kept));
}

PyObject* sqlite3_connection = nullptr;
PyObject* pymysql_connection = nullptr;
PyObject* aiomysql_connection = nullptr;

// What runs the statements of `con`, when it is a connection this module
// knows; unknown for anything else.
Engine engine_of_connection(PyObject* con) noexcept {
    if (is_native_sqlite(con)) return Engine::sqlite_linked;
    if (is_native_mysql(con) || PyObject_TypeCheck(con, &AioMysqlConnectionType)) return Engine::mysql;
    if (PyObject_TypeCheck(con, &AioSqliteConnectionType)) {
        const AioDriver* driver = as_sqlite_con(con)->driver;
        if (!driver) return Engine::unknown;
        return driver->native ? Engine::sqlite_linked : Engine::sqlite_module;
    }
    if (is_driver_connection(con, sqlite3_connection, "sqlite3")) return Engine::sqlite_module;
    if (is_driver_connection(con, pymysql_connection, "pymysql.connections")) return Engine::mysql;
    if (is_driver_connection(con, aiomysql_connection, "aiomysql.connection")) return Engine::mysql;
    return Engine::unknown;
}

// What runs the statements of one of the package's four connector classes
// (or a subclass); unknown for any other connector.
Engine engine_of_connector(PyObject* connector, int* coroutine) noexcept {
    *coroutine = 0;
    if (PyObject_TypeCheck(connector, &Sqlite3ConnectorType)) {
        Ref native = sqlite_engine_connect();
        PyObject* factory = as_connector(connector)->factory;
        return !factory || factory == native.get() ? Engine::sqlite_linked : Engine::sqlite_module;
    }
    if (PyObject_TypeCheck(connector, &MysqlConnectorType)) return Engine::mysql;
    if (PyObject_TypeCheck(connector, &AioSqliteConnectorType)) {
        *coroutine = 1;
        const AioDriver* driver = as_aio(connector)->driver;
        return !driver || driver->native ? Engine::sqlite_linked : Engine::sqlite_module;
    }
    if (PyObject_TypeCheck(connector, &AioMysqlConnectorType)) {
        *coroutine = 1;
        return Engine::mysql;
    }
    return Engine::unknown;
}

bool is_package_class(PyTypeObject* type) noexcept {
    return type == &Sqlite3ConnectorType || type == &MysqlConnectorType || type == &AioSqliteConnectorType ||
           type == &AioMysqlConnectorType;
}

// An attribute the connector may not have: 1 with `*out` set, 0 when it has
// none, -1 on error.
int optional_attr(PyObject* connector, PyObject* name, Ref* out) noexcept {
    PyObject* found = nullptr;
    int has = PyObject_GetOptionalAttr(connector, name, &found);
    *out = steal(found);
    return has;
}

// `paramstyle` as a placeholder kind, -1 for a value that names none.
int placeholders_named(PyObject* style) noexcept {
    if (!PyUnicode_Check(style)) return -1;
    if (PyUnicode_CompareWithASCIIString(style, "qmark") == 0) return PLACEHOLDERS_QMARK;
    if (PyUnicode_CompareWithASCIIString(style, "format") == 0 ||
        PyUnicode_CompareWithASCIIString(style, "pyformat") == 0) {
        return PLACEHOLDERS_FORMAT;
    }
    return -1;
}

// The connector's own settings, read through its attributes (a connector
// that is not one of the package's classes, or a subclass that may override
// them): `con_type` (when it is an int of C's range), the placeholder kind
// of `paramstyle` (-1 when absent or naming none), and `isAsync` (0 when absent).
struct Declared {
    bool has_con_type = false;
    int con_type = 0;
    int placeholders = -1;
    int coroutine = 0;
};

bool read_declared(PyObject* connector, const DialectNames& n, bool ask_async, Declared* out) noexcept {
    Ref value;
    int has = optional_attr(connector, n.con_type, &value);
    if (has < 0) return false;
    if (has && PyLong_Check(value.get())) {
        int overflow = 0;
        long number = PyLong_AsLongAndOverflow(value.get(), &overflow);
        if (number == -1 && PyErr_Occurred()) return false;
        if (!overflow && number >= INT32_MIN && number <= INT32_MAX) {
            out->has_con_type = true;
            out->con_type = static_cast<int>(number);
        }
    }
    has = optional_attr(connector, n.paramstyle, &value);
    if (has < 0) return false;
    if (has) out->placeholders = placeholders_named(value.get());
    if (!ask_async) return true;
    has = optional_attr(connector, n.isAsync, &value);
    if (has < 0) return false;
    int yes = has ? truth(value.get()) : 0;
    if (yes < 0) return false;
    out->coroutine = yes;
    return true;
}

// "major.minor.patch" at the start of `text` as one comparable number.
long version_number(const char* text) noexcept {
    char* end = nullptr;
    long major = std::strtol(text, &end, 10);
    long minor = (end && *end == '.') ? std::strtol(end + 1, &end, 10) : 0;
    long patch = (end && *end == '.') ? std::strtol(end + 1, &end, 10) : 0;
    return major * 1000000 + minor * 1000 + patch;
}

// Whether the server `con` is connected to takes INSERT ... RETURNING: only
// MariaDB does, from 10.5. A connection that cannot tell its server (no
// get_server_info(), or no text) gets 0. -1 on error.
int server_returns(PyObject* con, const DialectNames& n) noexcept {
    int offers = PyObject_HasAttrWithError(con, n.get_server_info);
    if (offers <= 0) return offers;
    Ref info = call_method(con, n.get_server_info);
    if (!info) return -1;
    const char* text = PyUnicode_Check(info.get()) ? PyUnicode_AsUTF8(info.get()) : nullptr;
    if (!text) return PyErr_Occurred() ? -1 : 0;
    // MariaDB's handshake puts "5.5.5-" before its own version for old clients.
    if (std::strncmp(text, "5.5.5-", 6) == 0) text += 6;
    return std::strstr(text, "MariaDB") && version_number(text) >= kMariadbReturningSince;
}

// RETURNING and the parameter limit of the engine.
bool engine_limits(Engine engine, PyObject* connector, PyObject* con, int flags, const DialectNames& n,
                   Dialect* out) noexcept {
    if (engine != Engine::mysql) {
        const SqliteFacts* facts = engine == Engine::sqlite_module ? module_sqlite() : linked_sqlite();
        if (!facts) return false;
        out->returning = facts->returning;
        out->param_limit = facts->param_limit;
        return true;
    }
    out->param_limit = kMysqlParamLimit;
    out->returning = 0;
    if (flags & DIALECT_NO_SERVER) return true;
    PyObject* server = con;
    if (!server && !out->coroutine && PyObject_TypeCheck(connector, &MysqlConnectorType)) {
        server = own_connection(connector);
        if (!server) return false;
    }
    if (!server) return true;  // nothing to ask
    Ref held = borrow(server);
    int returns = server_returns(held.get(), n);
    if (returns < 0) return false;
    out->returning = returns;
    return true;
}

}  // namespace

int dialect_of(PyObject* connector, PyObject* con, int flags, Dialect* out) noexcept {
    const DialectNames* n = dialect_names();
    if (!n) return -1;
    if (con == Py_None) con = nullptr;
    Ref hold_connector = borrow(connector);
    Ref hold_con = borrow(con);
    int coroutine = 0;
    Engine by_connector = engine_of_connector(connector, &coroutine);
    Engine by_con = con ? engine_of_connection(con) : Engine::unknown;
    Declared declared;
    PyTypeObject* type = Py_TYPE(connector);
    if (is_package_class(type)) {
        // Immutable classes: their settings are the fields their attributes read.
        declared.has_con_type = true;
        declared.con_type = as_connector(connector)->con_type;
        declared.placeholders = as_connector(connector)->style;
    } else if (!read_declared(connector, *n, by_connector == Engine::unknown, &declared)) {
        return -1;
    }
    if (by_connector == Engine::unknown) coroutine = declared.coroutine;
    Engine engine = by_con != Engine::unknown ? by_con : by_connector;
    if (engine == Engine::unknown) {
        bool mysql = declared.has_con_type ? declared.con_type == 0 : declared.placeholders == PLACEHOLDERS_FORMAT;
        engine = mysql ? Engine::mysql : Engine::sqlite_linked;
    }
    bool sqlite = engine != Engine::mysql;
    out->kind = sqlite ? DIALECT_SQLITE : DIALECT_MYSQL;
    out->coroutine = coroutine;
    out->quote = sqlite ? QUOTE_DOUBLE : QUOTE_BACKTICK;
    out->placeholders = declared.placeholders >= 0 ? declared.placeholders
                                                   : (sqlite ? PLACEHOLDERS_QMARK : PLACEHOLDERS_FORMAT);
    out->insert_style = declared.has_con_type ? declared.con_type : (sqlite ? 1 : 0);
    return engine_limits(engine, connector, con, flags, *n, out) ? 0 : -1;
}

namespace {

const char* const kDialectNames[] = {"connector", "con"};

PyObject* dialect_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{"dialect", kDialectNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Dialect d{};
    if (dialect_of(a[0], a[1], 0, &d) < 0) return nullptr;
    return Py_BuildValue("{s:s,s:N,s:s,s:s,s:i,s:N,s:n}", "kind", d.kind == DIALECT_SQLITE ? "sqlite" : "mysql",
                         "isAsync", PyBool_FromLong(d.coroutine), "quote", d.quote == QUOTE_DOUBLE ? "\"" : "`",
                         "paramstyle", d.placeholders == PLACEHOLDERS_QMARK ? "qmark" : "format", "con_type",
                         d.insert_style, "returning", PyBool_FromLong(d.returning), "paramLimit", d.param_limit);
}

PyMethodDef dialect_def = {
    "dialect", fastkw<dialect_function>(), METH_FASTCALL | METH_KEYWORDS,
    "dialect(connector, con=None)\n--\n\n"
    "What a statement of `connector` may be written with on `con` (on the connector's own connection when None), "
    "as a dict: kind (\"sqlite\" or \"mysql\"), isAsync, quote (the identifier quote), paramstyle, con_type, "
    "returning (INSERT ... RETURNING) and paramLimit (host parameters per statement).",
};

}  // namespace

int add_dialect_function(PyObject* module) noexcept {
    Ref function = steal(PyCFunction_NewEx(&dialect_def, nullptr, module));
    if (!function) return -1;
    return PyModule_AddObjectRef(module, "dialect", function.get());
}

}  // namespace tsy::db
