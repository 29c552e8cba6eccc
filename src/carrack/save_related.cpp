// save and its relation writers (_saveOTO, _saveOTM) on both executors: the
// owner's INSERT, then the related rows it carries, every statement on the
// executor's connection, each write done (or awaited) before the next.
#include "related_writes.hpp"

namespace tsy::exec {
namespace {

const char* const kInstanceNames[] = {"instance"};
const char* const kOtoNames[] = {"res", "fk", "instance"};
const char* const kFkInstanceNames[] = {"fk", "instance"};

// col.insertCell(value). A column whose class inherits BaseProperty's own
// method, and whose attribute dictionary does not hide it, gets the same cell
// natively, without binding and calling the method.
Ref insert_cell(PyObject* col, PyObject* value) noexcept {
    if (_PyType_Lookup(Py_TYPE(col), names().insertCell) == bound.native_insert_cell) {
        int hidden = in_instance_dict(col, names().insertCell);
        if (hidden < 0) return {};
        if (!hidden) return steal(bound.property->insertCell(col, value));
    }
    return call_method(col, names().insertCell, value);
}

// The INSERT entries: every column the instance holds with a value other than
// None, in column order (a tuple). 0, "" and False are values like any other.
Ref insert_cells(PyObject* model, PyObject* instance) noexcept {
    Ref cols = model_columns(model);
    Ref cells = steal(PyList_New(0));
    if (!cols || !cells) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols.get()); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols.get(), i);
        Ref name = column_name(col);
        if (!name) return {};
        Ref value;
        if (plain_mapping(instance)) {
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(instance, name.get(), &found) < 0) return {};
            value = steal(found);
            if (!found || found == Py_None) continue;
        } else {
            int has_value = carries(instance, name.get());
            if (has_value < 0) return {};
            if (!has_value) continue;
            value = steal(PyObject_GetItem(instance, name.get()));
            if (!value) return {};
        }
        Ref cell = insert_cell(col, value.get());
        if (!cell || PyList_Append(cells.get(), cell.get()) < 0) return {};
    }
    return steal(PyList_AsTuple(cells.get()));
}

// save's argument: any mapping (a dict, an instance, a class deriving from or
// registered with collections.abc.Mapping); TypeError for anything else.
bool check_mapping(PyObject* instance) noexcept {
    if (PyType_HasFeature(Py_TYPE(instance), Py_TPFLAGS_MAPPING)) return true;
    fail(PyExc_TypeError, "save() argument 'instance' must be a mapping, not %.200s", type_name(instance));
    return false;
}

// A model instance is saved by an executor of its own model (or of a base
// of it): the columns of another model would be read from it.
bool check_model(PyObject* self, PyObject* instance) noexcept {
    if (!PyObject_TypeCheck(instance, bound.model->ModelInstance)) return true;
    Ref of = borrow(reinterpret_cast<model::InstanceObject*>(instance)->model);
    Ref model = borrow(as_executor(self)->model);
    if (!of || !model || of.get() == model.get() || !PyType_Check(of.get()) || !PyType_Check(model.get())) return true;
    auto* of_type = reinterpret_cast<PyTypeObject*>(of.get());
    auto* model_type = reinterpret_cast<PyTypeObject*>(model.get());
    if (PyType_IsSubtype(of_type, model_type)) return true;
    Ref of_name = steal(PyType_GetName(of_type));
    Ref model_name = of_name ? steal(PyType_GetName(model_type)) : Ref();
    if (!model_name) return false;
    fail(PyExc_TypeError, "save() argument 'instance' is an instance of %U; the executor of %U saves %U instances",
         of_name.get(), model_name.get(), model_name.get());
    return false;
}

// insert(model).values(*cells), then self.execute(): the result, or its
// awaitable on the coroutine executor.
Ref start_insert(PyObject* self, PyObject* cells) noexcept {
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    Ref model = borrow(as_executor(self)->model);
    Ref inserting = call_method(builder.get(), names().insert, model.get());
    Ref values = inserting ? attr(inserting.get(), names().values) : Ref();
    if (!values || !steal(PyObject_Call(values.get(), cells, nullptr))) return {};
    return op(self, names().execute);
}

// The saved row of an INSERT of defaults that generated `key`, as the
// builder's INSERT would have left it (the key stored in the instance).
Ref defaults_row(PyObject* self, PyObject* key) noexcept {
    long long generated = 0;
    if (key != Py_None && !generated_key(key, &generated)) return {};
    return steal(processInsert(self, generated));
}

