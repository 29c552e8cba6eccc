// The SQL text of each step on SQLite and MariaDB, for the steps either
// engine runs in place (SQLite's rebuilds are sqlite_rebuild.cpp's).
// Identifiers are always written in backticks, which both engines accept;
// a name that could break out of them is refused, never escaped.
#include "plan.hpp"

namespace tsy::migrate {

bool check_identifier(std::string_view name, const char* what) noexcept {
    if (name.empty()) {
        PyErr_Format(PyExc_ValueError, "an empty %s name cannot be written in a statement", what);
        return false;
    }
    if (name.find('`') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, "the %s name %R holds a backtick or a NUL character and cannot be quoted",
                     what, Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                                           "replace")).get());
        return false;
    }
    return true;
}

namespace {

bool check_all(const std::vector<std::string>& names, const char* what) noexcept {
    for (const auto& n : names) {
        if (!check_identifier(n, what)) return false;
    }
    return true;
}

bool check_column(const std::optional<ColumnSpec>& c) noexcept {
    return !c || check_identifier(c->name, "column");
}

bool check_index(const std::optional<IndexSpec>& k) noexcept {
    return !k || (check_identifier(k->name, "index") && check_all(k->columns, "column"));
}

bool check_foreign_key(const ForeignKeySpec& fk) noexcept {
    return check_identifier(fk.name, "foreign key") && check_all(fk.columns, "column") &&
           check_identifier(fk.ref_table, "table") && check_all(fk.ref_columns, "column");
}

bool check_table(const TableSpec& t) noexcept {
    if (!check_identifier(t.name, "table")) return false;
    for (const auto& c : t.columns) {
        if (!check_identifier(c.name, "column")) return false;
    }
    for (const auto& k : t.indexes) {
        if (!check_identifier(k.name, "index") || !check_all(k.columns, "column")) return false;
    }
    for (const auto& fk : t.foreign_keys) {
        if (!check_foreign_key(fk)) return false;
    }
    return check_all(t.primary_key, "column");
}

}  // namespace

bool check_identifiers(const Operation& op) noexcept {
    using K = Operation::Kind;
    if (op.kind == K::Execute) return true;
    if (!check_identifier(op.table, "table")) return false;
    if ((op.kind == K::RenameTable || op.kind == K::RenameColumn) &&
        !check_identifier(op.old_name, op.kind == K::RenameTable ? "table" : "column")) {
        return false;
    }
    if (op.table_spec && !check_table(*op.table_spec)) return false;
    if (op.foreign_key && !check_foreign_key(*op.foreign_key)) return false;
    return check_column(op.column) && check_column(op.before_column) && check_index(op.index);
}

std::string quoted(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out += '`';
    out += name;
    out += '`';
    return out;
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out += ", ";
        out += quoted(n);
    }
    return out;
}

std::string column_definition(Engine engine, const ColumnSpec& c) {
    std::string out = quoted(c.name);
    // SQLite's generated key is the rowid: an INTEGER column that is the
    // table's whole primary key, written as TableGenerator writes it.
    if (engine == Engine::Sqlite && c.auto_increment) return out + " INTEGER";
    out += ' ';
    out += c.type;
    out += c.nullable ? " NULL" : " NOT NULL";
    if (c.default_sql) {
        out += " DEFAULT ";
        out += *c.default_sql;
    }
    if (engine == Engine::Mysql && c.auto_increment) out += " AUTO_INCREMENT";
    return out;
}

std::string foreign_key_clause(const ForeignKeySpec& fk) {
    return "CONSTRAINT " + quoted(fk.name) + " FOREIGN KEY (" + quoted_list(fk.columns) + ") REFERENCES " +
           quoted(fk.ref_table) + " (" + quoted_list(fk.ref_columns) + ") ON DELETE " + fk.on_delete;
}

namespace {

std::string unique_constraint_clause(const IndexSpec& k) {
    return "CONSTRAINT " + quoted(k.name) + " UNIQUE (" + quoted_list(k.columns) + ")";
}

Statement statement(std::string sql) {
    Statement s;
    s.sql = std::move(sql);
    return s;
}

std::string alter(std::string_view table) { return "ALTER TABLE " + quoted(table) + " "; }

}  // namespace

