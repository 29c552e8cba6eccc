// DictPlus: a dict whose keys read and write as attributes; a key wins over a
// member of the same name.
#include "tessary/dict.hpp"

namespace tsy::dict {
namespace {

PyObject* setitem_name = nullptr;  // "__setitem__", interned when the type is made ready

// One attribute read: the key first (any Exception from the item lookup is
// dropped), then the ordinary member lookup, which reports the missing
// attribute with the dropped error as its context.
PyObject* lookup(PyObject* self, PyObject* name) noexcept {
    PyObject* value = PyObject_GetItem(self, name);
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref dropped = steal(PyErr_GetRaisedException());
    value = PyObject_GenericGetAttr(self, name);
    if (!value) {
        Ref raised = steal(PyErr_GetRaisedException());
        PyException_SetContext(raised.get(), dropped.release());
        PyErr_SetRaisedException(raised.release());
    }
    return value;
}

bool check_name(PyObject* name) noexcept {
    if (PyUnicode_Check(name)) return true;
    fail(PyExc_TypeError, "attribute name must be string, not '%.200s'", type_name(name));
    return false;
}

// tp_getattro: what the interpreter does for a class defining both
// __getattribute__ and __getattr__ with the same rule.
PyObject* getattro(PyObject* self, PyObject* name) noexcept {
    if (!check_name(name)) return nullptr;
    PyObject* value = lookup(self, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    return lookup(self, name);
}

// Attribute writes go to the item assignment found by the attribute-read rule;
// deletion falls through to the generic rule, which has nowhere to delete from.
int setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (!value) return PyObject_GenericSetAttr(self, name, nullptr);
    if (!check_name(name)) return -1;
    Ref setitem = steal(getattro(self, setitem_name));
    if (!setitem) return -1;
    Ref result = call(setitem.get(), name, value);
    return result ? 0 : -1;
}

const char* const kItemParams[] = {"item"};
const char* const kSetParams[] = {"key", "value"};

PyObject* getattribute_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"__getattribute__", kItemParams, 1, 1};
    PyObject* item[1];
    if (!parse(params, args, nargs, kwnames, item) || !check_name(item[0])) return nullptr;
    return lookup(self, item[0]);
}

PyObject* getattr_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"__getattr__", kItemParams, 1, 1};
    PyObject* item[1];
    if (!parse(params, args, nargs, kwnames, item) || !check_name(item[0])) return nullptr;
    return lookup(self, item[0]);
}

PyObject* setattr_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"__setattr__", kSetParams, 2, 2};
    PyObject* kv[2];
    if (!parse(params, args, nargs, kwnames, kv)) return nullptr;
    if (setattro(self, kv[0], kv[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// METH_COEXIST: these replace the wrappers the interpreter would otherwise
// generate from the slots, so that they can be called explicitly.
PyMethodDef methods[] = {
    {"__getattribute__", fastkw<getattribute_method>(), METH_FASTCALL | METH_KEYWORDS | METH_COEXIST,
     "Return the value stored under the key `item`, else the ordinary member."},
    {"__getattr__", fastkw<getattr_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Same rule as __getattribute__; called when it fails with AttributeError."},
    {"__setattr__", fastkw<setattr_method>(), METH_FASTCALL | METH_KEYWORDS | METH_COEXIST,
     "Store `value` under the key `key`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject DictPlusType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Ext.Dict.DictPlus",
    .tp_basicsize = sizeof(DictPlusObject),
    .tp_getattro = getattro,
    .tp_setattro = setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DICT_SUBCLASS,
    .tp_doc = "A dict whose keys can also be read and written as attributes; a key wins over a member.",
    .tp_methods = methods,
};

int ready_dict_plus() noexcept {
    if (!(setitem_name = intern("__setitem__"))) return -1;
    DictPlusType.tp_base = &PyDict_Type;
    if (PyType_Ready(&DictPlusType) < 0) return -1;
    Ref empty = steal(PyTuple_New(0));
    if (!empty || PyDict_SetItemString(DictPlusType.tp_dict, "__slots__", empty.get()) < 0) return -1;
    PyType_Modified(&DictPlusType);
    return 0;
}

}  // namespace tsy::dict
