// AsyncModelExecutor.save and its relation writers: the owner's INSERT, then
// the related rows it carries, each write awaited before the next, all on the
// executor's connection.
#include "async.hpp"

namespace tsy::exec::async {
namespace {

const char* const kInstanceNames[] = {"instance"};
const char* const kOtoNames[] = {"res", "fk", "instance"};
const char* const kFkInstanceNames[] = {"fk", "instance"};

// insert(model).values(*cells), then self.execute(): the awaitable of the
// INSERT, or NULL with the builder's error.
Ref start_insert(PyObject* self, PyObject* cells) noexcept {
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    Ref model = borrow(as_executor(self)->model);
    Ref inserting = call_method(builder.get(), names().insert, model.get());
    Ref values = inserting ? attr(inserting.get(), names().values) : Ref();
    if (!values || !steal(PyObject_Call(values.get(), cells, nullptr))) return {};
    return op(self, names().execute);
}

// A relation of a kind without a writer of its own: each element saved by a
// new executor of the target model, the results listed in the owner's row.
coro::Task save_each_task(Ref self, Ref fk, Ref res, Ref fk_name, Ref iter, Ref saved = nullptr) {
    saved = steal(PyList_New(0));
    if (!saved || PyObject_SetItem(res.get(), fk_name.get(), saved.get()) < 0) co_return nullptr;
    Ref target = steal(PyObject_GetItem(fk.get(), names().target));
    if (!target) co_return nullptr;
    while (Ref element = steal(PyIter_Next(iter.get()))) {
        Ref exc = get_executor(target.get(), work_of(self.get()).get());
        if (!exc) co_return nullptr;
        Ref one = co_await coro::await(call_method(exc.get(), names().save, element.get()));
        if (!one || PyList_Append(saved.get(), one.get()) < 0) co_return nullptr;
    }
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

// The awaitable writing one relation of the saved owner; None when the
// instance does not carry it.
Ref relation_writer(PyObject* self, PyObject* fk, PyObject* res, PyObject* instance, Kinds& kinds) noexcept {
    Ref fk_name = steal(PyObject_GetItem(fk, names().name));
    if (!fk_name) return {};
    int present = PySequence_Contains(instance, fk_name.get());
    if (present <= 0) return present < 0 ? Ref() : borrow(Py_None);
    Ref related = steal(PyObject_GetItem(instance, fk_name.get()));
    int truthy = related ? truth(related.get()) : -1;
    if (truthy <= 0) return truthy < 0 ? Ref() : borrow(Py_None);
    Ref kind = steal(PyObject_GetItem(fk, names().Type));
    if (!kind || !kinds.ensure()) return {};
    int is;
    if ((is = is_kind(kind.get(), kinds.one_to_one.get())) != 0) {
        return is > 0 ? op(self, names()._saveOTO, res, fk, instance) : Ref();
    }
    Ref type_attr = attr(fk, names().Type);
    if (!type_attr) return {};
    if ((is = is_kind(type_attr.get(), kinds.one_to_many.get())) != 0) {
        return is > 0 ? op(self, names()._saveOTM, fk, instance) : Ref();
    }
    if ((is = is_kind(type_attr.get(), kinds.many_to_many.get())) != 0) {
        return is > 0 ? op(self, names()._saveMTM, fk, instance) : Ref();
    }
    Ref iter = steal(PyObject_GetIter(related.get()));
    if (!iter) return {};
    return steal(coroutine(save_each_task(borrow(self), borrow(fk), borrow(res), std::move(fk_name), std::move(iter)),
                           "save", "AsyncModelExecutor.save"));
}

// The duplicate-key fallback, as the synchronous one: the instance's row
// updated instead when the instance names a row that exists; otherwise the
// driver's error `clash` is the caller's answer.
coro::Task update_instead_task(Ref self, Ref instance, Ref clash) {
    int exists = -1;
    {
        Ref rows = co_await coro::await(find_instance_row(self.get(), instance.get()));
        if (rows) exists = truth(rows.get());
    }
    Ref updated;
    if (exists > 0) updated = co_await coro::await(op(self.get(), names().update, instance.get()));
    if (!updated) {
        reraise_clash(std::move(clash));
        co_return nullptr;
    }
    co_return updated;
}

// The owner's INSERT by the cached plan where it applies (save_plan.cpp),
// otherwise by the general path; then the duplicate-key fallback or the
// related rows, as the synchronous save.
coro::Task save_task(Ref self, Ref instance, Ref res = nullptr, Ref fks = nullptr) {
    Ref model = borrow(as_executor(self.get())->model);
    bool relations = true;
    Prepared prepared;
    {
        // The cached plan, when it applies: its statement awaited between its halves.
        PlannedInsert plan;
        prepared = prepare_planned_save(self.get(), instance.get(), plan);
        if (prepared == Prepared::failed) co_return nullptr;
        if (prepared == Prepared::ready) {
            Ref key = co_await coro::await(start_planned_insert(self.get(), plan));
            if (finish_planned_save(self.get(), instance.get(), plan, key.get(), res, relations) == Planned::failed) {
                co_return nullptr;
            }
        }
    }
    if (prepared == Prepared::general) {
        if (!op(self.get(), names().reset) || remember_instance(self.get(), instance.get()) < 0) co_return nullptr;
        model = borrow(as_executor(self.get())->model);
        Ref cells = insert_cells(model.get(), instance.get());
        if (!cells) co_return nullptr;
        if (PyTuple_GET_SIZE(cells.get()) == 0) co_return std::move(instance);
        res = co_await coro::await(start_insert(self.get(), cells.get()));
    }
    if (!res) {
        if (!integrity_error_pending()) co_return nullptr;
        Ref fallback = steal(coroutine(update_instead_task(std::move(self), std::move(instance),
                                                           steal(PyErr_GetRaisedException())),
                                       "save", "AsyncModelExecutor.save"));
        co_return co_await coro::await(std::move(fallback));
    }
    if (!relations) co_return std::move(res);
    Kinds kinds;
    Ref declared = attr(model.get(), names().fk);
    fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    if (!fks) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        Ref writer = relation_writer(self.get(), PyTuple_GET_ITEM(fks.get(), i), res.get(), instance.get(), kinds);
        if (!writer) co_return nullptr;
        if (writer.get() == Py_None) continue;
        Ref written = co_await coro::await(std::move(writer));
        if (!written) co_return nullptr;
    }
    co_return std::move(res);
}

// One-to-one: the related instance gets the saved owner's bind value, is
// saved on this connection, and the saved row goes into the owner's result.
coro::Task save_oto_task(Ref self, Ref res, Ref fk, Ref instance) {
    const Names& n = names();
    Ref fk_name = steal(PyObject_GetItem(fk.get(), n.name));
    Ref bind_col = steal(PyObject_GetItem(fk.get(), n.bindCol));
    Ref target_bind_col = steal(PyObject_GetItem(fk.get(), n.targetBindCol));
    if (!fk_name || !bind_col || !target_bind_col) co_return nullptr;
    Ref related = steal(PyObject_GetItem(instance.get(), fk_name.get()));
    Ref target_column = attr(target_bind_col.get(), n.name);
    Ref bind_column = attr(bind_col.get(), n.name);
    if (!related || !target_column || !bind_column) co_return nullptr;
    Ref owner_value = steal(PyObject_GetItem(res.get(), bind_column.get()));
    if (!owner_value || PyObject_SetItem(related.get(), target_column.get(), owner_value.get()) < 0) co_return nullptr;
    Ref target = attr(fk.get(), n.target);
    Ref exc = target ? get_executor(target.get(), work_of(self.get()).get()) : Ref();
    Ref current = exc ? steal(PyObject_GetItem(instance.get(), fk_name.get())) : Ref();
    if (!current) co_return nullptr;
    Ref saved = co_await coro::await(call_method(exc.get(), n.save, current.get()));
    if (!saved || PyObject_SetItem(res.get(), fk_name.get(), saved.get()) < 0) co_return nullptr;
    co_return borrow(Py_None);
}

// One-to-many: the children of instance[fk.name], each given the owner's
// bind value in its own bind column, saved by one executor of the target.
coro::Task save_otm_task(Ref self, Ref fk, Ref instance, Ref exc = nullptr, Ref iter = nullptr) {
    const Names& n = names();
    Ref target = attr(fk.get(), n.target);
    exc = target ? get_executor(target.get(), work_of(self.get()).get()) : Ref();
    Ref fk_name = attr(fk.get(), n.name);
    Ref bind_column = attr2(fk.get(), n.bindCol, n.name);
    Ref child_column = attr2(fk.get(), n.targetBindCol, n.name);
    if (!exc || !fk_name || !bind_column || !child_column) co_return nullptr;
    Ref owner_value = steal(PyObject_GetItem(instance.get(), bind_column.get()));
    Ref children = owner_value ? steal(PyObject_GetItem(instance.get(), fk_name.get())) : Ref();
    iter = children ? steal(PyObject_GetIter(children.get())) : Ref();
    if (!iter) co_return nullptr;
    while (Ref child = steal(PyIter_Next(iter.get()))) {
        if (!op(exc.get(), n.reset)) co_return nullptr;
        if (PyObject_SetItem(child.get(), child_column.get(), owner_value.get()) < 0) co_return nullptr;
        Ref done = co_await coro::await(op(exc.get(), n.save, child.get()));
        if (!done) co_return nullptr;
    }
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

coro::Task save_mtm_task(Ref self, Ref fk, Ref instance) {
    Ref junction = junction_parts(self.get(), fk.get(), instance.get());
    Ref fk_name = junction ? attr(fk.get(), names().name) : Ref();
    Ref elements = fk_name ? steal(PyObject_GetItem(instance.get(), fk_name.get())) : Ref();
    Ref list = elements ? steal(PySequence_List(elements.get())) : Ref();
    if (!list) co_return nullptr;
    Ref done = co_await coro::await(steal(write_junction(junction.get(), list.get(), false)));
    if (!done) co_return nullptr;
    co_return borrow(Py_None);
}

// The junction row of one far element: owner side first, then the far side.
Ref junction_row(PyObject* junction, PyObject* element) noexcept {
    Ref far_value = steal(PyObject_GetItem(element, PyTuple_GET_ITEM(junction, FAR_KEY)));
    Ref row = steal(PyDict_New());
    if (!far_value || !row) return {};
    if (PyDict_SetItem(row.get(), PyTuple_GET_ITEM(junction, OWNER_COLUMN), PyTuple_GET_ITEM(junction, OWNER_VALUE)) < 0 ||
        PyDict_SetItem(row.get(), PyTuple_GET_ITEM(junction, FAR_COLUMN), far_value.get()) < 0) {
        return {};
    }
    return row;
}

// middleExc.delete(D, F): every junction row of the owner.
Ref delete_owner_rows(PyObject* junction) noexcept {
    Ref rows = steal(PyDict_New());
    if (!rows || PyDict_SetItem(rows.get(), PyTuple_GET_ITEM(junction, OWNER_COLUMN),
                                PyTuple_GET_ITEM(junction, OWNER_VALUE)) < 0) {
        return {};
    }
    return call_method(PyTuple_GET_ITEM(junction, MIDDLE_EXC), names().delete_, rows.get(),
                       PyTuple_GET_ITEM(junction, OWNER_FILTER));
}

// The write of one far element, as the synchronous writer does it: an
// element carrying its key is an existing row, linked as it is when saving
// and updated when updating; one without is saved (and gets its key). None
// when there is nothing to write.
Ref write_far(PyObject* junction, PyObject* element, bool updating) noexcept {
    int has_key = carries(element, PyTuple_GET_ITEM(junction, FAR_KEY));
    if (has_key < 0) return {};
    if (has_key && !updating) return borrow(Py_None);
    return call_method(PyTuple_GET_ITEM(junction, TARGET_EXC), has_key ? names().update : names().save, element);
}

// True when write_far had nothing to write.
bool skipped(const Ref& write) noexcept { return write && write.get() == Py_None; }

Ref save_junction_row(PyObject* junction, PyObject* element) noexcept {
    Ref row = junction_row(junction, element);
    if (!row) return {};
    return call_method(PyTuple_GET_ITEM(junction, MIDDLE_EXC), names().save, row.get());
}

coro::Task write_junction_task(Ref junction, Ref elements, bool updating) {
    PyObject* j = junction.get();
    if (updating) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
            Ref element = borrow(PyList_GET_ITEM(elements.get(), i));
            Ref write = write_far(j, element.get(), true);
            if (skipped(write)) continue;
            Ref written = co_await coro::await(std::move(write));
            if (!written) co_return nullptr;
        }
    }
    Ref done = co_await coro::await(delete_owner_rows(j));
    if (!done) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
        Ref element = borrow(PyList_GET_ITEM(elements.get(), i));
        if (!updating) {
            Ref write = write_far(j, element.get(), false);
            if (!skipped(write)) {
                Ref written = co_await coro::await(std::move(write));
                if (!written) co_return nullptr;
            }
        }
        Ref done = co_await coro::await(save_junction_row(j, element.get()));
        if (!done) co_return nullptr;
    }
    co_return borrow(Py_None);
}

}  // namespace

