// update on both executors: the owner's UPDATE by primary key is prepared
// first, the related rows it carries are written, then the owner's statement
// runs.
#include "related_writes.hpp"

namespace tsy::exec {
namespace {

const char* const kUpdateNames[] = {"instance", "columns"};

// 1 when column `name` is written: `selected` None (every column) or holding it.
int selects(PyObject* selected, PyObject* name) noexcept {
    return selected == Py_None ? 1 : PySet_Contains(selected, name);
}

// A SET entry for every selected column, in column order, the key included
// when selected, whatever the values.
Ref update_cells(PyObject* model, PyObject* instance, PyObject* selected) noexcept {
    Ref cols = model_columns(model);
    Ref cells = cols ? steal(PyList_New(0)) : Ref();
    if (!cells) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols.get()); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols.get(), i);
        Ref name = column_name(col);
        int chosen = name ? selects(selected, name.get()) : -1;
        if (chosen <= 0) {
            if (chosen < 0) return {};
            continue;
        }
        Ref value = steal(PyObject_GetItem(instance, name.get()));
        Ref cell = value ? call_method(col, names().updateCell, value.get()) : Ref();
        if (!cell || PyList_Append(cells.get(), cell.get()) < 0) return {};
    }
    return steal(PyList_AsTuple(cells.get()));
}

