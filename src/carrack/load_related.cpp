// findForeignKey / findListForeignKey of both executors: attach the rows
// related to instances, from the per-load cache `path` or through executors
// of the related models, recursively when `deep`, bounded by clevel/level and
// by the table not to go back to (`before`).
//
// A level of a load is one plan (Level) that names the calls to make in
// turn: the query of each relation, then the load of each row it brought one
// level down. Two short drivers run it: the synchronous executor's takes
// every call's result as it returns and recurses on the C stack; the
// coroutine executor's awaits every call. Where the two executors answer
// differently, the plan asks their rules (executor_rules.hpp).
//
// A plan rather than one coroutine body run to its end for the synchronous
// executor: that body costs a coroutine object, its frame and a send per
// level, and a load has about as many levels as rows (eleven per query in
// benchmark W6, where it made the synchronous side run 11 % more
// instructions than this plan).
#include "async.hpp"
#include "executor_rules.hpp"

namespace tsy::exec {
namespace {

// `only` is keyword-only: the positional parameters stop before it.
const char* const kForeignNames[] = {"instance", "deep", "path", "clevel", "level", "before", "only"};
const char* const kListNames[] = {"instances", "deep", "path", "clevel", "level", "before", "only"};
constexpr Py_ssize_t kPositional = 6;

// ("deep", "path", "clevel", "level", "only"): a list's row load with a choice of relations.
PyObject* kw_foreign_only() noexcept {
    static PyObject* kwnames = Py_BuildValue("(sssss)", "deep", "path", "clevel", "level", "only");
    return kwnames;
}

// exc.findForeignKey(row, deep=True, path=..., clevel=..., level=...[, before=...][, only=...])
// through attribute lookup: its result, or its awaitable. `only` comes
// without `before` (a list's own rows).
Ref call_find_foreign_key(PyObject* exc, PyObject* row, PyObject* path, int clevel, int level, PyObject* before,
                          PyObject* only) noexcept {
    Ref clevel_obj = steal(PyLong_FromLong(clevel));
    Ref level_obj = steal(PyLong_FromLong(level));
    if (!clevel_obj || !level_obj) return {};
    PyObject* after_level = before ? before : only;
    PyObject* args[] = {row, Py_True, path, clevel_obj.get(), level_obj.get(), after_level};
    PyObject* kwnames = before ? names().kw_foreign_before : only ? kw_foreign_only() : names().kw_foreign_deep;
    if (!kwnames) return {};
    return call_method_kw(exc, names().findForeignKey, args, 1, kwnames);
}

PyObject* load_instance(PyObject* self, PyObject* instance, bool deep, PyObject* path, int clevel, int level_limit,
                        PyObject* before, PyObject* only) noexcept;

// exc.findForeignKey is this module's own method: an exact ModelExecutor
// (immutable static type) whose attribute dictionary does not hide it.
int native_find_foreign_key(PyObject* exc) noexcept {
    if (!Py_IS_TYPE(exc, &ModelExecutorType)) return 0;
    int hidden = in_instance_dict(exc, names().findForeignKey);
    return hidden < 0 ? -1 : !hidden;
}

// The synchronous executor's load of a row: the native function called
// directly when the call would reach it, with the checks its argument
// parsing would make of these values.
Ref load_row_now(PyObject* exc, PyObject* row, PyObject* path, int clevel, int level, PyObject* before,
                 PyObject* only) noexcept {
    int native = native_find_foreign_key(exc);
    if (native < 0) return {};
    if (!native) return call_find_foreign_key(exc, row, path, clevel, level, before, only);
    if (!check_arg(row, bound.model->ModelInstance, "instance")) return {};
    return steal(load_instance(exc, row, true, path, clevel, level, before ? before : Py_None, only));
}

// What an executor kind brings to a load.
struct LoadingExecutor {
    const ExecutorRules* rules;
    // The type the executors of related rows must have.
    PyTypeObject* type;
    // A row's load one level down: its result, or its awaitable.
    Ref (*load_row)(PyObject* exc, PyObject* row, PyObject* path, int clevel, int level, PyObject* before,
                    PyObject* only) noexcept;
};

const LoadingExecutor kSyncLoading{&kSyncRules, &ModelExecutorType, load_row_now};
const LoadingExecutor kAsyncLoading{&kAsyncRules, &AsyncModelExecutorType, call_find_foreign_key};

// How deep a load goes: `clevel` the level being loaded, `level` the last one.
struct Depth {
    bool deep;
    int clevel;
    int level;
};

// 1 when instance.get(fk.bindCol.name) is missing or None, 0 if not, -1 on error.
int unbound(PyObject* fk, PyObject* instance) noexcept {
    Ref bind_name = attr2(fk, names().bindCol, names().name);
    Ref value = bind_name ? call_method(instance, names().get, bind_name.get()) : Ref();
    if (!value) return -1;
    return value.get() == Py_None;
}

// row.object.getExecutor(), on self's connection when it is bound to one.
Ref executor_of_row(PyObject* self, PyObject* row) noexcept {
    Ref row_model = attr(row, names().object);
    return row_model ? related_executor(self, row_model.get()) : Ref();
}

// One level of a load: the relations of the executor's model on one
// instance, or (a list load) the rows of a list, each loaded one level down.
// The driver asks next() for a call to make and hands its result (awaited on
// the coroutine executor) to take(). The references the driver passes in
// are its own: the coroutine executor keeps them as parameters of its frame,
// where the garbage collector sees them.
class Level {
public:
    Level(const LoadingExecutor& executor, PyObject* self, PyObject* instance, PyObject* before, Ref& path, Ref& fks,
          Ref& rows, Ref& row_exc, Depth depth) noexcept
        : ex_(executor), self_(self), instance_(instance), before_(before), path_(path), fks_(fks), rows_(rows),
          row_exc_(row_exc), depth_(depth) {}

