// The order of createTables' CREATE TABLE statements (table_order.cpp).
#pragma once

#include "tessary/py.hpp"

#include <vector>

namespace tsy::db {

// One CREATE TABLE: the model, and the names of its foreign-key constraints
// to add by ALTER TABLE once every table exists (NULL: none deferred).
struct TableStep {
    PyObject* model = nullptr;  // borrowed from the call's arguments
    Ref deferred;               // tuple of constraint names, or NULL
};

// The models in dependency order (see table_order.cpp); `defers`: break a
// cycle of constraints by deferring them (MariaDB) rather than by writing
// them as they are (SQLite). False with the error set.
bool order_tables(PyObject* const* models, Py_ssize_t count, bool defers, std::vector<TableStep>& out) noexcept;

}  // namespace tsy::db
