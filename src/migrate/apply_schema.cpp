// The schema after one step: what the planner tracks between the steps of a
// plan, so that each is written against the tables as the earlier ones left
// them (a rebuild copies the columns an earlier step added).
#include "plan.hpp"

#include <algorithm>

namespace tsy::migrate {

namespace {

TableSpec* find_table(SchemaSpec& schema, std::string_view name) noexcept {
    for (auto& t : schema.tables) {
        if (t.name == name) return &t;
    }
    return nullptr;
}

ColumnSpec* find_column(TableSpec& t, std::string_view name) noexcept {
    for (auto& c : t.columns) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

template <typename T, typename P> void erase_where(std::vector<T>& v, P pred) {
    v.erase(std::remove_if(v.begin(), v.end(), pred), v.end());
}

bool contains(const std::vector<std::string>& names, std::string_view name) noexcept {
    return std::find(names.begin(), names.end(), name) != names.end();
}

void rename_in(std::vector<std::string>& names, std::string_view from, const std::string& to) {
    for (auto& n : names) {
        if (n == from) n = to;
    }
}

bool no_table(std::string_view name) {
    return migration_error("no table " + std::string(name) + " in the schema the step applies to");
}

bool no_column(std::string_view table, std::string_view name) {
    return migration_error("no column " + std::string(table) + "." + std::string(name) +
                           " in the schema the step applies to");
}

bool rename_table(SchemaSpec& schema, const Operation& op) {
    TableSpec* t = find_table(schema, op.old_name);
    if (!t) return no_table(op.old_name);
    if (find_table(schema, op.table)) return migration_error("table " + op.table + " exists already");
    t->name = op.table;
    for (auto& other : schema.tables) {
        for (auto& fk : other.foreign_keys) {
            if (fk.ref_table == op.old_name) fk.ref_table = op.table;
        }
    }
    return true;
}

bool drop_column(TableSpec& t, std::string_view name) {
    if (!find_column(t, name)) return no_column(t.name, name);
    erase_where(t.columns, [&](const ColumnSpec& c) { return c.name == name; });
    // What the column belonged to goes with it, as SQLite's rebuild and
    // MariaDB's DROP COLUMN leave it.
    erase_where(t.indexes, [&](const IndexSpec& k) { return contains(k.columns, name); });
    erase_where(t.foreign_keys, [&](const ForeignKeySpec& fk) { return contains(fk.columns, name); });
    return true;
}

bool rename_column(SchemaSpec& schema, TableSpec& t, const Operation& op) {
    ColumnSpec* c = find_column(t, op.old_name);
    if (!c) return no_column(t.name, op.old_name);
    const std::string& to = op.column->name;
    c->name = to;
    rename_in(t.primary_key, op.old_name, to);
    for (auto& k : t.indexes) rename_in(k.columns, op.old_name, to);
    for (auto& fk : t.foreign_keys) rename_in(fk.columns, op.old_name, to);
    for (auto& other : schema.tables) {
        for (auto& fk : other.foreign_keys) {
            if (fk.ref_table == t.name) rename_in(fk.ref_columns, op.old_name, to);
        }
    }
    return true;
}

bool same_key(const IndexSpec& a, const IndexSpec& b) noexcept { return a.name == b.name || a == b; }
bool same_reference(const ForeignKeySpec& a, const ForeignKeySpec& b) noexcept {
    return (!a.name.empty() && a.name == b.name) || a == b;
}

bool apply_to_table(SchemaSpec& schema, TableSpec& t, const Operation& op) {
    using K = Operation::Kind;
    switch (op.kind) {
        case K::AddColumn:
            if (find_column(t, op.column->name)) return migration_error("column " + t.name + "." + op.column->name + " exists already");
            t.columns.push_back(*op.column);
            return true;
        case K::DropColumn: return drop_column(t, op.before_column->name);
        case K::AlterColumn: {
            ColumnSpec* c = find_column(t, op.column->name);
            if (!c) return no_column(t.name, op.column->name);
            *c = *op.column;
            return true;
        }
        case K::RenameColumn: return rename_column(schema, t, op);
        case K::CreateIndex: t.indexes.push_back(*op.index); return true;
        case K::DropIndex: erase_where(t.indexes, [&](const IndexSpec& k) { return same_key(k, *op.index); }); return true;
        case K::AddForeignKey: t.foreign_keys.push_back(*op.foreign_key); return true;
        case K::DropForeignKey:
            erase_where(t.foreign_keys, [&](const ForeignKeySpec& fk) { return same_reference(fk, *op.foreign_key); });
            return true;
        default: fail(PyExc_SystemError, "unexpected operation kind"); return false;
    }
}

// The field each kind of step reads, present.
bool complete(const Operation& op) {
    using K = Operation::Kind;
    bool ok = true;
    switch (op.kind) {
        case K::CreateTable: ok = op.table_spec.has_value(); break;
        case K::AddColumn: case K::AlterColumn: case K::RenameColumn: ok = op.column.has_value(); break;
        case K::DropColumn: ok = op.before_column.has_value(); break;
        case K::CreateIndex: case K::DropIndex: ok = op.index.has_value(); break;
        case K::AddForeignKey: case K::DropForeignKey: ok = op.foreign_key.has_value(); break;
        default: break;
    }
    if (!ok) fail(PyExc_ValueError, "the operation lacks the field its kind needs");
    return ok;
}

bool apply(SchemaSpec& schema, const Operation& op) {
    using K = Operation::Kind;
    if (!complete(op)) return false;
    switch (op.kind) {
        case K::Execute: return true;
        case K::CreateTable:
            if (find_table(schema, op.table_spec->name)) return migration_error("table " + op.table_spec->name + " exists already");
            schema.tables.push_back(*op.table_spec);
            return true;
        case K::DropTable:
            if (!find_table(schema, op.table)) return no_table(op.table);
            erase_where(schema.tables, [&](const TableSpec& t) { return t.name == op.table; });
            return true;
        case K::RenameTable: return rename_table(schema, op);
        default: break;
    }
    TableSpec* t = find_table(schema, op.table);
    if (!t) return no_table(op.table);
    return apply_to_table(schema, *t, op);
}

}  // namespace

bool apply_to_schema(SchemaSpec& schema, const Operation& op) noexcept {
    try {
        return apply(schema, op);
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