    // A fresh cache when `path` is None; for a deep load, the root registered
    // under its table, or the level limit applied. 1: the level runs, 0: the
    // limit is reached, -1: error.
    int open() noexcept {
        if (!fresh_path()) return -1;
        if (!depth_.deep) return 1;
        if (depth_.clevel != 1) return ++depth_.clevel > depth_.level ? 0 : 1;
        Ref model = borrow(as_executor(self_)->model);
        Ref table = attr(model.get(), names().tableName);
        Ref pk_name = attr(model.get(), names().pkName);
        Ref key = pk_name ? steal(PyObject_GetItem(instance_, pk_name.get())) : Ref();
        Ref own = steal(PyDict_New());
        if (!table || !key || !own || PyDict_SetItem(own.get(), key.get(), instance_) < 0) return -1;
        if (PyObject_SetItem(path_.get(), table.get(), own.get()) < 0) return -1;
        ++depth_.clevel;
        return 1;
    }

    // The relations of the executor's model, as they are now; those `only`
    // names when it is given (a tuple checked by chosen_relations).
    bool read_relations(PyObject* only = nullptr) noexcept {
        Ref declared = attr(as_executor(self_)->model, names().fk);
        fks_ = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
        if (!fks_ || !only || only == Py_None) return bool(fks_);
        Ref kept = steal(PyList_New(0));
        if (!kept) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks_.get()); ++i) {
            PyObject* fk = PyTuple_GET_ITEM(fks_.get(), i);
            int chosen = is_chosen(fk, only);
            if (chosen < 0 || (chosen && PyList_Append(kept.get(), fk) < 0)) return false;
        }
        fks_ = steal(PyList_AsTuple(kept.get()));
        return bool(fks_);
    }

    // A list load: every row of `rows` loaded by the executor itself, one
    // after the other, sharing one cache; `only` (or NULL) passed to each.
    bool open_list(PyObject* only) noexcept {
        if (!fresh_path()) return false;
        Py_ssize_t count = PyObject_Length(rows_.get());
        if (count < 0) return false;
        row_exc_ = borrow(self_);
        walk(count, Ref(), false);
        if (only != Py_None) rows_only_ = only;
        return true;
    }

    // 1 with `call` the result (or awaitable) of the next call, 0 when the
    // level is done, -1 on error.
    int next(Ref* call) noexcept {
        if (next_row_ < row_count_) return load_next_row(call);
        while (fks_ && relation_ < PyTuple_GET_SIZE(fks_.get())) {
            int queried = query(PyTuple_GET_ITEM(fks_.get(), relation_++), call);
            if (queried != 0) return queried;
        }
        return 0;
    }

    // The result of the call next() made (NULL: it failed, its error set).
    bool take(Ref result) noexcept {
        if (!result) return false;
        if (!awaiting_rows_) return true;  // a row's load: its result is not used
        awaiting_rows_ = false;
        return kind_ == Kind::many_to_many ? attach_many_to_many(std::move(result)) : attach_direct(std::move(result));
    }

private:
    enum class Kind : unsigned char { many_to_many, one_to_one, one_to_many, other };

