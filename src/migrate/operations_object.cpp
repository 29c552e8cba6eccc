// Operations: the `op` a migration file's upgrade() and downgrade() receive.
// Each method records one step (an Operation object) in `op.operations`, in
// call order, and runs nothing: the runner plans and runs them afterwards.
#include "plan.hpp"

#include <structmember.h>

namespace tsy::migrate {

namespace {

struct OperationsObject {
    PyObject_HEAD
    PyObject* operations;  // list of Operation; made by tp_new, so never NULL
};

OperationsObject* as_operations(PyObject* o) noexcept { return reinterpret_cast<OperationsObject*>(o); }

PyTypeObject OperationsType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// -- arguments ----------------------------------------------------------------

bool text_arg(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        wrong_arg_type(name, &PyUnicode_Type, obj);
        return false;
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(n));
    return true;
}

bool name_arg(PyObject* obj, const char* name, const char* what, std::string& out) {
    return text_arg(obj, name, out) && check_identifier(out, what);
}

// Records `op` and returns None.
PyObject* record(PyObject* self, Operation op) {
    Ref obj = operation_to_py(std::move(op));
    if (!obj || PyList_Append(as_operations(self)->operations, obj.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

Operation step(Operation::Kind kind, std::string table = {}) {
    Operation op;
    op.kind = kind;
    op.table = std::move(table);
    return op;
}

const char* const kTableNames[] = {"table"};
const char* const kRenameTableNames[] = {"old", "new"};
const char* const kColumnNames[] = {"table", "column"};
const char* const kAlterNames[] = {"table", "column", "before"};
const char* const kRenameColumnNames[] = {"table", "old", "new"};
const char* const kKeyNames[] = {"table", "key"};
const char* const kReferenceNames[] = {"table", "reference"};
const char* const kExecuteNames[] = {"sql", "args"};

// -- tables -------------------------------------------------------------------

PyObject* table_step(Operation::Kind kind, const char* func, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject* self) {
    const Params params{func, kTableNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    TableSpec t;
    if (!table_from_py(a[0], t)) return nullptr;
    Operation op = step(kind, t.name);
    op.table_spec = std::move(t);
    return record(self, std::move(op));
}

PyObject* create_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return table_step(Operation::Kind::CreateTable, "createTable", args, nargs, kwnames, self);
}

PyObject* drop_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return table_step(Operation::Kind::DropTable, "dropTable", args, nargs, kwnames, self);
}

PyObject* rename_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"renameTable", kRenameTableNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Operation op = step(Operation::Kind::RenameTable);
    if (!name_arg(a[0], "old", "table", op.old_name) || !name_arg(a[1], "new", "table", op.table)) return nullptr;
    return record(self, std::move(op));
}

// -- columns, keys and references ---------------------------------------------

// A step on one table given its name and one schema object (a Column, Key or
// Reference read into `field`).
template <typename Spec, bool (*FromPy)(PyObject*, Spec&) noexcept>
PyObject* object_step(PyObject* self, const Params& params, Operation::Kind kind,
                      std::optional<Spec> Operation::*field, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Operation op = step(kind);
    Spec spec;
    if (!name_arg(a[0], "table", "table", op.table) || !FromPy(a[1], spec)) return nullptr;
    op.*field = std::move(spec);
    return record(self, std::move(op));
}

PyObject* column_step(PyObject* self, const char* func, Operation::Kind kind, std::optional<ColumnSpec> Operation::*field,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Params params{func, kColumnNames, 2, 2};
    return object_step<ColumnSpec, column_from_py>(self, params, kind, field, args, nargs, kwnames);
}

PyObject* key_step(PyObject* self, const char* func, Operation::Kind kind, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    const Params params{func, kKeyNames, 2, 2};
    return object_step<IndexSpec, key_from_py>(self, params, kind, &Operation::index, args, nargs, kwnames);
}

PyObject* reference_step(PyObject* self, const char* func, Operation::Kind kind, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    const Params params{func, kReferenceNames, 2, 2};
    return object_step<ForeignKeySpec, reference_from_py>(self, params, kind, &Operation::foreign_key, args, nargs,
                                                          kwnames);
}

PyObject* add_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return column_step(self, "addColumn", Operation::Kind::AddColumn, &Operation::column, args, nargs, kwnames);
}

PyObject* drop_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return column_step(self, "dropColumn", Operation::Kind::DropColumn, &Operation::before_column, args, nargs,
                       kwnames);
}

// alterColumn(table, column, *, before): `before` is keyword-only, so that
// a file reads which column definition is the old one.
PyObject* alter_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"alterColumn", kAlterNames, 3, 2};
    if (nargs > 2) return arg_count_error("alterColumn", 2, 2, nargs);
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (!a[2]) return fail(PyExc_TypeError, "alterColumn() missing required keyword-only argument: 'before'");
    Operation op = step(Operation::Kind::AlterColumn);
    ColumnSpec now, was;
    if (!name_arg(a[0], "table", "table", op.table) || !column_from_py(a[1], now) || !column_from_py(a[2], was)) {
        return nullptr;
    }
    if (now.name != was.name) {
        return fail(PyExc_ValueError, "alterColumn(): the column and its former definition name different columns "
                    "(%s, %s); rename with renameColumn()", now.name.c_str(), was.name.c_str());
    }
    op.column = std::move(now);
    op.before_column = std::move(was);
    return record(self, std::move(op));
}

