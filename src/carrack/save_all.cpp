// saveAll(instances): many rows through multi-row INSERTs, one statement per
// column set and chunk, generated keys read back with RETURNING, then the
// related rows in batches per relation, all on one connection and in one
// transaction. Both executors run the same body (bulk.hpp).
#include "bulk.hpp"

#include <algorithm>
#include <unordered_set>

namespace tsy::exec::bulk {
namespace {

const char* const kSaveAllNames[] = {"instances", "chunkSize"};

PyObject* saveAll_name() noexcept {
    static PyObject* name = intern("saveAll");
    return name;
}

PyObject* In_name() noexcept {
    static PyObject* name = intern("In");
    return name;
}

// The keys RETURNING gave for members [begin, end), in ascending order: the
// keys a statement generates (rowid, AUTO_INCREMENT) grow in the order of its
// VALUES rows, while the order of the RETURNING rows is not promised.
bool assign_keys(PyObject* instances, const std::vector<Py_ssize_t>& members, Py_ssize_t begin, Py_ssize_t end,
                 PyObject* rows, PyObject* pk_name) noexcept {
    Ref keys = first_column(rows);
    if (!keys) return false;
    if (PyList_GET_SIZE(keys.get()) != end - begin) {
        fail(PyExc_RuntimeError, "saveAll(): an INSERT of %zd rows returned %zd keys", end - begin,
             PyList_GET_SIZE(keys.get()));
        return false;
    }
    if (PyList_Sort(keys.get()) < 0) return false;
    for (Py_ssize_t m = begin; m < end; ++m) {
        PyObject* instance = PyList_GET_ITEM(instances, members[static_cast<std::size_t>(m)]);
        if (PyObject_SetItem(instance, pk_name, PyList_GET_ITEM(keys.get(), m - begin)) < 0) return false;
    }
    return true;
}

// A connector without RETURNING: the row inserted alone by an executor of
// the model on `con`, whose processInsert stores the generated key.
Ref insert_one(PyObject* model, PyObject* con, PyObject* instance, PyObject* cells) noexcept {
    Ref exc = get_executor(model, con);
    if (!exc || !op(exc.get(), names().reset) || remember_instance(exc.get(), instance) < 0) return {};
    Ref builder = borrow(as_executor(exc.get())->sql ? as_executor(exc.get())->sql : Py_None);
    Ref inserting = call_method(builder.get(), names().insert, model);
    Ref values = inserting ? attr(inserting.get(), names().values) : Ref();
    if (!values || !steal(PyObject_Call(values.get(), cells, nullptr))) return {};
    return op(exc.get(), names().execute);
}

// --- relations ----------------------------------------------------------------

// The owners that carry relation `fk_name` with a truthy value (a new list).
Ref carrying(PyObject* owners, PyObject* fk_name) noexcept {
    Ref out = steal(PyList_New(0));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners); ++i) {
        PyObject* owner = PyList_GET_ITEM(owners, i);
        int present = PySequence_Contains(owner, fk_name);
        if (present < 0) return {};
        if (!present) continue;
        Ref related = steal(PyObject_GetItem(owner, fk_name));
        int truthy = related ? truth(related.get()) : -1;
        if (truthy < 0) return {};
        if (truthy && PyList_Append(out.get(), owner) < 0) return {};
    }
    return out;
}

// fk.<col>.name for the relation's bind columns.
struct Binding {
    Ref owner_column;   // fk.bindCol.name
    Ref related_column; // fk.targetBindCol.name
    bool load(PyObject* fk) noexcept {
        owner_column = attr2(fk, names().bindCol, names().name);
        related_column = owner_column ? attr2(fk, names().targetBindCol, names().name) : Ref();
        return bool(related_column);
    }
};

