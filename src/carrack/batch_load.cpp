// findListForeignKeyIn: the batched loader both executors share (see
// batch_load.hpp), and the synchronous executor's method.
#include "batch_load.hpp"


namespace tsy::exec::batch {
namespace {

// `only` is keyword-only: the positional parameters stop before it.
const char* const kParamNames[] = {"instances", "deep", "level", "chunk", "only"};
constexpr Py_ssize_t kPositional = 4;

// Names only this file uses, interned once for the life of the process.
struct Words {
    PyObject* Build = intern("Build");
    PyObject* In = intern("In");
    PyObject* executeSql = intern("executeSql");
    PyObject* kw_args_con = Py_BuildValue("(ss)", "args", "con");
    bool ok() const noexcept { return Build && In && executeSql && kw_args_con; }
};

const Words* words() noexcept {
    static const Words w;
    if (!w.ok()) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    return &w;
}

enum Kind : int { ONE, MANY, JUNCTION, OTHER };

// One relation property, read once per load.
struct Relation {
    Ref name;          // fk.name: the owner's key for the loaded rows
    Ref bind_name;     // fk.bindCol.name: the owner's column
    Kind kind = OTHER;
    Ref rows_model;    // the model of the loaded rows: fk.target, or fk.directTarget across a junction
    Ref cache_table;   // rows_model.tableName: where findForeignKey looks in `path`
    Ref far_table;     // fk.directTarget.tableName: compared with `before`
    Ref in_column;     // the column of the IN list: fk.targetBindCol, or the junction's owner column
    Ref key_name;      // fk.targetBindCol.name: what a fetched row is keyed by (not across a junction)
    Ref far_relation;  // across a junction: the far model's relation joined to it
    size_t owner = 0;  // model index of the owner
    size_t rows_of = 0;  // model index of the loaded rows
    // key -> [driver rows, their instances or None once handed out]; every key asked for is there.
    Ref fetched;
    Ref asked;         // the keys asked for on the current level, in order
    Ref fresh;         // those not fetched before
};

struct ModelEntry {
    Ref model;
    Ref table;
    Ref pk_name;
    bool resolved = false;
    std::vector<size_t> relations;
};

struct Node {
    Ref row;
    size_t model;
    Ref before;  // NULL for None
};

struct Frame {
    size_t model;
    Ref instance;
    Ref before;
    int clevel;
    size_t next_relation = 0;
    Ref children;  // a list, while its rows are being entered
    Py_ssize_t next_child = 0;
    size_t child_model = 0;
    Ref child_before;
};

// The keys of `keys` (a dict, in order), `chunk` at a time, as lists.
bool split_keys(PyObject* keys, Py_ssize_t chunk, std::vector<Ref>* out) noexcept {
    Ref list = steal(PyDict_Keys(keys));
    if (!list) return false;
    Py_ssize_t total = PyList_GET_SIZE(list.get());
    for (Py_ssize_t start = 0; start < total; start += chunk) {
        Py_ssize_t end = start + chunk < total ? start + chunk : total;
        Ref part = steal(PyList_GetSlice(list.get(), start, end));
        if (!part) return false;
        out->push_back(std::move(part));
    }
    return true;
}

// obj.get(key) for a mapping: the value, or None when missing.
Ref value_or_none(PyObject* obj, PyObject* key) noexcept {
    if (plain_mapping(obj)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(obj, key, &found) < 0) return {};
        return found ? steal(found) : borrow(Py_None);
    }
    return call_method(obj, names().get, key);
}

// The instances of `rows` (driver rows of `model`), as the executor's
// processSelect makes them: an InstanceList.
Ref instances_of(PyObject* model, PyObject* rows) noexcept {
    Ref list = steal(bound.model->newList());
    if (!list) return {};
    if (native_model_call(model)) {
        if (bound.model->fromRows(model, rows, list.get()) < 0) return {};
        return list;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref row = borrow(PyList_GET_ITEM(rows, i));
        Ref instance = make_instance(model, row.get());
        if (!instance || PyList_Append(list.get(), instance.get()) < 0) return {};
    }
    return list;
}

}  // namespace

