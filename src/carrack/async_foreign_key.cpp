// AsyncModelExecutor.findForeignKey / findListForeignKey: the steps of the
// synchronous loading, each query and each recursive call awaited in turn.
// Where they differ: a relation whose bind value is missing or None is
// skipped; a one-to-one needs a truthy first row; an empty result leaves the
// instance's entry untouched; a cached many-to-many value that is not a list
// is wrapped into one, a cached one-to-one or one-to-many value never is.
#include "async.hpp"

namespace tsy::exec::async {
namespace {

const char* const kForeignNames[] = {"instance", "deep", "path", "clevel", "level", "before"};
const char* const kListNames[] = {"instances", "deep", "path", "clevel", "level", "before"};

// Awaitable of exc.findForeignKey(row, deep=True, path=..., clevel=..., level=...[, before=...]).
Ref recurse(PyObject* exc, PyObject* row, PyObject* path, int clevel, int level, PyObject* before) noexcept {
    Ref clevel_obj = steal(PyLong_FromLong(clevel));
    Ref level_obj = steal(PyLong_FromLong(level));
    if (!clevel_obj || !level_obj) return {};
    PyObject* args[] = {row, Py_True, path, clevel_obj.get(), level_obj.get(), before};
    PyObject* kwnames = before ? names().kw_foreign_before : names().kw_foreign_deep;
    return call_method_kw(exc, names().findForeignKey, args, 1, kwnames);
}

// row.object.getExecutor(), on self's connection when it is bound to one.
Ref executor_of_row(PyObject* self, PyObject* row) noexcept {
    Ref row_model = attr(row, names().object);
    return row_model ? related_executor(self, row_model.get()) : Ref();
}

// --- many-to-many -------------------------------------------------------------

// The far model's executor with the join to the owner on its pending builder:
// its findAllBy keeps that builder, as nothing has run on it yet.
Ref joined_executor(PyObject* self, PyObject* far, PyObject* owner_table) noexcept {
    Ref exc = related_executor(self, far);
    if (!exc || !check_executor(exc.get())) return {};
    Ref far_relation = steal(PyObject_GetAttr(far, owner_table));
    Ref builder = far_relation ? attr(exc.get(), names().sql) : Ref();
    if (!builder || !call_method(builder.get(), names().join, far_relation.get())) return {};
    return exc;
}

// getattr(fk.middleModel, owner_table + "_id") == key
Ref junction_condition(PyObject* fk, PyObject* owner_table, PyObject* key) noexcept {
    Ref middle = attr(fk, names().middleModel);
    Ref column_name = middle ? steal(PyNumber_Add(owner_table, names()._id)) : Ref();
    Ref junction_col = column_name ? steal(PyObject_GetAttr(middle.get(), column_name.get())) : Ref();
    return junction_col ? equals(junction_col.get(), key) : Ref();
}

// 1: answered from the cache, 0: not cached, -1: error.
int many_from_cache(PyObject* instance, PyObject* path, PyObject* table, PyObject* key, PyObject* fk_name) noexcept {
    int hit = cached(path, table, key);
    if (hit <= 0) return hit;
    if (!log_cache_hit(fk_name)) return -1;
    Ref value = cached_value(path, table, key);
    if (!value) return -1;
    if (!PyList_Check(value.get())) {
        Ref wrapped = steal(PyList_New(1));
        if (!wrapped) return -1;
        PyList_SET_ITEM(wrapped.get(), 0, value.release());
        value = std::move(wrapped);
    }
    return PyObject_SetItem(instance, fk_name, value.get()) == 0 ? 1 : -1;
}

coro::Task many_to_many_task(Ref self, Ref instance, Ref path, Ref fk, Ref fk_name, int deep, int clevel, int level,
                             Ref rows = nullptr, Ref row_exc = nullptr) {
    const Names& n = names();
    Ref far = attr(fk.get(), n.directTarget);
    Ref table = far ? attr(far.get(), n.tableName) : Ref();
    Ref bind_name = attr2(fk.get(), n.bindCol, n.name);
    Ref key = bind_name ? steal(PyObject_GetItem(instance.get(), bind_name.get())) : Ref();
    if (!table || !key) co_return nullptr;
    int hit = many_from_cache(instance.get(), path.get(), table.get(), key.get(), fk_name.get());
    if (hit != 0) co_return hit < 0 ? Ref() : borrow(Py_None);
    Ref owner_table = attr2(fk.get(), n.owner, n.tableName);
    Ref exc = owner_table ? joined_executor(self.get(), far.get(), owner_table.get()) : Ref();
    Ref condition = exc ? junction_condition(fk.get(), owner_table.get(), key.get()) : Ref();
    if (!condition) co_return nullptr;
    Ref found = co_await coro::await(call_method(exc.get(), n.findAllBy, condition.get()));
    if (!found || PyObject_SetItem(instance.get(), fk_name.get(), found.get()) < 0) co_return nullptr;
    rows = steal(PyObject_GetItem(instance.get(), fk_name.get()));
    if (!rows || !register_result(path.get(), table.get(), key.get(), rows.get())) co_return nullptr;
    if (!deep) co_return borrow(Py_None);
    Py_ssize_t count = PyObject_Length(rows.get());
    if (count <= 0) co_return count < 0 ? Ref() : borrow(Py_None);
    Ref first = steal(PySequence_GetItem(rows.get(), 0));
    row_exc = first ? executor_of_row(self.get(), first.get()) : Ref();
    if (!row_exc || !check_executor(row_exc.get())) co_return nullptr;
    Ref own_table = attr(as_executor(self.get())->model, n.tableName);
    if (!own_table) co_return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref row = steal(PySequence_GetItem(rows.get(), i));
        if (!row || !check_convert(row.get(), bound.model->ModelInstance)) co_return nullptr;
        Ref loaded = co_await coro::await(recurse(row_exc.get(), row.get(), path.get(), clevel, level, own_table.get()));
        if (!loaded) co_return nullptr;
    }
    co_return borrow(Py_None);
}

// --- one-to-one, one-to-many and other kinds ------------------------------------

coro::Task direct_task(Ref self, Ref instance, Ref path, Ref fk, Ref fk_name, int is_one, int is_many, int deep,
                       int clevel, int level, Ref rows = nullptr) {
    const Names& n = names();
    Ref target = attr(fk.get(), n.target);
    Ref table = target ? attr(target.get(), n.tableName) : Ref();
    Ref bind_name = attr2(fk.get(), n.bindCol, n.name);
    Ref key = bind_name ? steal(PyObject_GetItem(instance.get(), bind_name.get())) : Ref();
    if (!table || !key) co_return nullptr;
    int hit = cached(path.get(), table.get(), key.get());
    if (hit < 0) co_return nullptr;
    // A relation to the executor's own model is always queried.
    if (hit && target.get() != as_executor(self.get())->model) {
        Ref value = cached_value(path.get(), table.get(), key.get());
        if (!value || PyObject_SetItem(instance.get(), fk_name.get(), value.get()) < 0) co_return nullptr;
        co_return borrow(Py_None);
    }
    Ref target_bind = attr(fk.get(), n.targetBindCol);
    Ref condition = target_bind ? equals(target_bind.get(), key.get()) : Ref();
    Ref exc = condition ? related_executor(self.get(), target.get()) : Ref();
    if (!exc) co_return nullptr;
    rows = co_await coro::await(call_method(exc.get(), n.findAllBy, condition.get()));
    if (!rows || !check_convert(rows.get(), bound.model->InstanceList)) co_return nullptr;
    int found = truth(rows.get());
    if (found < 0) co_return nullptr;
    Ref own_table = attr(as_executor(self.get())->model, n.tableName);
    if (!own_table) co_return nullptr;
    Ref first = found ? steal(PySequence_GetItem(rows.get(), 0)) : borrow(Py_None);
    int first_truthy = first ? truth(first.get()) : -1;
    if (first_truthy < 0) co_return nullptr;
    if (found && is_one && first_truthy) {
        if (PyObject_SetItem(instance.get(), fk_name.get(), first.get()) < 0) co_return nullptr;
        if (!deep) co_return borrow(Py_None);
        Ref row = steal(PyObject_GetItem(instance.get(), fk_name.get()));
        Ref row_exc = row ? executor_of_row(self.get(), row.get()) : Ref();
        if (!row_exc) co_return nullptr;
        Ref loaded = co_await coro::await(recurse(row_exc.get(), row.get(), path.get(), clevel, level, own_table.get()));
        co_return loaded ? borrow(Py_None) : Ref();
    }
    if (found && is_many) {
        Ref row_exc = executor_of_row(self.get(), first.get());
        if (!row_exc || !check_executor(row_exc.get())) co_return nullptr;
        if (PyObject_SetItem(instance.get(), fk_name.get(), rows.get()) < 0) co_return nullptr;
        if (!deep) co_return borrow(Py_None);
        Py_ssize_t count = PyObject_Length(rows.get());
        if (count < 0) co_return nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref row = steal(PySequence_GetItem(rows.get(), i));
            if (!row) co_return nullptr;
            Ref loaded = co_await coro::await(recurse(row_exc.get(), row.get(), path.get(), clevel, level, nullptr));
            if (!loaded) co_return nullptr;
        }
    }
    co_return borrow(Py_None);  // nothing found: the entry stays as it was
}

