// Tessary.DB.DB: the database handle. Binds the connectors at import; the
// executors and the builder are bound at the first statement.
#include "handle.hpp"

namespace tsy::db {

Names names;

int init_names() noexcept {
    const NameSlot all[] = {
        {&names.Build, "Build"},
        {&names.BuildIndexes, "BuildIndexes"},
        {&names.buildDeferring, "_buildDeferring"},
        {&names.col, "col"},
        {&names.con_type, "con_type"},
        {&names.database, "database"},
        {&names.getCon, "getCon"},
        {&names.isAsync, "isAsync"},
        {&names.name, "name"},
        {&names.object, "object"},
        {&names.transaction, "transaction"},
    };
    static_assert(sizeof(all) / sizeof(all[0]) == sizeof(Names) / sizeof(PyObject*), "every name has its text");
    return intern_all(all);
}

namespace {

PyObject* api_execute(PyObject* executor, PyObject* con) noexcept { return execute_statement(executor, con); }

DbApi api = {
    {DB_API_VERSION, sizeof(DbApi)},
    &DBType,
    get_instance,
    api_execute,
    current_connector,
    connector_for,
    statement_connector,
    rendering_connector,
    swap_rendering,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.DB.DB",
    .m_doc = "The database handle DB, and Generic and TypeVar for the pagination module.",
    .m_size = -1,
};

int add_typing_names(PyObject* module) noexcept {
    for (const char* name : {"Generic", "TypeVar"}) {
        Ref value = import_attr("typing", name);
        if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace
}  // namespace tsy::db

TSY_EXPORT PyObject* PyInit_DB() {
    using namespace tsy::db;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || init_names() < 0 || !import_connector_api() || ready_handle() < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "DB", reinterpret_cast<PyObject*>(&DBType)) < 0) return nullptr;
    if (add_typing_names(module.get()) < 0) return nullptr;
    if (tsy::export_api(module.get(), &api, DB_CAPSULE) < 0) return nullptr;
    return module.release();
}