class Plan {
public:
    Ref self;
    Ref work;  // the executor's connection, or NULL
    Arguments args;
    bool coroutine_rules = false;
    Ref path;
    std::vector<ModelEntry> models;
    std::vector<Relation> relations;
    std::vector<Node> level_rows;
    int depth = 1;
    int last_depth = 1;
    bool planned = false;
    struct Pending {
        size_t relation;
        Ref keys;
    };
    std::vector<Pending> pending;
    size_t next_pending = 0;
    size_t running = 0;

    bool start() noexcept;
    int next(Ref* run) noexcept;
    bool take(PyObject* rows) noexcept;
    bool attach_all() noexcept;

private:
    Py_ssize_t model_index(PyObject* model) noexcept;
    bool resolve(size_t model) noexcept;
    bool read_relation(size_t owner, PyObject* fk, Relation* r) noexcept;
    bool plan_level() noexcept;
    bool next_level() noexcept;
    Ref statement(const Pending& p) noexcept;
    Ref query(Relation& r, PyObject* key) noexcept;
    bool enter(std::vector<Frame>& stack, size_t model, PyObject* instance, PyObject* before, int clevel) noexcept;
    bool load(Frame& f, size_t relation) noexcept;
    bool load_junction(Frame& f, Relation& r, PyObject* key) noexcept;
    bool load_direct(Frame& f, Relation& r, PyObject* key) noexcept;
    int left_out(const Relation& r) noexcept;
};

// --- models and relations -------------------------------------------------------

Py_ssize_t Plan::model_index(PyObject* model) noexcept {
    for (size_t i = 0; i < models.size(); ++i) {
        if (models[i].model.get() == model) return static_cast<Py_ssize_t>(i);
    }
    ModelEntry entry;
    entry.model = borrow(model);
    entry.table = attr(model, names().tableName);
    if (!entry.table) return -1;
    models.push_back(std::move(entry));
    return static_cast<Py_ssize_t>(models.size() - 1);
}

bool Plan::read_relation(size_t owner, PyObject* fk, Relation* r) noexcept {
    const Names& n = names();
    r->owner = owner;
    r->name = attr(fk, n.name);
    r->bind_name = attr2(fk, n.bindCol, n.name);
    Ref kind = attr(fk, n.Type);
    Ref far = attr(fk, n.directTarget);
    if (!r->name || !r->bind_name || !kind || !far) return false;
    r->far_table = attr(far.get(), n.tableName);
    if (!r->far_table) return false;
    int junction = is_kind(kind.get(), bound.MANY_TO_MANY);
    int one = junction == 0 ? is_kind(kind.get(), bound.ONE_TO_ONE) : 0;
    int many = junction == 0 && one == 0 ? is_kind(kind.get(), bound.ONE_TO_MANY) : 0;
    if (junction < 0 || one < 0 || many < 0) return false;
    r->kind = junction ? JUNCTION : one ? ONE : many ? MANY : OTHER;
    if (r->kind == JUNCTION) {
        r->rows_model = std::move(far);
        JunctionRoute route;
        if (!route.load(fk)) return false;
        r->in_column = std::move(route.owner_column);
        r->far_relation = std::move(route.far_relation);
    } else {
        r->rows_model = attr(fk, n.target);
        r->in_column = attr(fk, n.targetBindCol);
        if (!r->rows_model || !r->in_column) return false;
        r->key_name = attr(r->in_column.get(), n.name);
        if (!r->key_name) return false;
    }
    r->cache_table = attr(r->rows_model.get(), n.tableName);
    Py_ssize_t rows_of = r->cache_table ? model_index(r->rows_model.get()) : -1;
    if (rows_of < 0) return false;
    r->rows_of = static_cast<size_t>(rows_of);
    r->fetched = steal(PyDict_New());
    return bool(r->fetched);
}

// The relations of a model, read when a row of it first needs them.
bool Plan::resolve(size_t model) noexcept {
    if (models[model].resolved) return true;
    Ref model_class = borrow(models[model].model.get());
    Ref declared = attr(model_class.get(), names().fk);
    Ref fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    if (!fks) return false;
    std::vector<size_t> found;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        Relation r;
        if (!read_relation(model, PyTuple_GET_ITEM(fks.get(), i), &r)) return false;
        relations.push_back(std::move(r));
        found.push_back(relations.size() - 1);
    }
    models[model].relations = std::move(found);
    models[model].resolved = true;
    return true;
}