// --- the loop over the relations ------------------------------------------------------

// Registers a deep root call under its table, or applies the level limit.
// 1: go on, 0: the limit is reached, -1: error.
int level_bookkeeping(PyObject* self, PyObject* instance, PyObject* path, int* clevel, int level) noexcept {
    if (*clevel != 1) return ++*clevel > level ? 0 : 1;
    Ref model = borrow(as_executor(self)->model);
    Ref table = attr(model.get(), names().tableName);
    Ref pk_name = attr(model.get(), names().pkName);
    Ref key = pk_name ? steal(PyObject_GetItem(instance, pk_name.get())) : Ref();
    Ref own = steal(PyDict_New());
    if (!table || !key || !own || PyDict_SetItem(own.get(), key.get(), instance) < 0) return -1;
    if (PyObject_SetItem(path, table.get(), own.get()) < 0) return -1;
    ++*clevel;
    return 1;
}

// 1 when instance.get(fk.bindCol.name) is missing or None, 0 if not, -1 on error.
int unbound(PyObject* fk, PyObject* instance) noexcept {
    Ref bind_name = attr2(fk, names().bindCol, names().name);
    Ref value = bind_name ? call_method(instance, names().get, bind_name.get()) : Ref();
    if (!value) return -1;
    return value.get() == Py_None;
}

