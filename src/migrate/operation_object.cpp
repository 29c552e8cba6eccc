// Tessary.Ext.Migrate.Operation: one step of a diff or of a migration file,
// read-only. Only the module makes them (diff(), checkSchema(), the op
// object of migration files); Python code cannot instantiate the type.
#include "diff.hpp"

namespace tsy::migrate {
namespace {

struct OperationObject {
    PyObject_HEAD
    Operation* op;  // owned
};

const Operation& op_of(PyObject* self) noexcept { return *reinterpret_cast<OperationObject*>(self)->op; }

bool ready(PyObject* self) noexcept { return reinterpret_cast<OperationObject*>(self)->op != nullptr; }

Ref text(const std::string& s) noexcept {
    return steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

bool same_table(const TableSpec& a, const TableSpec& b) {
    return a.name == b.name && a.columns == b.columns && a.primary_key == b.primary_key &&
           a.indexes == b.indexes && a.foreign_keys == b.foreign_keys;
}

template <typename T, typename Same>
bool same_optional(const std::optional<T>& a, const std::optional<T>& b, Same same) {
    return a.has_value() == b.has_value() && (!a || same(*a, *b));
}

bool same_key(const IndexSpec& a, const IndexSpec& b) { return a.name == b.name && a == b; }
bool same_reference(const ForeignKeySpec& a, const ForeignKeySpec& b) { return a.name == b.name && a == b; }
bool same_column(const ColumnSpec& a, const ColumnSpec& b) { return a == b; }

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Operation* op = reinterpret_cast<OperationObject*>(self)->op;
    if (op) Py_VISIT(op->args.get());
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    Operation* op = reinterpret_cast<OperationObject*>(self)->op;
    if (op) op->args.reset();
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    auto* o = reinterpret_cast<OperationObject*>(self);
    delete o->op;
    o->op = nullptr;
    Py_TYPE(self)->tp_free(self);
}

PyObject* tp_str(PyObject* self) { return text(describe(op_of(self))).release(); }

PyObject* tp_repr(PyObject* self) {
    std::string source = operation_source(op_of(self));
    if (source.empty()) return nullptr;
    return text(source).release();
}

// Equal steps describe alike, so the line's hash agrees with ==.
Py_hash_t tp_hash(PyObject* self) {
    Ref line = text(describe(op_of(self)));
    return line ? PyObject_Hash(line.get()) : -1;
}

PyObject* tp_richcompare(PyObject* self, PyObject* other, int opid) noexcept {
    if ((opid != Py_EQ && opid != Py_NE) || !PyObject_TypeCheck(other, &OperationType) || !ready(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int same = same_operation(op_of(self), op_of(other));
    if (same < 0) return nullptr;
    return PyBool_FromLong((opid == Py_EQ) == (same == 1));
}

PyObject* get_kind(PyObject* self, void*) noexcept { return PyUnicode_FromString(kind_name(op_of(self).kind)); }
PyObject* get_table(PyObject* self, void*) noexcept { return text(op_of(self).table).release(); }
PyObject* get_destructive(PyObject* self, void*) noexcept { return PyBool_FromLong(is_destructive(op_of(self))); }

PyGetSetDef getset[] = {
    {"kind", guarded<ready, get_kind>, nullptr,
     "The op method that writes the step: \"createTable\", \"addColumn\", \"dropIndex\", ...", nullptr},
    {"table", guarded<ready, get_table>, nullptr,
     "The table the step changes (a rename: its new name; a data step: \"\").", nullptr},
    {"destructive", guarded<ready, get_destructive>, nullptr,
     "Whether the step loses data by its kind alone: dropping a table or a column, narrowing a column's type.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int same_operation(const Operation& a, const Operation& b) noexcept {
    bool same = a.kind == b.kind && a.table == b.table && a.old_name == b.old_name && a.sql == b.sql &&
                same_optional(a.table_spec, b.table_spec, same_table) &&
                same_optional(a.column, b.column, same_column) &&
                same_optional(a.before_column, b.before_column, same_column) &&
                same_optional(a.index, b.index, same_key) &&
                same_optional(a.foreign_key, b.foreign_key, same_reference);
    if (!same) return 0;
    auto none = [](const Ref& args) { return !args || (PyTuple_Check(args.get()) && !PyTuple_GET_SIZE(args.get())); };
    if (none(a.args) || none(b.args)) return none(a.args) == none(b.args) ? 1 : 0;
    return PyObject_RichCompareBool(a.args.get(), b.args.get(), Py_EQ);
}

PyTypeObject OperationType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Ext.Migrate.Operation",
    .tp_basicsize = sizeof(OperationObject),
    .tp_dealloc = tp_dealloc,
    .tp_repr = entry<guarded<ready, tp_repr>>,
    .tp_hash = entry<guarded<ready, tp_hash>>,
    .tp_str = entry<guarded<ready, tp_str>>,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "One step between two schemas: `kind` (the op method), `table`, `destructive`; str() a readable "
              "line, repr() the op call a migration file holds. Made by diff(), checkSchema() and Operations.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_richcompare = tp_richcompare,
    .tp_getset = getset,
};

Ref operation_to_py(Operation op) noexcept {
    auto* obj = PyObject_GC_New(OperationObject, &OperationType);
    if (!obj) return {};
    obj->op = nullptr;
    Ref owner = steal(reinterpret_cast<PyObject*>(obj));
    try {
        obj->op = new Operation(std::move(op));
    } catch (...) {
        translate_exception();
        return {};
    }
    PyObject_GC_Track(obj);
    return owner;
}

PyObject* inverse_function(PyObject*, PyObject* arg) noexcept {
    const Operation* op = operation_of(arg);
    Operation back;
    if (!op || !inverse(*op, back)) return nullptr;
    return operation_to_py(std::move(back)).release();
}

const Operation* operation_of(PyObject* obj) noexcept {
    if (!PyObject_TypeCheck(obj, &OperationType) || !ready(obj)) {
        fail(PyExc_TypeError, "expected an Operation, got %.200s", type_name(obj));
        return nullptr;
    }
    return &op_of(obj);
}

}  // namespace tsy::migrate