// 1 when the instances given leave relation `r` out (only=), 0 if not, -1 on error.
int Plan::left_out(const Relation& r) noexcept {
    if (args.only.get() == Py_None) return 0;
    int chosen = PySequence_Contains(args.only.get(), r.name.get());
    return chosen < 0 ? -1 : !chosen;
}

// 1 when `before` names the relation's far table (it is skipped), 0 if not, -1 on error.
int leads_back_to(const Relation& r, PyObject* before) noexcept {
    if (!before || before == Py_None) return 0;
    return PyObject_RichCompareBool(before, r.far_table.get(), Py_EQ);
}

// --- fetch phase ------------------------------------------------------------------

bool Plan::start() noexcept {
    path = steal(PyDict_New());
    if (!path) return false;
    Ref own = borrow(as_executor(self.get())->model);
    if (model_index(own.get()) != 0) return false;
    last_depth = args.deep && args.level > 2 ? args.level - 1 : 1;  // the levels whose rows load relations
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args.instances.get()); ++i) {
        level_rows.push_back(Node{borrow(PyList_GET_ITEM(args.instances.get(), i)), 0, Ref()});
    }
    return true;
}

// The keys every row of the level asks for, relation by relation; those not
// fetched yet become the level's statements.
bool Plan::plan_level() noexcept {
    for (Relation& r : relations) {
        r.asked.reset();
        r.fresh.reset();
    }
    for (size_t i = 0; i < level_rows.size(); ++i) {
        Node& node = level_rows[i];
        if (!resolve(node.model)) return false;
        std::vector<size_t> rels = models[node.model].relations;
        for (size_t index : rels) {
            Relation& r = relations[index];
            int skip = depth == 1 ? left_out(r) : 0;
            if (skip == 0) skip = leads_back_to(r, node.before.get());
            if (skip) {
                if (skip < 0) return false;
                continue;
            }
            Ref key = value_or_none(node.row.get(), r.bind_name.get());
            if (!key) return false;
            if (key.get() == Py_None) continue;  // matches no row
            if (!r.asked && !(r.asked = steal(PyDict_New()))) return false;
            if (PyDict_SetItem(r.asked.get(), key.get(), Py_None) < 0) return false;
            int known = PyDict_Contains(r.fetched.get(), key.get());
            if (known < 0) return false;
            if (known) continue;
            Ref group = steal(Py_BuildValue("[[]O]", Py_None));
            Ref made = group ? steal(bound.model->newList()) : Ref();
            if (!made || PyList_SetItem(group.get(), 1, made.release()) < 0) return false;
            if (PyDict_SetItem(r.fetched.get(), key.get(), group.get()) < 0) return false;
            if (!r.fresh && !(r.fresh = steal(PyDict_New()))) return false;
            if (PyDict_SetItem(r.fresh.get(), key.get(), Py_None) < 0) return false;
        }
    }
    pending.clear();
    next_pending = 0;
    for (size_t index = 0; index < relations.size(); ++index) {
        if (!relations[index].fresh) continue;
        std::vector<Ref> parts;
        if (!split_keys(relations[index].fresh.get(), args.chunk, &parts)) return false;
        for (Ref& part : parts) pending.push_back(Pending{index, std::move(part)});
    }
    return true;
}

// The rows the level's relations loaded, as findForeignKey would recurse
// into them: the first row of a one-to-one, every row of a one-to-many or
// across a junction; `before` as that recursion passes it.
bool Plan::next_level() noexcept {
    std::vector<Node> rows;
    for (Relation& r : relations) {
        if (!r.asked || r.kind == OTHER) continue;
        Ref before = r.kind == MANY ? Ref() : borrow(models[r.owner].table.get());
        Py_ssize_t pos = 0;
        PyObject *key, *unused;
        while (PyDict_Next(r.asked.get(), &pos, &key, &unused)) {
            PyObject* group = PyDict_GetItemWithError(r.fetched.get(), key);
            if (!group) {
                if (PyErr_Occurred()) return false;
                continue;
            }
            PyObject* made = PyList_GET_ITEM(group, 1);
            if (made == Py_None) continue;
            Py_ssize_t count = PyList_GET_SIZE(made);
            if (r.kind == ONE && count > 1) count = 1;
            for (Py_ssize_t i = 0; i < count; ++i) {
                rows.push_back(Node{borrow(PyList_GET_ITEM(made, i)), r.rows_of, borrow(before.get())});
            }
        }
    }
    level_rows = std::move(rows);
    ++depth;
    planned = false;
    return true;
}

