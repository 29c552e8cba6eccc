// Tessary.Model.DataModel: model classes, instances, instance lists, and
// the capsule the other modules bind to.
#include "internal.hpp"

namespace tsy::model {

const PropertyApi* property_api = nullptr;
PyObject* ForeignTypeEnum = nullptr;
PyObject* IndexClass = nullptr;
Names names = {};

namespace {

ModelApi api = {
    {MODEL_API_VERSION, sizeof(ModelApi)},
    &ModelMetaType,
    &DataModelBaseType,
    &DataModelType,
    &MiddleDataModelType,
    &InstanceType,
    &InstanceListType,
    from_row,
    from_mapping,
    new_list,
    resolve_foreign_key,
    from_rows,
};

PyMethodDef module_methods[] = {
    {"_restore_instance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<restore_instance>)),
     METH_FASTCALL, "_restore_instance($module, type, model, items)\n--\n\nrebuilds a pickled ModelInstance."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.Model.DataModel",
    .m_doc = "Model classes (DataModel, MiddleDataModel), model instances and instance lists.",
    .m_size = -1,
    .m_methods = module_methods,
};

int ready_names() noexcept {
    names.fromDBValue = intern("fromDBValue");
    names.keys = intern("keys");
    names.modelInfo = intern("__tessary_model__");
    names.tableName = intern("tableName");
    names.lower = intern("lower");
    names.mod_Carrack = intern("Tessary.Model.Carrack");
    names.ModelExecutor = intern("ModelExecutor");
    names.AsyncModelExecutor = intern("AsyncModelExecutor");
    names.isAsync = intern("isAsync");
    names.indexes = intern("indexes");
    for (PyObject* name : {names.fromDBValue, names.keys, names.modelInfo, names.tableName,
                           names.lower, names.mod_Carrack, names.ModelExecutor,
                           names.AsyncModelExecutor, names.isAsync, names.indexes}) {
        if (!name) return -1;
    }
    return 0;
}

int bind_property_module() noexcept {
    property_api = import_property_api();
    if (!property_api) return -1;
    ForeignTypeEnum = import_attr("Tessary.Model.ModelProperty", "ForeignType").release();
    IndexClass = import_attr("Tessary.Model.ModelProperty", "Index").release();
    return ForeignTypeEnum && IndexClass ? 0 : -1;
}

}  // namespace
}  // namespace tsy::model

TSY_EXPORT PyObject* PyInit_DataModel() {
    using namespace tsy::model;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || ready_names() < 0 || bind_property_module() < 0) return nullptr;
    if (PyType_Ready(&ModelInfoType) < 0 || ready_registry(module.get()) < 0 || ready_model_meta() < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "ModelMeta", reinterpret_cast<PyObject*>(&ModelMetaType)) < 0) return nullptr;
    if (ready_model_bases(module.get()) < 0 || ready_instances(module.get()) < 0) return nullptr;
    if (tsy::export_api(module.get(), &api, MODEL_CAPSULE) < 0) return nullptr;
    return module.release();
}
