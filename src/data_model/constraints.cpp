// Model.foreignKeyConstraints: the FOREIGN KEY constraints a model's table
// holds. A relation declared with constraint=True puts its constraint in the
// table of the key column, which may be the other model's (a one-to-many
// relation's key column is on the target) or a junction's (a many-to-many
// relation's two), so every live model's relations are read, and the list is
// made anew on each read: a relation towards the model may be declared after
// it.
#include "internal.hpp"

#include <vector>

namespace tsy::model {
namespace {

enum { ONE_TO_ONE = 0, ONE_TO_MANY = 1, MANY_TO_MANY = 2 };

ForeignKeyObject* as_fk(PyObject* o) noexcept { return reinterpret_cast<ForeignKeyObject*>(o); }
PropertyObject* as_prop(PyObject* o) noexcept { return reinterpret_cast<PropertyObject*>(o); }
const char* class_name(PyObject* cls) noexcept { return reinterpret_cast<PyTypeObject*>(cls)->tp_name; }

// One constraint: the key column `column` of `holder` references
// `ref_column` of `referenced`.
struct Edge {
    PyObject* holder;
    PyObject* column;      // column property of holder
    PyObject* referenced;
    PyObject* ref_column;  // column property of referenced
    Ref action;            // str
};

bool names_class(PyObject* spec, PyObject* cls, PyObject* class_name) noexcept {
    if (spec == cls) return true;
    if (!PyUnicode_Check(spec)) return false;
    int same = PyObject_RichCompareBool(spec, class_name, Py_EQ);
    if (same < 0) PyErr_Clear();
    return same > 0;
}

// Whether the relation may put a constraint in `cls`'s table: declared on
// it, resolved towards it, or (not resolved yet) naming it.
bool concerns(PyObject* fk, PyObject* cls, PyObject* class_name) noexcept {
    ForeignKeyObject* f = as_fk(fk);
    if (f->owner == cls) return true;
    if (f->target) return f->target == cls || f->directTarget == cls || f->middleModel == cls;
    return names_class(f->targetSpec, cls, class_name) || names_class(f->middleSpec, cls, class_name);
}

bool is_auto_increment(PyObject* col) noexcept {
    PyObject* marker = reinterpret_cast<PyObject*>(property_api->AutoIncrement);
    PyObject* value = as_prop(col)->default_;
    return value == marker || PyObject_TypeCheck(value, property_api->AutoIncrement);
}

// How well a column serves as the referenced side: a generated key best, a
// key next, a unique column last; 0 for a column a constraint cannot
// reference.
int key_rank(PyObject* col) noexcept {
    PropertyObject* p = as_prop(col);
    if (p->isPrimaryKey) return is_auto_increment(col) ? 3 : 2;
    return p->unique ? 1 : 0;
}

bool check_referenced(PyObject* fk, PyObject* model, PyObject* col) noexcept {
    if (key_rank(col) > 0) return true;
    fail(PyExc_ValueError, "the constraint of relation %R of %.200s references %.200s.%U, which is neither the "
         "primary key nor unique", as_fk(fk)->name, class_name(as_fk(fk)->owner), class_name(model), as_prop(col)->name);
    return false;
}

bool check_set_null(PyObject* fk, const Edge& edge) noexcept {
    if (as_prop(edge.column)->nullable || PyUnicode_CompareWithASCIIString(edge.action.get(), "SET NULL") != 0) {
        return true;
    }
    fail(PyExc_ValueError, "relation %R of %.200s: onDelete='SET NULL' needs the key column %.200s.%U to be "
         "nullable", as_fk(fk)->name, class_name(as_fk(fk)->owner), class_name(edge.holder), as_prop(edge.column)->name);
    return false;
}

// A one-to-one relation's key column is on the side whose column is not the
// better key: a profile's user_id references the user's id.
bool one_to_one_edge(PyObject* fk, PyObject* action, std::vector<Edge>& out) noexcept {
    ForeignKeyObject* f = as_fk(fk);
    int owner_rank = key_rank(f->bindCol), target_rank = key_rank(f->targetBindCol);
    if (owner_rank == 0 && target_rank == 0) return check_referenced(fk, f->target, f->targetBindCol);
    if (owner_rank >= target_rank) out.push_back({f->target, f->targetBindCol, f->owner, f->bindCol, borrow(action)});
    else out.push_back({f->owner, f->bindCol, f->target, f->targetBindCol, borrow(action)});
    return true;
}

// The edges of one resolved relation with a constraint.
bool relation_edges(PyObject* fk, std::vector<Edge>& out) noexcept {
    ForeignKeyObject* f = as_fk(fk);
    long kind = PyLong_AsLong(f->Type);
    if (kind == -1 && PyErr_Occurred()) return false;
    bool junction = kind == MANY_TO_MANY;
    Ref action = f->onDelete != Py_None ? borrow(f->onDelete)
                                        : steal(PyUnicode_FromString(junction ? "CASCADE" : "NO ACTION"));
    if (!action) return false;
    std::size_t first = out.size();
    if (kind == ONE_TO_ONE) {
        if (!one_to_one_edge(fk, action.get(), out)) return false;
    } else if (kind == ONE_TO_MANY) {
        if (!check_referenced(fk, f->owner, f->bindCol)) return false;
        out.push_back({f->target, f->targetBindCol, f->owner, f->bindCol, borrow(action.get())});
    } else {
        ForeignKeyObject* far = as_fk(f->farLink);
        if (!check_referenced(fk, f->owner, f->bindCol) || !check_referenced(fk, f->directTarget, far->bindCol)) {
            return false;
        }
        out.push_back({f->middleModel, f->targetBindCol, f->owner, f->bindCol, borrow(action.get())});
        out.push_back({f->middleModel, far->targetBindCol, f->directTarget, far->bindCol, borrow(action.get())});
    }
    for (std::size_t i = first; i < out.size(); ++i) {
        if (!check_set_null(fk, out[i])) return false;
    }
    return true;
}

// (name, column, refTable, refColumn, onDelete)
Ref constraint_tuple(PyObject* table, const Edge& edge) noexcept {
    Ref ref_table = attr(edge.referenced, "tableName");
    if (!ref_table) return {};
    Ref name = steal(PyUnicode_FromFormat("fk_%U_%U", table, as_prop(edge.column)->name));
    if (!name) return {};
    return steal(PyTuple_Pack(5, name.get(), as_prop(edge.column)->name, ref_table.get(), as_prop(edge.ref_column)->name,
                              edge.action.get()));
}

// Adds the constraints of `fk` whose key column is in `cls`'s table, one per
// key column (a newer model's relation wins over an older one's).
bool add_constraints(PyObject* cls, PyObject* table, PyObject* fk, PyObject* found) noexcept {
    if (resolve_foreign_key(fk) < 0) return false;
    std::vector<Edge> edges;
    if (!relation_edges(fk, edges)) return false;
    for (const Edge& edge : edges) {
        if (edge.holder != cls) continue;
        PyObject* column = as_prop(edge.column)->name;
        int present = PyDict_Contains(found, column);
        if (present < 0) return false;
        if (present) continue;
        Ref item = constraint_tuple(table, edge);
        if (!item || PyDict_SetItem(found, column, item.get()) < 0) return false;
    }
    return true;
}

// The constraints found, in the order of the model's columns.
Ref in_column_order(PyObject* cls, PyObject* found) noexcept {
    Ref info = model_info(cls);
    Ref list = info ? steal(PyList_New(0)) : Ref();
    if (!list) return {};
    PyObject* col_names = as_info(info.get())->names;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(col_names); ++i) {
        PyObject* item = nullptr;
        if (PyDict_GetItemRef(found, PyTuple_GET_ITEM(col_names, i), &item) < 0) return {};
        Ref held = steal(item);
        if (held && PyList_Append(list.get(), held.get()) < 0) return {};
    }
    return steal(PyList_AsTuple(list.get()));
}

}  // namespace

PyObject* foreign_key_constraints(PyObject* cls) noexcept {
    Ref info = model_info(cls);
    Ref table = info ? attr(cls, "tableName") : Ref();
    Ref models = table ? live_models() : Ref();
    Ref found = models ? steal(PyDict_New()) : Ref();
    if (!found) return nullptr;
    if (!PyUnicode_Check(table.get())) return fail(PyExc_TypeError, "tableName of %.200s is not a str", class_name(cls));
    PyObject* name = as_info(info.get())->className;
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(models.get()); ++m) {
        Ref model_data = model_info(PyList_GET_ITEM(models.get(), m));
        if (!model_data) return nullptr;
        PyObject* fks = as_info(model_data.get())->fks;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks); ++i) {
            PyObject* fk = PyTuple_GET_ITEM(fks, i);
            if (!as_fk(fk)->constraint || !concerns(fk, cls, name)) continue;
            if (!add_constraints(cls, table.get(), fk, found.get())) return nullptr;
        }
    }
    return in_column_order(cls, found.get()).release();
}

}  // namespace tsy::model