    const ExecutorRules& rules() const noexcept { return *ex_.rules; }

    bool fresh_path() noexcept {
        if (path_.get() == Py_None) path_ = steal(PyDict_New());
        return bool(path_);
    }

    void walk(Py_ssize_t count, Ref before, bool check_rows) noexcept {
        rows_only_ = nullptr;
        row_count_ = count;
        next_row_ = 0;
        rows_before_ = std::move(before);
        check_rows_ = check_rows;
    }

    int load_next_row(Ref* call) noexcept {
        Ref row = steal(PySequence_GetItem(rows_.get(), next_row_++));
        if (!row) return -1;
        if (check_rows_ && !check_convert(row.get(), bound.model->ModelInstance)) return -1;
        *call = ex_.load_row(row_exc_.get(), row.get(), path_.get(), depth_.clevel, depth_.level, rows_before_.get(),
                             rows_only_);
        return *call ? 1 : -1;
    }

    // One relation: 1 with `call` its query, 0 when it needs none (skipped,
    // or answered from the cache), -1 on error.
    int query(PyObject* fk, Ref* call) noexcept {
        walk(0, Ref(), false);
        int skip = leads_back(fk, before_);
        if (skip == 0 && rules().skip_unbound_relation) skip = unbound(fk, instance_);
        if (skip) return skip < 0 ? -1 : 0;
        Ref kind = attr(fk, names().Type);
        fk_name_ = attr(fk, names().name);
        if (!kind || !fk_name_ || !read_kind(kind.get())) return -1;
        int queried = kind_ == Kind::many_to_many ? query_many_to_many(fk, call) : query_direct(fk, call);
        awaiting_rows_ = queried > 0;
        return queried;
    }

    bool read_kind(PyObject* kind) noexcept {
        int many = is_kind(kind, bound.MANY_TO_MANY);
        if (many) {
            kind_ = Kind::many_to_many;
            return many > 0;
        }
        int one = is_kind(kind, bound.ONE_TO_ONE);
        int to_many = one == 0 ? is_kind(kind, bound.ONE_TO_MANY) : 0;
        if (one < 0 || to_many < 0) return false;
        kind_ = one ? Kind::one_to_one : to_many ? Kind::one_to_many : Kind::other;
        return true;
    }

    // Whether the relation's result is cached, under table = <far
    // model>.tableName and key = instance[fk.bindCol.name]: 1, 0, or -1.
    int look_up(PyObject* fk, PyObject* far) noexcept {
        if (!far) return -1;
        table_ = attr(far, names().tableName);
        Ref bind_name = attr2(fk, names().bindCol, names().name);
        key_ = bind_name ? steal(PyObject_GetItem(instance_, bind_name.get())) : Ref();
        if (!table_ || !key_) return -1;
        return cached(path_.get(), table_.get(), key_.get());
    }

    bool attach_cached(bool wrap) noexcept {
        Ref value = cached_value(path_.get(), table_.get(), key_.get());
        if (!value) return false;
        if (wrap && !PyList_Check(value.get())) {
            Ref wrapped = steal(PyList_New(1));
            if (!wrapped) return false;
            PyList_SET_ITEM(wrapped.get(), 0, value.release());
            value = std::move(wrapped);
        }
        return PyObject_SetItem(instance_, fk_name_.get(), value.get()) == 0;
    }

    int query_many_to_many(PyObject* fk, Ref* call) noexcept {
        const Names& n = names();
        Ref far = attr(fk, n.directTarget);
        int hit = look_up(fk, far.get());
        if (hit < 0) return -1;
        // A relation of a model with itself is always queried, and its rows
        // are not cached: the cache holds the loading rows under that table.
        own_rows_ = far.get() == as_executor(self_)->model;
        if (hit && !own_rows_) {
            return log_cache_hit(fk_name_.get()) && attach_cached(rules().wrap_cached_many_to_many) ? 0 : -1;
        }
        Ref exc = related_executor(self_, far.get());
        if (!exc || !check_convert(exc.get(), ex_.type)) return -1;
        // The join goes on the new executor's pending builder; its findAllBy
        // keeps that builder because nothing has run on it yet.
        JunctionRoute route;
        if (!route.load(fk)) return -1;
        Ref builder = attr(exc.get(), n.sql);
        if (!builder || !call_method(builder.get(), n.join, route.far_relation.get())) return -1;
        Ref condition = equals(route.owner_column.get(), key_.get());
        *call = condition ? call_method(exc.get(), n.findAllBy, condition.get()) : Ref();
        return *call ? 1 : -1;
    }

