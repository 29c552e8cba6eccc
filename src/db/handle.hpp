// Internal declarations of Tessary.DB.DB.
#pragma once

#include "tessary/db.hpp"

namespace tsy::db {

extern PyTypeObject DBType;

int ready_handle() noexcept;

// The one handle (new ref), made on first use.
PyObject* get_instance() noexcept;
// The handle's connector, installing Sqlite3Connector(":memory:") when none is set (new ref).
PyObject* current_connector() noexcept;
// Runs the statement pending in `executor` and returns what its process makes of the result.
PyObject* execute_statement(PyObject* executor, PyObject* con) noexcept;

}  // namespace tsy::db
