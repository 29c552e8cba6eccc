// The refusal of steps that lose data: every one is named before any
// statement runs, so that a refused plan leaves the database untouched.
// Besides the steps destructive by their kind (is_destructive), NOT NULL on
// a column that holds NULLs is found by counting them in the database.
#include "plan.hpp"

namespace tsy::migrate {

namespace {

std::string qualified(const Operation& op, const std::string& column) { return op.table + "." + column; }

// How a step destructive by its kind is named in the refusal.
std::string describe(const Operation& op) {
    using K = Operation::Kind;
    switch (op.kind) {
        case K::DropTable: return "drop table " + op.table;
        case K::DropColumn: return "drop column " + qualified(op, op.before_column ? op.before_column->name : "?");
        case K::AlterColumn:
            if (op.column && op.before_column) {
                return "change " + qualified(op, op.column->name) + " from " + op.before_column->type + " to " +
                       op.column->type;
            }
            break;
        case K::DropIndex: return "drop key " + qualified(op, op.index ? op.index->name : "?");
        case K::DropForeignKey: return "drop foreign key " + qualified(op, op.foreign_key ? op.foreign_key->name : "?");
        default: break;
    }
    return "a step on " + op.table;
}

// The one number a COUNT(*) statement reads, or -1 with an exception.
Py_ssize_t count_of(PyObject* connector, const std::string& sql) {
    Ref rows = run_sql(connector, sql, nullptr);
    if (!rows) return -1;
    Ref row = steal(PySequence_GetItem(rows.get(), 0));
    Ref cell = row ? steal(PySequence_GetItem(row.get(), 0)) : Ref();
    if (!cell) return -1;
    return PyNumber_AsSsize_t(cell.get(), PyExc_OverflowError);
}

// The NULLs a NOT NULL step would meet: those of an existing column made
// NOT NULL, or one per row for a NOT NULL column added without a default.
// 0 when the step meets none or its table is not in the live database yet.
Py_ssize_t nulls_met(const Operation& op, const SchemaSpec& live, PyObject* connector) {
    using K = Operation::Kind;
    const TableSpec* t = live.table(op.table);
    if (!t || !op.column || op.column->nullable) return 0;
    if (op.kind == K::AlterColumn) {
        const ColumnSpec* was = t->column(op.column->name);
        if (!was || !was->nullable) return 0;
        return count_of(connector, "SELECT COUNT(*) FROM " + quoted(t->name) + " WHERE " + quoted(was->name) +
                                       " IS NULL");
    }
    if (op.kind == K::AddColumn && (!op.column->default_sql || *op.column->default_sql == "NULL") &&
        !op.column->auto_increment) {
        return count_of(connector, "SELECT COUNT(*) FROM " + quoted(t->name));
    }
    return 0;
}

bool refuse(const std::vector<const Operation*>& ops, const SchemaSpec& live, PyObject* connector) {
    std::string named;
    auto name = [&](const std::string& step) {
        if (!named.empty()) named += "; ";
        named += step;
    };
    for (const Operation* op : ops) {
        if (is_destructive(*op)) name(describe(*op));
        if (PyErr_Occurred()) return false;
        Py_ssize_t nulls = nulls_met(*op, live, connector);
        if (nulls < 0) return false;
        if (nulls > 0) {
            name("NOT NULL on " + qualified(*op, op->column->name) + ", which holds " + std::to_string(nulls) +
                 (nulls == 1 ? " NULL" : " NULLs"));
        }
    }
    if (named.empty()) return true;
    return destructive_change_error("refusing destructive steps (allowDestructive=True to run them): " + named);
}

}  // namespace

bool refuse_destructive(const std::vector<const Operation*>& ops, const SchemaSpec& live,
                        PyObject* connector) noexcept {
    try {
        return refuse(ops, live, connector);
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
