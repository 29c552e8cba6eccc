// The hidden per-model object: column names, converters and relations,
// prepared once when the class is created.
#include "internal.hpp"

#include <cstddef>
#include <cstdint>

namespace tsy::model {
namespace {

int info_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ModelInfoObject* i = as_info(self);
    Py_VISIT(i->cols);
    Py_VISIT(i->names);
    Py_VISIT(i->index);
    Py_VISIT(i->fks);
    Py_VISIT(i->links);
    Py_VISIT(i->className);
    return 0;
}

int info_clear(PyObject* self) noexcept {
    ModelInfoObject* i = as_info(self);
    Py_CLEAR(i->cols);
    Py_CLEAR(i->names);
    Py_CLEAR(i->index);
    Py_CLEAR(i->fks);
    Py_CLEAR(i->links);
    Py_CLEAR(i->className);
    return 0;
}

void info_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    info_clear(self);
    PyMem_Free(as_info(self)->kind_of);
    Py_TYPE(self)->tp_free(self);
}

PyMemberDef info_members[] = {
    {"cols", Py_T_OBJECT_EX, offsetof(ModelInfoObject, cols), Py_READONLY, nullptr},
    {"names", Py_T_OBJECT_EX, offsetof(ModelInfoObject, names), Py_READONLY, nullptr},
    {"fks", Py_T_OBJECT_EX, offsetof(ModelInfoObject, fks), Py_READONLY, nullptr},
    {"links", Py_T_OBJECT_EX, offsetof(ModelInfoObject, links), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Decided once per column: only Python subclasses can override.
bool overrides_conversion(PyTypeObject* type) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    return _PyType_Lookup(type, names.fromDBValue) != _PyType_Lookup(property_api->BaseProperty, names.fromDBValue);
}

}  // namespace

PyTypeObject ModelInfoType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.DataModel._ModelInfo",
    .tp_basicsize = sizeof(ModelInfoObject),
    .tp_dealloc = info_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Per-model data prepared by the metaclass (internal).",
    .tp_traverse = info_traverse,
    .tp_clear = info_clear,
    .tp_members = info_members,
};

Ref make_model_info(PyObject* cls, PyObject* cols, PyObject* fks) noexcept {
    Ref info = steal(PyType_GenericAlloc(&ModelInfoType, 0));
    if (!info) return {};
    ModelInfoObject* i = as_info(info.get());
    Py_ssize_t n = PyTuple_GET_SIZE(cols);
    i->cols = Py_NewRef(cols);
    i->fks = Py_NewRef(fks);
    i->ncols = n;
    i->names = PyTuple_New(n);
    i->index = PyDict_New();
    i->links = PyList_New(0);
    i->className = PyObject_GetAttrString(cls, "__name__");
    i->kind_of = static_cast<int*>(PyMem_Calloc(n ? n : 1, sizeof(int)));
    if (!i->names || !i->index || !i->links || !i->className) return {};
    if (!i->kind_of) {
        PyErr_NoMemory();
        return {};
    }
    i->rows_as_is = true;
    for (Py_ssize_t c = 0; c < n; ++c) {
        PropertyObject* prop = reinterpret_cast<PropertyObject*>(PyTuple_GET_ITEM(cols, c));
        i->kind_of[c] = overrides_conversion(Py_TYPE(prop)) ? KIND_CUSTOM : prop->kind;
        if (converts(i->kind_of[c])) i->rows_as_is = false;
        PyTuple_SET_ITEM(i->names, c, Py_NewRef(prop->name));
        Ref position = steal(PyLong_FromSsize_t(c));
        if (!position || PyDict_SetItem(i->index, prop->name, position.get()) < 0) return {};
    }
    return info;
}

namespace {

// The infos last looked up, by class address: every keyword construction of
// an instance needs its model's, and the class dict lookup is most of the
// cost of finding it. An entry holds nothing: it is valid while the class has
// the type version tag recorded, which any change to its dict (or a base's)
// replaces and which is never given to another class. Touched with the GIL.
struct KnownInfo {
    PyObject* cls;
    unsigned int tag;
    PyObject* info;  // borrowed from the class dict
};

constexpr std::size_t kKnownInfos = 8;
KnownInfo known_infos[kKnownInfos];

KnownInfo& known_slot(PyObject* cls) noexcept {
    return known_infos[(reinterpret_cast<std::uintptr_t>(cls) >> 4) % kKnownInfos];
}

Ref info_from_dict(PyObject* cls) noexcept {
    PyObject* info = nullptr;
    PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    if (PyDict_GetItemRef(dict, names.modelInfo, &info) < 0) return {};
    if (!info || !PyObject_TypeCheck(info, &ModelInfoType)) {
        Py_XDECREF(info);
        fail(PyExc_TypeError, "%.200s was not set up as a model class", reinterpret_cast<PyTypeObject*>(cls)->tp_name);
        return {};
    }
    return steal(info);
}

}  // namespace

Ref model_info(PyObject* cls) noexcept {
    if (!is_model(cls)) {
        fail(PyExc_TypeError, "expected a model class, got %.200s", type_name(cls));
        return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    KnownInfo& known = known_slot(cls);
    if (known.cls == cls && known.tag != 0 && known.tag == type->tp_version_tag) return borrow(known.info);
    Ref info = info_from_dict(cls);
    if (info && PyUnstable_Type_AssignVersionTag(type)) known = {cls, type->tp_version_tag, info.get()};
    return info;
}

}  // namespace tsy::model
