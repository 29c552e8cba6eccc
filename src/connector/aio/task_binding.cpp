// The context variable that binds connections to asyncio tasks.
#include "aio/task_binding.hpp"

namespace tsy::db::aio {
namespace {

PyObject* bindings_var = nullptr;   // ContextVar("tessary_task_connections"), for the life of the process
PyObject* current_task_fn = nullptr;

PyObject* variable() noexcept {
    if (!bindings_var) bindings_var = PyContextVar_New("tessary_task_connections", nullptr);
    return bindings_var;
}

// The dict the variable holds in the current context (borrowed by the
// context), or NULL when it holds none; -1 on error.
int bindings(PyObject** out) noexcept {
    *out = nullptr;
    PyObject* var = variable();
    if (!var) return -1;
    PyObject* value = nullptr;
    if (PyContextVar_Get(var, nullptr, &value) < 0) return -1;
    if (!value) return 0;
    // The context keeps its own reference while it is current.
    Py_DECREF(value);
    *out = PyDict_Check(value) ? value : nullptr;
    return 0;
}

// Sets the connector's entry (NULL: removes it) in a copy of the dict.
int replace_entry(PyObject* connector, PyObject* entry) noexcept {
    PyObject* current = nullptr;
    if (bindings(&current) < 0) return -1;
    if (!current && !entry) return 0;
    Ref fresh = steal(current ? PyDict_Copy(current) : PyDict_New());
    if (!fresh) return -1;
    if (entry) {
        if (PyDict_SetItem(fresh.get(), connector, entry) < 0) return -1;
    } else if (PyDict_Pop(fresh.get(), connector, nullptr) < 0) {
        return -1;
    }
    Ref token = steal(PyContextVar_Set(variable(), fresh.get()));
    return token ? 0 : -1;
}

}  // namespace

Ref current_task() noexcept {
    Ref loop = running_loop();
    if (!loop || loop.get() == Py_None) return loop;
    if (!current_task_fn && !(current_task_fn = import_attr("asyncio", "current_task").release())) return {};
    return call(current_task_fn, loop.get());
}

int context_entry(PyObject* connector, PyObject** entry) noexcept {
    *entry = nullptr;
    PyObject* all = nullptr;
    if (bindings(&all) < 0) return -1;
    if (!all) return 0;
    *entry = PyDict_GetItemWithError(all, connector);
    return *entry || !PyErr_Occurred() ? 0 : -1;
}

int entry_block(PyObject* entry, PyObject** block) noexcept {
    *block = nullptr;
    if (!entry || !PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) return 0;
    if (PyWeakref_GetRef(PyTuple_GET_ITEM(entry, 1), block) < 0) return -1;
    // Alive, the block is held elsewhere too: the caller may borrow it.
    Py_XDECREF(*block);
    return 0;
}

int bound_block(PyObject* connector, PyObject** block) noexcept {
    *block = nullptr;
    PyObject* entry = nullptr;
    PyObject* candidate = nullptr;
    if (context_entry(connector, &entry) < 0 || entry_block(entry, &candidate) < 0) return -1;
    if (!candidate || !as_block(candidate)->con) return 0;  // dropped, or ended in another context
    Ref task = current_task();
    if (!task) return -1;
    // A task created inside the block sees the entry too: not its connection.
    if (task.get() != PyTuple_GET_ITEM(entry, 0)) return 0;
    *block = candidate;
    return 0;
}

int bind_block(PyObject* connector, PyObject* task, PyObject* block) noexcept {
    Ref ref = steal(PyWeakref_NewRef(block, nullptr));
    Ref entry = ref ? steal(PyTuple_Pack(2, task, ref.get())) : Ref();
    return entry ? replace_entry(connector, entry.get()) : -1;
}

void restore_entry(PyObject* connector, PyObject* outer) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    if (replace_entry(connector, outer) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

int traverse_block(PyObject* self, visitproc visit, void* arg) noexcept {
    TaskBlockObject* t = as_block(self);
    Py_VISIT(t->connector);
    Py_VISIT(t->con);
    Py_VISIT(t->outer);
    return 0;
}

int clear_block(PyObject* self) noexcept {
    TaskBlockObject* t = as_block(self);
    Py_CLEAR(t->connector);
    Py_CLEAR(t->con);
    Py_CLEAR(t->outer);
    return 0;
}

void release_block(PyObject* self) noexcept {
    if (as_block(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear_block(self);
    Py_TYPE(self)->tp_free(self);
}

Ref keep_block_error() noexcept {
    Ref error = steal(PyErr_GetRaisedException());
    if (is_cancellation(error.get())) {
        PyErr_SetRaisedException(error.release());
        return {};
    }
    return borrow(Py_False);
}

}  // namespace tsy::db::aio
