// The planning stage's own declarations: the SQL text of each step on each
// engine (render_sql.cpp), SQLite's table rebuild (sqlite_rebuild.cpp), the
// refusal of destructive steps (destructive.cpp), the `op` type
// (operations_object.cpp) and the running of a plan (run_plan.cpp), which the
// migration runner reuses.
#pragma once

#include "internal.hpp"

#include <string>
#include <string_view>

namespace tsy::migrate {

// -- render_sql.cpp -----------------------------------------------------------
// ValueError when a name cannot stand as a quoted identifier (empty, or
// holding a backtick or a NUL): names are never escaped, only refused.
bool check_identifier(std::string_view name, const char* what) noexcept;
// Every name a step writes, checked with check_identifier.
bool check_identifiers(const Operation& op) noexcept;
// `name`: identifiers are always written quoted, as TableGenerator does.
std::string quoted(std::string_view name);
// `a`, `b`
std::string quoted_list(const std::vector<std::string>& names);
// `name` TYPE [NOT] NULL [DEFAULT x] [AUTO_INCREMENT]
std::string column_definition(Engine engine, const ColumnSpec& c);
// CREATE TABLE `as_name` (...): columns, primary key, UNIQUE constraints and
// foreign keys; plain and unique indexes are separate statements.
std::string create_table_sql(Engine engine, const TableSpec& t, std::string_view as_name);
std::string create_index_sql(std::string_view table, const IndexSpec& index);
std::string foreign_key_clause(const ForeignKeySpec& fk);
// The statements of a step that needs no rebuild on `engine`; false with an
// exception on failure.
bool render_statements(Engine engine, const Operation& op, Plan& out);

// -- sqlite_rebuild.cpp -------------------------------------------------------
// Whether SQLite can only run the step by rebuilding the table.
bool needs_sqlite_rebuild(const Operation& op, const TableSpec& before) noexcept;
// The rebuild of `before` into `after` (same name): new table, rows copied,
// old dropped, new renamed, indexes and triggers recreated (the triggers'
// SQL read from sqlite_master through `connector`).
bool sqlite_rebuild(PyObject* connector, const TableSpec& before, const TableSpec& after, Plan& out) noexcept;

// -- destructive.cpp ----------------------------------------------------------
// DestructiveChangeError naming every destructive step of `ops` (NOT NULL
// on columns holding NULLs found by asking `connector`'s database, whose
// schema is `live`); true when there is none.
bool refuse_destructive(const std::vector<const Operation*>& ops, const SchemaSpec& live,
                        PyObject* connector) noexcept;

// -- run_plan.cpp -------------------------------------------------------------
// One statement on a synchronous connector: its rows (a list), new reference.
Ref run_sql(PyObject* connector, std::string_view sql, PyObject* args) noexcept;
// Runs the statements in order (no transaction of its own), reading
// PRAGMA foreign_key_check after each statement flagged for it: a row there
// fails with MigrationError.
bool run_statements(PyObject* connector, const Plan& plan) noexcept;
// The whole plan: foreign keys off around it when the plan asks (SQLite),
// the statements in one transaction of the connector.
bool run_plan(PyObject* connector, const Plan& plan) noexcept;
// The statements as plan() lists them: (sql, args) tuples, the pragmas the
// runner adds around a rebuild included.
Ref plan_listing(Engine engine, const Plan& plan) noexcept;

// -- operations_object.cpp ----------------------------------------------------
int add_operations_type(PyObject* module) noexcept;
// The Operation objects of an `op` (its list), or NULL when `obj` is not one.
PyObject* operations_list_of(PyObject* obj) noexcept;

// -- plan.cpp -----------------------------------------------------------------
// Tessary.Error.MigrateError's MigrationError / DestructiveChangeError raised
// with `message`.
bool migration_error(const std::string& message) noexcept;  // false
bool destructive_change_error(const std::string& message) noexcept;  // false
// The handle's connector when `connector` is NULL or None; TypeError for a
// coroutine connector (migrations run on the synchronous ones).
Ref sync_connector(PyObject* connector) noexcept;

}  // namespace tsy::migrate
