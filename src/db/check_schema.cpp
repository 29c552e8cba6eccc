// The handle's checkSchema(*models): what Tessary.Ext.Migrate's diff finds
// between the models' database (their `database`, the handle's connector by
// default) and the models. The migration module is
// imported at the first call, so that applications that never ask pay
// nothing for it at import.
#include "handle.hpp"

#include "tessary/migrate.hpp"

namespace tsy::db {

namespace {

// The connector of the models' database: the handle's when none is given.
// The models of one call are compared with one database; models of two
// are a ValueError. A non-model is left to the diff to refuse.
Ref database_of(PyObject* const* models, Py_ssize_t count) noexcept {
    Ref chosen;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyType_Check(models[i])) continue;
        Ref connector = steal(model_statement_connector(models[i]));
        if (!connector) return {};
        if (!chosen) chosen = std::move(connector);
        else if (chosen.get() != connector.get()) {
            return fail(PyExc_ValueError, "checkSchema() compares the models of one database; %R is stored in "
                        "another one than %R", models[i], models[0]);
        }
    }
    return chosen ? std::move(chosen) : steal(current_connector());
}

}  // namespace

PyObject* check_schema(PyObject* const* models, Py_ssize_t count) noexcept {
    static const migrate::MigrateApi* api = nullptr;
    if (!api && !(api = migrate::import_migrate_api())) return nullptr;
    Ref connector = database_of(models, count);
    if (!connector) return nullptr;
    return api->check_schema(models, count, connector.get());
}

}  // namespace tsy::db
