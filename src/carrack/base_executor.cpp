// BaseModelExecutor: the model served, the pending statement builder, the
// database handle, an optional connection, the attribute dictionary and the
// executed flag; construction, the builder's life cycle and the base forms of
// execute, save and update.
#include "carrack.hpp"

#include <cstddef>
#include <cstring>

namespace tsy::exec {
namespace {

const char* const kInitNames[] = {"model", "work"};
const char* const kCallbackNames[] = {"callback"};
const char* const kInstanceNames[] = {"instance"};

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ExecutorObject* ex = as_executor(self);
    Py_VISIT(ex->model);
    Py_VISIT(ex->sql);
    Py_VISIT(ex->work);
    Py_VISIT(ex->db);
    Py_VISIT(ex->dict);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    ExecutorObject* ex = as_executor(self);
    Py_CLEAR(ex->model);
    Py_CLEAR(ex->sql);
    Py_CLEAR(ex->work);
    Py_CLEAR(ex->db);
    Py_CLEAR(ex->dict);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// A truthy connection wrapper with a `con` attribute stands for that connection.
Ref unwrap_work(PyObject* work) noexcept {
    if (!work) return borrow(Py_None);
    int truthy = truth(work);
    if (truthy < 0) return {};
    if (!truthy) return borrow(work);
    int has_con = PyObject_HasAttrWithError(work, names().con);
    if (has_con < 0) return {};
    return has_con ? attr(work, names().con) : borrow(work);
}

const Params kInitParams{"__init__", kInitNames, 2, 1};

// The constructor's steps; `work` NULL when not given.
int init_fields(PyObject* self, PyObject* model, PyObject* work_arg) noexcept {
    Ref handle = steal(bound.db->getInstance());
    if (!handle || !check_convert(handle.get(), bound.db->DB)) return -1;
    ExecutorObject* ex = as_executor(self);
    set_field(ex->db, handle.get());
    set_field(ex->model, model);
    ex->executed = 0;
    ex->rowcount = -1;
    Ref work = unwrap_work(work_arg);
    if (!work) return -1;
    set_field(ex->work, work.get());
    Ref builder = steal(bound.generator->newFor(model));
    if (!builder) return -1;
    set_field(ex->sql, builder.get());
    Ref fresh = steal(PyDict_New());
    if (!fresh) return -1;
    set_field(ex->dict, fresh.get());
    return 0;
}

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* a[2];
    Ref kwnames, values;
    if (!parse_tuple(kInitParams, args, kwargs, a, kwnames, values)) return -1;
    return init_fields(self, a[0], a[1]);
}

}  // namespace

// Calling one of the three executor classes itself, without the argument
// tuple and dict of tp_new + tp_init (every getExecutor() makes one). The
// slot is not inherited: subclasses made in Python are called the usual way.
PyObject* executor_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* a[2];
    if (!parse(kInitParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type);
    Ref self = steal(cls->tp_alloc(cls, 0));
    if (!self || init_fields(self.get(), a[0], a[1]) < 0) return nullptr;
    return self.release();
}

namespace {

// --- attributes ---------------------------------------------------------------

PyObject* get_sql(PyObject* self, void*) noexcept {
    PyObject* sql = as_executor(self)->sql;
    return Py_NewRef(sql ? sql : Py_None);
}

int set_sql(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) value = Py_None;
    if (!check_convert(value, bound.generator->SqlGenerator)) return -1;
    set_field(as_executor(self)->sql, value);
    return 0;
}

PyObject* get_rowcount(PyObject* self, void*) noexcept { return PyLong_FromLongLong(as_executor(self)->rowcount); }

PyGetSetDef getset[] = {
    {"sql", guarded<executor_ready, get_sql>, guarded<executor_ready, set_sql>,
     "The statement builder of the pending statement (SqlGenerator or None).", nullptr},
    {"generator", guarded<executor_ready, get_sql>, nullptr, "The same builder as `sql`, read only.", nullptr},
    {"rowcount", guarded<executor_ready, get_rowcount>, nullptr,
     "Rows the executor's last write (save, update, delete, updateWhere, deleteWhere) wrote; -1 before any. "
     "An UPDATE counts the rows it matched, also those whose values it left as they were.",
     nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods ----------------------------------------------------------------

PyObject* editSql_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"editSql", kCallbackNames, 1, 1};
    PyObject* callback[1];
    if (!parse(params, args, nargs, kwnames, callback)) return nullptr;
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    if (!call(callback[0], builder.get())) return nullptr;
    return Py_NewRef(self);
}

