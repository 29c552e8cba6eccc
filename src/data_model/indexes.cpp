// A model's `indexes`: the Index objects its class body (or a base) lists,
// checked against the model's columns when the class is created and kept as
// a tuple of copies that name every column.
#include "internal.hpp"

namespace tsy::model {
namespace {

const char* class_name(PyObject* cls) noexcept { return reinterpret_cast<PyTypeObject*>(cls)->tp_name; }

bool has_column(PyObject* cols, PyObject* name, bool* found) noexcept {
    *found = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols) && !*found; ++i) {
        int same = PyObject_RichCompareBool(reinterpret_cast<PropertyObject*>(PyTuple_GET_ITEM(cols, i))->name, name,
                                            Py_EQ);
        if (same < 0) return false;
        *found = same;
    }
    return true;
}

// The name of one declared column of an index, checked against the model's
// columns. A property of the class body is bound by now; one bound
// elsewhere stands for the column of its name.
Ref column_name(PyObject* cls, PyObject* cols, PyObject* index, PyObject* column) noexcept {
    PyObject* name = PyObject_TypeCheck(column, property_api->BaseProperty)
                         ? reinterpret_cast<PropertyObject*>(column)->name
                         : column;
    bool found = false;
    if (name != Py_None && !has_column(cols, name, &found)) return {};
    if (!found) {
        fail(PyExc_ValueError, "index %R of %.200s names %R, which is not a column of %.200s",
             reinterpret_cast<IndexObject*>(index)->name, class_name(cls), name == Py_None ? column : name,
             class_name(cls));
        return {};
    }
    return borrow(name);
}

// Index(name, *column names, unique=...) for one declared index.
Ref named_copy(PyObject* cls, PyObject* cols, PyObject* index) noexcept {
    auto* declared = reinterpret_cast<IndexObject*>(index);
    Py_ssize_t n = PyTuple_GET_SIZE(declared->columns);
    if (declared->name == Py_None || n == 0) {
        fail(PyExc_TypeError, "an index of %.200s was never initialised", class_name(cls));
        return {};
    }
    Ref args = steal(PyTuple_New(n + 1));
    if (!args) return {};
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(declared->name));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref name = column_name(cls, cols, index, PyTuple_GET_ITEM(declared->columns, i));
        if (!name) return {};
        PyTuple_SET_ITEM(args.get(), i + 1, name.release());
    }
    Ref kwargs = steal(Py_BuildValue("{sO}", "unique", declared->unique ? Py_True : Py_False));
    if (!kwargs) return {};
    return steal(PyObject_Call(IndexClass, args.get(), kwargs.get()));
}

bool check_distinct(PyObject* cls, PyObject* seen, PyObject* name) noexcept {
    int present = PySet_Contains(seen, name);
    if (present < 0) return false;
    if (present) {
        fail(PyExc_ValueError, "%.200s declares two indexes named %R", class_name(cls), name);
        return false;
    }
    return PySet_Add(seen, name) == 0;
}

}  // namespace

Ref model_indexes(PyObject* cls, PyObject* cols) noexcept {
    // Looked up along the class's bases without the metaclass's attribute hook.
    PyObject* declared = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), names.indexes);
    if (!declared) return steal(PyTuple_New(0));
    if (!PyTuple_Check(declared) && !PyList_Check(declared)) {
        fail(PyExc_TypeError, "indexes of %.200s must be a tuple or list of Index, not %.200s", class_name(cls),
             type_name(declared));
        return {};
    }
    Ref items = steal(PySequence_Tuple(declared));
    Ref seen = steal(PySet_New(nullptr));
    if (!items || !seen) return {};
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Ref out = steal(PyTuple_New(n));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(IndexClass))) {
            fail(PyExc_TypeError, "indexes of %.200s: item %zd must be an Index, not %.200s", class_name(cls), i + 1,
                 type_name(item));
            return {};
        }
        Ref copy = named_copy(cls, cols, item);
        if (!copy || !check_distinct(cls, seen.get(), reinterpret_cast<IndexObject*>(copy.get())->name)) return {};
        PyTuple_SET_ITEM(out.get(), i, copy.release());
    }
    return out;
}

}  // namespace tsy::model
