// FilterListCell: one link of a filter chain. Comparisons of column
// properties make two-cell chains; `&` and `|` link them (filter_chain.cpp)
// so that a condition object the caller keeps never changes under it.
#include "internal.hpp"

#include <cstddef>

namespace tsy::model {
namespace {

FilterCellObject* next_of(FilterCellObject* cell) noexcept {
    return !cell->next || cell->next == Py_None ? nullptr : as_cell(cell->next);
}

FilterCellObject* last_of(PyObject* head) noexcept {
    FilterCellObject* cell = as_cell(head);
    while (FilterCellObject* n = next_of(cell)) cell = n;
    return cell;
}

PyObject* cell_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FilterCellObject* c = as_cell(self.get());
    c->value = Py_NewRef(Py_None);
    c->relationship = NOT_RELATED;
    c->next = Py_NewRef(Py_None);
    c->col = Py_NewRef(Py_None);
    return self.release();
}

const char* const kCellParams[] = {"value", "col"};

int cell_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kCellParams, 2, 1};
    PyObject* out[2];
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, out, kwnames, values)) return -1;
    PyObject* col = out[1] ? out[1] : Py_None;
    if (!check_arg(col, &BasePropertyType, "col")) return -1;
    FilterCellObject* c = as_cell(self);
    set_field(c->value, out[0]);
    set_field(c->col, col);
    // What a head knew of its chain's levels may no longer hold.
    if (!c->detached) make_interior(c);
    return 0;
}

int cell_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FilterCellObject* c = as_cell(self);
    Py_VISIT(c->value);
    Py_VISIT(c->next);
    Py_VISIT(c->col);
    return 0;
}

int cell_clear(PyObject* self) noexcept {
    FilterCellObject* c = as_cell(self);
    forget_share(c);
    Py_CLEAR(c->value);
    Py_CLEAR(c->next);
    Py_CLEAR(c->col);
    return 0;
}

// Long chains free through the trashcan instead of one C frame per cell.
void cell_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, cell_dealloc)
    cell_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// "FilterListCell('name', col=IntegerProperty(user.name), relationship=2)"
PyObject* cell_repr(PyObject* self) noexcept {
    FilterCellObject* c = as_cell(self);
    if (c->col == Py_None) {
        return PyUnicode_FromFormat("FilterListCell(%R, relationship=%d)", c->value, c->relationship);
    }
    return PyUnicode_FromFormat("FilterListCell(%R, col=%R, relationship=%d)", c->value, c->col, c->relationship);
}

PyObject* cell_and(PyObject* a, PyObject* b) noexcept { return combine(a, b, AND); }
PyObject* cell_or(PyObject* a, PyObject* b) noexcept { return combine(a, b, OR); }

// `(a) and (b)` would quietly keep only `b`, and `if condition:` tests
// nothing the database would: a condition has no truth value.
int cell_bool(PyObject*) noexcept {
    return fail(PyExc_TypeError, "a condition has no truth value: use & and | to combine conditions");
}

PyNumberMethods cell_as_number = {
    .nb_bool = cell_bool,
    .nb_invert = negate,
    .nb_and = cell_and,
    .nb_or = cell_or,
};

const char* const kAddParams[] = {"cell", "code"};

PyObject* add_cell_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"addCell", kAddParams, 2, 2};
    PyObject* out[2];
    if (!parse(params, args, nargs, kwnames, out)) return nullptr;
    if (!check_arg(out[0], &FilterCellType, "cell", false)) return nullptr;
    int code = 0;
    if (!to_int(out[1], &code)) return nullptr;
    return add_cell(self, out[0], code);
}

// Iterates the chain from this cell on (a convenience for inspection).
PyObject* cells_method(PyObject* self, PyObject*) {
    if (settle_chain(self) < 0) return nullptr;
    Ref cells = steal(PyList_New(0));
    if (!cells) return nullptr;
    for (FilterCellObject* c = as_cell(self); c; c = next_of(c)) {
        mark_exposed(c);
        if (PyList_Append(cells.get(), reinterpret_cast<PyObject*>(c)) < 0) return nullptr;
    }
    return cells.release();
}