// One-to-one: each related row given its owner's bind value; all saved by one
// saveAll of the target, the saved rows attached to their owners.
coro::Task one_to_one(Ref con, Ref fk, Ref fk_name, Ref owners, bool is_async) {
    Binding b;
    Ref related = steal(PyList_New(0));
    if (!related || !b.load(fk.get())) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners.get()); ++i) {
        PyObject* owner = PyList_GET_ITEM(owners.get(), i);
        Ref row = steal(PyObject_GetItem(owner, fk_name.get()));
        Ref value = row ? steal(PyObject_GetItem(owner, b.owner_column.get())) : Ref();
        if (!value || PyObject_SetItem(row.get(), b.related_column.get(), value.get()) < 0) co_return nullptr;
        if (PyList_Append(related.get(), row.get()) < 0) co_return nullptr;
    }
    Ref target = attr(fk.get(), names().target);
    Ref exc = target ? get_executor(target.get(), con.get()) : Ref();
    Ref saved = exc ? call_method(exc.get(), saveAll_name(), related.get()) : Ref();
    TSY_BULK_RESOLVE(saved, is_async);
    if (!saved) co_return nullptr;
    Ref list = steal(PySequence_List(saved.get()));
    if (!list) co_return nullptr;
    Py_ssize_t count = std::min(PyList_GET_SIZE(list.get()), PyList_GET_SIZE(owners.get()));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyObject_SetItem(PyList_GET_ITEM(owners.get(), i), fk_name.get(), PyList_GET_ITEM(list.get(), i)) < 0) {
            co_return nullptr;
        }
    }
    co_return borrow(Py_None);
}

// One-to-many: every child of every owner given its owner's bind value, all
// saved by one saveAll of the target.
coro::Task one_to_many(Ref con, Ref fk, Ref fk_name, Ref owners, bool is_async) {
    Binding b;
    Ref children = steal(PyList_New(0));
    if (!children || !b.load(fk.get())) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners.get()); ++i) {
        PyObject* owner = PyList_GET_ITEM(owners.get(), i);
        Ref value = steal(PyObject_GetItem(owner, b.owner_column.get()));
        Ref listed = value ? steal(PyObject_GetItem(owner, fk_name.get())) : Ref();
        Ref iter = listed ? steal(PyObject_GetIter(listed.get())) : Ref();
        if (!iter) co_return nullptr;
        while (Ref child = steal(PyIter_Next(iter.get()))) {
            if (PyObject_SetItem(child.get(), b.related_column.get(), value.get()) < 0) co_return nullptr;
            if (PyList_Append(children.get(), child.get()) < 0) co_return nullptr;
        }
        if (PyErr_Occurred()) co_return nullptr;
    }
    Ref target = attr(fk.get(), names().target);
    Ref exc = target ? get_executor(target.get(), con.get()) : Ref();
    Ref saved = exc ? call_method(exc.get(), saveAll_name(), children.get()) : Ref();
    TSY_BULK_RESOLVE(saved, is_async);
    co_return saved ? borrow(Py_None) : Ref();
}

// The junction columns of a many-to-many relation.
struct Junction {
    Ref middle, far_model, target_bind;
    Ref owner_column;  // fk.targetBindCol.name: the junction column of the owner
    Ref far_column;    // the junction column of the far side
    Ref far_key;       // the far row's referenced column
    Ref bind_name;     // fk.bindCol.name: the owner's referenced column
    bool load(PyObject* fk) noexcept {
        const Names& n = names();
        middle = attr(fk, n.middleModel);
        if (!middle || !junction_far_side(fk, &far_column, &far_key)) return false;
        far_model = attr(fk, n.directTarget);
        target_bind = far_model ? attr(fk, n.targetBindCol) : Ref();
        owner_column = target_bind ? attr(target_bind.get(), n.name) : Ref();
        bind_name = owner_column ? attr2(fk, n.bindCol, n.name) : Ref();
        return bool(bind_name);
    }
};