    bool attach_many_to_many(Ref found) noexcept {
        if (PyObject_SetItem(instance_, fk_name_.get(), found.get()) < 0) return false;
        rows_ = steal(PyObject_GetItem(instance_, fk_name_.get()));
        if (!rows_) return false;
        if (!own_rows_ && !register_result(path_.get(), table_.get(), key_.get(), rows_.get())) return false;
        if (!depth_.deep) return true;
        Py_ssize_t count = PyObject_Length(rows_.get());
        if (count <= 0) return count == 0;
        Ref first = steal(PySequence_GetItem(rows_.get(), 0));
        row_exc_ = first ? executor_of_row(self_, first.get()) : Ref();
        if (!row_exc_ || !check_convert(row_exc_.get(), ex_.type)) return false;
        Ref own_table = attr(as_executor(self_)->model, names().tableName);
        if (!own_table) return false;
        walk(count, std::move(own_table), true);
        return true;
    }

    // One-to-one, one-to-many and any other kind but many-to-many.
    int query_direct(PyObject* fk, Ref* call) noexcept {
        const Names& n = names();
        Ref target = attr(fk, n.target);
        int hit = look_up(fk, target.get());
        if (hit < 0) return -1;
        // A relation to the executor's own model is always queried.
        if (hit && target.get() != as_executor(self_)->model) {
            bool wrap = kind_ == Kind::one_to_many && rules().wrap_cached_one_to_many;
            return attach_cached(wrap) ? 0 : -1;
        }
        Ref target_bind = attr(fk, n.targetBindCol);
        Ref condition = target_bind ? equals(target_bind.get(), key_.get()) : Ref();
        Ref exc = condition ? related_executor(self_, target.get()) : Ref();
        *call = exc ? call_method(exc.get(), n.findAllBy, condition.get()) : Ref();
        return *call ? 1 : -1;
    }

    bool attach_direct(Ref found) noexcept {
        if (!check_convert(found.get(), bound.model->InstanceList)) return false;
        int any = truth(found.get());
        if (any < 0) return false;
        Ref own_table = attr(as_executor(self_)->model, names().tableName);
        if (!own_table) return false;
        Ref first = any ? steal(PySequence_GetItem(found.get(), 0)) : borrow(Py_None);
        if (!first) return false;
        int takes_first = 1;
        if (rules().one_to_one_needs_truthy_row) {
            takes_first = truth(first.get());
            if (takes_first < 0) return false;
        }
        if (any && kind_ == Kind::one_to_one && takes_first) return attach_one(first.get(), std::move(own_table));
        if (any && kind_ == Kind::one_to_many) return attach_many(std::move(found), first.get());
        if (rules().unloaded_entry_untouched) return true;
        return PyObject_SetItem(instance_, fk_name_.get(), kind_ == Kind::one_to_one ? Py_None : found.get()) == 0;
    }

    bool attach_one(PyObject* first, Ref own_table) noexcept {
        if (PyObject_SetItem(instance_, fk_name_.get(), first) < 0) return false;
        if (!depth_.deep) return true;
        Ref row = steal(PyObject_GetItem(instance_, fk_name_.get()));
        row_exc_ = row ? executor_of_row(self_, row.get()) : Ref();
        rows_ = row_exc_ ? steal(PyTuple_Pack(1, row.get())) : Ref();
        if (!rows_) return false;
        walk(1, std::move(own_table), false);
        return true;
    }

    bool attach_many(Ref found, PyObject* first) noexcept {
        row_exc_ = executor_of_row(self_, first);
        if (!row_exc_ || !check_convert(row_exc_.get(), ex_.type)) return false;
        if (PyObject_SetItem(instance_, fk_name_.get(), found.get()) < 0) return false;
        if (!depth_.deep) return true;
        Py_ssize_t count = PyObject_Length(found.get());
        if (count < 0) return false;
        rows_ = std::move(found);
        walk(count, Ref(), false);
        return true;
    }

