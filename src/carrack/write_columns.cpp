// The columns a write names: the SET entries of updateWhere's values, and the
// columns a partial update writes. Names the application gives are checked
// against the model's own columns; the statement only ever carries the
// columns' names.
#include "carrack.hpp"

namespace tsy::exec {
namespace {

const char* const kChanged = "changed";

Ref model_name(PyObject* model) noexcept {
    if (PyType_Check(model)) return steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(model)));
    return steal(PyObject_Repr(model));
}

// ValueError naming every entry of `unknown` (a non-empty list).
Failure unknown_columns(const char* func, PyObject* model, PyObject* unknown) noexcept {
    Ref name = model_name(model);
    Ref listed = name ? steal(PyUnicode_FromString(", ")) : Ref();
    Ref reprs = listed ? steal(PyList_New(0)) : Ref();
    if (!reprs) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(unknown); ++i) {
        Ref repr = steal(PyObject_Repr(PyList_GET_ITEM(unknown, i)));
        if (!repr || PyList_Append(reprs.get(), repr.get()) < 0) return {};
    }
    Ref joined = steal(PyUnicode_Join(listed.get(), reprs.get()));
    if (!joined) return {};
    const char* noun = PyList_GET_SIZE(unknown) == 1 ? "column" : "columns";
    return fail(PyExc_ValueError, "%s(): %U has no %s %U", func, name.get(), noun, joined.get());
}

}  // namespace

Ref columns_by_name(PyObject* model) noexcept {
    Ref cols = model_columns(model);
    Ref by_name = cols ? steal(PyDict_New()) : Ref();
    if (!by_name) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols.get()); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols.get(), i);
        Ref name = column_name(col);
        if (!name || PyDict_SetItem(by_name.get(), name.get(), col) < 0) return {};
    }
    return by_name;
}

Ref named_columns(const char* func, PyObject* model, PyObject* given) noexcept {
    Ref by_name = columns_by_name(model);
    Ref chosen = by_name ? steal(PySet_New(nullptr)) : Ref();
    Ref unknown = chosen ? steal(PyList_New(0)) : Ref();
    Ref items = unknown ? steal(PyObject_GetIter(given)) : Ref();
    if (!items) return {};
    while (Ref name = steal(PyIter_Next(items.get()))) {
        if (!PyUnicode_Check(name.get())) {
            return fail(PyExc_TypeError, "%s(): a column name must be a str, not %.200s", func, type_name(name.get()));
        }
        int known = PyDict_Contains(by_name.get(), name.get());
        if (known < 0) return {};
        if (PySet_Add(chosen.get(), name.get()) < 0) return {};
        if (!known && PyList_Append(unknown.get(), name.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    if (PyList_GET_SIZE(unknown.get()) > 0) return unknown_columns(func, model, unknown.get());
    return chosen;
}

Ref update_selection(PyObject* model, PyObject* instance, PyObject* columns) noexcept {
    if (columns == Py_None) return borrow(Py_None);
    if (PyUnicode_Check(columns)) {
        if (PyUnicode_CompareWithASCIIString(columns, kChanged) != 0) {
            return fail(PyExc_TypeError,
                        "update() argument 'columns' must be a sequence of column names or \"changed\", not the "
                        "str %R",
                        columns);
        }
        if (!PyObject_TypeCheck(instance, bound.model->ModelInstance)) {
            return fail(PyExc_TypeError, "update(columns=\"changed\") needs a ModelInstance, which records "
                        "its assignments, not %.200s", type_name(instance));
        }
        Ref method = attr(instance, kChanged);
        Ref changed = method ? steal(PyObject_CallNoArgs(method.get())) : Ref();
        return changed ? steal(PySet_New(changed.get())) : Ref();
    }
    bool octets = PyBytes_Check(columns) || PyByteArray_Check(columns);
    if (octets || (!Py_TYPE(columns)->tp_iter && !PySequence_Check(columns))) {
        return fail(PyExc_TypeError,
                    "update() argument 'columns' must be a sequence of column names, \"changed\" or None, not "
                    "%.200s",
                    type_name(columns));
    }
    return named_columns("update", model, columns);
}

Ref set_entry(PyObject* col, PyObject* value) noexcept {
    if (!PyObject_TypeCheck(value, bound.generator->BaseSqlGenerator)) return call_method(col, names().updateCell, value);
    // SQL the database computes: the builder embeds it as it is.
    Ref name = column_name(col);
    Ref entry = name ? steal(PyDict_New()) : Ref();
    if (!entry || PyDict_SetItem(entry.get(), names().name, name.get()) < 0 ||
        PyDict_SetItem(entry.get(), names().value, value) < 0) {
        return {};
    }
    return entry;
}

}  // namespace tsy::exec