// Many-to-many, in save's order: the owners' junction rows deleted (one
// DELETE ... IN per chunk), the far rows without their key saved by one
// saveAll (a row listed by several owners once), then every junction row by
// one saveAll of the junction model.
coro::Task many_to_many(Ref con, Ref fk, Ref fk_name, Ref owners, Py_ssize_t limit, bool is_async) {
    Junction j;
    if (!j.load(fk.get())) co_return nullptr;
    Ref owner_values = steal(PyList_New(0));
    Ref fresh = steal(PyList_New(0));
    Ref junction_rows = steal(PyList_New(0));
    Ref element_lists = steal(PyList_New(0));
    if (!owner_values || !fresh || !junction_rows || !element_lists) co_return nullptr;
    std::unordered_set<PyObject*> seen;  // the elements held by element_lists, by identity
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners.get()); ++i) {
        PyObject* owner = PyList_GET_ITEM(owners.get(), i);
        Ref value = steal(PyObject_GetItem(owner, j.bind_name.get()));
        Ref listed = value ? steal(PyObject_GetItem(owner, fk_name.get())) : Ref();
        Ref elements = listed ? steal(PySequence_List(listed.get())) : Ref();
        if (!elements || PyList_Append(owner_values.get(), value.get()) < 0) co_return nullptr;
        if (PyList_Append(element_lists.get(), elements.get()) < 0) co_return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(elements.get()); ++k) {
            PyObject* element = PyList_GET_ITEM(elements.get(), k);
            int has_key = carries(element, j.far_key.get());
            if (has_key < 0) co_return nullptr;
            if (has_key || !seen.insert(element).second) continue;
            if (PyList_Append(fresh.get(), element) < 0) co_return nullptr;
        }
    }
    Ref middle_exc = get_executor(j.middle.get(), con.get());
    if (!middle_exc) co_return nullptr;
    Py_ssize_t total = PyList_GET_SIZE(owner_values.get());
    for (Py_ssize_t begin = 0; begin < total; begin += limit) {
        Ref part = steal(PyList_GetSlice(owner_values.get(), begin, std::min(total, begin + limit)));
        Ref condition = part ? call_method(j.target_bind.get(), In_name(), part.get()) : Ref();
        Ref deleted = condition ? call_method(middle_exc.get(), names().delete_, Py_None, condition.get()) : Ref();
        TSY_BULK_RESOLVE(deleted, is_async);
        if (!deleted && PyErr_Occurred()) co_return nullptr;
    }
    if (PyList_GET_SIZE(fresh.get()) > 0) {
        Ref far_exc = get_executor(j.far_model.get(), con.get());
        Ref saved = far_exc ? call_method(far_exc.get(), saveAll_name(), fresh.get()) : Ref();
        TSY_BULK_RESOLVE(saved, is_async);
        if (!saved) co_return nullptr;
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject* elements = PyList_GET_ITEM(element_lists.get(), i);
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(elements); ++k) {
            Ref far_value = steal(PyObject_GetItem(PyList_GET_ITEM(elements, k), j.far_key.get()));
            Ref row = far_value ? steal(PyDict_New()) : Ref();
            if (!row || PyDict_SetItem(row.get(), j.owner_column.get(), PyList_GET_ITEM(owner_values.get(), i)) < 0 ||
                PyDict_SetItem(row.get(), j.far_column.get(), far_value.get()) < 0 ||
                PyList_Append(junction_rows.get(), row.get()) < 0) {
                co_return nullptr;
            }
        }
    }
    Ref junction_exc = get_executor(j.middle.get(), con.get());
    Ref written = junction_exc ? call_method(junction_exc.get(), saveAll_name(), junction_rows.get()) : Ref();
    TSY_BULK_RESOLVE(written, is_async);
    co_return written ? borrow(Py_None) : Ref();
}

// A relation of another kind: each element saved alone, as save does.
coro::Task each_alone(Ref con, Ref fk, Ref fk_name, Ref owners, bool is_async) {
    Ref target = steal(PyObject_GetItem(fk.get(), names().target));
    if (!target) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners.get()); ++i) {
        Ref owner = borrow(PyList_GET_ITEM(owners.get(), i));
        Ref elements = steal(PyObject_GetItem(owner.get(), fk_name.get()));
        Ref list = elements ? steal(PySequence_List(elements.get())) : Ref();
        Ref saved = list ? steal(PyList_New(0)) : Ref();
        if (!saved || PyObject_SetItem(owner.get(), fk_name.get(), saved.get()) < 0) co_return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.get()); ++k) {
            Ref exc = get_executor(target.get(), con.get());
            Ref one = exc ? call_method(exc.get(), names().save, PyList_GET_ITEM(list.get(), k)) : Ref();
            TSY_BULK_RESOLVE(one, is_async);
            if (!one || PyList_Append(saved.get(), one.get()) < 0) co_return nullptr;
        }
    }
    co_return borrow(Py_None);
}

