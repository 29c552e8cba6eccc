// Tessary.Model.Carrack: the executors. Binds the model layer, the builder
// and the database handle at import, and imports the error classes, pymysql,
// sqlite3 and logging (for the package's logger).
#include "async.hpp"
#include "relations.hpp"
#include "stream.hpp"

#include <utility>

namespace tsy::exec {
namespace {

CarrackApi api = {
    {CARRACK_API_VERSION, sizeof(CarrackApi)},
    &BaseModelExecutorType,
    &ModelExecutorType,
    &AsyncModelExecutorType,
    // Other modules hand over executors they did not make.
    guarded<executor_ready, instanceToFilter>,
    guarded<executor_ready, process>,
    guarded<executor_ready, processSelect>,
    guarded<executor_ready, processInsert>,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.Model.Carrack",
    .m_doc = "Executors: BaseModelExecutor, the synchronous ModelExecutor and the coroutine AsyncModelExecutor.",
    .m_size = -1,
    .m_methods = save_plan_functions,
};

int bind_apis() noexcept {
    bound.property = model::import_property_api();
    if (!bound.property) return -1;
    bound.native_insert_cell = _PyType_Lookup(bound.property->BaseProperty, names().insertCell);
    if (!bound.native_insert_cell) return fail(PyExc_ImportError, "BaseProperty has no insertCell");
    bound.model = model::import_model_api();
    if (!bound.model) return -1;
    bound.generator = gen::import_generator_api();
    if (!bound.generator) return -1;
    bound.db = db::import_db_api();
    if (!bound.db) return -1;
    bound.connector = db::import_connector_api();
    return bound.connector ? 0 : -1;
}

// Imported names are kept for the life of the process.
int bind_names(PyObject* module) noexcept {
    struct Import { const char* module; const char* name; PyObject** slot; };
    const Import imports[] = {
        {"pymysql", "IntegrityError", &bound.IntegrityError},
        {"Tessary.Error.QueryError", "QueryResoutIsNotOne", &bound.QueryResoutIsNotOne},
        {"Tessary.Error.DBError", "DeleteWithOutPrimaryKeyError", &bound.DeleteWithOutPrimaryKeyError},
        {"Tessary.Error.DBError", "UpdateWithOutPrimaryKeyError", &bound.UpdateWithOutPrimaryKeyError},
        {"Tessary.Model.ModelProperty", "ForeignType", &bound.ForeignType},
    };
    for (const Import& imp : imports) {
        if (!*imp.slot) *imp.slot = import_attr(imp.module, imp.name).release();
        if (!*imp.slot) return -1;
    }
    for (auto [slot, member] : {std::pair{&bound.ONE_TO_ONE, names().ONE_TO_ONE},
                                std::pair{&bound.ONE_TO_MANY, names().ONE_TO_MANY},
                                std::pair{&bound.MANY_TO_MANY, names().MANY_TO_MANY}}) {
        if (!*slot) *slot = attr(bound.ForeignType, member).release();
        if (!*slot) return -1;
    }
    Ref sqlite = steal(PyImport_ImportModule("sqlite3"));
    if (!sqlite) return -1;
    // A named logger of the package, never the root logger's module
    // functions: those install a handler on the root at first use, after
    // which the application's own logging.basicConfig() does nothing.
    Ref logging = steal(PyImport_ImportModule("logging"));
    if (!logging) return -1;
    if (!bound.logger) bound.logger = call_method(logging.get(), names().getLogger, names().Tessary).release();
    if (!bound.logger) return -1;
    if (PyModule_AddObjectRef(module, "IntegrityError", bound.IntegrityError) < 0) return -1;
    if (PyModule_AddObjectRef(module, "ForeignType", bound.ForeignType) < 0) return -1;
    return PyModule_AddObjectRef(module, "logger", bound.logger);
}

int add_types(PyObject* module) noexcept {
    if (ready_base_executor() < 0 || ready_model_executor() < 0 || ready_async_executor() < 0) return -1;
    if (ready_streams() < 0) return -1;
    if (PyModule_AddObjectRef(module, "RowStream", reinterpret_cast<PyObject*>(&RowStreamType)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "AsyncRowStream", reinterpret_cast<PyObject*>(&AsyncRowStreamType)) < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "AsyncModelExecutor", reinterpret_cast<PyObject*>(&AsyncModelExecutorType)) < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "BaseModelExecutor", reinterpret_cast<PyObject*>(&BaseModelExecutorType)) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "ModelExecutor", reinterpret_cast<PyObject*>(&ModelExecutorType));
}

}  // namespace
}  // namespace tsy::exec

TSY_EXPORT PyObject* PyInit_Carrack() {
    using namespace tsy::exec;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || init_names() < 0 || bind_apis() < 0) return nullptr;
    if (bind_names(module.get()) < 0 || add_types(module.get()) < 0) return nullptr;
    if (tsy::export_api(module.get(), &api, CARRACK_CAPSULE) < 0) return nullptr;
    return module.release();
}
