// Which engine runs a statement, and which one a connector asks for.
#include "core/engines.hpp"

#include <cstdlib>
#include <cstring>

namespace tsy::db {

namespace {

constexpr NativeEngine kEngines[] = {
    {"sqlite", is_native_sqlite, sqlite_engine_run},
    {"mysql", is_native_mysql, mysql_engine_run},
};

}  // namespace

NativeRun native_runner(PyObject* conn) noexcept {
    for (const NativeEngine& engine : kEngines) {
        if (engine.owns(conn)) return engine.run;
    }
    return nullptr;
}

namespace {

int from_environment() noexcept {
    const char* value = std::getenv("TESSARY_DRIVER");
    if (!value || !*value || std::strcmp(value, "native") == 0) return 1;
    if (std::strcmp(value, "module") == 0) return 0;
    PyErr_Format(PyExc_ValueError, "TESSARY_DRIVER must be \"native\" or \"module\", not \"%s\"", value);
    return -1;
}

}  // namespace

int wants_native(PyObject* driver, const char* module_name) noexcept {
    if (!driver || driver == Py_None) return from_environment();
    if (!PyUnicode_Check(driver)) {
        PyErr_Format(PyExc_TypeError, "driver must be a str, not %.200s", Py_TYPE(driver)->tp_name);
        return -1;
    }
    if (PyUnicode_CompareWithASCIIString(driver, "native") == 0) return 1;
    if (PyUnicode_CompareWithASCIIString(driver, module_name) == 0) return 0;
    PyErr_Format(PyExc_ValueError, "driver must be \"native\" or \"%s\", not %R", module_name, driver);
    return -1;
}

}  // namespace tsy::db