// The related rows of the written owners, relation after relation in the
// model's order.
coro::Task relations(Ref model, Ref con, Ref owners, Py_ssize_t limit, bool is_async) {
    Ref fks = attr(model.get(), names().fk);
    Ref iter = fks ? steal(PyObject_GetIter(fks.get())) : Ref();
    if (!iter) co_return nullptr;
    Kinds kinds;
    while (Ref fk = steal(PyIter_Next(iter.get()))) {
        Ref fk_name = attr(fk.get(), names().name);
        Ref holders = fk_name ? carrying(owners.get(), fk_name.get()) : Ref();
        if (!holders) co_return nullptr;
        if (PyList_GET_SIZE(holders.get()) == 0) continue;
        Ref kind = attr(fk.get(), names().Type);
        if (!kind || !kinds.ensure()) co_return nullptr;
        Ref related = attr(fk.get(), names().target);
        if (!related || !same_database(model.get(), related.get())) co_return nullptr;
        int oto = is_kind(kind.get(), kinds.one_to_one.get());
        int otm = oto == 0 ? is_kind(kind.get(), kinds.one_to_many.get()) : 0;
        int mtm = oto == 0 && otm == 0 ? is_kind(kind.get(), kinds.many_to_many.get()) : 0;
        if (oto < 0 || otm < 0 || mtm < 0) co_return nullptr;
        Ref c = borrow(con.get()), f = borrow(fk.get());
        coro::Task step = oto   ? one_to_one(std::move(c), std::move(f), std::move(fk_name), std::move(holders), is_async)
                          : otm ? one_to_many(std::move(c), std::move(f), std::move(fk_name), std::move(holders), is_async)
                          : mtm ? many_to_many(std::move(c), std::move(f), std::move(fk_name), std::move(holders), limit,
                                               is_async)
                                : each_alone(std::move(c), std::move(f), std::move(fk_name), std::move(holders), is_async);
        Ref done = launch(std::move(step), is_async, "saveAll");
        TSY_BULK_RESOLVE(done, is_async);
        if (!done) co_return nullptr;
    }
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

// The rows of one column set, chunk after chunk.
coro::Task insert_group(Ref self, Ref con, Ref instances, Ref pk_name, const Backend* b, const Group* group,
                        const std::vector<Ref>* cells_by_row, Py_ssize_t cap, bool is_async) {
    Ref model = borrow(as_executor(self.get())->model);
    int given = pk_name.get() == Py_None ? 1 : PySequence_Contains(group->names.get(), pk_name.get());
    if (given < 0) co_return nullptr;
    bool wants_keys = !given;
    const std::vector<Py_ssize_t>& members = group->members;
    Py_ssize_t count = static_cast<Py_ssize_t>(members.size());
    if (wants_keys && !b->returning) {
        for (Py_ssize_t m = 0; m < count; ++m) {
            Py_ssize_t at = members[static_cast<std::size_t>(m)];
            Ref cells = cells_of(*group, (*cells_by_row)[static_cast<std::size_t>(at)].get());
            Ref done = cells ? insert_one(model.get(), con.get(), PyList_GET_ITEM(instances.get(), at), cells.get())
                             : Ref();
            TSY_BULK_RESOLVE(done, is_async);
            if (!done) co_return nullptr;
        }
        co_return borrow(Py_None);
    }
    Ref head = insert_head(model.get(), con.get(), *group);
    Ref returned = wants_keys ? quoted(*b, pk_name.get()) : Ref();
    Ref tail = wants_keys ? (returned ? steal(PyUnicode_FromFormat(" RETURNING %U;", returned.get())) : Ref())
                          : steal(PyUnicode_FromString(";"));
    if (!head || !tail) co_return nullptr;
    Py_ssize_t width = PyTuple_GET_SIZE(group->names.get());
    Py_ssize_t per = rows_per_statement(*b, width, cap);
    for (Py_ssize_t begin = 0, end = 0; begin < count; begin = end) {
        end = chunk_end(*b, *cells_by_row, members, begin, per);
        Ref text = statement_text(head.get(), width, end - begin, tail.get());
        Ref args = text ? chunk_args(*cells_by_row, members, begin, end) : Ref();
        Ref rows = args ? run_sql(self.get(), text.get(), args.get(), con.get()) : Ref();
        TSY_BULK_RESOLVE(rows, is_async);
        if (!rows) co_return nullptr;
        if (wants_keys && !assign_keys(instances.get(), members, begin, end, rows.get(), pk_name.get())) {
            co_return nullptr;
        }
    }
    co_return borrow(Py_None);
}

// The rows that hold no value: one INSERT of the table's defaults each, the
// key it generated stored in the row (a key of 0 names no generated row).
coro::Task insert_default_rows(Ref model, Ref con, Ref instances, const std::vector<Ref>* cells, Ref pk_name,
                               bool is_async) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instances.get()); ++i) {
        if (PyTuple_GET_SIZE((*cells)[static_cast<std::size_t>(i)].get()) != 0) continue;
        Ref key = insert_defaults(model.get(), con.get());
        TSY_BULK_RESOLVE(key, is_async);
        if (!key) co_return nullptr;
        int generated = pk_name.get() == Py_None || key.get() == Py_None ? 0 : truth(key.get());
        if (generated < 0) co_return nullptr;
        if (generated && PyObject_SetItem(PyList_GET_ITEM(instances.get(), i), pk_name.get(), key.get()) < 0) {
            co_return nullptr;
        }
    }
    co_return borrow(Py_None);
}

