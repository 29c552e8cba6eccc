// The many-to-many writes of save and update on both executors: the far rows
// through their own model, the owner's junction rows rewritten through the
// junction model, all on the executor's connection.
#include "related_writes.hpp"

namespace tsy::exec {
namespace {

const char* const kFkInstanceNames[] = {"fk", "instance"};

// The parts every junction write needs, as one tuple so that the body keeps
// them in a single garbage-collected parameter.
enum JunctionPart : int {
    WORK,          // the executor's connection (or None)
    FAR_MODEL,     // fk.directTarget
    FAR_EXC,       // its executor for the whole relation; None when each far row gets its own
    MIDDLE_EXC,    // the junction model's executor
    OWNER_COLUMN,  // fk.targetBindCol.name: junction column of the owner
    FAR_COLUMN,    // junction column of the far side (junction_far_side)
    FAR_KEY,       // the far row's referenced column
    OWNER_VALUE,   // instance[fk.bindCol.name]
    OWNER_FILTER,  // fk.targetBindCol == owner value
    JUNCTION_PARTS
};

PyObject* part(PyObject* junction, JunctionPart which) noexcept { return PyTuple_GET_ITEM(junction, which); }

Ref junction_parts(PyObject* self, PyObject* fk, PyObject* instance, const ExecutorRules& rules) noexcept {
    const Names& n = names();
    Ref work = work_of(self);
    Ref far = attr(fk, n.directTarget);
    Ref middle = attr(fk, n.middleModel);
    Ref owner = attr(fk, n.owner);
    if (!far || !middle || !owner) return {};
    Ref far_exc = rules.far_executor_per_element ? borrow(Py_None) : walk_executor(self, far.get());
    bool same = far_exc && same_database(as_executor(self)->model, middle.get());
    Ref middle_exc = same ? get_executor(middle.get(), work.get()) : Ref();
    Ref far_column, far_key;
    if (!middle_exc || !junction_far_side(fk, &far_column, &far_key)) return {};
    Ref owner_column = attr2(fk, n.targetBindCol, n.name);
    Ref bind_name = attr2(fk, n.bindCol, n.name);
    if (!owner_column || !far_column || !far_key || !bind_name) return {};
    Ref owner_value = steal(PyObject_GetItem(instance, bind_name.get()));
    Ref target_bind = owner_value ? attr(fk, n.targetBindCol) : Ref();
    Ref owner_filter = target_bind ? equals(target_bind.get(), owner_value.get()) : Ref();
    if (!owner_filter) return {};
    return steal(PyTuple_Pack(JUNCTION_PARTS, work.get(), far.get(), far_exc.get(), middle_exc.get(),
                              owner_column.get(), far_column.get(), far_key.get(), owner_value.get(),
                              owner_filter.get()));
}

// The write of one far element: an element carrying its key is an existing
// row, linked as it is when saving and updated when updating; one without is
// saved (and gets its key). Its result or awaitable; None when there is
// nothing to write.
Ref write_far(PyObject* self, PyObject* junction, PyObject* element, bool updating,
              const ExecutorRules& rules) noexcept {
    int has_key = carries(element, part(junction, FAR_KEY));
    if (has_key < 0) return {};
    if (has_key && !updating) return borrow(Py_None);
    Ref exc = rules.far_executor_per_element ? walk_executor(self, part(junction, FAR_MODEL))
                                             : borrow(part(junction, FAR_EXC));
    if (!exc) return {};
    return call_method(exc.get(), has_key ? names().update : names().save, element);
}

// middleExc.delete(rows, filter): every junction row of the owner.
Ref delete_owner_rows(PyObject* junction) noexcept {
    Ref rows = steal(PyDict_New());
    if (!rows || PyDict_SetItem(rows.get(), part(junction, OWNER_COLUMN), part(junction, OWNER_VALUE)) < 0) return {};
    return call_method(part(junction, MIDDLE_EXC), names().delete_, rows.get(), part(junction, OWNER_FILTER));
}

// The junction row of one far element, owner side first, saved.
Ref save_junction_row(PyObject* junction, PyObject* element) noexcept {
    Ref far_value = steal(PyObject_GetItem(element, part(junction, FAR_KEY)));
    Ref row = steal(PyDict_New());
    if (!far_value || !row) return {};
    if (PyDict_SetItem(row.get(), part(junction, OWNER_COLUMN), part(junction, OWNER_VALUE)) < 0 ||
        PyDict_SetItem(row.get(), part(junction, FAR_COLUMN), far_value.get()) < 0) {
        return {};
    }
    return call_method(part(junction, MIDDLE_EXC), names().save, row.get());
}

coro::Task junction_body(Ref self, Ref fk, Ref instance, bool updating, ExecutorRules rules, Ref junction = nullptr,
                         Ref elements = nullptr) {
    junction = junction_parts(self.get(), fk.get(), instance.get(), rules);
    Ref fk_name = junction ? attr(fk.get(), names().name) : Ref();
    Ref given = fk_name ? steal(PyObject_GetItem(instance.get(), fk_name.get())) : Ref();
    elements = given ? steal(PySequence_List(given.get())) : Ref();
    if (!elements) co_return nullptr;
    PyObject* j = junction.get();
    if (updating) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
            Ref written = write_far(self.get(), j, PyList_GET_ITEM(elements.get(), i), true, rules);
            if (written && written.get() == Py_None) continue;
            TSY_WRITTEN(written, rules);
            if (!written) co_return nullptr;
        }
    }
    Ref deleted = delete_owner_rows(j);
    TSY_WRITTEN(deleted, rules);
    if (!deleted) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
        Ref element = borrow(PyList_GET_ITEM(elements.get(), i));
        if (!updating) {
            Ref written = write_far(self.get(), j, element.get(), false, rules);
            if (!written) co_return nullptr;
            if (written.get() != Py_None) {
                TSY_WRITTEN(written, rules);
                if (!written) co_return nullptr;
            }
        }
        Ref linked = save_junction_row(j, element.get());
        TSY_WRITTEN(linked, rules);
        if (!linked) co_return nullptr;
    }
    co_return borrow(Py_None);
}

}  // namespace

Ref write_junction(PyObject* self, PyObject* fk, PyObject* instance, bool updating,
                   const ExecutorRules& rules) noexcept {
    return start_body(junction_body(borrow(self), borrow(fk), borrow(instance), updating, rules), rules, "_saveMTM",
                      "AsyncModelExecutor._saveMTM");
}

template <const ExecutorRules& rules>
PyObject* saveMTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveMTM", kFkInstanceNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return write_junction(self, a[0], a[1], false, rules).release();
}
template PyObject* saveMTM_method<kSyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template PyObject* saveMTM_method<kAsyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tsy::exec