// The driver errors that turn save's INSERT into an update.
bool duplicate_key_pending(const ExecutorRules& rules) noexcept {
    if (rules.sqlite_clash_updates) return async::integrity_error_pending();
    return PyErr_ExceptionMatches(bound.IntegrityError);
}

// The driver's error of a failed INSERT, taken into `clash` when save's
// duplicate-key fallback answers it; false leaves any other error pending.
bool take_clash(bool statement_ran, const ExecutorRules& rules, Ref& clash) noexcept {
    if (!statement_ran || !duplicate_key_pending(rules)) return false;
    clash = steal(PyErr_GetRaisedException());
    return true;
}

// The duplicate-key fallback applies only to an instance whose key names an
// existing row. The lookup of that row by a new executor of the model on the
// executor's connection, find(pkCol).By(pkCol == key): the rows, or their
// awaitable. NULL with the reason the fallback cannot apply: the instance's
// lookup error, or UpdateWithOutPrimaryKeyError for a key that is None, 0 or
// empty.
Ref find_instance_row(PyObject* self, PyObject* instance) noexcept {
    Ref model = borrow(as_executor(self)->model);
    Ref pk_name = attr(model.get(), names().pkName);
    Ref key = pk_name ? steal(PyObject_GetItem(instance, pk_name.get())) : Ref();
    int has_key = key ? truth(key.get()) : -1;
    if (has_key <= 0) {
        if (has_key == 0) PyErr_SetNone(bound.UpdateWithOutPrimaryKeyError);
        return {};
    }
    Ref pk_col = attr(model.get(), names().pkCol);
    Ref condition = pk_col ? equals(pk_col.get(), key.get()) : Ref();
    Ref exc = condition ? get_executor(model.get(), work_of(self).get()) : Ref();
    Ref selecting = exc ? call_method(exc.get(), names().find, pk_col.get()) : Ref();
    return selecting ? call_method(selecting.get(), names().By, condition.get()) : Ref();
}

// The fallback's update writes the instance again: the walk, if any, forgets
// it first. False with the error set.
bool forget_visit_of(PyObject* self, PyObject* instance) noexcept {
    Ref visits = walk_visits(self);
    if (!visits) return !PyErr_Occurred();
    return forget_visit(visits.get(), instance) == 0;
}

// Cuts `error`'s chain of contexts where it reaches `clash`, so that making
// `error` the context of `clash` cannot close a loop.
void detach_from(PyObject* error, PyObject* clash) noexcept {
    Ref link = borrow(error);
    while (link) {
        Ref next = steal(PyException_GetContext(link.get()));
        if (next.get() == clash) {
            PyException_SetContext(link.get(), nullptr);
            return;
        }
        link = std::move(next);
    }
}

// Raises the driver's `clash` again, with the pending error of the failed
// fallback (if any) as its __context__. A pending error that is not an
// Exception (an interruption, a cancellation) propagates instead.
void reraise_clash(Ref clash) noexcept {
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
        Ref fallback_error = steal(PyErr_GetRaisedException());
        detach_from(fallback_error.get(), clash.get());
        PyException_SetContext(clash.get(), fallback_error.release());
    }
    PyErr_SetRaisedException(clash.release());
}

