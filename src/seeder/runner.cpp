// GeneratorRunner: runs the registered tasks, synchronously or on an event
// loop, as the handle's connector calls for.
#include "internal.hpp"

namespace tsy::seeder {
namespace {

GeneratorRunnerObject* as_runner(PyObject* self) noexcept { return reinterpret_cast<GeneratorRunnerObject*>(self); }

int runner_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_runner(self)->loop);
    return 0;
}

int runner_clear(PyObject* self) {
    Py_CLEAR(as_runner(self)->loop);
    return 0;
}

void runner_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    runner_clear(self);
    Py_TYPE(self)->tp_free(self);
}

const char* const kRunnerParams[] = {"loop"};

int runner_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params{"__init__", kRunnerParams, 1, 0};
    PyObject* a[1];
    Ref kw_holder, value_holder;
    if (!parse_tuple(params, args, kwargs, a, kw_holder, value_holder)) return -1;
    set_field(as_runner(self)->loop, a[0] ? a[0] : Py_None);
    return 0;
}

RunnerTaskObject* checked_task(PyObject* item) noexcept {
    if (!PyObject_TypeCheck(item, &RunnerTaskType)) {
        fail(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(item), RunnerTaskType.tp_name);
        return nullptr;
    }
    return reinterpret_cast<RunnerTaskObject*>(item);
}

// A task of a model whose database runs on an event loop cannot be run by
// the synchronous pass.
bool check_sync_database(PyObject* model) noexcept {
    Ref connector = model_connector(model);
    int on_loop = connector ? runs_on_loop(connector.get()) : -1;
    if (on_loop < 0) return false;
    if (on_loop) {
        fail(PyExc_TypeError, "the rows of %.200R go to an asynchronous connector: run the tasks with arun() on "
             "an event loop", model);
        return false;
    }
    return true;
}

}  // namespace

bool run_task_sync(RunnerTaskObject* task) noexcept {
    Ref model = steal(task_model(task));
    if (!model || !check_sync_database(model.get())) return false;
    Ref executor = call_method(model.get(), names.getExecutor);
    if (!executor || !check_convert(executor.get(), bound.carrack->ModelExecutor)) return false;
    for (int time = 0; time < task->count; ++time) {
        Ref instance = steal(generate(task, time + 1));
        if (!instance || !call_method(executor.get(), names.save, instance.get())) return false;
    }
    return true;
}

namespace {

// The synchronous pass over `tasks`; tasks appended meanwhile are not run.
bool sync_pass(PyObject* tasks) noexcept {
    Py_ssize_t n = PyList_GET_SIZE(tasks);
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(tasks); ++i) {
        Ref item = borrow(PyList_GET_ITEM(tasks, i));
        RunnerTaskObject* task = checked_task(item.get());
        if (!task || !run_task_sync(task)) return false;
    }
    return true;
}

int connector_is_async() noexcept {
    Ref con = connector();
    return con ? runs_on_loop(con.get()) : -1;
}

// Runs `tasks` on the path the connector calls for. On a loop that is already
// running the pass is scheduled and not awaited.
PyObject* run_tasks(GeneratorRunnerObject* self, PyObject* tasks) noexcept {
    int is_async = connector_is_async();
    if (is_async < 0) return nullptr;
    if (!is_async) {
        if (!sync_pass(tasks)) return nullptr;
        Py_RETURN_NONE;
    }
    Ref held = borrow(self->loop ? self->loop : Py_None);  // is_running may re-run __init__
    PyObject* loop = held.get();
    Ref running = call_method(loop, names.is_running);
    int is_running = running ? truth(running.get()) : -1;
    if (is_running < 0) return nullptr;
    Ref coroutine = steal(async_pass(tasks));
    if (!coroutine) return nullptr;
    Ref result = call_method(loop, is_running ? names.create_task : names.run_until_complete, coroutine.get());
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

// Both passes take the registry's length when they start working through it
// (the coroutine only once the connector is ready), so they are handed the
// registry itself; it is only ever appended to.
PyObject* runner_run(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("run", nargs, kwnames)) return nullptr;
    return run_tasks(as_runner(self), bound.taskList);
}

PyObject* runner_arun(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("arun", nargs, kwnames)) return nullptr;
    return async_pass(bound.taskList);
}

// The tasks registered under any of `groups`, each once, in registration order.
Ref tasks_of_groups(PyObject* const* groups, Py_ssize_t ngroups) noexcept {
    Ref wanted = steal(PySet_New(nullptr));
    if (!wanted) return {};
    for (Py_ssize_t g = 0; g < ngroups; ++g) {
        PyObject* members = PyDict_GetItemWithError(bound.taskGroups, groups[g]);
        if (!members) {
            if (PyErr_Occurred()) return {};
            continue;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members); ++i) {
            if (PySet_Add(wanted.get(), PyList_GET_ITEM(members, i)) < 0) return {};
        }
    }
    Ref selected = steal(PyList_New(0));
    if (!selected) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bound.taskList); ++i) {
        PyObject* task = PyList_GET_ITEM(bound.taskList, i);
        int member = PySet_Contains(wanted.get(), task);
        if (member < 0 || (member && PyList_Append(selected.get(), task) < 0)) return {};
    }
    return selected;
}

PyObject* runner_run_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("run_group", kwnames)) return nullptr;
    Ref tasks = tasks_of_groups(args, nargs);
    if (!tasks) return nullptr;
    if (PyList_GET_SIZE(tasks.get()) == 0) Py_RETURN_NONE;
    return run_tasks(as_runner(self), tasks.get());
}

PyMethodDef runner_methods[] = {
    {"run", fastkw<runner_run>(), METH_FASTCALL | METH_KEYWORDS,
     "run($self)\n--\n\nRun every registered task, synchronously or on the event loop as the connector calls for."},
    {"arun", fastkw<runner_arun>(), METH_FASTCALL | METH_KEYWORDS,
     "arun($self)\n--\n\nExecute the asynchronous creation (a coroutine)."},
    {"run_group", fastkw<runner_run_group>(), METH_FASTCALL | METH_KEYWORDS,
     "run_group($self, *groups)\n--\n\nRun only the tasks registered under the named groups, each once, in registration order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref connector() noexcept {
    Ref handle = call_class_method(bound.DB, names.getInstance);
    return handle ? attr(handle.get(), names.connector) : Ref();
}

Ref model_connector(PyObject* model) noexcept {
    Ref handle = call_class_method(bound.DB, names.getInstance);
    return handle ? call_method(handle.get(), names.connectorFor, model) : Ref();
}

int runs_on_loop(PyObject* connector) noexcept {
    Ref flag = attr(connector, names.isAsync);
    return flag ? truth(flag.get()) : -1;
}

PyTypeObject GeneratorRunnerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Ext.Seeder.GeneratorRunner",
    .tp_basicsize = sizeof(GeneratorRunnerObject),
    .tp_dealloc = runner_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "GeneratorRunner(loop=None)\n--\n\nGeneratorRunner(loop=None)\n\n"
              "Data generation executor: picks the asynchronous or the synchronous way from the database connection.",
    .tp_traverse = runner_traverse,
    .tp_clear = runner_clear,
    .tp_methods = runner_methods,
    .tp_init = entry<runner_init>,
    .tp_new = PyType_GenericNew,
};

int ready_runner() noexcept { return PyType_Ready(&GeneratorRunnerType); }

}  // namespace tsy::seeder