PyObject* rename_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"renameColumn", kRenameColumnNames, 3, 3};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Operation op = step(Operation::Kind::RenameColumn);
    ColumnSpec renamed;
    if (!name_arg(a[0], "table", "table", op.table) || !name_arg(a[1], "old", "column", op.old_name) ||
        !name_arg(a[2], "new", "column", renamed.name)) {
        return nullptr;
    }
    op.column = std::move(renamed);
    return record(self, std::move(op));
}

PyObject* create_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return key_step(self, "createIndex", Operation::Kind::CreateIndex, args, nargs, kwnames);
}

PyObject* drop_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return key_step(self, "dropIndex", Operation::Kind::DropIndex, args, nargs, kwnames);
}

PyObject* add_foreign_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reference_step(self, "addForeignKey", Operation::Kind::AddForeignKey, args, nargs, kwnames);
}

PyObject* drop_foreign_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reference_step(self, "dropForeignKey", Operation::Kind::DropForeignKey, args, nargs, kwnames);
}

// -- data ---------------------------------------------------------------------

PyObject* execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"execute", kExecuteNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Operation op = step(Operation::Kind::Execute);
    if (!text_arg(a[0], "sql", op.sql)) return nullptr;
    if (op.sql.empty()) return fail(PyExc_ValueError, "execute(): the statement is empty");
    PyObject* values = a[1] ? a[1] : Py_None;
    if (values == Py_None) op.args = steal(PyTuple_New(0));
    else if (PyTuple_Check(values) || PyList_Check(values)) op.args = steal(PySequence_Tuple(values));
    else return fail(PyExc_TypeError, "execute(): args must be a tuple or a list of values, not %.200s", type_name(values));
    if (!op.args) return nullptr;
    return record(self, std::move(op));
}

// -- the type -----------------------------------------------------------------

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    as_operations(self.get())->operations = PyList_New(0);
    if (!as_operations(self.get())->operations) return nullptr;
    return self.release();
}

int tp_init(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0) return arg_count_error("Operations", 0, 0, PyTuple_GET_SIZE(args));
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwargs, &pos, &key, &value);
        return unexpected_keyword("Operations", key);
    }
    return 0;
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_operations(self)->operations);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    Py_CLEAR(as_operations(self)->operations);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* tp_repr(PyObject* self) noexcept {
    PyObject* ops = as_operations(self)->operations;
    return PyUnicode_FromFormat("<Operations: %zd recorded>", ops ? PyList_GET_SIZE(ops) : 0);
}

// `operations` may have been cleared by the collector (a cycle through it).
bool ready(PyObject* self) noexcept { return as_operations(self)->operations != nullptr; }

#define OP_METHOD(name, fn, sig, doc) \
    {name, fastkw_ready<ready, fn>(), METH_FASTCALL | METH_KEYWORDS, name sig "\n--\n\n" doc}

PyMethodDef methods[] = {
    OP_METHOD("createTable", create_table, "($self, table)", "Record CREATE TABLE of a Table."),
    OP_METHOD("dropTable", drop_table, "($self, table)", "Record DROP TABLE; `table` is the Table as it was."),
    OP_METHOD("renameTable", rename_table, "($self, old, new)", "Record the renaming of table `old` to `new`."),
    OP_METHOD("addColumn", add_column, "($self, table, column)", "Record adding a Column to `table`."),
    OP_METHOD("dropColumn", drop_column, "($self, table, column)",
              "Record dropping a column; `column` is the Column as it was."),
    OP_METHOD("alterColumn", alter_column, "($self, table, column, *, before)",
              "Record changing a column's type, nullability or default from `before` to `column`."),
    OP_METHOD("renameColumn", rename_column, "($self, table, old, new)",
              "Record the renaming of column `old` of `table` to `new`."),
    OP_METHOD("createIndex", create_index, "($self, table, key)",
              "Record creating a Key (an index, a unique index or a UNIQUE constraint)."),
    OP_METHOD("dropIndex", drop_index, "($self, table, key)", "Record dropping a Key, as it was."),
    OP_METHOD("addForeignKey", add_foreign_key, "($self, table, reference)",
              "Record adding a foreign-key constraint (a Reference)."),
    OP_METHOD("dropForeignKey", drop_foreign_key, "($self, table, reference)",
              "Record dropping a foreign-key constraint, as it was."),
    OP_METHOD("execute", execute, "($self, sql, args=())",
              "Record a data statement: `sql` with %s placeholders, `args` a tuple or list of values."),
    {nullptr, nullptr, 0, nullptr},
};

#undef OP_METHOD

PyMemberDef members[] = {
    {"operations", Py_T_OBJECT_EX, offsetof(OperationsObject, operations), Py_READONLY,
     "The recorded steps, in call order (a list of Operation)."},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

int add_operations_type(PyObject* module) noexcept {
    OperationsType.tp_name = "Tessary.Ext.Migrate.Operations";
    OperationsType.tp_basicsize = sizeof(OperationsObject);
    OperationsType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    OperationsType.tp_doc = "Operations()\n--\n\nThe `op` of a migration file: each method records one step "
                            "in `operations` and runs nothing.";
    OperationsType.tp_new = tp_new;
    OperationsType.tp_init = tp_init;
    OperationsType.tp_traverse = tp_traverse;
    OperationsType.tp_clear = tp_clear;
    OperationsType.tp_dealloc = tp_dealloc;
    OperationsType.tp_repr = tp_repr;
    OperationsType.tp_methods = methods;
    OperationsType.tp_members = members;
    return add_type(module, &OperationsType, "Operations");
}

PyObject* operations_list_of(PyObject* obj) noexcept {
    if (!PyObject_TypeCheck(obj, &OperationsType)) return nullptr;
    return as_operations(obj)->operations;
}

}  // namespace tsy::migrate