std::string create_table_sql(Engine engine, const TableSpec& t, std::string_view as_name) {
    std::string out = "CREATE TABLE " + quoted(as_name) + " (\n";
    std::vector<std::string> parts;
    for (const auto& c : t.columns) parts.push_back(column_definition(engine, c));
    if (!t.primary_key.empty()) {
        parts.push_back("CONSTRAINT " + quoted(t.name + "_pk") + " PRIMARY KEY (" + quoted_list(t.primary_key) + ")");
    }
    for (const auto& k : t.indexes) {
        if (k.constraint) parts.push_back(unique_constraint_clause(k));
    }
    for (const auto& fk : t.foreign_keys) parts.push_back(foreign_key_clause(fk));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        out += "   " + parts[i];
        out += i + 1 < parts.size() ? ",\n" : "\n";
    }
    return out + ")";
}

std::string create_index_sql(std::string_view table, const IndexSpec& index) {
    return std::string(index.unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") + quoted(index.name) + " ON " +
           quoted(table) + " (" + quoted_list(index.columns) + ")";
}

namespace {

void create_table(Engine engine, const TableSpec& t, Plan& out) {
    out.statements.push_back(statement(create_table_sql(engine, t, t.name)));
    for (const auto& k : t.indexes) {
        if (!k.constraint) out.statements.push_back(statement(create_index_sql(t.name, k)));
    }
}

std::string rename_table(Engine engine, const Operation& op) {
    if (engine == Engine::Mysql) return "RENAME TABLE " + quoted(op.old_name) + " TO " + quoted(op.table);
    return alter(op.old_name) + "RENAME TO " + quoted(op.table);
}

std::string create_index(Engine engine, const Operation& op) {
    const IndexSpec& k = *op.index;
    if (k.constraint && engine == Engine::Mysql) return alter(op.table) + "ADD " + unique_constraint_clause(k);
    return create_index_sql(op.table, k);
}

std::string drop_index(Engine engine, const Operation& op) {
    if (engine == Engine::Mysql) return "DROP INDEX " + quoted(op.index->name) + " ON " + quoted(op.table);
    return "DROP INDEX " + quoted(op.index->name);
}

bool missing(const char* what) {
    fail(PyExc_ValueError, "the operation has no %s", what);
    return false;
}

// The one statement of a step on a table, or an error when its fields are missing.
bool table_statement(Engine engine, const Operation& op, Plan& out) {
    using K = Operation::Kind;
    std::string sql;
    switch (op.kind) {
        case K::DropTable: sql = "DROP TABLE " + quoted(op.table); break;
        case K::RenameTable: sql = rename_table(engine, op); break;
        case K::AddColumn:
            if (!op.column) return missing("column");
            sql = alter(op.table) + "ADD COLUMN " + column_definition(engine, *op.column);
            break;
        case K::DropColumn:
            if (!op.before_column) return missing("column");
            sql = alter(op.table) + "DROP COLUMN " + quoted(op.before_column->name);
            break;
        case K::AlterColumn:
            if (!op.column) return missing("column");
            sql = alter(op.table) + "MODIFY COLUMN " + column_definition(engine, *op.column);
            break;
        case K::RenameColumn:
            if (!op.column) return missing("column");
            sql = alter(op.table) + "RENAME COLUMN " + quoted(op.old_name) + " TO " + quoted(op.column->name);
            break;
        case K::CreateIndex:
            if (!op.index) return missing("key");
            sql = create_index(engine, op);
            break;
        case K::DropIndex:
            if (!op.index) return missing("key");
            sql = drop_index(engine, op);
            break;
        case K::AddForeignKey:
            if (!op.foreign_key) return missing("reference");
            sql = alter(op.table) + "ADD " + foreign_key_clause(*op.foreign_key);
            break;
        case K::DropForeignKey:
            if (!op.foreign_key) return missing("reference");
            sql = alter(op.table) + "DROP FOREIGN KEY " + quoted(op.foreign_key->name);
            break;
        default: fail(PyExc_SystemError, "unexpected operation kind"); return false;
    }
    out.statements.push_back(statement(std::move(sql)));
    return true;
}

}  // namespace

bool render_statements(Engine engine, const Operation& op, Plan& out) {
    using K = Operation::Kind;
    if (op.kind == K::CreateTable) {
        if (!op.table_spec) return missing("table");
        create_table(engine, *op.table_spec, out);
        return true;
    }
    if (op.kind == K::Execute) {
        Statement s = statement(op.sql);
        s.args = borrow(op.args.get());
        out.statements.push_back(std::move(s));
        return true;
    }
    return table_statement(engine, op, out);
}

}  // namespace tsy::migrate