// SELECT <rows' columns>[, <junction's owner column>] FROM ... [JOIN ...]
// WHERE <column> IN (<keys>), through a new executor of the rows' model on
// this executor's connection; run by the handle's executeSql.
Ref Plan::statement(const Pending& p) noexcept {
    const Words* w = words();
    if (!w) return {};
    Relation& r = relations[p.relation];
    Ref model = borrow(r.rows_model.get());
    Ref exc = related_executor(self.get(), model.get());
    Ref builder = exc ? attr(exc.get(), names().sql) : Ref();
    Ref cols = builder ? model_columns(model.get()) : Ref();
    if (!cols) return {};
    if (r.kind == JUNCTION) {
        Ref extra = steal(PyTuple_Pack(1, r.in_column.get()));
        Ref joined = extra ? steal(PySequence_Concat(cols.get(), extra.get())) : Ref();
        if (!joined) return {};
        cols = std::move(joined);
    }
    if (!builder_select(builder.get(), cols.get())) return {};
    if (r.kind == JUNCTION && !call_method(builder.get(), names().join, r.far_relation.get())) return {};
    Ref condition = call_method(r.in_column.get(), w->In, p.keys.get());
    if (!condition || !builder_where(builder.get(), condition.get())) return {};
    Ref built = call_method(builder.get(), w->Build);
    if (!built) return {};
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) != 2) {
        return fail(PyExc_TypeError, "Build() of the related rows' statement must return (text, args)");
    }
    Ref handle = steal(bound.db->getInstance());
    Ref execute_sql = handle ? attr(handle.get(), w->executeSql) : Ref();
    if (!execute_sql) return {};
    PyObject* argv[] = {PyTuple_GET_ITEM(built.get(), 0), PyTuple_GET_ITEM(built.get(), 1),
                        work ? work.get() : Py_None};
    return steal(PyObject_Vectorcall(execute_sql.get(), argv, 1, w->kw_args_con));
}

int Plan::next(Ref* run) noexcept {
    for (;;) {
        if (!planned) {
            if (level_rows.empty() || depth > last_depth) return 0;
            if (!plan_level()) return -1;
            planned = true;
        }
        if (next_pending < pending.size()) {
            running = pending[next_pending].relation;
            *run = statement(pending[next_pending++]);
            return *run ? 1 : -1;
        }
        if (depth == last_depth) {
            level_rows.clear();
            return 0;
        }
        if (!next_level()) return -1;
    }
}

// The rows of one statement, filed under the key each belongs to: the
// related model's column for one-to-one and one-to-many, the junction's owner
// column (selected last) across a junction.
bool Plan::take(PyObject* result) noexcept {
    Relation& r = relations[running];
    Ref rows = steal(PySequence_List(result));
    if (!rows) return false;
    Ref model = borrow(r.rows_model.get());
    Ref owners;
    if (r.kind == JUNCTION) {
        owners = steal(PyList_New(PyList_GET_SIZE(rows.get())));
        if (!owners) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
            PyObject* given = PyList_GET_ITEM(rows.get(), i);
            Ref row = PyTuple_Check(given) ? borrow(given) : steal(PySequence_Tuple(given));
            Py_ssize_t n = row ? PyTuple_GET_SIZE(row.get()) : -1;
            if (n < 1) {
                if (n == 0) fail(PyExc_ValueError, "a junction row without its owner column");
                return false;
            }
            PyList_SET_ITEM(owners.get(), i, Py_NewRef(PyTuple_GET_ITEM(row.get(), n - 1)));
            Ref own_columns = steal(PyTuple_GetSlice(row.get(), 0, n - 1));
            if (!own_columns || PyList_SetItem(rows.get(), i, own_columns.release()) < 0) return false;
        }
    }
    Ref made = instances_of(model.get(), rows.get());
    if (!made) return false;
    Py_ssize_t count = PyList_GET_SIZE(made.get());
    if (count != PyList_GET_SIZE(rows.get())) {
        fail(PyExc_RuntimeError, "the related rows changed while they were read");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref instance = borrow(PyList_GET_ITEM(made.get(), i));
        Ref key = owners ? borrow(PyList_GET_ITEM(owners.get(), i)) : value_or_none(instance.get(), r.key_name.get());
        if (!key) return false;
        Ref group = borrow(PyDict_GetItemWithError(r.fetched.get(), key.get()));
        if (!group) {
            if (PyErr_Occurred()) return false;
            continue;  // a key the database matched but Python does not: no owner asked for it
        }
        PyObject* raws = PyList_GET_ITEM(group.get(), 0);
        PyObject* instances = PyList_GET_ITEM(group.get(), 1);
        if (PyList_Append(raws, PyList_GET_ITEM(rows.get(), i)) < 0) return false;
        if (instances != Py_None && PyList_Append(instances, instance.get()) < 0) return false;
    }
    return true;
}