// args: (instances, cap).
coro::Task save_all_job(Ref self, Ref con, Ref args, bool is_async) {
    Ref instances = borrow(PyTuple_GET_ITEM(args.get(), 0));
    Py_ssize_t cap = PyLong_AsSsize_t(PyTuple_GET_ITEM(args.get(), 1));
    Ref model = borrow(as_executor(self.get())->model);
    Backend b;
    if (!read_backend(model.get(), con.get(), b)) co_return nullptr;
    std::vector<Ref> cells;
    std::vector<Group> groups;
    if (!group_rows(model.get(), instances.get(), cells, groups)) co_return nullptr;
    Ref pk_name = attr(model.get(), names().pkName);
    if (!pk_name) co_return nullptr;
    for (const Group& group : groups) {
        Ref done = launch(insert_group(borrow(self.get()), borrow(con.get()), borrow(instances.get()),
                                       borrow(pk_name.get()), &b, &group, &cells, cap, is_async),
                          is_async, "saveAll");
        TSY_BULK_RESOLVE(done, is_async);
        if (!done) co_return nullptr;
    }
    Ref defaults = launch(insert_default_rows(borrow(model.get()), borrow(con.get()), borrow(instances.get()), &cells,
                                              borrow(pk_name.get()), is_async),
                          is_async, "saveAll");
    TSY_BULK_RESOLVE(defaults, is_async);
    if (!defaults) co_return nullptr;
    // Every row is written now: each carries its related rows on, as with save.
    Ref owners = steal(PyList_GetSlice(instances.get(), 0, PyList_GET_SIZE(instances.get())));
    if (!owners) co_return nullptr;
    Ref related = launch(relations(std::move(model), borrow(con.get()), std::move(owners), b.param_limit, is_async),
                         is_async, "saveAll");
    TSY_BULK_RESOLVE(related, is_async);
    if (!related) co_return nullptr;
    co_return steal(PyList_GetSlice(instances.get(), 0, PyList_GET_SIZE(instances.get())));
}

// The call's arguments checked, as the job's argument tuple.
Ref save_all_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{"saveAll", kSaveAllNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return {};
    Py_ssize_t cap = 0;
    Ref instances = instance_list("saveAll", a[0]);
    if (!instances || !chunk_size("saveAll", a[1], &cap)) return {};
    Ref size = steal(PyLong_FromSsize_t(cap));
    return size ? steal(PyTuple_Pack(2, instances.get(), size.get())) : Ref();
}

}  // namespace

PyObject* saveAll_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref job_args = save_all_args(args, nargs, kwnames);
    if (!job_args) return nullptr;
    coro::Task job = transactional(borrow(self), std::move(job_args), save_all_job, "saveAll", false);
    Ref task = launch(std::move(job), false, "saveAll");
    return task.release();
}

PyObject* async_saveAll_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref job_args = save_all_args(args, nargs, kwnames);
    if (!job_args) return nullptr;
    coro::Task job = transactional(borrow(self), std::move(job_args), save_all_job, "saveAll", true);
    Ref task = launch(std::move(job), true, "saveAll");
    return task.release();
}

}  // namespace tsy::exec::bulk