// The coroutine loading one relation, or None when it is skipped.
Ref relation_loader(PyObject* self, PyObject* instance, PyObject* path, PyObject* fk, PyObject* before, const Kinds& kinds,
                    bool deep, int clevel, int level) noexcept {
    int skip = leads_back(fk, before);
    if (skip == 0) skip = unbound(fk, instance);
    if (skip) return skip < 0 ? Ref() : borrow(Py_None);
    Ref kind = attr(fk, names().Type);
    Ref fk_name = attr(fk, names().name);
    if (!kind || !fk_name) return {};
    int many = is_kind(kind.get(), kinds.many_to_many.get());
    if (many < 0) return {};
    if (many) {
        return steal(coroutine(many_to_many_task(borrow(self), borrow(instance), borrow(path), borrow(fk),
                                                 std::move(fk_name), deep, clevel, level),
                               "findForeignKey", "AsyncModelExecutor.findForeignKey"));
    }
    int is_one = is_kind(kind.get(), kinds.one_to_one.get());
    int is_many = is_one == 0 ? is_kind(kind.get(), kinds.one_to_many.get()) : 0;
    if (is_one < 0 || is_many < 0) return {};
    return steal(coroutine(direct_task(borrow(self), borrow(instance), borrow(path), borrow(fk), std::move(fk_name),
                                       is_one, is_many, deep, clevel, level),
                           "findForeignKey", "AsyncModelExecutor.findForeignKey"));
}

