// ModelExecutor.findForeignKey / findListForeignKey: attach the rows related
// to instances, from the per-load cache `path` or through executors of the
// related models, recursively when `deep`, bounded by clevel/level and by
// the table not to go back to (`before`).
#include "relations.hpp"

namespace tsy::exec {
namespace {

const char* const kForeignNames[] = {"instance", "deep", "path", "clevel", "level", "before"};
const char* const kListNames[] = {"instances", "deep", "path", "clevel", "level", "before"};

// One load: the arguments every recursive call passes on.
struct Load {
    PyObject* self;
    PyObject* instance;
    PyObject* path;      // dict
    bool deep;
    int clevel;          // after the level bookkeeping
    int level;
};

// How many of the interpreter's C recursion units one level of deep loading
// stands for. Each level nests findForeignKey, the loop over the relations,
// one relation's load and the recursive call on the C stack: ~600 bytes
// optimised, against the interpreter's budget of about 800 bytes per unit.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kLevelUnits = 4;
#elif !defined(__OPTIMIZE__)
constexpr int kLevelUnits = 2;
#else
constexpr int kLevelUnits = 1;
#endif

// exc.findForeignKey is this module's own method: an exact ModelExecutor
// (immutable static type) whose attribute dictionary does not hide it.
int native_find_foreign_key(PyObject* exc) noexcept {
    if (!Py_IS_TYPE(exc, &ModelExecutorType)) return 0;
    int hidden = in_instance_dict(exc, names().findForeignKey);
    return hidden < 0 ? -1 : !hidden;
}

// exc.findForeignKey(row, deep=True, path=..., clevel=..., level=...[, before=...]).
bool recurse(const Load& load, PyObject* exc, PyObject* row, PyObject* before) noexcept {
    int native = native_find_foreign_key(exc);
    if (native < 0) return false;
    if (native) {
        // What the call's argument parsing would check of these values.
        if (!check_arg(row, bound.model->ModelInstance, "instance")) return false;
        return bool(steal(find_foreign_key(exc, row, true, load.path, load.clevel, load.level,
                                           before ? before : Py_None)));
    }
    Ref clevel = steal(PyLong_FromLong(load.clevel));
    Ref level = steal(PyLong_FromLong(load.level));
    if (!clevel || !level) return false;
    PyObject* args[] = {row, Py_True, load.path, clevel.get(), level.get(), before};
    PyObject* kwnames = before ? names().kw_foreign_before : names().kw_foreign_deep;
    return bool(call_method_kw(exc, names().findForeignKey, args, 1, kwnames));
}

bool check_executor(PyObject* exc) noexcept { return check_convert(exc, &ModelExecutorType); }

}  // namespace

// path[table] holds key: 1, 0, or -1.
int cached(PyObject* path, PyObject* table, PyObject* key) noexcept {
    PyObject* entries = PyDict_GetItemWithError(path, table);
    if (!entries) return PyErr_Occurred() ? -1 : 0;
    Ref held = borrow(entries);
    return PySequence_Contains(held.get(), key);
}

Ref cached_value(PyObject* path, PyObject* table, PyObject* key) noexcept {
    Ref entries = steal(PyObject_GetItem(path, table));
    if (!entries) return {};
    return steal(PyObject_GetItem(entries.get(), key));
}

bool log_cache_hit(PyObject* fk_name) noexcept {
    const Names& n = names();
    Ref name = steal(PyObject_Str(fk_name));
    Ref head = name ? steal(PyUnicode_Concat(n.cache_hit_head, name.get())) : Ref();
    Ref text = head ? steal(PyUnicode_Concat(head.get(), n.cache_hit_tail)) : Ref();
    return text && call_method(bound.logger, n.info, text.get());
}

// path[table][key] = value, making path[table] when missing.
bool register_result(PyObject* path, PyObject* table, PyObject* key, PyObject* value) noexcept {
    Ref entries = borrow(PyDict_GetItemWithError(path, table));
    if (entries) return PyObject_SetItem(entries.get(), key, value) == 0;
    if (PyErr_Occurred()) return false;
    Ref fresh = steal(PyDict_New());
    if (!fresh || PyDict_SetItem(fresh.get(), key, value) < 0) return false;
    return PyDict_SetItem(path, table, fresh.get()) == 0;
}

namespace {

bool load_many_to_many(const Load& load, PyObject* fk, PyObject* fk_name) noexcept {
    const Names& n = names();
    Ref far = attr(fk, n.directTarget);
    Ref table = far ? attr(far.get(), n.tableName) : Ref();
    Ref bind_name = attr2(fk, n.bindCol, n.name);
    Ref key = bind_name ? steal(PyObject_GetItem(load.instance, bind_name.get())) : Ref();
    if (!table || !key) return false;
    int hit = cached(load.path, table.get(), key.get());
    if (hit < 0) return false;
    if (hit) {
        if (!log_cache_hit(fk_name)) return false;
        Ref value = cached_value(load.path, table.get(), key.get());
        return value && PyObject_SetItem(load.instance, fk_name, value.get()) == 0;
    }
    Ref exc = related_executor(load.self, far.get());
    if (!exc || !check_executor(exc.get())) return false;
    // The join goes on the new executor's pending builder; its findAllBy keeps
    // that builder because nothing has run on it yet.
    Ref owner_table = attr2(fk, n.owner, n.tableName);
    Ref far_relation = owner_table ? steal(PyObject_GetAttr(far.get(), owner_table.get())) : Ref();
    Ref builder = far_relation ? attr(exc.get(), n.sql) : Ref();
    if (!builder || !call_method(builder.get(), n.join, far_relation.get())) return false;
    Ref middle = attr(fk, n.middleModel);
    Ref column_name = steal(PyNumber_Add(owner_table.get(), n._id));
    Ref junction_col = middle && column_name ? steal(PyObject_GetAttr(middle.get(), column_name.get())) : Ref();
    Ref condition = junction_col ? equals(junction_col.get(), key.get()) : Ref();
    Ref rows = condition ? call_method(exc.get(), n.findAllBy, condition.get()) : Ref();
    if (!rows || PyObject_SetItem(load.instance, fk_name, rows.get()) < 0) return false;
    Ref stored = steal(PyObject_GetItem(load.instance, fk_name));
    if (!stored || !register_result(load.path, table.get(), key.get(), stored.get())) return false;
    if (!load.deep) return true;
    Py_ssize_t count = PyObject_Length(stored.get());
    if (count <= 0) return count == 0;
    Ref first = steal(PySequence_GetItem(stored.get(), 0));
    Ref first_model = first ? attr(first.get(), n.object) : Ref();
    Ref row_exc = first_model ? related_executor(load.self, first_model.get()) : Ref();
    if (!row_exc || !check_executor(row_exc.get())) return false;
    Ref own_table = attr(as_executor(load.self)->model, n.tableName);
    if (!own_table) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref row = steal(PySequence_GetItem(stored.get(), i));
        if (!row || !check_convert(row.get(), bound.model->ModelInstance)) return false;
        if (!recurse(load, row_exc.get(), row.get(), own_table.get())) return false;
    }
    return true;
}

// One-to-one, one-to-many and any other kind but many-to-many.
bool load_direct(const Load& load, PyObject* fk, PyObject* fk_name, PyObject* kind, const Kinds& kinds) noexcept {
    const Names& n = names();
    Ref target = attr(fk, n.target);
    Ref table = target ? attr(target.get(), n.tableName) : Ref();
    Ref bind_name = attr2(fk, n.bindCol, n.name);
    Ref key = bind_name ? steal(PyObject_GetItem(load.instance, bind_name.get())) : Ref();
    if (!table || !key) return false;
    int is_one = is_kind(kind, kinds.one_to_one.get());
    int is_many = is_kind(kind, kinds.one_to_many.get());
    if (is_one < 0 || is_many < 0) return false;
    int hit = cached(load.path, table.get(), key.get());
    if (hit < 0) return false;
    // A relation to the executor's own model is always queried.
    if (hit && target.get() != as_executor(load.self)->model) {
        Ref value = cached_value(load.path, table.get(), key.get());
        if (!value) return false;
        if (!PyList_Check(value.get()) && is_many) {
            Ref wrapped = steal(PyList_New(1));
            if (!wrapped) return false;
            PyList_SET_ITEM(wrapped.get(), 0, value.release());
            value = std::move(wrapped);
        }
        return PyObject_SetItem(load.instance, fk_name, value.get()) == 0;
    }
    Ref target_bind = attr(fk, n.targetBindCol);
    Ref condition = target_bind ? equals(target_bind.get(), key.get()) : Ref();
    Ref exc = condition ? related_executor(load.self, target.get()) : Ref();
    Ref rows = exc ? call_method(exc.get(), n.findAllBy, condition.get()) : Ref();
    if (!rows || !check_convert(rows.get(), bound.model->InstanceList)) return false;
    int found = truth(rows.get());
    if (found < 0) return false;
    Ref own_table = attr(as_executor(load.self)->model, n.tableName);
    if (!own_table) return false;
    if (found && is_one) {
        Ref first = steal(PySequence_GetItem(rows.get(), 0));
        if (!first || PyObject_SetItem(load.instance, fk_name, first.get()) < 0) return false;
        if (!load.deep) return true;
        Ref row = steal(PyObject_GetItem(load.instance, fk_name));
        Ref row_model = row ? attr(row.get(), n.object) : Ref();
        Ref row_exc = row_model ? related_executor(load.self, row_model.get()) : Ref();
        return row_exc && recurse(load, row_exc.get(), row.get(), own_table.get());
    }
    if (found && is_many) {
        Ref first = steal(PySequence_GetItem(rows.get(), 0));
        Ref first_model = first ? attr(first.get(), n.object) : Ref();
        Ref row_exc = first_model ? related_executor(load.self, first_model.get()) : Ref();
        if (!row_exc || !check_executor(row_exc.get())) return false;
        if (PyObject_SetItem(load.instance, fk_name, rows.get()) < 0) return false;
        if (!load.deep) return true;
        Py_ssize_t count = PyObject_Length(rows.get());
        if (count < 0) return false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref row = steal(PySequence_GetItem(rows.get(), i));
            if (!row || !recurse(load, row_exc.get(), row.get(), nullptr)) return false;
        }
        return true;
    }
    return PyObject_SetItem(load.instance, fk_name, is_one ? Py_None : rows.get()) == 0;
}

}  // namespace

