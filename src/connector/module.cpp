// Tessary.DB.Connector: the connectors and the capsule the handle binds to.
// It binds only the coroutine type of Tessary._coro; the drivers are
// imported by the connectors that use them.
#include "aio/aio_connector.hpp"
#include "core/engines.hpp"
#include "core/statement_log.hpp"

namespace tsy::db {

int add_url_functions(PyObject* module) noexcept;  // connect(url, **options): url.cpp
// The facts of a statement's connection, and dialect(connector, con=None): core/dialect.cpp.
int dialect_of(PyObject* connector, PyObject* con, int flags, Dialect* out) noexcept;
int add_dialect_function(PyObject* module) noexcept;
// Which connector a connection came from: core/ownership.cpp.
int owns_connection(PyObject* connector, PyObject* con) noexcept;

namespace aio {  // kept cursors of AioSqliteConnector's connections: aio/sqlite_stream.cpp
PyObject* open_kept_cursor(PyObject* con, PyObject* sql, PyObject* args) noexcept;
PyObject* fetch_kept_cursor(PyObject* con, PyObject* cursor, Py_ssize_t size) noexcept;
int close_kept_cursor(PyObject* con, PyObject* cursor) noexcept;
}  // namespace aio

Names names;

int init_names() noexcept {
    const NameSlot all[] = {
        {&names._connect, "_connect"},
        {&names.add_done_callback, "add_done_callback"},
        {&names.autocommit, "autocommit"},
        {&names.begin, "begin"},
        {&names.call_soon_threadsafe, "call_soon_threadsafe"},
        {&names.cancelled, "cancelled"},
        {&names.charset, "charset"},
        {&names.client_flag, "client_flag"},
        {&names.check_same_thread, "check_same_thread"},
        {&names.close, "close"},
        {&names.closed, "closed"},
        {&names.commit, "commit"},
        {&names.connect, "connect"},
        {&names.create_future, "create_future"},
        {&names.create_task, "create_task"},
        {&names.cursor, "cursor"},
        {&names.database, "database"},
        {&names.db, "db"},
        {&names.description, "description"},
        {&names.done, "done"},
        {&names.execute, "execute"},
        {&names.fetchall, "fetchall"},
        {&names.getCon, "getCon"},
        {&names.host, "host"},
        {&names.interrupt, "interrupt"},
        {&names.lastrowid, "lastrowid"},
        {&names.maxsize, "maxsize"},
        {&names.minsize, "minsize"},
        {&names.open, "open"},
        {&names.password, "password"},
        {&names.path, "path"},
        {&names.port, "port"},
        {&names.remove, "remove"},
        {&names.result, "result"},
        {&names.rollback, "rollback"},
        {&names.row_factory, "row_factory"},
        {&names.rowcount, "rowcount"},
        {&names.set_exception, "set_exception"},
        {&names.set_result, "set_result"},
        {&names.targetType, "targetType"},
        {&names.timeout, "timeout"},
        {&names.unix_socket, "unix_socket"},
        {&names.uri, "uri"},
        {&names.user, "user"},
        {&names.begin_sql, "BEGIN"},
        {&names.commit_sql, "COMMIT"},
        {&names.rollback_sql, "ROLLBACK"},
        {&names.shared_reads_sql, "PRAGMA read_uncommitted = 1"},
    };
    static_assert(sizeof(all) / sizeof(all[0]) == sizeof(Names) / sizeof(PyObject*), "every name has its text");
    return intern_all(all);
}

namespace {

ConnectorApi api = {
    {CONNECTOR_API_VERSION, sizeof(ConnectorApi)},
    &BaseConnectorType,
    &Sqlite3ConnectorType,
    &MysqlConnectorType,
    &AioSqliteConnectorType,
    &AioMysqlConnectorType,
    run_any,
    dialect_of,
    aio::open_kept_cursor,
    aio::fetch_kept_cursor,
    aio::close_kept_cursor,
    statement_log_on,
    log_stream,
    owns_connection,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.DB.Connector",
    .m_doc = "Connectors of the database handle: BaseConnector, Sqlite3Connector, MysqlConnector, and the "
             "asynchronous AioSqliteConnector and AioMysqlConnector.",
    .m_size = -1,
};

int ready_types() noexcept {
    if (ready_base_connector() < 0 || ready_sqlite_connector() < 0 || ready_mysql_connector() < 0) return -1;
    return ready_transaction() < 0 || ready_scope() < 0 ? -1 : 0;
}

int add(PyObject* module, PyTypeObject* type, const char* name) noexcept {
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace
}  // namespace tsy::db

TSY_EXPORT PyObject* PyInit_Connector() {
    using namespace tsy::db;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || init_names() < 0 || ready_statement_log() < 0 || ready_types() < 0) return nullptr;
    if (add(module.get(), &BaseConnectorType, "BaseConnector") < 0 ||
        add(module.get(), &Sqlite3ConnectorType, "Sqlite3Connector") < 0 ||
        add(module.get(), &MysqlConnectorType, "MysqlConnector") < 0 ||
        add(module.get(), &TransactionType, "Transaction") < 0 || ready_aio(module.get()) < 0 || ready_aio_mysql_engine(module.get()) < 0 ||
        add_url_functions(module.get()) < 0 || add_liveness_functions(module.get()) < 0 || add_dialect_function(module.get()) < 0 || ready_sqlite_engine(module.get()) < 0 ||
        ready_mysql_engine(module.get()) < 0) {
        return nullptr;
    }
    if (add(module.get(), &ScopeType, "Scope") < 0) return nullptr;
    if (tsy::export_api(module.get(), &api, CONNECTOR_CAPSULE) < 0) return nullptr;
    return module.release();
}
