// Declarations shared by the files of the migration module. Each stage owns
// its files and declares here what the other stages call.
#pragma once

#include "schema.hpp"

namespace tsy::migrate {

// Each stage adds its types and functions to the module (0, or -1 with an
// exception).
int add_inspect(PyObject* module) noexcept;  // inspect.cpp: Column, Key, Reference, Table, inspect, modelSchema
int add_diff(PyObject* module) noexcept;     // diff.cpp: Operation, diff
int add_plan(PyObject* module) noexcept;     // plan.cpp: Operations (the `op` of migration files), plan
int add_runner(PyObject* module) noexcept;   // runner.cpp: make, apply, rollback, status, main

// -- inspect.cpp and its files ------------------------------------------------
// The engine of a connector (its dialect's kind), or nullopt with an exception.
std::optional<Engine> engine_of(PyObject* connector) noexcept;
// The live schema of a synchronous connector's database (every table but
// tessary_migrations and SQLite's own).
bool inspect_sync(PyObject* connector, SchemaSpec& out) noexcept;
// The schema the model classes ask for on `engine` (the junction models of
// their many-to-many relations included), in dependency order.
bool model_schema(PyObject* const* models, Py_ssize_t count, Engine engine, PyObject* connector,
                  SchemaSpec& out) noexcept;
// The Python schema objects (Column, Key, Reference, Table) and back.
Ref column_to_py(const ColumnSpec& c) noexcept;
bool column_from_py(PyObject* obj, ColumnSpec& out) noexcept;
Ref key_to_py(const IndexSpec& k) noexcept;
bool key_from_py(PyObject* obj, IndexSpec& out) noexcept;
Ref reference_to_py(const ForeignKeySpec& r) noexcept;
bool reference_from_py(PyObject* obj, ForeignKeySpec& out) noexcept;
Ref table_to_py(const TableSpec& t) noexcept;
bool table_from_py(PyObject* obj, TableSpec& out) noexcept;

// -- diff.cpp and its files ---------------------------------------------------
// The operations that take `live` to `wanted`, in an order that runs.
bool diff_schemas(const SchemaSpec& live, const SchemaSpec& wanted, std::vector<Operation>& out) noexcept;
// The step that undoes `op` (Execute has none: false with an exception).
bool inverse(const Operation& op, Operation& out) noexcept;
// Steps that lose data by their kind alone (drop table or column, a narrower type).
bool is_destructive(const Operation& op) noexcept;
// The op call of a migration file: `op.addColumn("user", Column(...))`.
std::string operation_source(const Operation& op);
// The Python Operation object of a step, and the step of one.
Ref operation_to_py(Operation op) noexcept;
const Operation* operation_of(PyObject* obj) noexcept;  // NULL with TypeError when not an Operation
// The capsule's checkSchema.
PyObject* check_schema(PyObject* const* models, Py_ssize_t count, PyObject* connector) noexcept;

// -- plan.cpp and its files ---------------------------------------------------
// The statements of `ops` on `connector`'s database, whose schema is `live`
// (updated to the schema after them). Destructive steps are refused with
// DestructiveChangeError naming each unless `allow_destructive`; NOT NULL on
// a column holding NULLs is found by asking the database.
bool plan_operations(const std::vector<const Operation*>& ops, SchemaSpec& live, PyObject* connector,
                     bool allow_destructive, Plan& out) noexcept;
// The schema after one step (what the planner tracks between steps).
bool apply_to_schema(SchemaSpec& schema, const Operation& op) noexcept;

}  // namespace tsy::migrate
