// Tessary.Ext.Folio: module state, bindings and the Folio factory.
#include "tessary/coro.hpp"

#include "internal.hpp"

namespace tsy::folio {

Bound bound;
Names names;

int init_names() noexcept {
    struct { PyObject** slot; const char* text; } table[] = {
        {&names.page, "page"}, {&names.pageSize, "pageSize"}, {&names.content, "content"},
        {&names.total, "total"}, {&names.totalPage, "totalPage"}, {&names.col, "col"},
        {&names.tableName, "tableName"}, {&names.pkName, "pkName"}, {&names.getExecutor, "getExecutor"},
        {&names.getInstance, "getInstance"}, {&names.connector, "connector"}, {&names.isAsync, "isAsync"},
        {&names.executeSql, "executeSql"}, {&names.args, "args"}, {&names.execute, "execute"},
        {&names.editSql, "editSql"}, {&names.findListForeignKey, "findListForeignKey"},
        {&names.orderBy, "orderBy"}, {&names._getCount, "_getCount"}, {&names._execute, "_execute"},
        {&names._asyncExecute, "_asyncExecute"},
    };
    for (auto& entry : table) {
        if (!(*entry.slot = intern(entry.text))) return -1;
    }
    names.args_kwnames = PyTuple_Pack(1, names.args);
    return names.args_kwnames ? 0 : -1;
}

namespace {

const char* const kFolioParams[] = {"target", "page", "pageSize", "findForeign"};

// Folio(target, page=1, pageSize=10, findForeign=False) -> _Folio
PyObject* folio_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"Folio", kFolioParams, 4, 1};
    PyObject* a[4];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    int page = 1, pageSize = 10, deep = 0;
    if (a[1] && !to_int(a[1], &page)) return nullptr;
    if (a[2] && !to_int(a[2], &pageSize)) return nullptr;
    if (a[3] && (deep = truth(a[3])) < 0) return nullptr;
    Ref page_obj = steal(PyLong_FromLong(page));
    Ref size_obj = steal(PyLong_FromLong(pageSize));
    if (!page_obj || !size_obj) return nullptr;
    return call(reinterpret_cast<PyObject*>(&FolioType), a[0], page_obj.get(), size_obj.get(),
                deep ? Py_True : Py_False).release();
}

PyMethodDef module_methods[] = {
    {"Folio", fastkw<folio_factory>(), METH_FASTCALL | METH_KEYWORDS,
     "Folio($module, target, page=1, pageSize=10, findForeign=False)\n--\n\nA paging controller for the model class `target`."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.Ext.Folio",
    .m_doc = "Query results one page at a time, with the total row count and the number of pages.",
    .m_size = -1,
    .m_methods = module_methods,
};

bool read_debug_flag() noexcept {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* flag = builtins ? PyDict_GetItemString(builtins, "__debug__") : nullptr;
    bound.assertions = !flag || flag == Py_True;
    return true;
}

int bind(PyObject* module) noexcept {
    if (!(bound.dict = dict::import_dict_api())) return -1;
    if (!(bound.prop = model::import_property_api())) return -1;
    if (!(bound.gen = gen::import_generator_api())) return -1;
    if (!(bound.carrack = exec::import_carrack_api())) return -1;
    if (!(bound.db = db::import_db_api()) || !(bound.connector = db::import_connector_api())) return -1;
    Ref db_module = steal(PyImport_ImportModule("Tessary.DB.DB"));
    if (!db_module) return -1;
    Ref db = attr(db_module.get(), "DB");
    Ref generic = db ? attr(db_module.get(), "Generic") : Ref();
    Ref type_var = generic ? attr(db_module.get(), "TypeVar") : Ref();
    Ref data_model = type_var ? import_attr("Tessary.Model.DataModel", "DataModel") : Ref();
    if (!data_model) return -1;
    bound.DB = db.release();
    Ref t_name = steal(PyUnicode_FromString("T"));
    Ref t = t_name ? call(type_var.get(), t_name.get()) : Ref();
    if (!t || PyModule_AddObjectRef(module, "T", t.get()) < 0) return -1;
    if (PyModule_AddObjectRef(module, "DB", bound.DB) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Generic", generic.get()) < 0) return -1;
    if (PyModule_AddObjectRef(module, "TypeVar", type_var.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "DataModel", data_model.get());
}

}  // namespace
}  // namespace tsy::folio

TSY_EXPORT PyObject* PyInit_Folio() {
    using namespace tsy::folio;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || init_names() < 0 || !read_debug_flag() || !tsy::coro::import_coro_api()) return nullptr;
    if (bind(module.get()) < 0 || ready_page() < 0 || ready_folio() < 0) return nullptr;
    if (ready_keyset(module.get()) < 0) return nullptr;
    if (tsy::add_type(module.get(), &PageType, "Page") < 0) return nullptr;
    if (tsy::add_type(module.get(), &FolioType, "_Folio") < 0) return nullptr;
    return module.release();
}
