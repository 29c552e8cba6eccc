// Declarations shared by the files of the inspect stage: the Python schema
// types, the queries that read a live schema and the canonical forms both
// schemas are written in.
#pragma once

#include "internal.hpp"

#include <string>
#include <vector>

namespace tsy::migrate {

// -- schema_objects.cpp ---------------------------------------------------------
// Readies Column, Key, Reference and Table and adds them to the module.
int add_schema_types(PyObject* module) noexcept;

// -- canonical.cpp ------------------------------------------------------------------
// The canonical text of a column default on `engine` for a column of the
// canonical type `type`: what SQLite keeps of the DEFAULT clause and what
// MariaDB reports for it compare equal. "NULL" (any case) is no default: a
// column without one reads NULL too. nullopt for none.
std::optional<std::string> canonical_default(Engine engine, const std::string& type,
                                             std::optional<std::string> text);
// An identifier read from SQL text, its quotes removed (`a`, "a", [a], a).
std::string unquote_identifier(std::string_view text);
// UPPER-case ASCII copy.
std::string upper(std::string_view text);

// -- inspect_sqlite.cpp / inspect_mysql.cpp --------------------------------------------------
// The statements that read a live schema, in the order their results are
// handed to build_*_schema. None depends on another's result, so the
// coroutine path sends them one after the other as the synchronous one does.
const std::vector<const char*>& sqlite_inspect_queries() noexcept;
const std::vector<const char*>& mysql_inspect_queries() noexcept;
// The schema from the rows of each query (lists of row sequences), tables
// sorted by name.
bool build_sqlite_schema(const std::vector<Ref>& results, SchemaSpec& out) noexcept;
bool build_mysql_schema(const std::vector<Ref>& results, SchemaSpec& out) noexcept;

// -- row reading (inspect.cpp) ----------------------------------------------------------------
// Cells of a driver row: text (bytes decoded; None -> nullopt), integer.
bool row_text(PyObject* row, Py_ssize_t i, std::optional<std::string>& out) noexcept;
bool row_text(PyObject* row, Py_ssize_t i, std::string& out) noexcept;  // None -> ""
bool row_int(PyObject* row, Py_ssize_t i, long long& out) noexcept;
// Calls `each(row)` for every row of a fetched result; stops at the first false.
template <typename F>
bool for_each_row(PyObject* rows, F&& each) noexcept {
    Ref seq = steal(PySequence_Fast(rows, "inspect: a query's rows are not a sequence"));
    if (!seq) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!each(PySequence_Fast_GET_ITEM(seq.get(), i))) return false;
    }
    return true;
}

// A table's keys and references sorted by name, then columns: the order both
// schemas report them in, whatever order they were declared or read in.
void order_keys(TableSpec& table);
// Sorts tables by name (the order inspect reports them in), keys ordered.
void sort_tables(SchemaSpec& schema);

}  // namespace tsy::migrate