// update(model), set(*cells), where(pkCol == key) on the pending builder.
bool prepare_update(PyObject* self, PyObject* model, PyObject* instance, PyObject* key, PyObject* selected) noexcept {
    Ref cells = update_cells(model, instance, selected);
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

// Whether the owner's row gets an UPDATE: not when the selection is empty
// (a partial update with nothing to write).
bool writes_owner(PyObject* selected) noexcept { return selected == Py_None || PySet_GET_SIZE(selected) > 0; }

// The primary-key guard, then the owner's statement on the pending builder
// when there is one to send.
bool prepare_owner(PyObject* self, PyObject* instance, PyObject* selected) noexcept {
    Ref model = borrow(as_executor(self)->model);
    Ref pk_name = attr(model.get(), names().pkName);
    Ref key = pk_name ? steal(PyObject_GetItem(instance, pk_name.get())) : Ref();
    if (!key) return false;
    int has_key = truth(key.get());
    if (has_key < 0) return false;
    if (!has_key) {
        PyErr_SetNone(bound.UpdateWithOutPrimaryKeyError);
        return false;
    }
    if (!writes_owner(selected)) return true;
    return remember_instance(self, instance) == 0 && prepare_update(self, model.get(), instance, key.get(), selected);
}

// The owner's row is written: what the update wrote is no longer pending.
bool forget_written(PyObject* instance, PyObject* selected) noexcept {
    if (selected == Py_None) {
        model::forget_assigned(bound.model, instance);
        return true;
    }
    return model::forget_assigned(bound.model, instance, selected) == 0;
}

// Each element updated by a new executor of `target` on this connection.
coro::Task update_each_body(Ref self, Ref target, Ref iter, ExecutorRules rules) {
    while (Ref element = steal(PyIter_Next(iter.get()))) {
        Ref exc = walk_executor(self.get(), target.get());
        if (!exc) co_return nullptr;
        Ref updated = call_method(exc.get(), names().update, element.get());
        TSY_WRITTEN(updated, rules);
        if (!updated) co_return nullptr;
    }
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

Ref update_each(PyObject* self, PyObject* fk, PyObject* related, const ExecutorRules& rules) noexcept {
    Ref target = attr(fk, names().target);
    Ref iter = target ? steal(PyObject_GetIter(related)) : Ref();
    if (!iter) return {};
    return start_body(update_each_body(borrow(self), std::move(target), std::move(iter), rules), rules, "update",
                      "AsyncModelExecutor.update");
}

// The write of one relation the instance carries: its result or awaitable;
// None when there is nothing to write.
Ref relation_update(PyObject* self, PyObject* fk, PyObject* instance, const Kinds& kinds,
                    const ExecutorRules& rules) noexcept {
    Ref fk_name = attr(fk, names().name);
    if (!fk_name) return {};
    int has_value = carries(instance, fk_name.get());
    if (has_value <= 0) return has_value < 0 ? Ref() : borrow(Py_None);
    Ref related = steal(PyObject_GetItem(instance, fk_name.get()));
    Ref kind = attr(fk, names().Type);
    if (!related || !kind) return {};
    int is;
    if ((is = is_kind(kind.get(), kinds.one_to_one.get())) != 0) {
        Ref target = is > 0 ? attr(fk, names().target) : Ref();
        Ref exc = target ? walk_executor(self, target.get()) : Ref();
        if (!exc) return {};
        return call_method(exc.get(), rules.update_saves_one_to_one ? names().save : names().update, related.get());
    }
    // The junction model cannot update far-side rows: they go through their
    // own model, and the owner's junction rows are rewritten.
    if ((is = is_kind(kind.get(), kinds.many_to_many.get())) != 0) {
        return is > 0 ? write_junction(self, fk, instance, true, rules) : Ref();
    }
    if (!rules.update_writes_other_kinds) {
        if ((is = is_kind(kind.get(), kinds.one_to_many.get())) <= 0) return is < 0 ? Ref() : borrow(Py_None);
    }
    return update_each(self, fk, related.get(), rules);
}

coro::Task update_body(Ref self, Ref instance, ExecutorRules rules, Ref selected, Ref fks = nullptr) {
    if (!prepare_owner(self.get(), instance.get(), selected.get())) co_return nullptr;
    Kinds kinds;
    Ref declared = attr(as_executor(self.get())->model, names().fk);
    fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    if (!fks || !kinds.load()) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        Ref written = relation_update(self.get(), PyTuple_GET_ITEM(fks.get(), i), instance.get(), kinds, rules);
        if (!written) co_return nullptr;
        if (written.get() == Py_None) continue;
        TSY_WRITTEN(written, rules);
        if (!written) co_return nullptr;
    }
    if (!writes_owner(selected.get())) {
        as_executor(self.get())->rowcount = 0;
        co_return std::move(instance);
    }
    Ref done = op(self.get(), names().execute);
    TSY_WRITTEN(done, rules);
    if (done && !forget_written(instance.get(), selected.get())) co_return nullptr;
    co_return done;
}

// An update in a walk: the related rows and the owner's UPDATE, on the walk's
// connection, with the instance as the walk's first visit.
coro::Task update_walk_job(Ref self, Ref con, Ref args, bool is_async) {
    const ExecutorRules& rules = is_async ? kAsyncRules : kSyncRules;
    Ref instance = borrow(PyTuple_GET_ITEM(args.get(), 0));
    Ref selected = borrow(PyTuple_GET_ITEM(args.get(), 1));
    WalkScope walk(self.get(), con.get(), instance.get());
    if (!walk.entered()) co_return nullptr;
    Ref done = start_body(update_body(borrow(self.get()), std::move(instance), rules, std::move(selected)), rules,
                          "update", "AsyncModelExecutor.update");
    TSY_WRITTEN(done, rules);
    co_return done;
}

}  // namespace

template <const ExecutorRules& rules>
PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"update", kUpdateNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (!rules.update_takes_any_mapping && !check_arg(a[0], bound.model->ModelInstance, "instance", false)) {
        return nullptr;
    }
    Ref selected = update_selection(as_executor(self)->model, a[0], a[1] ? a[1] : Py_None);
    if (!selected) return nullptr;
    switch (walk_start(self, a[0], false)) {
        case WalkStart::failed: return nullptr;
        case WalkStart::visited: return answered(borrow(a[0]), rules, "update", "AsyncModelExecutor.update").release();
        case WalkStart::walk:
            return start_walk(self, a[0], update_walk_job, rules, "update", "AsyncModelExecutor.update",
                              selected.get())
                .release();
        case WalkStart::plain: break;
    }
    return start_body(update_body(borrow(self), borrow(a[0]), rules, std::move(selected)), rules, "update",
                      "AsyncModelExecutor.update")
        .release();
}
template PyObject* update_method<kSyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template PyObject* update_method<kAsyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tsy::exec
