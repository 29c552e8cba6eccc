// The one line a person reads for a step (str() of an Operation, the lists
// a check prints): what changes, where, and whether data may be lost.
#include "diff.hpp"

namespace tsy::migrate {
namespace {

using Kind = Operation::Kind;

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& n : names) {
        if (!text.empty()) text += ", ";
        text += n;
    }
    return text;
}

std::string key_kind(const IndexSpec& ix) {
    if (ix.constraint) return "unique key";
    return ix.unique ? "unique index" : "index";
}

std::string key_text(const std::string& table, const IndexSpec& ix) {
    return key_kind(ix) + " " + table + "." + ix.name + " (" + joined(ix.columns) + ")";
}

std::string reference_text(const std::string& table, const ForeignKeySpec& fk) {
    return "foreign key " + table + "." + fk.name + " (" + joined(fk.columns) + ") -> " + fk.ref_table + " (" +
           joined(fk.ref_columns) + ") ON DELETE " + fk.on_delete;
}

std::string column_names(const TableSpec& t) {
    std::vector<std::string> names;
    for (const auto& c : t.columns) names.push_back(c.name);
    return joined(names);
}

std::string body(const Operation& op) {
    const std::string& t = op.table;
    switch (op.kind) {
    case Kind::CreateTable:
        return "create table " + t + (op.table_spec ? " (" + column_names(*op.table_spec) + ")" : "");
    case Kind::DropTable: return "drop table " + t;
    case Kind::RenameTable: return "rename table " + op.old_name + " to " + t;
    case Kind::AddColumn:
        return "add column " + t + "." + (op.column ? op.column->name + " " + describe_column(*op.column) : "");
    case Kind::DropColumn: return "drop column " + t + "." + (op.before_column ? op.before_column->name : "");
    case Kind::AlterColumn:
        if (!op.column || !op.before_column) return "alter column " + t;
        return "alter column " + t + "." + op.column->name + " " + describe_column(*op.before_column) + " -> " +
               describe_column(*op.column);
    case Kind::RenameColumn:
        return "rename column " + t + "." + op.old_name + " to " + (op.column ? op.column->name : "");
    case Kind::CreateIndex: return op.index ? (op.index->constraint ? "add " : "create ") + key_text(t, *op.index) : "";
    case Kind::DropIndex: return op.index ? "drop " + key_text(t, *op.index) : "";
    case Kind::AddForeignKey: return op.foreign_key ? "add " + reference_text(t, *op.foreign_key) : "";
    case Kind::DropForeignKey: return op.foreign_key ? "drop " + reference_text(t, *op.foreign_key) : "";
    case Kind::Execute: return "execute " + op.sql;
    }
    return {};
}

}  // namespace

std::string describe_column(const ColumnSpec& c) {
    std::string text = c.type;
    if (!c.nullable) text += " NOT NULL";
    if (c.default_sql) text += " DEFAULT " + *c.default_sql;
    if (c.auto_increment) text += " AUTO_INCREMENT";
    return text;
}

std::string describe(const Operation& op) {
    std::string text = body(op);
    if (is_destructive(op)) text += " (destructive)";
    return text;
}

}  // namespace tsy::migrate
