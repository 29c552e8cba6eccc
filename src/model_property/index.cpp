// Index: a named index of a model over one or more of its columns, declared
// in the model's `indexes` class attribute. Columns are names or column
// properties; a property declared in the same class body is not bound yet
// when the Index is made, so it is kept as given and the model class makes a
// copy naming every column when it is created (Model.indexes).
#include "internal.hpp"

#include <cstddef>

namespace tsy::model {
namespace {

IndexObject* as_index(PyObject* o) noexcept { return reinterpret_cast<IndexObject*>(o); }

PyObject* index_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    Ref no_columns = steal(PyTuple_New(0));
    if (!self || !no_columns) return nullptr;
    as_index(self.get())->name = Py_NewRef(Py_None);
    as_index(self.get())->columns = no_columns.release();
    return self.release();
}

bool check_index_column(PyObject* name, Py_ssize_t position, PyObject* column) noexcept {
    if (PyUnicode_Check(column) || is_property(column)) return true;
    fail(PyExc_TypeError, "Index %R: column %zd must be a column name (str) or a column property, not %.200s", name,
         position + 1, type_name(column));
    return false;
}

// Index(name, *columns, unique=False)
int index_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs < 1) return fail(PyExc_TypeError, "Index() takes a name and at least one column (0 given)");
    PyObject* name = PyTuple_GET_ITEM(args, 0);
    if (!PyUnicode_Check(name)) {
        return fail(PyExc_TypeError, "Index() name must be a str, not %.200s", type_name(name));
    }
    if (PyUnicode_GET_LENGTH(name) == 0) return fail(PyExc_ValueError, "Index() name must not be empty");
    if (nargs < 2) return fail(PyExc_ValueError, "Index %R names no column", name);
    int unique = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "unique") != 0) {
            return unexpected_keyword("Index", key);
        }
        unique = truth(value);
        if (unique < 0) return -1;
    }
    Ref columns = steal(PyTuple_GetSlice(args, 1, nargs));
    if (!columns) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns.get()); ++i) {
        if (!check_index_column(name, i, PyTuple_GET_ITEM(columns.get(), i))) return -1;
    }
    IndexObject* index = as_index(self);
    set_field(index->name, name);
    set_field(index->columns, columns.get());
    index->unique = unique;
    return 0;
}

int index_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_index(self)->name);
    Py_VISIT(as_index(self)->columns);
    return 0;
}

int index_clear(PyObject* self) noexcept {
    Py_CLEAR(as_index(self)->name);
    Py_CLEAR(as_index(self)->columns);
    return 0;
}

void index_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    index_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// The column names; a property not bound to a model yet has none.
PyObject* get_columns(PyObject* self, void*) noexcept {
    IndexObject* index = as_index(self);
    Py_ssize_t n = PyTuple_GET_SIZE(index->columns);
    Ref names = steal(PyTuple_New(n));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* column = PyTuple_GET_ITEM(index->columns, i);
        PyObject* name = is_property(column) ? as_property(column)->name : column;
        if (name == Py_None) {
            return fail(PyExc_ValueError, "Index %R: column %zd is a property not bound to a model class yet; read "
                        "the index from the model's `indexes`", index->name, i + 1);
        }
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(name));
    }
    return names.release();
}

PyObject* get_unique(PyObject* self, void*) noexcept { return PyBool_FromLong(as_index(self)->unique); }

// Index('ix_user_name', 'last', 'first', unique=True)
PyObject* index_repr(PyObject* self) noexcept {
    IndexObject* index = as_index(self);
    Ref parts = steal(PyList_New(0));
    Ref name = steal(PyObject_Repr(index->name));
    if (!parts || !name || PyList_Append(parts.get(), name.get()) < 0) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(index->columns); ++i) {
        PyObject* column = PyTuple_GET_ITEM(index->columns, i);
        PyObject* named = is_property(column) && as_property(column)->name != Py_None ? as_property(column)->name
                                                                                        : column;
        Ref text = steal(PyObject_Repr(named));
        if (!text || PyList_Append(parts.get(), text.get()) < 0) return nullptr;
    }
    Ref separator = steal(PyUnicode_FromString(", "));
    Ref joined = separator ? steal(PyUnicode_Join(separator.get(), parts.get())) : Ref();
    if (!joined) return nullptr;
    return PyUnicode_FromFormat("Index(%U%s)", joined.get(), index->unique ? ", unique=True" : "");
}

PyGetSetDef index_getset[] = {
    {"columns", get_columns, nullptr, "The names of the indexed columns, in index order (a tuple).", nullptr},
    {"unique", get_unique, nullptr, "True for a unique index.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef index_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(IndexObject, name), Py_READONLY, "The index name."},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject IndexType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty.Index",
    .tp_basicsize = sizeof(IndexObject),
    .tp_dealloc = index_dealloc,
    .tp_repr = index_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Index(name, *columns, unique=False)\n--\n\n"
              "A named index over columns of a model (names or column properties), listed in the model's\n"
              "`indexes`: CREATE [UNIQUE] INDEX <name> ON <table> (<columns>).",
    .tp_traverse = index_traverse,
    .tp_clear = index_clear,
    .tp_members = index_members,
    .tp_getset = index_getset,
    .tp_init = index_init,
    .tp_new = index_new,
};

int ready_index(PyObject* module) noexcept { return add_type(module, &IndexType, "Index"); }

}  // namespace tsy::model
