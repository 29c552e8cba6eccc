// Tessary.DB.Connector: the connectors and the capsule the handle binds to.
// It binds only the coroutine type of Tessary._coro; the drivers are
// imported by the connectors that use them.
#include "aio_common.hpp"

namespace tsy::db {
namespace {

ConnectorApi api = {
    {CONNECTOR_API_VERSION, sizeof(ConnectorApi)},
    &BaseConnectorType,
    &Sqlite3ConnectorType,
    &MysqlConnectorType,
    &AioSqliteConnectorType,
    &AioMysqlConnectorType,
    run_any,
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
    return ready_transaction();
}

int add(PyObject* module, PyTypeObject* type, const char* name) noexcept {
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace
}  // namespace tsy::db

TSY_EXPORT PyObject* PyInit_Connector() {
    using namespace tsy::db;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || ready_types() < 0) return nullptr;
    if (add(module.get(), &BaseConnectorType, "BaseConnector") < 0 ||
        add(module.get(), &Sqlite3ConnectorType, "Sqlite3Connector") < 0 ||
        add(module.get(), &MysqlConnectorType, "MysqlConnector") < 0 ||
        add(module.get(), &TransactionType, "Transaction") < 0 || ready_aio(module.get()) < 0) {
        return nullptr;
    }
    if (tsy::export_api(module.get(), &api, CONNECTOR_CAPSULE) < 0) return nullptr;
    return module.release();
}