// False: skip this relation (its far table is `before`).
int leads_back(PyObject* fk, PyObject* before) noexcept {
    if (before == Py_None) return 0;
    Ref table = attr2(fk, names().directTarget, names().tableName);
    if (!table) return -1;
    return PyObject_RichCompareBool(before, table.get(), Py_EQ);
}

namespace {

bool load_relations(const Load& load, PyObject* before) noexcept {
    Kinds kinds;
    Ref fks = attr(as_executor(load.self)->model, names().fk);
    Ref iter = fks ? steal(PyObject_GetIter(fks.get())) : Ref();
    if (!iter) return false;
    kinds.many_to_many = borrow(bound.MANY_TO_MANY);
    kinds.one_to_one = borrow(bound.ONE_TO_ONE);
    kinds.one_to_many = borrow(bound.ONE_TO_MANY);
    while (Ref fk = steal(PyIter_Next(iter.get()))) {
        int skip = leads_back(fk.get(), before);
        if (skip < 0) return false;
        if (skip) continue;
        Ref kind = attr(fk.get(), names().Type);
        Ref fk_name = attr(fk.get(), names().name);
        if (!kind || !fk_name) return false;
        int many = is_kind(kind.get(), kinds.many_to_many.get());
        if (many < 0) return false;
        bool ok = many ? load_many_to_many(load, fk.get(), fk_name.get())
                       : load_direct(load, fk.get(), fk_name.get(), kind.get(), kinds);
        if (!ok) return false;
    }
    return !PyErr_Occurred();
}

// The common argument checks; fills `out` (borrowed, None for defaults).
bool parse_foreign(const char* func, const char* const* param_names, Py_ssize_t required, PyTypeObject* first_type,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out, int* clevel,
                   int* level) {
    const Params params{func, param_names, 6, required};
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
    if (!parse_foreign("findForeignKey", kForeignNames, 1, bound.model->ModelInstance, args, nargs, kwnames, a,
                       &clevel, &level)) {
        return nullptr;
    }
    int deep = a[1] ? truth(a[1]) : 0;
    if (deep < 0) return nullptr;
    return find_foreign_key(self, a[0], deep != 0, a[2], clevel, level, a[5]);
}

PyObject* find_foreign_key(PyObject* self, PyObject* instance_arg, bool deep, PyObject* path_arg, int clevel,
                           int level, PyObject* before_arg) noexcept {
    Ref path = path_arg == Py_None ? steal(PyDict_New()) : borrow(path_arg);
    if (!path) return nullptr;
    Ref instance = borrow(instance_arg);
    Ref before = borrow(before_arg);
    if (deep) {
        if (clevel == 1) {
            Ref model = borrow(as_executor(self)->model);
            Ref table = attr(model.get(), names().tableName);
            Ref pk_name = attr(model.get(), names().pkName);
            Ref key = pk_name ? steal(PyObject_GetItem(instance.get(), pk_name.get())) : Ref();
            Ref own = steal(PyDict_New());
            if (!table || !key || !own || PyDict_SetItem(own.get(), key.get(), instance.get()) < 0) return nullptr;
            if (PyObject_SetItem(path.get(), table.get(), own.get()) < 0) return nullptr;
            ++clevel;
        } else if (++clevel > level) {
            Py_RETURN_NONE;
        }
    }
    // A row that is its own parent, or a long chain with a high `level`, ends
    // in RecursionError instead of overflowing the C stack.
    LevelRoom room(kLevelUnits);
    if (!room.entered()) return nullptr;
    Load load{self, instance.get(), path.get(), deep, clevel, level};
    if (!load_relations(load, before.get())) return nullptr;
    return instance.release();
}

PyObject* findListForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[6];
    int clevel, level;
    if (!parse_foreign("findListForeignKey", kListNames, 1, bound.model->InstanceList, args, nargs, kwnames, a,
                       &clevel, &level)) {
        return nullptr;
    }
    Ref path = a[2] == Py_None ? steal(PyDict_New()) : borrow(a[2]);
    Ref instances = borrow(a[0]);
    if (!path) return nullptr;
    Py_ssize_t count = PyObject_Length(instances.get());
    if (count < 0) return nullptr;
    Load load{self, nullptr, path.get(), true, clevel, level};
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref row = steal(PySequence_GetItem(instances.get(), i));
        if (!row || !recurse(load, self, row.get(), nullptr)) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace tsy::exec
