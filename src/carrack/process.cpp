// The native operations the database handle calls with a statement's result:
// rows become instances, a generated key completes the saved instance.
#include "carrack.hpp"

namespace tsy::exec {
namespace {

int statement_kind(PyObject* self) noexcept {
    PyObject* builder = as_executor(self)->sql;
    if (!builder || !PyObject_TypeCheck(builder, bound.generator->BaseSqlGenerator)) return gen::UNSET;
    return reinterpret_cast<gen::BaseGeneratorObject*>(builder)->currentType;
}

}  // namespace

// The generated key as a 64-bit integer: keys beyond the C int range are
// ordinary on large tables, and the row is already written when this runs.
bool generated_key(PyObject* res, long long* out) noexcept {
    if (!PyLong_Check(res) && !(Py_TYPE(res)->tp_as_number && Py_TYPE(res)->tp_as_number->nb_index)) {
        fail(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref as_long = steal(PyNumber_Index(res));
    if (!as_long) return false;
    long long v = PyLong_AsLongLong(as_long.get());
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

namespace {

// The stored instance's key value; a missing key reads as None (the row is
// written by now, so a lookup error here would report a failure for it).
Ref stored_key(PyObject* stored, PyObject* pk_name) noexcept {
    if (PyDict_CheckExact(stored) || Py_IS_TYPE(stored, bound.model->ModelInstance)) {
        PyObject* found = nullptr;  // the dict's own [] without raising and clearing a KeyError
        if (PyDict_GetItemRef(stored, pk_name, &found) < 0) return {};
        return found ? steal(found) : borrow(Py_None);
    }
    Ref value = steal(PyObject_GetItem(stored, pk_name));
    if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
    PyErr_Clear();
    return borrow(Py_None);
}

// The key a selected entry gives its value in the rows: a column's name, an
// alias's alias (the `name` the database handle reads too). A computed item
// (a function call, an expression) has no name of its own: it needs one.
Ref result_name(PyObject* col) noexcept {
    if (PyObject_TypeCheck(col, bound.property->BaseProperty)) {
        return borrow(reinterpret_cast<model::PropertyObject*>(col)->name);
    }
    Ref name = attr(col, "name");
    if (!name && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        fail(PyExc_TypeError, "the selected %.200s has no name to key its value in the rows: select it with .As(alias)",
             type_name(col));
    }
    return name;
}

// Two selected columns of one name would give one key to both values, and
// the later one's would silently stand for the other (a joined table's id
// read as the model's own key, which update and delete then act on). Such a
// result is refused before any row is made; As() selects them apart.
bool check_distinct_names(PyObject* self) noexcept {
    PyObject* builder = as_executor(self)->sql;
    if (!builder || !PyObject_TypeCheck(builder, bound.generator->SqlGenerator)) return true;
    Ref cols = borrow(reinterpret_cast<gen::SqlGeneratorObject*>(builder)->selectCol);
    if (!cols || !PyList_Check(cols.get()) || PyList_GET_SIZE(cols.get()) < 2) return true;
    Ref seen = steal(PyDict_New());
    if (!seen) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) {
        Ref col = borrow(PyList_GET_ITEM(cols.get(), i));
        if (col.get() == Py_None) continue;
        int present = truth(col.get());
        if (present < 0) return false;
        if (!present) continue;  // left out of the statement's text
        Ref name = result_name(col.get());
        if (!name) return false;
        PyObject* earlier = nullptr;
        if (PyDict_GetItemRef(seen.get(), name.get(), &earlier) < 0) return false;
        if (earlier) {
            Ref first = steal(earlier);
            fail(PyExc_ValueError,
                 "the selected columns %R and %R share the name %R: their values would be read as one; "
                 "select one under another name with .As(alias)",
                 first.get(), col.get(), name.get());
            return false;
        }
        if (PyDict_SetItem(seen.get(), name.get(), col.get()) < 0) return false;
    }
    return true;
}

// An UPDATE or DELETE gives the driver's count of the rows it wrote (or None
// from a handle that asked for none: the count stays as it was).
bool note_written_rows(PyObject* self, PyObject* res) noexcept {
    if (!PyLong_Check(res)) return true;
    long long count = PyLong_AsLongLong(res);
    if (count == -1 && PyErr_Occurred()) return false;
    as_executor(self)->rowcount = count;
    return true;
}

}  // namespace

bool is_junction_model(PyObject* model) noexcept {
    return PyType_Check(model) &&
           PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(model), bound.model->MiddleDataModel);
}

PyObject* process(PyObject* self, PyObject* res) noexcept {
    int kind = statement_kind(self);
    if ((kind == gen::UPDATE || kind == gen::DELETE) && !note_written_rows(self, res)) return nullptr;
    switch (kind) {
        case gen::INSERT: {
            long long key = 0;
            if (!generated_key(res, &key)) return nullptr;
            return processInsert(self, key);
        }
        case gen::SELECT:
            return processSelect(self, res);
        case gen::UPDATE: {
            PyObject* dict = as_executor(self)->dict;
            PyObject* stored = dict ? PyDict_GetItemWithError(dict, names().instance) : nullptr;
            if (!stored && PyErr_Occurred()) return nullptr;
            return Py_NewRef(stored ? stored : Py_None);
        }
        default:
            Py_RETURN_NONE;
    }
}

PyObject* processSelect(PyObject* self, PyObject* res) noexcept {
    Ref list = steal(bound.model->newList());
    if (!list) return nullptr;
    if (res == Py_None) return fail(PyExc_TypeError, "object of type 'NoneType' has no len()");
    if (!check_distinct_names(self)) return nullptr;
    Ref model = borrow(as_executor(self)->model);
    Ref rows = steal(PySequence_Fast(res, "the fetched rows are not a sequence"));
    if (!rows) return nullptr;
    // The model layer's own class call: its column data is looked up once for all rows.
    if (native_model_call(model.get())) {
        if (bound.model->fromRows(model.get(), rows.get(), list.get()) < 0) return nullptr;
        return list.release();
    }
    // The size is read on every step: a model class written in Python may change the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows.get()); ++i) {
        Ref row = borrow(PySequence_Fast_GET_ITEM(rows.get(), i));
        Ref instance = make_instance(model.get(), row.get());
        if (!instance || PyList_Append(list.get(), instance.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* processInsert(PyObject* self, long long lastrowid) noexcept {
    as_executor(self)->rowcount = 1;  // the one row of save's INSERT is written
    Ref model = borrow(as_executor(self)->model);
    if (is_junction_model(model.get())) Py_RETURN_NONE;
    Ref pk_name = attr(model.get(), names().pkName);
    if (!pk_name) return nullptr;
    Ref key = steal(PyLong_FromLongLong(lastrowid));
    if (!key) return nullptr;
    PyObject* dict = as_executor(self)->dict;
    Ref stored = borrow(dict ? PyDict_GetItemWithError(dict, names().instance) : nullptr);
    if (!stored && PyErr_Occurred()) return nullptr;
    if (!stored) {
        Ref mapping = steal(PyDict_New());
        if (!mapping || PyDict_SetItem(mapping.get(), pk_name.get(), key.get()) < 0) return nullptr;
        return make_instance(model.get(), mapping.get()).release();
    }
    Ref current = stored_key(stored.get(), pk_name.get());
    if (!current) return nullptr;
    int has_key = truth(current.get());
    if (has_key < 0) return nullptr;
    if (!has_key && lastrowid != 0 && PyObject_SetItem(stored.get(), pk_name.get(), key.get()) < 0) return nullptr;
    model::forget_assigned(bound.model, stored.get());
    return stored.release();
}

}  // namespace tsy::exec