// --- attach phase -------------------------------------------------------------------

// What findForeignKey's query would return for `key`: the fetched rows as an
// InstanceList, the ones made while fetching first, new ones after that.
Ref Plan::query(Relation& r, PyObject* key) noexcept {
    Ref group = borrow(PyDict_GetItemWithError(r.fetched.get(), key));
    if (!group) {
        if (PyErr_Occurred()) return {};
        return steal(bound.model->newList());  // None: no row matches
    }
    Ref made = borrow(PyList_GET_ITEM(group.get(), 1));
    if (made.get() != Py_None) {
        if (PyList_SetItem(group.get(), 1, Py_NewRef(Py_None)) < 0) return {};
        return made;
    }
    Ref model = borrow(r.rows_model.get());
    return instances_of(model.get(), PyList_GET_ITEM(group.get(), 0));
}

bool Plan::enter(std::vector<Frame>& stack, size_t model, PyObject* instance, PyObject* before, int clevel) noexcept {
    if (args.deep) {
        if (clevel == 1) {
            ModelEntry& m = models[model];
            if (!m.pk_name && !(m.pk_name = attr(m.model.get(), names().pkName))) return false;
            Ref key = steal(PyObject_GetItem(instance, m.pk_name.get()));
            Ref own = key ? steal(PyDict_New()) : Ref();
            if (!own || PyDict_SetItem(own.get(), key.get(), instance) < 0) return false;
            if (PyObject_SetItem(path.get(), m.table.get(), own.get()) < 0) return false;
            ++clevel;
        } else if (++clevel > args.level) {
            return true;
        }
    }
    if (!resolve(model)) return false;
    Frame f;
    f.model = model;
    f.instance = borrow(instance);
    f.before = borrow(before);
    f.clevel = clevel;
    stack.push_back(std::move(f));
    return true;
}

bool Plan::load_junction(Frame& f, Relation& r, PyObject* key) noexcept {
    int hit = cached(path.get(), r.cache_table.get(), key);
    if (hit < 0) return false;
    // As findForeignKey: a relation of a model with itself is neither
    // answered from the cache nor stored there.
    bool own_rows = r.rows_model.get() == models[f.model].model.get();
    if (hit && !own_rows) {
        if (!log_cache_hit(r.name.get())) return false;
        Ref value = cached_value(path.get(), r.cache_table.get(), key);
        if (!value) return false;
        if (coroutine_rules && !PyList_Check(value.get())) {
            Ref wrapped = steal(PyList_New(1));
            if (!wrapped) return false;
            PyList_SET_ITEM(wrapped.get(), 0, value.release());
            value = std::move(wrapped);
        }
        return PyObject_SetItem(f.instance.get(), r.name.get(), value.get()) == 0;
    }
    Ref rows = query(r, key);
    if (!rows || PyObject_SetItem(f.instance.get(), r.name.get(), rows.get()) < 0) return false;
    Ref stored = steal(PyObject_GetItem(f.instance.get(), r.name.get()));
    if (!stored) return false;
    if (!own_rows && !register_result(path.get(), r.cache_table.get(), key, stored.get())) return false;
    if (!args.deep) return true;
    Ref children = steal(PySequence_List(stored.get()));
    if (!children) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.get()); ++i) {
        if (!check_convert(PyList_GET_ITEM(children.get(), i), bound.model->ModelInstance)) return false;
    }
    f.children = std::move(children);
    f.child_model = r.rows_of;
    f.child_before = borrow(models[f.model].table.get());
    return true;
}

