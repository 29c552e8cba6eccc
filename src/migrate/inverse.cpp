// Every step but a data step carries what it replaces, so it can be written
// backwards (a migration's downgrade) and judged for the data it loses.
#include "diff.hpp"

namespace tsy::migrate {
namespace {

using Kind = Operation::Kind;

Kind opposite(Kind kind) noexcept {
    switch (kind) {
    case Kind::CreateTable: return Kind::DropTable;
    case Kind::DropTable: return Kind::CreateTable;
    case Kind::AddColumn: return Kind::DropColumn;
    case Kind::DropColumn: return Kind::AddColumn;
    case Kind::CreateIndex: return Kind::DropIndex;
    case Kind::DropIndex: return Kind::CreateIndex;
    case Kind::AddForeignKey: return Kind::DropForeignKey;
    case Kind::DropForeignKey: return Kind::AddForeignKey;
    default: return kind;  // renames and alterations undo themselves, swapped
    }
}

}  // namespace

bool inverse(const Operation& op, Operation& out) noexcept {
    if (op.kind == Kind::Execute) {
        fail(PyExc_ValueError, "a data step cannot be undone automatically; write its downgrade");
        return false;
    }
    try {
        Operation back;
        back.kind = opposite(op.kind);
        back.table = op.table;
        back.table_spec = op.table_spec;
        back.index = op.index;
        back.foreign_key = op.foreign_key;
        // AddColumn holds `column`, DropColumn `before_column`: the swap turns
        // one into the other, and an alteration's new and old sides around.
        back.column = op.before_column;
        back.before_column = op.column;
        if (op.kind == Kind::RenameTable) {
            back.table = op.old_name;
            back.old_name = op.table;
        } else if (op.kind == Kind::RenameColumn) {
            back.column = op.column.value_or(ColumnSpec{});
            back.column->name = op.old_name;
            back.before_column.reset();
            back.old_name = op.column ? op.column->name : std::string();
        }
        out = std::move(back);
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

bool is_destructive(const Operation& op) noexcept {
    switch (op.kind) {
    case Kind::DropTable:
    case Kind::DropColumn:
        return true;
    case Kind::AlterColumn:
        return op.column && op.before_column && narrows(op.before_column->type, op.column->type);
    default:
        return false;
    }
}

}  // namespace tsy::migrate
