// Tessary._coro: the coroutine type shared by the package's coroutine methods
// and the capsule through which the other modules create and await them.
#include "coroutine.hpp"

namespace tsy::coro {

Names names;

int init_names() noexcept {
    const NameSlot all[] = {
        {&names.close, "close"},
        {&names.throw_, "throw"},
        {&names.register_, "register"},
    };
    static_assert(sizeof(all) / sizeof(all[0]) == sizeof(Names) / sizeof(PyObject*), "every name has its text");
    return intern_all(all);
}

namespace {

CoroApi coro_api_table = {
    {CORO_API_VERSION, sizeof(CoroApi)},
    sizeof(Shared),
    &CoroutineType,
    wrap,
    start_await,
    add_traceback,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary._coro",
    .m_doc = "The coroutine type of the package's coroutine methods, written in C++.",
    .m_size = -1,
};

// asyncio accepts what collections.abc.Coroutine accepts (iscoroutine,
// create_task, gather, wait_for, run_until_complete).
int register_as_coroutine() noexcept {
    Ref abc = import_attr("collections.abc", "Coroutine");
    if (!abc) return -1;
    Ref registered = call_method(abc.get(), names.register_, reinterpret_cast<PyObject*>(&CoroutineType));
    return registered ? 0 : -1;
}

}  // namespace
}  // namespace tsy::coro

TSY_EXPORT PyObject* PyInit__coro() {
    using namespace tsy::coro;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module || init_names() < 0 || ready_coroutine_type() < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Coroutine", reinterpret_cast<PyObject*>(&CoroutineType)) < 0) {
        return nullptr;
    }
    if (register_as_coroutine() < 0 || add_testing_functions(module.get()) < 0) return nullptr;
    if (tsy::export_api(module.get(), &coro_api_table, CORO_CAPSULE) < 0) return nullptr;
    // This module's own coroutines (the test functions) use the table directly:
    // importing the capsule here would import this module again.
    api = &coro_api_table;
    return module.release();
}
