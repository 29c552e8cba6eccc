// Tessary.Ext.Seeder: the registry, data_task/create_task, module bindings.
#include "tessary/coro.hpp"

#include "internal.hpp"

namespace tsy::seeder {

Bound bound;
Names names;

int init_names() noexcept {
    struct { PyObject** slot; const char* text; } table[] = {
        {&names.time, "time"}, {&names.object, "object"}, {&names.getExecutor, "getExecutor"},
        {&names.save, "save"}, {&names.getInstance, "getInstance"}, {&names.connector, "connector"},
        {&names.connectorFor, "connectorFor"},
        {&names.isAsync, "isAsync"}, {&names.isReady, "isReady"}, {&names.getCon, "getCon"},
        {&names.commit, "commit"}, {&names.is_running, "is_running"}, {&names.create_task, "create_task"},
        {&names.run_until_complete, "run_until_complete"}, {&names.arun, "arun"}, {&names.model, "model"},
        {&names.count, "count"}, {&names.generator, "generator"}, {&names.releaseCon, "releaseCon"},
    };
    for (auto& entry : table) {
        if (!(*entry.slot = intern(entry.text))) return -1;
    }
    names.one = PyLong_FromLong(1);
    names.poll_seconds = PyFloat_FromDouble(0.3);
    return names.one && names.poll_seconds ? 0 : -1;
}

namespace {

// A task's model: a model class, or a false value (None) for one learned from
// the generator on first use. Refused at registration, so that a task that
// could never run does not stop every later run of the good ones.
bool check_model(const char* func, PyObject* model) noexcept {
    if (PyObject_TypeCheck(model, bound.model->ModelMeta)) return true;
    int given = truth(model);
    if (given <= 0) return given == 0;
    if (PyType_Check(model)) {
        fail(PyExc_TypeError, "%.200s() argument 'model' must be a model class or None, not the class %.200s", func,
             reinterpret_cast<PyTypeObject*>(model)->tp_name);
    } else {
        fail(PyExc_TypeError, "%.200s() argument 'model' must be a model class or None, not %.200s", func,
             type_name(model));
    }
    return false;
}

bool check_generator(const char* func, PyObject* generator) noexcept {
    if (PyCallable_Check(generator)) return true;
    fail(PyExc_TypeError, "%.200s() argument 'generator' must be callable, not %.200s", func, type_name(generator));
    return false;
}

const char* const kCreateParams[] = {"generator", "model", "count", "group"};

PyObject* create_task(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"create_task", kCreateParams, 4, 1};
    PyObject* a[4];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* model = a[1] ? a[1] : Py_None;
    if (!check_generator("create_task", a[0]) || !check_model("create_task", model)) return nullptr;
    int count = 1;
    if (a[2] && !to_int(a[2], &count)) return nullptr;
    if (register_task(a[0], model, count, a[3] ? a[3] : Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

const char* const kInnerParams[] = {"fun"};

// The decorator data_task returns; `self` is the tuple (model, count, group).
// create_task is looked up in the module at each call.
PyObject* decorate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"inner", kInnerParams, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Ref registrar = attr(bound.module, "create_task");
    if (!registrar) return nullptr;
    PyObject* argv[] = {a[0], PyTuple_GET_ITEM(self, 0), PyTuple_GET_ITEM(self, 1), PyTuple_GET_ITEM(self, 2)};
    if (!Ref::steal(PyObject_Vectorcall(registrar.get(), argv, 4, nullptr))) return nullptr;
    return Py_NewRef(a[0]);
}

PyMethodDef decorate_def = {"inner", fastkw<decorate>(), METH_FASTCALL | METH_KEYWORDS,
                            "inner($module, fun)\n--\n\nRegister `fun` as a data generation task and return it unchanged."};

const char* const kDataTaskParams[] = {"model", "count", "group"};

PyObject* data_task(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"data_task", kDataTaskParams, 3, 0};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* model = a[0] ? a[0] : Py_None;
    // A model that is not a model class, the decorator's function among them
    // (`@data_task` written without its call), is refused here, not when the
    // decorator is applied.
    if (!check_model("data_task", model)) return nullptr;
    PyObject* count = a[1] ? a[1] : names.one;
    if (count != Py_None && !PyLong_CheckExact(count)) return wrong_arg_type("count", &PyLong_Type, count);
    Ref closure = steal(PyTuple_Pack(3, model, count, a[2] ? a[2] : Py_None));
    if (!closure) return nullptr;
    return PyCFunction_NewEx(&decorate_def, closure.get(), nullptr);
}

PyMethodDef module_methods[] = {
    {"data_task", fastkw<data_task>(), METH_FASTCALL | METH_KEYWORDS,
     "data_task($module, model=None, count=1, group=None)\n--\n\nCreate a data generation task; use as a decorator."},
    {"create_task", fastkw<create_task>(), METH_FASTCALL | METH_KEYWORDS,
     "create_task($module, generator, model=None, count=1, group=None)\n--\n\nCreate a data generation task."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.Ext.Seeder",
    .m_doc = "Registered test-data generation tasks and the runner that saves what they generate.",
    .m_size = -1,
    .m_methods = module_methods,
};

int bind(PyObject* module) noexcept {
    if (!(bound.carrack = exec::import_carrack_api())) return -1;
    if (!(bound.model = model::import_model_api())) return -1;
    Ref db = import_attr("Tessary.DB.DB", "DB");
    Ref sleep = db ? import_attr("asyncio", "sleep") : Ref();
    if (!sleep) return -1;
    bound.DB = db.release();
    bound.asyncio_sleep = sleep.release();
    bound.module = module;
    bound.taskList = PyList_New(0);
    bound.taskGroups = PyDict_New();
    return bound.taskList && bound.taskGroups ? 0 : -1;
}

}  // namespace
}  // namespace tsy::seeder

TSY_EXPORT PyObject* PyInit_Seeder() {
    using namespace tsy::seeder;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || init_names() < 0 || !tsy::coro::import_coro_api() || bind(module.get()) < 0) return nullptr;
    if (ready_task() < 0 || ready_runner() < 0) return nullptr;
    if (tsy::add_type(module.get(), &RunnerTaskType, "RunnerTask") < 0) return nullptr;
    if (tsy::add_type(module.get(), &GeneratorRunnerType, "GeneratorRunner") < 0) return nullptr;
    return module.release();
}