// A relation of a kind without a writer of its own: each element saved by a
// new executor of the target model, the results listed in the owner's row.
coro::Task save_each_body(Ref self, Ref fk, Ref res, Ref fk_name, Ref iter, ExecutorRules rules,
                          Ref saved = nullptr) {
    saved = steal(PyList_New(0));
    if (!saved || PyObject_SetItem(res.get(), fk_name.get(), saved.get()) < 0) co_return nullptr;
    Ref target = steal(PyObject_GetItem(fk.get(), names().target));
    if (!target) co_return nullptr;
    while (Ref element = steal(PyIter_Next(iter.get()))) {
        Ref exc = walk_executor(self.get(), target.get());
        if (!exc) co_return nullptr;
        Ref one = call_method(exc.get(), names().save, element.get());
        TSY_WRITTEN(one, rules);
        if (!one || PyList_Append(saved.get(), one.get()) < 0) co_return nullptr;
    }
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

// The write of one relation of the saved owner: its result or awaitable;
// None when the instance does not carry the relation.
Ref relation_writer(PyObject* self, PyObject* fk, PyObject* res, PyObject* instance, Kinds& kinds,
                    const ExecutorRules& rules) noexcept {
    Ref fk_name = steal(PyObject_GetItem(fk, names().name));
    if (!fk_name) return {};
    int present = PySequence_Contains(instance, fk_name.get());
    if (present <= 0) return present < 0 ? Ref() : borrow(Py_None);
    Ref related = steal(PyObject_GetItem(instance, fk_name.get()));
    int truthy = related ? truth(related.get()) : -1;
    if (truthy <= 0) return truthy < 0 ? Ref() : borrow(Py_None);
    Ref target = attr(fk, names().target);
    if (!target || !same_database(as_executor(self)->model, target.get())) return {};
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
    return start_body(save_each_body(borrow(self), borrow(fk), borrow(res), std::move(fk_name), std::move(iter), rules),
                      rules, "save", "AsyncModelExecutor.save");
}

// The INSERT of a new row, on either executor. `plan_tried`: the caller has
// run the cached plan (save_plan.cpp) and `planned` says what it came to, as
// planned_save answers (with the driver's error in `clash` when its statement
// failed on a duplicate key); otherwise the body tries the plan first, its
// statement awaited between its two halves. Then the general path when the
// plan does not apply; the duplicate-key fallback when the statement failed;
// the related rows when the owner's row was written.
coro::Task save_body(Ref self, Ref instance, ExecutorRules rules, bool plan_tried, Planned planned, bool relations,
                     Ref res = nullptr, Ref fks = nullptr, Ref clash = nullptr) {
    bool statement_ran = planned == Planned::statement_failed;
    if (!plan_tried) {
        PlannedInsert plan;
        Prepared prepared = prepare_planned_save(self.get(), instance.get(), plan);
        if (prepared == Prepared::failed) co_return nullptr;
        if (prepared == Prepared::ready) {
            Ref key = co_await coro::await(start_planned_insert(self.get(), plan));
            planned = finish_planned_save(self.get(), instance.get(), plan, key.get(), res, relations);
            if (planned == Planned::failed) co_return nullptr;
            statement_ran = planned == Planned::statement_failed;
        }
    }
    if (planned == Planned::general) {
        if (!op(self.get(), names().reset) || remember_instance(self.get(), instance.get()) < 0) co_return nullptr;
        Ref cells = insert_cells(as_executor(self.get())->model, instance.get());
        if (!cells) co_return nullptr;
        statement_ran = true;
        if (PyTuple_GET_SIZE(cells.get()) == 0) {
            Ref key = bulk::insert_defaults(as_executor(self.get())->model, work_of(self.get()).get());
            TSY_WRITTEN(key, rules);
            if (key) res = defaults_row(self.get(), key.get());
        } else {
            res = start_insert(self.get(), cells.get());
            TSY_WRITTEN(res, rules);
        }
    }
    if (!res) {
        if (!clash && !take_clash(statement_ran, rules, clash)) co_return nullptr;
        Ref rows = find_instance_row(self.get(), instance.get());
        TSY_WRITTEN(rows, rules);
        int exists = rows ? truth(rows.get()) : -1;
        Ref updated;
        if (exists > 0 && forget_visit_of(self.get(), instance.get())) {
            updated = op(self.get(), names().update, instance.get());
            TSY_WRITTEN(updated, rules);
        }
        if (!updated) reraise_clash(std::move(clash));
        co_return updated;
    }
    if (!relations) co_return std::move(res);
    Kinds kinds;
    Ref declared = attr(as_executor(self.get())->model, names().fk);
    fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    if (!fks) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        Ref written = relation_writer(self.get(), PyTuple_GET_ITEM(fks.get(), i), res.get(), instance.get(), kinds,
                                      rules);
        if (!written) co_return nullptr;
        if (written.get() == Py_None) continue;
        TSY_WRITTEN(written, rules);
        if (!written) co_return nullptr;
    }
    co_return std::move(res);
}

// One-to-one: the related instance gets the saved owner's bind value, is
// saved on this connection, and the saved row goes into the owner's result.
coro::Task save_one_to_one_body(Ref self, Ref res, Ref fk, Ref instance, ExecutorRules rules) {
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
    Ref exc = target ? walk_executor(self.get(), target.get()) : Ref();
    Ref current = exc ? steal(PyObject_GetItem(instance.get(), fk_name.get())) : Ref();
    if (!current) co_return nullptr;
    Ref saved = call_method(exc.get(), n.save, current.get());
    TSY_WRITTEN(saved, rules);
    if (!saved || PyObject_SetItem(res.get(), fk_name.get(), saved.get()) < 0) co_return nullptr;
    co_return borrow(Py_None);
}

