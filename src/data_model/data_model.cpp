// _DataModel, DataModel and MiddleDataModel: the static model bases (their
// metaclass is ModelMeta), with the class methods every model answers.
#include "internal.hpp"
#include "tessary/db.hpp"

namespace tsy::model {
namespace {

const char* const kConParams[] = {"con"};
const char* const kOwnerParams[] = {"owner"};

// The database layer's native operations, bound on first use: DB imports
// modules built after this one. A failed import is tried again next time.
const db::DbApi* db_api() noexcept {
    static const db::DbApi* api = nullptr;
    if (!api) api = db::import_db_api();
    return api;
}

// The executor class for the connector the model's statements run on (the
// connector `con` belongs to, when given; else the model's `database`, the
// handle's connector by default): the coroutine executor for an
// asynchronous connector. The connector comes from the handle natively; the
// executor classes are looked up in Carrack's module, which is built after
// this one and imported on first use.
Ref executor_class(PyObject* cls, PyObject* con) noexcept {
    const db::DbApi* api = db_api();
    Ref connector = steal(api ? api->statementConnector(cls, con) : nullptr);
    if (!connector) return {};
    Ref flag = attr(connector.get(), names.isAsync);
    int is_async = flag ? truth(flag.get()) : -1;
    if (is_async < 0) return {};
    return module_attr(names.mod_Carrack, is_async ? names.AsyncModelExecutor : names.ModelExecutor);
}

PyObject* get_executor(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"getExecutor", kConParams, 1, 0};
    PyObject* out[1];
    if (!parse(params, args, nargs, kwnames, out)) return nullptr;
    PyObject* con = out[0] ? out[0] : Py_None;
    Ref executor = executor_class(cls, con);
    if (!executor) return nullptr;
    return call(executor.get(), cls, con).release();
}

PyObject* get_other_fk_by(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"getOtherFkBy", kOwnerParams, 1, 1};
    PyObject* out[1];
    if (!parse(params, args, nargs, kwnames, out)) return nullptr;
    return other_fk_by(cls, out[0]);
}

PyMethodDef model_methods[] = {
    {"getExecutor", fastkw<get_executor>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "getExecutor($type, con=None)\n--\n\na new executor of this model (ModelExecutor, or AsyncModelExecutor when the\n"
     "connector it runs on is asynchronous: the connector of `con`, else the one its `database` names, else the\n"
     "database handle's); `con` is the connection it works on."},
    {"getOtherFkBy", fastkw<get_other_fk_by>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "getOtherFkBy($type, owner)\n--\n\nthe relation of this (junction) model that leads away from the model `owner`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject DataModelBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.DataModel._DataModel",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Extension base of model classes (metaclass ModelMeta).",
    .tp_methods = model_methods,
};

PyTypeObject DataModelType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.DataModel.DataModel",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Base of application model classes: declare columns (BaseProperty subclasses) and relations\n"
              "(ForeignKey) as class attributes; `tableName` defaults to the class name in lower case.",
};

PyTypeObject MiddleDataModelType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.DataModel.MiddleDataModel",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Base of junction models of many-to-many relations.",
};

int ready_model_bases(PyObject* module) noexcept {
    DataModelType.tp_base = &DataModelBaseType;
    MiddleDataModelType.tp_base = &DataModelType;
    struct Base {
        PyTypeObject* type;
        const char* name;
    };
    for (Base base : {Base{&DataModelBaseType, "_DataModel"}, Base{&DataModelType, "DataModel"},
                      Base{&MiddleDataModelType, "MiddleDataModel"}}) {
        Py_SET_TYPE(base.type, &ModelMetaType);
        if (add_type(module, base.type, base.name) < 0) return -1;
        if (setup_model(reinterpret_cast<PyObject*>(base.type)) < 0) return -1;
    }
    return 0;
}

}  // namespace tsy::model
