// ModelExecutor.update: the owner's UPDATE by primary key, run after the
// related rows it carries have been written.
#include "relations.hpp"

namespace tsy::exec {
namespace {

const char* const kInstanceNames[] = {"instance"};

// A SET entry for every column, the key included, whatever the values.
Ref update_cells(PyObject* model, PyObject* instance) noexcept {
    Ref cols = model_columns(model);
    if (!cols) return {};
    Py_ssize_t n = PyTuple_GET_SIZE(cols.get());
    Ref cells = steal(PyTuple_New(n));
    if (!cells) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols.get(), i);
        Ref name = column_name(col);
        Ref value = name ? steal(PyObject_GetItem(instance, name.get())) : Ref();
        Ref cell = value ? call_method(col, names().updateCell, value.get()) : Ref();
        if (!cell) return {};
        PyTuple_SET_ITEM(cells.get(), i, cell.release());
    }
    return cells;
}

}  // namespace

// update(model), set(*cells), where(pkCol == key) on the pending builder.
bool prepare_update(PyObject* self, PyObject* model, PyObject* instance, PyObject* key) noexcept {
    Ref cells = update_cells(model, instance);
    if (!cells) return false;
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    if (!call_method(builder.get(), names().update, model)) return false;
    builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    Ref set = attr(builder.get(), names().set);
    if (!set || !steal(PyObject_Call(set.get(), cells.get(), nullptr))) return false;
    Ref pk_col = attr(model, names().pkCol);
    Ref condition = pk_col ? equals(pk_col.get(), key) : Ref();
    return condition && builder_where(builder.get(), condition.get());
}

namespace {

// Each element updated by a new executor of `target` on this connection.
bool update_each(PyObject* self, PyObject* target, PyObject* elements) noexcept {
    Ref iter = steal(PyObject_GetIter(elements));
    if (!iter) return false;
    while (Ref element = steal(PyIter_Next(iter.get()))) {
        Ref exc = get_executor(target, work_of(self).get());
        if (!exc || !call_method(exc.get(), names().update, element.get())) return false;
    }
    return !PyErr_Occurred();
}

bool update_relation(PyObject* self, PyObject* fk, PyObject* instance, const Kinds& kinds) noexcept {
    Ref fk_name = attr(fk, names().name);
    if (!fk_name) return false;
    int has_value = carries(instance, fk_name.get());
    if (has_value <= 0) return has_value == 0;
    Ref related = steal(PyObject_GetItem(instance, fk_name.get()));
    Ref kind = attr(fk, names().Type);
    Ref target = attr(fk, names().target);
    if (!related || !kind || !target) return false;
    int is;
    if ((is = is_kind(kind.get(), kinds.one_to_one.get())) != 0) {
        Ref exc = is > 0 ? get_executor(target.get(), work_of(self).get()) : Ref();
        return exc && call_method(exc.get(), names().update, related.get());
    }
    // The junction model cannot update far-side rows: they go through their
    // own model, and the owner's junction rows are rewritten.
    if ((is = is_kind(kind.get(), kinds.many_to_many.get())) != 0) {
        return is > 0 && write_many_to_many(self, fk, instance, true) == 0;
    }
    return update_each(self, target.get(), related.get());
}

}  // namespace

PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"update", kInstanceNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg(a[0], bound.model->ModelInstance, "instance", false)) return nullptr;
    Ref instance = borrow(a[0]);
    Ref model = borrow(as_executor(self)->model);
    Ref pk_name = attr(model.get(), names().pkName);
    Ref key = pk_name ? steal(PyObject_GetItem(instance.get(), pk_name.get())) : Ref();
    if (!key) return nullptr;
    int has_key = truth(key.get());
    if (has_key < 0) return nullptr;
    if (!has_key) {
        PyErr_SetNone(bound.UpdateWithOutPrimaryKeyError);
        return nullptr;
    }
    if (remember_instance(self, instance.get()) < 0) return nullptr;
    if (!prepare_update(self, model.get(), instance.get(), key.get())) return nullptr;
    Kinds kinds;
    Ref fks = attr(model.get(), names().fk);
    if (!kinds.load() || !fks) return nullptr;
    Ref iter = steal(PyObject_GetIter(fks.get()));
    if (!iter) return nullptr;
    while (Ref fk = steal(PyIter_Next(iter.get()))) {
        if (!update_relation(self, fk.get(), instance.get(), kinds)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return op(self, names().execute).release();
}

}  // namespace tsy::exec