    // The coroutine executor keeps a Level in its frame, one frame per row of
    // a load: the members are packed (the small ones last) so that the frame
    // stays within the 512 bytes of the interpreter's small-object allocator;
    // a larger frame goes to malloc and back on every row.
    const LoadingExecutor& ex_;
    PyObject* self_;
    PyObject* instance_;
    PyObject* before_;   // None or the table whose relations are skipped
    Ref& path_;          // the per-load cache (a dict)
    Ref& fks_;           // tuple of the model's relations; empty Ref for a list load
    Ref& rows_;          // the rows loaded one level down
    Ref& row_exc_;       // their executor
    // The next relation to query; the one being loaded is named by fk_name_.
    Py_ssize_t relation_ = 0;
    Ref fk_name_, table_, key_;
    // The walk over rows_.
    Py_ssize_t row_count_ = 0;
    Py_ssize_t next_row_ = 0;
    Ref rows_before_;  // the table their loads skip, or empty
    PyObject* rows_only_ = nullptr;  // a list's rows: the relations they load (the caller holds it), or NULL
    Depth depth_;
    Kind kind_ = Kind::other;
    bool awaiting_rows_ = false;  // the pending call is the relation's query
    bool check_rows_ = false;     // the rows of the walk are checked to be model instances
    bool own_rows_ = false;       // the many-to-many being loaded leads to the executor's own model
};

// How many of the interpreter's C recursion units one synchronous level
// stands for. Each level nests find_foreign_key, the driver, the plan's step
// and the row's load on the C stack: ~600 bytes optimised, against the
// interpreter's budget of about 800 bytes per unit.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kLevelUnits = 4;
#elif !defined(__OPTIMIZE__)
constexpr int kLevelUnits = 2;
#else
constexpr int kLevelUnits = 1;
#endif

// The synchronous driver: every call's result is there when it returns.
bool run_now(Level& level) noexcept {
    Ref result;
    int more;
    while ((more = level.next(&result)) > 0) {
        if (!level.take(std::move(result))) return false;
    }
    return more == 0;
}

// The argument checks of both methods; fills `out` (borrowed, None for the
// optional objects).
// `only` (out[6]) becomes None or the checked tuple, held by `only`.
bool parse_foreign(const char* func, const char* const* param_names, PyTypeObject* first_type, PyObject* self,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out, Depth* depth,
                   Ref* only) {
    const Params params{func, param_names, 7, 1};
    if (nargs > kPositional) {
        arg_count_error(func, 1, kPositional, nargs);
        return false;
    }
    if (!parse(params, args, nargs, kwnames, out)) return false;
    for (int i : {2, 5, 6}) {
        if (!out[i]) out[i] = Py_None;
    }
    if (!check_arg(out[0], first_type, param_names[0]) || !check_arg(out[2], &PyDict_Type, "path") ||
        !check_arg(out[5], &PyUnicode_Type, "before")) {
        return false;
    }
    *only = chosen_relations(func, as_executor(self)->model, out[6]);
    if (!*only) return false;
    out[6] = only->get();
    depth->deep = true;  // a list load is always deep, whatever `deep` says
    depth->clevel = 1;
    depth->level = 3;
    return (!out[3] || to_int(out[3], &depth->clevel)) && (!out[4] || to_int(out[4], &depth->level));
}

// findListForeignKey's arguments (its `deep` is not read).
bool parse_find_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                     Depth* depth, Ref* only) {
    return parse_foreign("findListForeignKey", kListNames, bound.model->InstanceList, self, args, nargs, kwnames, out,
                         depth, only);
}

// findForeignKey's arguments: the common checks, then `deep` as a truth value.
bool parse_find_foreign_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject** out, Depth* depth, Ref* only) {
    if (!parse_foreign("findForeignKey", kForeignNames, bound.model->ModelInstance, self, args, nargs, kwnames, out,
                       depth, only)) {
        return false;
    }
    int deep = out[1] ? truth(out[1]) : 0;
    depth->deep = deep > 0;
    return deep >= 0;
}

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

int leads_back(PyObject* fk, PyObject* before) noexcept {
    if (before == Py_None) return 0;
    Ref table = attr2(fk, names().directTarget, names().tableName);
    if (!table) return -1;
    return PyObject_RichCompareBool(before, table.get(), Py_EQ);
}

// --- the synchronous executor --------------------------------------------------

PyObject* find_foreign_key(PyObject* self, PyObject* instance_arg, bool deep, PyObject* path_arg, int clevel,
                           int level_limit, PyObject* before_arg) noexcept {
    return load_instance(self, instance_arg, deep, path_arg, clevel, level_limit, before_arg, nullptr);
}