// A detached head reads as the chain it was; the cell handed out may be
// held from now on, so its chain is no longer linked in place.
PyObject* get_next(PyObject* self, void*) {
    if (settle_chain(self) < 0) return nullptr;
    PyObject* next = as_cell(self)->next;
    if (!next) return fail(PyExc_AttributeError, "next");
    if (is_cell(next)) mark_exposed(as_cell(next));
    return Py_NewRef(next);
}

PyGetSetDef cell_getset[] = {
    {"next", entry<get_next>, nullptr, "The following cell, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef cell_methods[] = {
    {"addCell", fastkw<add_cell_method>(), METH_FASTCALL | METH_KEYWORDS,
     "addCell($self, cell, code)\n--\n\nappend `cell` at the end of this chain, linked by `code`; returns `cell`."},
    {"cells", entry<cells_method>, METH_NOARGS, "The cells of the chain from this one on, as a list."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef cell_members[] = {
    {"value", Py_T_OBJECT_EX, offsetof(FilterCellObject, value), Py_READONLY,
     "Column name, compared value, or a generator (group cell)."},
    {"relationship", Py_T_INT, offsetof(FilterCellObject, relationship), Py_READONLY,
     "Relationship code: the operator on a column cell, else the connector to the next cell."},
    {"col", Py_T_OBJECT_EX, offsetof(FilterCellObject, col), Py_READONLY,
     "The compared column on column cells, else None."},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject FilterCellType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty.FilterListCell",
    .tp_basicsize = sizeof(FilterCellObject),
    .tp_dealloc = cell_dealloc,
    .tp_repr = cell_repr,
    .tp_as_number = &cell_as_number,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "FilterListCell(value, col=None)\n--\n\nFilterListCell(value, col=None): one link of a filter chain (next None, code 8).\n"
              "`a & b` and `a | b` link two chains with AND / OR into a new one; `~a` is NOT (a).",
    .tp_traverse = cell_traverse,
    .tp_clear = cell_clear,
    .tp_methods = cell_methods,
    .tp_members = cell_members,
    .tp_getset = cell_getset,
    .tp_init = cell_init,
    .tp_new = cell_new,
};

PyObject* new_cell(PyObject* value, PyObject* col) noexcept {
    Ref cell = steal(cell_new(&FilterCellType, nullptr, nullptr));
    if (!cell) return nullptr;
    set_field(as_cell(cell.get())->value, value);
    set_field(as_cell(cell.get())->col, col ? col : Py_None);
    return cell.release();
}

// Refuses a link that would close a loop: `cell`'s own chain must not reach
// the end of the receiver's chain.
PyObject* add_cell(PyObject* self, PyObject* cell, int code) noexcept {
    if (!is_cell(self) || !is_cell(cell)) {
        return fail(PyExc_TypeError, "addCell() links FilterListCell objects, got %.200s and %.200s",
                    type_name(self), type_name(cell));
    }
    if (settle_chain(self) < 0 || settle_chain(cell) < 0) return nullptr;
    FilterCellObject* last = last_of(self);
    for (FilterCellObject* c = as_cell(cell); c; c = next_of(c)) {
        if (c == last) return fail(PyExc_ValueError, "addCell(): the cell is already part of this chain");
    }
    last->relationship = code;
    set_field(last->next, cell);
    make_interior(as_cell(cell));
    return Py_NewRef(cell);
}

PyObject* comparison(PyObject* prop, PyObject* value, int code) noexcept {
    PyObject* name = as_property(prop)->name;
    if (name == Py_None) {
        return fail(PyExc_TypeError, "cannot compare a column that belongs to no model class");
    }
    Ref stored = steal(property_to_db_value(prop, value));
    if (!stored) return nullptr;
    Ref head = steal(new_cell(name, prop));
    if (!head) return nullptr;
    PyObject* tail = new_cell(stored.get(), Py_None);
    if (!tail) return nullptr;
    as_cell(head.get())->relationship = code;
    Py_SETREF(as_cell(head.get())->next, tail);
    return head.release();
}

int ready_filter_cell(PyObject* module) noexcept { return add_type(module, &FilterCellType, "FilterListCell"); }

}  // namespace tsy::model
