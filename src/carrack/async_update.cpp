// AsyncModelExecutor.update: the owner's UPDATE is prepared first, the
// related rows are written (a one-to-one row saved, so inserted when it is
// new; one-to-many children updated; many-to-many far rows saved and the
// junction rows rewritten), then the owner's statement runs. Any mapping is
// accepted: only the primary-key guard looks at it.
#include "async.hpp"

namespace tsy::exec::async {
namespace {

const char* const kInstanceNames[] = {"instance"};

// Each element updated by a new executor of `target` on this connection.
coro::Task update_each_task(Ref self, Ref target, Ref iter) {
    while (Ref element = steal(PyIter_Next(iter.get()))) {
        Ref exc = get_executor(target.get(), work_of(self.get()).get());
        if (!exc) co_return nullptr;
        Ref updated = co_await coro::await(call_method(exc.get(), names().update, element.get()));
        if (!updated) co_return nullptr;
    }
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

// The awaitable writing one relation the instance carries (not None); None
// when there is nothing to write.
Ref relation_update(PyObject* self, PyObject* fk, PyObject* instance, const Kinds& kinds) noexcept {
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
        Ref exc = target ? get_executor(target.get(), work_of(self).get()) : Ref();
        return exc ? call_method(exc.get(), names().save, related.get()) : Ref();
    }
    if ((is = is_kind(kind.get(), kinds.one_to_many.get())) != 0) {
        Ref target = is > 0 ? attr(fk, names().target) : Ref();
        Ref iter = target ? steal(PyObject_GetIter(related.get())) : Ref();
        if (!iter) return {};
        return steal(coroutine(update_each_task(borrow(self), std::move(target), std::move(iter)), "update",
                               "AsyncModelExecutor.update"));
    }
    if ((is = is_kind(kind.get(), kinds.many_to_many.get())) != 0) {
        Ref junction = is > 0 ? junction_parts(self, fk, instance) : Ref();
        Ref list = junction ? steal(PySequence_List(related.get())) : Ref();
        if (!list) return {};
        return steal(write_junction(junction.get(), list.get(), true));
    }
    return borrow(Py_None);
}

// The primary-key guard and the owner's statement on the pending builder.
bool prepare(PyObject* self, PyObject* instance) noexcept {
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
    return remember_instance(self, instance) == 0 && prepare_update(self, model.get(), instance, key.get());
}

coro::Task update_task(Ref self, Ref instance, Ref fks = nullptr) {
    if (!prepare(self.get(), instance.get())) co_return nullptr;
    Kinds kinds;
    Ref declared = attr(as_executor(self.get())->model, names().fk);
    fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    if (!fks || !kinds.load()) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        Ref writer = relation_update(self.get(), PyTuple_GET_ITEM(fks.get(), i), instance.get(), kinds);
        if (!writer) co_return nullptr;
        if (writer.get() == Py_None) continue;
        Ref written = co_await coro::await(std::move(writer));
        if (!written) co_return nullptr;
    }
    co_return co_await coro::await(op(self.get(), names().execute));
}

}  // namespace

PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"update", kInstanceNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return coroutine(update_task(borrow(self), borrow(a[0])), "update", "AsyncModelExecutor.update");
}

}  // namespace tsy::exec::async
