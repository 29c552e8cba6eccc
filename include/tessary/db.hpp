// Shared declarations of the database layer: Tessary.DB.DB (the handle) and
// Tessary.DB.Connector (the connectors).
#pragma once

#include "py.hpp"

namespace tsy::db {

// The handle declares no data fields visible to other modules.
inline constexpr std::uint32_t DB_API_VERSION = 1;
inline constexpr const char* DB_CAPSULE = "Tessary.DB.DB._C_API";

struct DbApi {
    ApiHeader header;
    PyTypeObject* DB;
    // DB.getInstance(): the one handle (new ref).
    PyObject* (*getInstance)();
};

inline const DbApi* import_db_api() noexcept {
    return import_api<DbApi>(DB_CAPSULE, DB_API_VERSION);
}

inline constexpr std::uint32_t CONNECTOR_API_VERSION = 1;
inline constexpr const char* CONNECTOR_CAPSULE = "Tessary.DB.Connector._C_API";

struct ConnectorApi {
    ApiHeader header;
    PyTypeObject* BaseConnector;
    PyTypeObject* Sqlite3Connector;
    PyTypeObject* MysqlConnector;
    PyTypeObject* AioSqliteConnector;
    PyTypeObject* AioMysqlConnector;
};

inline const ConnectorApi* import_connector_api() noexcept {
    return import_api<ConnectorApi>(CONNECTOR_CAPSULE, CONNECTOR_API_VERSION);
}

}  // namespace tsy::db
