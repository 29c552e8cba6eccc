// Tessary.Ext.Migrate: the schema of a live database, its difference from the
// model classes, the statements that close it, and versioned migration files
// that record them. The module is a package (its __main__ is the command line).
#include "tessary/migrate.hpp"

#include "internal.hpp"

namespace tsy::migrate {
namespace {

MigrateApi api = {
    .header = {MIGRATE_API_VERSION, sizeof(MigrateApi)},
    .check_schema = check_schema,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.Ext.Migrate",
    .m_doc = "Schema migrations: inspect a database, diff it against the models, plan and apply the "
             "statements, and keep versioned migration files.",
    .m_size = -1,
};

PyObject* init() noexcept {
    Ref module = steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (add_inspect(module.get()) < 0 || add_diff(module.get()) < 0 || add_plan(module.get()) < 0 ||
        add_runner(module.get()) < 0) {
        return nullptr;
    }
    if (export_api(module.get(), &api, MIGRATE_CAPSULE) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace tsy::migrate

// The package Tessary/Ext/Migrate is this extension module's folder: the
// import system names its init after the package, not the file (__init__).
TSY_EXPORT PyObject* PyInit_Migrate() { return tsy::migrate::init(); }