bool Plan::load_direct(Frame& f, Relation& r, PyObject* key) noexcept {
    int hit = cached(path.get(), r.cache_table.get(), key);
    if (hit < 0) return false;
    // A relation to the loading row's own model is always queried.
    if (hit && r.rows_model.get() != models[f.model].model.get()) {
        Ref value = cached_value(path.get(), r.cache_table.get(), key);
        if (!value) return false;
        if (!coroutine_rules && r.kind == MANY && !PyList_Check(value.get())) {
            Ref wrapped = steal(PyList_New(1));
            if (!wrapped) return false;
            PyList_SET_ITEM(wrapped.get(), 0, value.release());
            value = std::move(wrapped);
        }
        return PyObject_SetItem(f.instance.get(), r.name.get(), value.get()) == 0;
    }
    Ref rows = query(r, key);
    if (!rows) return false;
    bool found = PyList_GET_SIZE(rows.get()) > 0;
    Ref first = found ? borrow(PyList_GET_ITEM(rows.get(), 0)) : borrow(Py_None);
    int first_truthy = coroutine_rules ? truth(first.get()) : 1;
    if (first_truthy < 0) return false;
    if (found && r.kind == ONE && first_truthy) {
        if (PyObject_SetItem(f.instance.get(), r.name.get(), first.get()) < 0) return false;
        if (!args.deep) return true;
        Ref row = steal(PyObject_GetItem(f.instance.get(), r.name.get()));
        f.children = row ? steal(PyList_New(1)) : Ref();
        if (!f.children) return false;
        PyList_SET_ITEM(f.children.get(), 0, row.release());
        f.child_model = r.rows_of;
        f.child_before = borrow(models[f.model].table.get());
        return true;
    }
    if (found && r.kind == MANY) {
        if (PyObject_SetItem(f.instance.get(), r.name.get(), rows.get()) < 0) return false;
        if (!args.deep) return true;
        f.children = steal(PySequence_List(rows.get()));
        if (!f.children) return false;
        f.child_model = r.rows_of;
        f.child_before.reset();
        return true;
    }
    if (coroutine_rules) return true;  // nothing found: the entry stays as it was
    return PyObject_SetItem(f.instance.get(), r.name.get(), r.kind == ONE ? Py_None : rows.get()) == 0;
}

bool Plan::load(Frame& f, size_t relation) noexcept {
    Relation& r = relations[relation];
    int skip = leads_back_to(r, f.before.get());
    if (skip == 0 && coroutine_rules) {
        Ref bound_value = value_or_none(f.instance.get(), r.bind_name.get());
        if (!bound_value) return false;
        skip = bound_value.get() == Py_None;
    }
    if (skip) return skip > 0;
    Ref key = steal(PyObject_GetItem(f.instance.get(), r.bind_name.get()));
    if (!key) return false;
    return r.kind == JUNCTION ? load_junction(f, r, key.get()) : load_direct(f, r, key.get());
}

// findForeignKey's walk of every instance, one after the other, sharing
// `path`: a stack of the rows being loaded instead of recursion.
bool Plan::attach_all() noexcept {
    Ref roots = borrow(args.instances.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(roots.get()); ++i) {
        std::vector<Frame> stack;
        if (!enter(stack, 0, PyList_GET_ITEM(roots.get(), i), nullptr, 1)) return false;
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.children) {
                if (f.next_child < PyList_GET_SIZE(f.children.get())) {
                    Ref child = borrow(PyList_GET_ITEM(f.children.get(), f.next_child++));
                    Ref before = borrow(f.child_before.get());
                    // enter() may grow the stack: `f` is not used after it.
                    if (!enter(stack, f.child_model, child.get(), before.get(), f.clevel)) return false;
                    continue;
                }
                f.children.reset();
                f.next_child = 0;
            }
            const std::vector<size_t>& rels = models[f.model].relations;
            if (f.next_relation == rels.size()) {
                stack.pop_back();
                continue;
            }
            size_t relation = rels[f.next_relation++];
            int skip = stack.size() == 1 ? left_out(relations[relation]) : 0;
            if (skip < 0 || (skip == 0 && !load(f, relation))) return false;
        }
    }
    return true;
}

