// Internal declarations of Tessary.DB.DB.
#pragma once

#include "tessary/db.hpp"

namespace tsy::db {

// Interned attribute and method names, made by init_names() when the module
// is imported (the import fails if one cannot be made).
struct Names {
    PyObject* Build;
    PyObject* BuildIndexes;
    PyObject* buildDeferring;  // "_buildDeferring"
    PyObject* col;
    PyObject* con_type;
    PyObject* database;
    PyObject* getCon;
    PyObject* isAsync;
    PyObject* name;
    PyObject* object;
    PyObject* transaction;
};
extern Names names;

// Fills `names`; -1 with the error set when one cannot be made.
int init_names() noexcept;

extern PyTypeObject DBType;

int ready_handle() noexcept;

// Whether `value` is a connector the handle can run statements on;
// TypeError naming it as `what` otherwise.
bool is_connector(PyObject* value, const char* what) noexcept;
// The dict of registered database names (borrowed), made when `make`;
// NULL without an error when there is none yet and `make` is false.
PyObject* registered_databases(bool make) noexcept;

// --- several databases (databases.cpp) -----------------------------------------

// register(name, connector) of the handle `self`. -1 with the error set.
int register_database(PyObject* self, PyObject* name, PyObject* connector) noexcept;
// DbApi's connectorFor, statementConnector, renderingConnector and
// swapRendering (tessary/db.hpp).
PyObject* connector_for(PyObject* target) noexcept;
PyObject* statement_connector(PyObject* model, PyObject* con) noexcept;
PyObject* rendering_connector(PyObject* model) noexcept;
PyObject* swap_rendering(PyObject* connector) noexcept;
// The connector of a model class's statements (its `database`); the
// handle's for NULL or None (new ref).
PyObject* model_statement_connector(PyObject* model) noexcept;

// The one handle (new ref), made on first use.
PyObject* get_instance() noexcept;
// The handle's connector, installing Sqlite3Connector(":memory:") when none is set (new ref).
PyObject* current_connector() noexcept;
// DB.createTables(*models, ifNotExists=False): each model's CREATE TABLE
// statement run in order; with a coroutine connector, an awaitable (tables.cpp).
PyObject* create_tables(PyObject* const* models, Py_ssize_t count, bool if_not_exists) noexcept;
// DB.checkSchema(*models): the operations that would bring the connector's
// database to the models' schema (a list; an awaitable of it on a coroutine
// connector), from Tessary.Ext.Migrate (check_schema.cpp).
PyObject* check_schema(PyObject* const* models, Py_ssize_t count) noexcept;
// Runs the statement pending in `executor` and returns what its process makes
// of the result; with a coroutine connector, an awaitable resolving to that.
PyObject* execute_statement(PyObject* executor, PyObject* con) noexcept;
// Hands the driver's result to the executor's process; `names` (a tuple of
// column names, or None) turns each row into a dict first.
PyObject* finish_statement(PyObject* executor, PyObject* result, PyObject* names) noexcept;
// The coroutine of a statement run by a coroutine connector: awaits
// `pending` (the connector's awaitable), then finish_statement (async_execute.cpp).
PyObject* await_statement(PyObject* executor, Ref pending, Ref names) noexcept;

}  // namespace tsy::db