bool load_kinds(Kinds& kinds) noexcept {
    kinds.many_to_many = attr(bound.ForeignType, names().MANY_TO_MANY);
    kinds.one_to_one = attr(bound.ForeignType, names().ONE_TO_ONE);
    kinds.one_to_many = attr(bound.ForeignType, names().ONE_TO_MANY);
    return kinds.many_to_many && kinds.one_to_one && kinds.one_to_many;
}

coro::Task find_foreign_key_task(Ref self, Ref instance, Ref path, Ref before, bool deep, int clevel, int level,
                                 Ref fks = nullptr) {
    if (path.get() == Py_None) {
        path = steal(PyDict_New());
        if (!path) co_return nullptr;
    }
    if (deep) {
        int go_on = level_bookkeeping(self.get(), instance.get(), path.get(), &clevel, level);
        if (go_on <= 0) co_return go_on < 0 ? Ref() : borrow(Py_None);
    }
    {
        // The coroutines' own frames are bounded by the driver of Tessary._coro;
        // this makes sure the level's statements have room to run.
        LevelRoom room(0);
        if (!room.entered()) co_return nullptr;
    }
    Kinds kinds;
    Ref declared = attr(as_executor(self.get())->model, names().fk);
    fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    if (!fks || !load_kinds(kinds)) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        Ref loader = relation_loader(self.get(), instance.get(), path.get(), PyTuple_GET_ITEM(fks.get(), i),
                                     before.get(), kinds, deep, clevel, level);
        if (!loader) co_return nullptr;
        if (loader.get() == Py_None) continue;
        Ref loaded = co_await coro::await(std::move(loader));
        if (!loaded) co_return nullptr;
    }
    co_return std::move(instance);
}

coro::Task find_list_task(Ref self, Ref instances, Ref path, int clevel, int level) {
    if (path.get() == Py_None) {
        path = steal(PyDict_New());
        if (!path) co_return nullptr;
    }
    Py_ssize_t count = PyObject_Length(instances.get());
    if (count < 0) co_return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref row = steal(PySequence_GetItem(instances.get(), i));
        if (!row) co_return nullptr;
        Ref loaded = co_await coro::await(recurse(self.get(), row.get(), path.get(), clevel, level, nullptr));
        if (!loaded) co_return nullptr;
    }
    co_return borrow(Py_None);
}

// The argument checks of both methods; fills `out` (borrowed, None for the
// optional objects).
bool parse_foreign(const char* func, const char* const* param_names, PyTypeObject* first_type, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out, int* clevel, int* level) {
    const Params params{func, param_names, 6, 1};
    if (!parse(params, args, nargs, kwnames, out)) return false;
    for (int i : {2, 5}) {
        if (!out[i]) out[i] = Py_None;
    }
    if (!check_arg(out[0], first_type, param_names[0]) || !check_arg(out[2], &PyDict_Type, "path") ||
        !check_arg(out[5], &PyUnicode_Type, "before")) {
        return false;
    }
    *clevel = 1;
    *level = 3;
    return (!out[3] || to_int(out[3], clevel)) && (!out[4] || to_int(out[4], level));
}

}  // namespace

PyObject* findForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[6];
    int clevel, level;
    if (!parse_foreign("findForeignKey", kForeignNames, bound.model->ModelInstance, args, nargs, kwnames, a, &clevel,
                       &level)) {
        return nullptr;
    }
    int deep = a[1] ? truth(a[1]) : 0;
    if (deep < 0) return nullptr;
    return coroutine(find_foreign_key_task(borrow(self), borrow(a[0]), borrow(a[2]), borrow(a[5]), deep != 0, clevel,
                                           level),
                     "findForeignKey", "AsyncModelExecutor.findForeignKey");
}

PyObject* findListForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[6];
    int clevel, level;
    if (!parse_foreign("findListForeignKey", kListNames, bound.model->InstanceList, args, nargs, kwnames, a, &clevel,
                       &level)) {
        return nullptr;
    }
    return coroutine(find_list_task(borrow(self), borrow(a[0]), borrow(a[2]), clevel, level), "findListForeignKey",
                     "AsyncModelExecutor.findListForeignKey");
}

}  // namespace tsy::exec::async
