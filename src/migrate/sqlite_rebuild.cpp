// SQLite's table rebuild, for the changes its ALTER TABLE cannot make (a
// column's type, nullability or default; a UNIQUE constraint or foreign key
// added or dropped; a column it cannot add or drop in place): the table is
// written anew under a temporary name, its rows copied, the old table
// dropped, the new one renamed into its place, and its indexes and triggers
// (which went with the old table) made again. The runner turns foreign keys
// off around it, so the drop cascades nowhere, and checks them after it.
#include "plan.hpp"

#include <algorithm>

namespace tsy::migrate {

namespace {

bool contains(const std::vector<std::string>& names, std::string_view name) noexcept {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// ALTER TABLE ADD COLUMN refuses a key column, a NOT NULL column without a
// non-NULL default, and a default that is not a constant.
bool can_add_in_place(const ColumnSpec& c) noexcept {
    if (c.auto_increment) return false;
    if (!c.default_sql) return c.nullable;
    const std::string& d = *c.default_sql;
    if (!c.nullable && d == "NULL") return false;
    return d.rfind("CURRENT_", 0) != 0 && d.rfind('(', 0) != 0;
}

// ALTER TABLE DROP COLUMN refuses a column of the primary key, of a unique
// key or index, or of a foreign key.
bool can_drop_in_place(const TableSpec& t, std::string_view name) noexcept {
    if (contains(t.primary_key, name)) return false;
    for (const auto& k : t.indexes) {
        if (contains(k.columns, name)) return false;
    }
    for (const auto& fk : t.foreign_keys) {
        if (contains(fk.columns, name)) return false;
    }
    return true;
}

Statement statement(std::string sql, Ref args = {}) {
    Statement s;
    s.sql = std::move(sql);
    s.args = std::move(args);
    return s;
}

// What fills a column of the new table from the old one: the column itself,
// or its default where it was NULL and no longer may be.
std::string copied_value(const ColumnSpec& was, const ColumnSpec& now) {
    std::string value = quoted(was.name);
    if (!now.nullable && was.nullable && now.default_sql && *now.default_sql != "NULL") {
        return "COALESCE(" + value + ", " + *now.default_sql + ")";
    }
    return value;
}

std::string copy_rows_sql(const TableSpec& before, const TableSpec& after, const std::string& into) {
    std::vector<std::string> targets;
    std::string values;
    for (const auto& c : after.columns) {
        const ColumnSpec* was = before.column(c.name);
        if (!was) continue;  // a new column: its default
        targets.push_back(c.name);
        if (!values.empty()) values += ", ";
        values += copied_value(*was, c);
    }
    if (targets.empty()) return {};
    return "INSERT INTO " + quoted(into) + " (" + quoted_list(targets) + ") SELECT " + values + " FROM " +
           quoted(before.name);
}

// The CREATE TRIGGER texts of `table`, as sqlite_master keeps them.
bool triggers_of(PyObject* connector, const std::string& table, std::vector<std::string>& out) {
    Ref name = steal(PyUnicode_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size())));
    Ref args = name ? steal(PyTuple_Pack(1, name.get())) : Ref();
    if (!args) return false;
    Ref rows = run_sql(connector,
                       "SELECT sql FROM sqlite_master WHERE type = 'trigger' AND tbl_name = %s AND sql IS NOT NULL "
                       "ORDER BY name",
                       args.get());
    if (!rows) return false;
    Ref fast = steal(PySequence_Fast(rows.get(), "the rows of a statement"));
    if (!fast) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
        Ref cell = steal(PySequence_GetItem(PySequence_Fast_GET_ITEM(fast.get(), i), 0));
        if (!cell) return false;
        Py_ssize_t n = 0;
        const char* text = PyUnicode_Check(cell.get()) ? PyUnicode_AsUTF8AndSize(cell.get(), &n) : nullptr;
        if (!text) {
            if (!PyErr_Occurred()) expected_kind("str", cell.get());
            return false;
        }
        out.emplace_back(text, static_cast<std::size_t>(n));
    }
    return true;
}

bool rebuild(PyObject* connector, const TableSpec& before, const TableSpec& after, Plan& out) {
    std::vector<std::string> triggers;
    if (!triggers_of(connector, before.name, triggers)) return false;
    const std::string temporary = "_tessary_new_" + after.name;
    out.statements.push_back(statement(create_table_sql(Engine::Sqlite, after, temporary)));
    std::string copy = copy_rows_sql(before, after, temporary);
    if (!copy.empty()) out.statements.push_back(statement(std::move(copy)));
    out.statements.push_back(statement("DROP TABLE " + quoted(before.name)));
    out.statements.push_back(statement("ALTER TABLE " + quoted(temporary) + " RENAME TO " + quoted(after.name)));
    for (const auto& k : after.indexes) {
        if (!k.constraint) out.statements.push_back(statement(create_index_sql(after.name, k)));
    }
    for (auto& t : triggers) out.statements.push_back(statement(std::move(t)));
    out.statements.back().check_foreign_keys = true;
    out.foreign_keys_off = true;
    return true;
}

}  // namespace

bool needs_sqlite_rebuild(const Operation& op, const TableSpec& before) noexcept {
    using K = Operation::Kind;
    switch (op.kind) {
        case K::AlterColumn:
        case K::AddForeignKey:
        case K::DropForeignKey: return true;
        case K::CreateIndex:
        case K::DropIndex: return op.index && op.index->constraint;
        case K::AddColumn: return op.column && !can_add_in_place(*op.column);
        case K::DropColumn: return op.before_column && !can_drop_in_place(before, op.before_column->name);
        default: return false;
    }
}

bool sqlite_rebuild(PyObject* connector, const TableSpec& before, const TableSpec& after, Plan& out) noexcept {
    try {
        return rebuild(connector, before, after, out);
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