PyObject* execute_method(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("execute", nargs, kwnames)) return nullptr;
    Py_RETURN_NONE;
}

// Base forms: the argument contract only.
PyObject* instance_only(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Params params{func, kInstanceNames, 1, 1};
    PyObject* instance[1];
    if (!parse(params, args, nargs, kwnames, instance)) return nullptr;
    if (!check_arg(instance[0], bound.model->ModelInstance, "instance", false)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* base_save_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return instance_only("save", args, nargs, kwnames);
}

PyObject* base_update_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return instance_only("update", args, nargs, kwnames);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    // The stubs make the class generic: subscripting it names a type in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe class parameterised for annotations, e.g. ModelExecutor[User]."},
    {"reset", method<reset_method>(), kFast,
     "reset($self)\n--\n\nReplace the builder with a fresh one if the pending statement has been executed; "
     "returns the executor then, else None."},
    {"editSql", method<editSql_method>(), kFast, "editSql($self, callback)\n--\n\ncallback(sql) on the pending builder."},
    {"save", method<base_save_method>(), kFast, "save($self, instance)\n--\n\ndoes nothing in the base class."},
    {"update", method<base_update_method>(), kFast, "update($self, instance)\n--\n\ndoes nothing in the base class."},
    {"execute", method<execute_method>(), kFast, "execute($self)\n--\n\nRun the pending statement; does nothing in the base class."},
    {"findAnyMatch", method<findAnyMatch_method>(), kFast,
     "findAnyMatch($self, instance, limit=0, offset=0)\n--\n\nthe rows equal to the instance's set fields."},
    {"findOneBy", method<findOneBy_method>(), kFast,
     "findOneBy($self, Filter=None)\n--\n\nthe one row matching; QueryResoutIsNotOne otherwise."},
    {"findAllBy", method<findAllBy_method>(), kFast, "findAllBy($self, Filter=None, *, orderBy=None, limit=None, offset=None)\n--\n\nevery row matching, every column; "
     "orderBy one term or a sequence of terms, limit/offset non-negative ints."},
    {"find", method<find_method>(), kFast, "find($self, *cols)\n--\n\nselect these columns; By(Filter) runs."},
    {"By", method<By_method>(), kFast, "By($self, Filter=None)\n--\n\nadd the filter to the pending statement and run it."},
    {"delete", method<delete_method>(), kFast,
     "delete($self, instance=None, filter=None, *, cascade=False)\n--\n\nthe rows `filter` matches, else the instance's row (with cascade=True, its related rows too)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* reset_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("reset", nargs, kwnames)) return nullptr;
    ExecutorObject* ex = as_executor(self);
    if (!ex->executed) Py_RETURN_NONE;
    Ref model = borrow(ex->model);  // held: building the new builder may run Python code
    Ref builder = steal(bound.generator->newFor(model.get()));
    if (!builder) return nullptr;
    ex->executed = 0;
    set_field(ex->sql, builder.get());
    return Py_NewRef(self);
}

// The class's own name (tp_name after its module), e.g. "ModelExecutor".
const char* short_type_name(PyObject* self) noexcept {
    const char* full = Py_TYPE(self)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? dot + 1 : full;
}

// "<ModelExecutor of User>", with " on <connection>" when it works on a connection of its own.
// The fields are held first: repr of the connection runs Python code.
PyObject* tp_repr(PyObject* self) noexcept {
    ExecutorObject* ex = as_executor(self);
    Ref model = borrow(ex->model ? ex->model : Py_None);
    Ref work = borrow(ex->work ? ex->work : Py_None);
    Ref model_name = PyType_Check(model.get())
                         ? steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(model.get())))
                         : steal(PyObject_Repr(model.get()));
    if (!model_name) return nullptr;
    if (work.get() == Py_None) return PyUnicode_FromFormat("<%s of %U>", short_type_name(self), model_name.get());
    return PyUnicode_FromFormat("<%s of %U on %R>", short_type_name(self), model_name.get(), work.get());
}

PyTypeObject BaseModelExecutorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.Carrack.BaseModelExecutor",
    .tp_basicsize = sizeof(ExecutorObject),
    .tp_dealloc = tp_dealloc,
    .tp_repr = tp_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BaseModelExecutor(model, work=None)\n--\n\nPrepares the statements of one model class.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_dictoffset = offsetof(ExecutorObject, dict),
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
    .tp_vectorcall = executor_vectorcall,
};

int ready_base_executor() noexcept { return PyType_Ready(&BaseModelExecutorType); }

}  // namespace tsy::exec
