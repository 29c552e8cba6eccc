// The handle's checkSchema(*models): what Tessary.Ext.Migrate's diff finds
// between the connector's database and the models. The migration module is
// imported at the first call, so that applications that never ask pay
// nothing for it at import.
#include "handle.hpp"

#include "tessary/migrate.hpp"

namespace tsy::db {

PyObject* check_schema(PyObject* const* models, Py_ssize_t count) noexcept {
    static const migrate::MigrateApi* api = nullptr;
    if (!api && !(api = migrate::import_migrate_api())) return nullptr;
    Ref connector = steal(current_connector());
    if (!connector) return nullptr;
    return api->check_schema(models, count, connector.get());
}

}  // namespace tsy::db
