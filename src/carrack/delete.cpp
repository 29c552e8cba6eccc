// delete: the rows a filter matches, else the one row of an instance's key;
// never a whole table by accident.
#include "related_writes.hpp"

namespace tsy::exec {
namespace {

// `cascade` is keyword-only: the positional parameters stop before it.
const char* const kDeleteNames[] = {"instance", "filter", "cascade"};
constexpr Py_ssize_t kDeletePositional = 2;

// instance[model.pkName] (new ref).
Ref primary_key_of(PyObject* model, PyObject* instance) noexcept {
    Ref pk_name = attr(model, names().pkName);
    if (!pk_name) return {};
    return steal(PyObject_GetItem(instance, pk_name.get()));
}

}  // namespace

PyObject* delete_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"delete", kDeleteNames, 3, 0};
    PyObject* a[3];
    if (nargs > kDeletePositional) {
        arg_count_error("delete", 0, kDeletePositional, nargs);
        return nullptr;
    }
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* instance = a[0] ? a[0] : Py_None;
    PyObject* filter = a[1] ? a[1] : Py_None;
    if (a[2] && !PyBool_Check(a[2])) {
        return fail(PyExc_TypeError, "delete() argument 'cascade' must be a bool, not %.200s", type_name(a[2]));
    }
    if (a[2] == Py_True) return cascade_delete(self, instance, filter).release();
    if (!op(self, names().reset)) return nullptr;
    Ref model = borrow(as_executor(self)->model);
    // A condition has no truth value (its __bool__ raises): one is a filter,
    // unless a subclass gives it a truth value of its own.
    PyNumberMethods* cell_number = bound.property->FilterListCell->tp_as_number;
    PyNumberMethods* number = Py_TYPE(filter)->tp_as_number;
    bool bare_condition = PyObject_TypeCheck(filter, bound.property->FilterListCell) && number && cell_number &&
                          number->nb_bool == cell_number->nb_bool;
    int filtered = bare_condition ? 1 : truth(filter);
    if (filtered < 0) return nullptr;
    if (!filtered) {
        Ref key = primary_key_of(model.get(), instance);
        if (!key) return nullptr;
        int has_key = truth(key.get());
        if (has_key < 0) return nullptr;
        if (!has_key) {
            PyErr_SetNone(bound.DeleteWithOutPrimaryKeyError);
            return nullptr;
        }
    }
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    if (!call_method(builder.get(), names().delete_, model.get())) return nullptr;
    Ref condition;
    if (filtered) {
        condition = borrow(filter);
    } else {
        Ref pk_col = attr(model.get(), names().pkCol);
        Ref key = primary_key_of(model.get(), instance);
        if (!pk_col || !key) return nullptr;
        condition = equals(pk_col.get(), key.get());
        if (!condition) return nullptr;
    }
    builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    if (!builder_where(builder.get(), condition.get())) return nullptr;
    return op(self, names().execute).release();
}

}  // namespace tsy::exec
