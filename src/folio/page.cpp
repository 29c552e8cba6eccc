// Page: the result of one fetch, a DictPlus holding page, pageSize, content,
// total (and totalPage once computed).
#include "internal.hpp"

namespace tsy::folio {
namespace {

const char* const kPageParams[] = {"page", "pageSize", "content", "total"};

int set_int(PyObject* self, PyObject* key, int value) noexcept {
    Ref number = steal(PyLong_FromLong(value));
    return number ? PyObject_SetItem(self, key, number.get()) : -1;
}

// Keys are stored by item assignment, in this order, after the dict's own
// initialisation with no arguments.
int store(PyObject* self, int page, int pageSize, PyObject* content, int total) noexcept {
    Ref empty = steal(PyTuple_New(0));
    if (!empty || PyDict_Type.tp_init(self, empty.get(), nullptr) < 0) return -1;
    if (set_int(self, names.page, page) < 0 || set_int(self, names.pageSize, pageSize) < 0) return -1;
    if (PyObject_SetItem(self, names.content, content) < 0) return -1;
    return set_int(self, names.total, total);
}

int page_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params{"__init__", kPageParams, 4, 2};
    PyObject* a[4];
    Ref kw_holder, value_holder;
    if (!parse_tuple(params, args, kwargs, a, kw_holder, value_holder)) return -1;
    int page = 0, pageSize = 0, total = 0;
    if (!to_int(a[0], &page) || !to_int(a[1], &pageSize)) return -1;
    if (a[3] && !to_int(a[3], &total)) return -1;
    // Each page built without content gets a list of its own, so filling
    // one page's default never shows in another.
    Ref content;
    if (!a[2]) {
        content = steal(PyList_New(0));
        if (!content) return -1;
    } else if (a[2] == Py_None || PyList_CheckExact(a[2])) {
        content = borrow(a[2]);
    } else {
        return wrong_arg_type("content", &PyList_Type, a[2]);
    }
    return store(self, page, pageSize, content.get(), total);
}

}  // namespace

PyTypeObject PageType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Ext.Folio.Page",
    .tp_basicsize = sizeof(dict::DictPlusObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DICT_SUBCLASS,
    .tp_doc = "Page(page, pageSize, content=..., total=0)\n--\n\nPage(page, pageSize, content=[], total=0)\n\n"
              "One page of results: page, pageSize, content, total and totalPage, readable as keys or attributes.",
    .tp_init = entry<page_init>,
};

int ready_page() noexcept {
    PageType.tp_base = bound.dict->DictPlus;
    return PyType_Ready(&PageType);
}

PyObject* new_page(int page, int pageSize) noexcept {
    Ref number = steal(PyLong_FromLong(page));
    Ref size = steal(PyLong_FromLong(pageSize));
    if (!number || !size) return nullptr;
    return call(reinterpret_cast<PyObject*>(&PageType), number.get(), size.get()).release();
}

}  // namespace tsy::folio