namespace {

// find_foreign_key with `only`: NULL or None loads every relation.
PyObject* load_instance(PyObject* self, PyObject* instance_arg, bool deep, PyObject* path_arg, int clevel,
                        int level_limit, PyObject* before_arg, PyObject* only_arg) noexcept {
    Ref instance = borrow(instance_arg);
    Ref only = borrow(only_arg ? only_arg : Py_None);
    Ref before = borrow(before_arg);
    Ref path = borrow(path_arg), fks, rows, row_exc;
    Level level(kSyncLoading, self, instance.get(), before.get(), path, fks, rows, row_exc, {deep, clevel, level_limit});
    int go_on = level.open();
    if (go_on <= 0) return go_on < 0 ? nullptr : Py_NewRef(Py_None);
    // A row that is its own parent, or a long chain with a high `level`, ends
    // in RecursionError instead of overflowing the C stack.
    LevelRoom room(kLevelUnits);
    if (!room.entered() || !level.read_relations(only.get()) || !run_now(level)) return nullptr;
    return instance.release();
}

}  // namespace

PyObject* findForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[7];
    Depth depth;
    Ref only;
    if (!parse_find_foreign_key(self, args, nargs, kwnames, a, &depth, &only)) return nullptr;
    return load_instance(self, a[0], depth.deep, a[2], depth.clevel, depth.level, a[5], only.get());
}

PyObject* findListForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[7];
    Depth depth;
    Ref only;
    if (!parse_find_list(self, args, nargs, kwnames, a, &depth, &only)) return nullptr;
    Ref path = borrow(a[2]), fks, rows = borrow(a[0]), row_exc;
    Level level(kSyncLoading, self, nullptr, Py_None, path, fks, rows, row_exc, depth);
    if (!level.open_list(only.get()) || !run_now(level)) return nullptr;
    Py_RETURN_NONE;
}

// --- the coroutine executor ------------------------------------------------------

namespace async {
namespace {

// Opens a level for the coroutine driver: 1 when it runs, 0 when the level
// limit is reached, -1 on error. Outside the coroutine so that what it needs
// takes no room in the frame.
int open_level(Level& level, bool list, PyObject* only) noexcept {
    if (list) return level.open_list(only) ? 1 : -1;
    int go_on = level.open();
    if (go_on <= 0) return go_on;
    // The coroutines' own frames are bounded by the driver of Tessary._coro;
    // this makes sure the level's statements have room to run.
    LevelRoom room(0);
    return room.entered() && level.read_relations(only) ? 1 : -1;
}

// The coroutine driver: every call awaited in turn. A list load when
// `instance` is empty (its rows in `rows`), a level of one instance otherwise.
coro::Task load_task(Ref self, Ref instance, Ref path, Ref before, Ref rows, Depth depth, Ref only,
                     Ref fks = nullptr, Ref row_exc = nullptr) {
    Level level(kAsyncLoading, self.get(), instance.get(), before.get(), path, fks, rows, row_exc, depth);
    int more = open_level(level, !instance, only.get());
    if (more <= 0) co_return more < 0 ? Ref() : borrow(Py_None);
    Ref call;
    while ((more = level.next(&call)) > 0) {
        if (!level.take(co_await coro::await(std::move(call)))) co_return nullptr;
    }
    if (more < 0) co_return nullptr;
    co_return instance ? std::move(instance) : borrow(Py_None);
}

}  // namespace

PyObject* findForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[7];
    Depth depth;
    Ref only;
    if (!parse_find_foreign_key(self, args, nargs, kwnames, a, &depth, &only)) return nullptr;
    return coroutine(load_task(borrow(self), borrow(a[0]), borrow(a[2]), borrow(a[5]), nullptr, depth,
                               std::move(only)),
                     "findForeignKey", "AsyncModelExecutor.findForeignKey");
}

PyObject* findListForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[7];
    Depth depth;
    Ref only;
    if (!parse_find_list(self, args, nargs, kwnames, a, &depth, &only)) return nullptr;
    return coroutine(load_task(borrow(self), nullptr, borrow(a[2]), borrow(Py_None), borrow(a[0]), depth,
                               std::move(only)),
                     "findListForeignKey", "AsyncModelExecutor.findListForeignKey");
}

}  // namespace async
}  // namespace tsy::exec