// One-to-many: the children of instance[fk.name], each given the owner's
// bind value in its own bind column, saved by one executor of the target.
coro::Task save_one_to_many_body(Ref self, Ref fk, Ref instance, ExecutorRules rules, Ref exc = nullptr,
                                 Ref iter = nullptr) {
    const Names& n = names();
    Ref target = attr(fk.get(), n.target);
    exc = target ? walk_executor(self.get(), target.get()) : Ref();
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
        Ref done = op(exc.get(), n.save, child.get());
        TSY_WRITTEN(done, rules);
        if (!done) co_return nullptr;
    }
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

// The checks every save makes at the call, before anything is written.
bool save_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** instance) noexcept {
    static const Params params{"save", kInstanceNames, 1, 1};
    return parse(params, args, nargs, kwnames, instance) && check_mapping(*instance) && check_model(self, *instance);
}

// The synchronous save of `instance` once its walk, if any, is settled: the
// cached plan, then the body where the plan leaves work.
Ref sync_save(PyObject* self, PyObject* instance) noexcept {
    Ref res;
    bool relations = true;
    Planned planned = planned_save(self, instance, res, relations);
    if (planned == Planned::failed) return {};
    if (planned == Planned::saved && !relations) return res;
    Ref clash;
    if (planned == Planned::statement_failed && !take_clash(true, kSyncRules, clash)) return {};
    return start_body(save_body(borrow(self), borrow(instance), kSyncRules, true, planned, relations, std::move(res),
                                nullptr, std::move(clash)),
                      kSyncRules, "save", "save");
}

// The coroutine executor's save once its walk, if any, is settled.
Ref async_save(PyObject* self, PyObject* instance) noexcept {
    return start_body(save_body(borrow(self), borrow(instance), kAsyncRules, false, Planned::general, true),
                      kAsyncRules, "save", "AsyncModelExecutor.save");
}

// A save in a walk: the owner's INSERT and its related rows, on the walk's
// connection, with the instance as the walk's first visit.
coro::Task save_walk_job(Ref self, Ref con, Ref args, bool is_async) {
    Ref instance = borrow(PyTuple_GET_ITEM(args.get(), 0));
    WalkScope walk(self.get(), con.get(), instance.get());
    if (!walk.entered()) co_return nullptr;
    Ref done = is_async ? async_save(self.get(), instance.get()) : sync_save(self.get(), instance.get());
    TSY_BULK_RESOLVE(done, is_async);
    co_return done;
}

// save's answer: the instance again when its walk has written it, a new walk
// when it carries related rows, else `save` itself.
Ref walk_or_save(PyObject* self, PyObject* instance, const ExecutorRules& rules,
                 Ref (*save)(PyObject*, PyObject*) noexcept, const char* qualname) noexcept {
    switch (walk_start(self, instance, true)) {
        case WalkStart::failed: return {};
        case WalkStart::visited: return answered(borrow(instance), rules, "save", qualname);
        case WalkStart::walk: return start_walk(self, instance, save_walk_job, rules, "save", qualname);
        case WalkStart::plain: break;
    }
    return save(self, instance);
}

}  // namespace

Ref start_body(coro::Task task, const ExecutorRules& rules, const char* name, const char* async_qualname) noexcept {
    if (rules.awaits_writes) return steal(async::coroutine(std::move(task), name, async_qualname));
    return bulk::launch(std::move(task), false, name);
}

// The plain save, a new row by the cached plan with no related rows, is
// answered here without a coroutine frame: it is the common case, and the
// frame would cost it a measurable share.
PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* instance;
    if (!save_arguments(self, args, nargs, kwnames, &instance)) return nullptr;
    return walk_or_save(self, instance, kSyncRules, sync_save, "save").release();
}

namespace async {

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* instance;
    if (!save_arguments(self, args, nargs, kwnames, &instance)) return nullptr;
    return walk_or_save(self, instance, kAsyncRules, async_save, "AsyncModelExecutor.save").release();
}

}  // namespace async

template <const ExecutorRules& rules>
PyObject* saveOTO_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveOTO", kOtoNames, 3, 3};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return start_body(save_one_to_one_body(borrow(self), borrow(a[0]), borrow(a[1]), borrow(a[2]), rules), rules,
                      "_saveOTO", "AsyncModelExecutor._saveOTO")
        .release();
}
template PyObject* saveOTO_method<kSyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template PyObject* saveOTO_method<kAsyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <const ExecutorRules& rules>
PyObject* saveOTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveOTM", kFkInstanceNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return start_body(save_one_to_many_body(borrow(self), borrow(a[0]), borrow(a[1]), rules), rules, "_saveOTM",
                      "AsyncModelExecutor._saveOTM")
        .release();
}
template PyObject* saveOTM_method<kSyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template PyObject* saveOTM_method<kAsyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tsy::exec
