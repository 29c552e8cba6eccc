// Tessary.Ext.Dict: module state and the capsule other modules bind to.
#include "tessary/dict.hpp"

namespace tsy::dict {
extern PyTypeObject DictPlusType;
int ready_dict_plus() noexcept;

namespace {

DictApi api = {
    {DICT_API_VERSION, sizeof(DictApi)},
    &DictPlusType,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.Ext.Dict",
    .m_doc = "The attribute dictionary.",
    .m_size = -1,
};

}  // namespace
}  // namespace tsy::dict

TSY_EXPORT PyObject* PyInit_Dict() {
    using namespace tsy::dict;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || ready_dict_plus() < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "DictPlus", reinterpret_cast<PyObject*>(&DictPlusType)) < 0) return nullptr;
    if (tsy::export_api(module.get(), &api, DICT_CAPSULE) < 0) return nullptr;
    return module.release();
}
