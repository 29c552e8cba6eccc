// RunnerTask: one registered generation task, and the registry itself.
#include "internal.hpp"

namespace tsy::seeder {
namespace {

RunnerTaskObject* as_task(PyObject* self) noexcept { return reinterpret_cast<RunnerTaskObject*>(self); }

int task_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_task(self)->_model);
    Py_VISIT(as_task(self)->generator);
    return 0;
}

int task_clear(PyObject* self) {
    Py_CLEAR(as_task(self)->_model);
    Py_CLEAR(as_task(self)->generator);
    return 0;
}

void task_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    task_clear(self);
    Py_TYPE(self)->tp_free(self);
}

const char* const kTaskParams[] = {"model", "count", "generator"};

int task_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params{"__init__", kTaskParams, 3, 3};
    PyObject* a[3];
    Ref kw_holder, value_holder;
    int count = 0;
    if (!parse_tuple(params, args, kwargs, a, kw_holder, value_holder) || !to_int(a[1], &count)) return -1;
    RunnerTaskObject* task = as_task(self);
    set_field(task->_model, a[0]);
    task->count = count;
    set_field(task->generator, a[2]);
    return 0;
}

PyObject* task_get_model(PyObject* self, void*) noexcept { return task_model(as_task(self)); }

PyGetSetDef task_getset[] = {
    {"model", guarded<task_ready, task_get_model>, nullptr, "The model class whose rows the task makes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool task_ready(PyObject* self) noexcept { return as_task(self)->_model && as_task(self)->generator; }

PyObject* task_model(RunnerTaskObject* task) noexcept {
    PyObject* self = reinterpret_cast<PyObject*>(task);
    if (!task_ready(self)) return not_initialised(self);
    // Held: its truth test, like the generator, may re-run __init__.
    Ref known = borrow(task->_model);
    int given = truth(known.get());
    if (given < 0) return nullptr;
    if (given) return known.release();
    // Learned once from a sample instance, which is dropped, not saved.
    Ref sample = steal(generate(task, 1));
    Ref model = sample ? attr(sample.get(), names.object) : Ref();
    if (!model) return nullptr;
    set_field(task->_model, model.get());
    return model.release();
}

PyObject* generate(RunnerTaskObject* task, int time) noexcept {
    PyObject* self = reinterpret_cast<PyObject*>(task);
    if (!task_ready(self)) return not_initialised(self);
    Ref generator = borrow(task->generator);  // held while it runs: it may re-run __init__
    Ref number = steal(PyLong_FromLong(time));
    if (!number) return nullptr;
    PyObject* argv[] = {number.get()};
    Ref kwnames = steal(PyTuple_Pack(1, names.time));
    if (!kwnames) return nullptr;
    Ref instance = steal(PyObject_Vectorcall(generator.get(), argv, 0, kwnames.get()));
    if (instance && !check_convert(instance.get(), bound.model->ModelInstance)) return nullptr;
    return instance.release();
}

int register_task(PyObject* generator, PyObject* model, int count, PyObject* group) noexcept {
    Ref count_obj = steal(PyLong_FromLong(count));
    if (!count_obj) return -1;
    PyObject* argv[] = {model, count_obj.get(), generator};
    Ref kwnames = steal(PyTuple_Pack(3, names.model, names.count, names.generator));
    if (!kwnames) return -1;
    Ref task = steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&RunnerTaskType), argv, 0, kwnames.get()));
    if (!task) return -1;
    int grouped = truth(group);
    if (grouped < 0) return -1;
    if (grouped) {
        PyObject* members = PyDict_GetItemWithError(bound.taskGroups, group);
        if (!members) {
            if (PyErr_Occurred()) return -1;
            Ref fresh = steal(PyList_New(0));
            if (!fresh || PyDict_SetItem(bound.taskGroups, group, fresh.get()) < 0) return -1;
            members = fresh.get();
        }
        if (PyList_Append(members, task.get()) < 0) return -1;
    }
    return PyList_Append(bound.taskList, task.get());
}

PyTypeObject RunnerTaskType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Ext.Seeder.RunnerTask",
    .tp_basicsize = sizeof(RunnerTaskObject),
    .tp_dealloc = task_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "RunnerTask(model, count, generator)\n--\n\nRunnerTask(model, count, generator)\n\nA data generation task.",
    .tp_traverse = task_traverse,
    .tp_clear = task_clear,
    .tp_getset = task_getset,
    .tp_init = entry<task_init>,
    .tp_new = PyType_GenericNew,
};

int ready_task() noexcept { return PyType_Ready(&RunnerTaskType); }

}  // namespace tsy::seeder