Ref junction_parts(PyObject* self, PyObject* fk, PyObject* instance) noexcept {
    const Names& n = names();
    Ref work_ref = work_of(self);
    PyObject* work = work_ref.get();
    Ref far = attr(fk, n.directTarget);
    Ref middle = attr(fk, n.middleModel);
    Ref owner = attr(fk, n.owner);
    if (!far || !middle || !owner) return {};
    Ref target_exc = get_executor(far.get(), work);
    Ref middle_exc = target_exc ? get_executor(middle.get(), work) : Ref();
    Ref other_fk = middle_exc ? call_method(middle.get(), n.getOtherFkBy, owner.get()) : Ref();
    if (!other_fk) return {};
    Ref owner_column = attr2(fk, n.targetBindCol, n.name);
    Ref far_column = attr2(other_fk.get(), n.bindCol, n.name);
    Ref far_key = attr2(other_fk.get(), n.targetBindCol, n.name);
    Ref bind_name = attr2(fk, n.bindCol, n.name);
    if (!owner_column || !far_column || !far_key || !bind_name) return {};
    Ref owner_value = steal(PyObject_GetItem(instance, bind_name.get()));
    Ref target_bind = owner_value ? attr(fk, n.targetBindCol) : Ref();
    Ref owner_filter = target_bind ? equals(target_bind.get(), owner_value.get()) : Ref();
    if (!owner_filter) return {};
    return steal(PyTuple_Pack(JUNCTION_PARTS, target_exc.get(), middle_exc.get(), owner_column.get(), far_column.get(),
                              far_key.get(), owner_value.get(), owner_filter.get()));
}

PyObject* write_junction(PyObject* junction, PyObject* elements, bool updating) noexcept {
    return coroutine(write_junction_task(borrow(junction), borrow(elements), updating), "_saveMTM",
                     "AsyncModelExecutor._saveMTM");
}

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"save", kInstanceNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a) || !check_mapping("save", a[0])) return nullptr;
    return coroutine(save_task(borrow(self), borrow(a[0])), "save", "AsyncModelExecutor.save");
}

PyObject* saveOTO_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveOTO", kOtoNames, 3, 3};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return coroutine(save_oto_task(borrow(self), borrow(a[0]), borrow(a[1]), borrow(a[2])), "_saveOTO",
                     "AsyncModelExecutor._saveOTO");
}

PyObject* saveOTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveOTM", kFkInstanceNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return coroutine(save_otm_task(borrow(self), borrow(a[0]), borrow(a[1])), "_saveOTM",
                     "AsyncModelExecutor._saveOTM");
}

PyObject* saveMTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveMTM", kFkInstanceNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return coroutine(save_mtm_task(borrow(self), borrow(a[0]), borrow(a[1])), "_saveMTM",
                     "AsyncModelExecutor._saveMTM");
}

}  // namespace tsy::exec::async
