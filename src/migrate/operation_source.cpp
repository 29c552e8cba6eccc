// The op call a migration file holds for a step, e.g.
//     op.addColumn('user', Column('age', 'INT', nullable=False, default='0'))
// Names are Python string literals and schema values the reprs of the
// module's Column, Key, Reference and Table objects, which rebuild them:
// the text is read back by running it against an Operations object.
#include "diff.hpp"

namespace tsy::migrate {
namespace {

using Kind = Operation::Kind;

// Appends repr(obj) (a new reference, may be NULL after a failed
// conversion); false with an exception.
bool append_repr(std::string& out, Ref obj) {
    if (!obj) return false;
    Ref text = steal(PyObject_Repr(obj.get()));
    if (!text) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) return false;
    out.append(utf8, static_cast<std::size_t>(size));
    return true;
}

bool append_name(std::string& out, const std::string& name) {
    return append_repr(out, steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
}

}  // namespace

const char* kind_name(Operation::Kind kind) noexcept {
    switch (kind) {
    case Kind::CreateTable: return "createTable";
    case Kind::DropTable: return "dropTable";
    case Kind::RenameTable: return "renameTable";
    case Kind::AddColumn: return "addColumn";
    case Kind::DropColumn: return "dropColumn";
    case Kind::AlterColumn: return "alterColumn";
    case Kind::RenameColumn: return "renameColumn";
    case Kind::CreateIndex: return "createIndex";
    case Kind::DropIndex: return "dropIndex";
    case Kind::AddForeignKey: return "addForeignKey";
    case Kind::DropForeignKey: return "dropForeignKey";
    case Kind::Execute: return "execute";
    }
    return "execute";
}

namespace {

// A step built by hand may lack the field its kind needs.
bool missing(const char* what) {
    fail(PyExc_ValueError, "the step has no %s to write", what);
    return false;
}

// The arguments of the call, between its parentheses.
bool append_arguments(std::string& out, const Operation& op) {
    switch (op.kind) {
    case Kind::CreateTable:
    case Kind::DropTable:
        return op.table_spec ? append_repr(out, table_to_py(*op.table_spec)) : missing("table");
    case Kind::RenameTable:
        if (!append_name(out, op.old_name)) return false;
        out += ", ";
        return append_name(out, op.table);
    case Kind::Execute:
        if (!append_name(out, op.sql)) return false;
        if (!op.args || (PyTuple_Check(op.args.get()) && PyTuple_GET_SIZE(op.args.get()) == 0)) return true;
        out += ", ";
        return append_repr(out, borrow(op.args.get()));
    default:
        break;
    }
    if (!append_name(out, op.table)) return false;
    out += ", ";
    switch (op.kind) {
    case Kind::AddColumn:
        return op.column ? append_repr(out, column_to_py(*op.column)) : missing("column");
    case Kind::DropColumn:
        return op.before_column ? append_repr(out, column_to_py(*op.before_column)) : missing("column");
    case Kind::AlterColumn:
        if (!op.column || !op.before_column) return missing("column");
        if (!append_repr(out, column_to_py(*op.column))) return false;
        out += ", before=";
        return append_repr(out, column_to_py(*op.before_column));
    case Kind::RenameColumn:
        if (!op.column) return missing("column");
        if (!append_name(out, op.old_name)) return false;
        out += ", ";
        return append_name(out, op.column->name);
    case Kind::CreateIndex:
    case Kind::DropIndex:
        return op.index ? append_repr(out, key_to_py(*op.index)) : missing("key");
    case Kind::AddForeignKey:
    case Kind::DropForeignKey:
        return op.foreign_key ? append_repr(out, reference_to_py(*op.foreign_key)) : missing("reference");
    default:
        return true;
    }
}

}  // namespace

// Empty with an exception when a value cannot be written (a failing repr of
// an argument of a data step).
std::string operation_source(const Operation& op) {
    try {
        std::string out = "op.";
        out += kind_name(op.kind);
        out += "(";
        if (!append_arguments(out, op)) return {};
        out += ")";
        return out;
    } catch (...) {
        translate_exception();
        return {};
    }
}

}  // namespace tsy::migrate
