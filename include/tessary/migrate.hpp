// Shared declarations of Tessary.Ext.Migrate: what the database handle calls
// for checkSchema.
#pragma once

#include "py.hpp"

namespace tsy::migrate {

inline constexpr std::uint32_t MIGRATE_API_VERSION = 1;
inline constexpr const char* MIGRATE_CAPSULE = "Tessary.Ext.Migrate._C_API";

struct MigrateApi {
    ApiHeader header;
    // The operations that would bring `connector`'s database to the schema of
    // `models` (a list, empty when in sync); an awaitable resolving to that
    // list on a coroutine connector. New reference, or NULL with an exception.
    PyObject* (*check_schema)(PyObject* const* models, Py_ssize_t count, PyObject* connector);
};

inline const MigrateApi* import_migrate_api() noexcept {
    return import_api<MigrateApi>(MIGRATE_CAPSULE, MIGRATE_API_VERSION);
}

}  // namespace tsy::migrate