// --- the shared entry points ------------------------------------------------------

Py_ssize_t default_chunk(PyObject* model, PyObject* con) noexcept {
    Ref connector = statement_connector(model, con);
    if (!connector) return -1;
    db::Dialect dialect{};
    if (bound.connector->dialect(connector.get(), con, db::DIALECT_NO_SERVER, &dialect) < 0) return -1;
    return dialect.param_limit;
}

bool parse_arguments(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Arguments* out) noexcept {
    const Params params{func, kParamNames, 5, 1};
    PyObject* a[5];
    if (nargs > kPositional) {
        arg_count_error(func, 1, kPositional, nargs);
        return false;
    }
    if (!parse(params, args, nargs, kwnames, a)) return false;
    out->only = borrow(a[4] ? a[4] : Py_None);
    PyObject* given = a[0];
    if (PyUnicode_Check(given) || PyBytes_Check(given) || PyByteArray_Check(given) || !PySequence_Check(given)) {
        fail(PyExc_TypeError, "%s() argument 'instances' must be a sequence of ModelInstance objects, not %.200s",
             func, type_name(given));
        return false;
    }
    out->instances = steal(PySequence_List(given));
    if (!out->instances) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out->instances.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(out->instances.get(), i);
        if (!PyObject_TypeCheck(item, bound.model->ModelInstance)) {
            fail(PyExc_TypeError, "%s() argument 'instances' must hold ModelInstance objects; item %zd is %.200s",
                 func, i, type_name(item));
            return false;
        }
    }
    int deep = a[1] ? truth(a[1]) : 0;
    if (deep < 0) return false;
    out->deep = deep != 0;
    if (a[2] && !to_int(a[2], &out->level)) return false;
    if (!a[3] || a[3] == Py_None) {
        out->chunk = 0;
        return true;
    }
    out->chunk = PyNumber_AsSsize_t(a[3], PyExc_OverflowError);
    if (out->chunk == -1 && PyErr_Occurred()) return false;
    if (out->chunk < 1) {
        fail(PyExc_ValueError, "%s() argument 'chunk' must be at least 1, not %zd", func, out->chunk);
        return false;
    }
    return true;
}

PlanPtr make_plan(PyObject* self, Arguments args, bool coroutine_rules) noexcept {
    if (!words()) return nullptr;
    Ref work = work_of(self);
    int bound_to_connection = work ? truth(work.get()) : -1;
    if (bound_to_connection < 0) return nullptr;
    PyObject* on = bound_to_connection ? work.get() : nullptr;
    if (args.chunk == 0 && (args.chunk = default_chunk(as_executor(self)->model, on)) < 0) return nullptr;
    args.only = chosen_relations("findListForeignKeyIn", as_executor(self)->model, args.only.get());
    if (!args.only) return nullptr;
    PlanPtr plan(new (std::nothrow) Plan());
    if (!plan) {
        PyErr_NoMemory();
        return nullptr;
    }
    plan->self = borrow(self);
    plan->args = std::move(args);
    plan->coroutine_rules = coroutine_rules;
    if (bound_to_connection) plan->work = std::move(work);
    if (!plan->start()) return nullptr;
    return plan;
}

int next_statement(Plan& plan, Ref* run) noexcept { return plan.next(run); }
bool take_rows(Plan& plan, PyObject* rows) noexcept { return plan.take(rows); }
bool attach(Plan& plan) noexcept { return plan.attach_all(); }
void release(Plan* plan) noexcept { delete plan; }

}  // namespace tsy::exec::batch

namespace tsy::exec {

PyObject* findListForeignKeyIn_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    batch::Arguments parsed;
    if (!batch::parse_arguments("findListForeignKeyIn", args, nargs, kwnames, &parsed)) return nullptr;
    batch::PlanPtr plan = batch::make_plan(self, std::move(parsed), false);
    if (!plan) return nullptr;
    for (;;) {
        Ref run;
        int more = batch::next_statement(*plan, &run);
        if (more < 0) return nullptr;
        if (more == 0) break;
        if (!batch::take_rows(*plan, run.get())) return nullptr;
    }
    if (!batch::attach(*plan)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tsy::exec
