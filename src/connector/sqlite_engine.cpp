// Placeholder of the sqlite engine until it lands: no connection is native.
#include "engines.hpp"

namespace tsy::db {

PyTypeObject SqliteEngineConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.SqliteConnection",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
};

bool is_native_sqlite(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &SqliteEngineConnectionType); }

PyObject* sqlite_engine_run(PyObject*, PyObject*, PyObject*, int, StatementTrace*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "the native sqlite engine is not built yet");
    return nullptr;
}

Ref sqlite_engine_connect() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "the native sqlite engine is not built yet");
    return {};
}

int ready_sqlite_engine(PyObject*) noexcept { return PyType_Ready(&SqliteEngineConnectionType); }

}  // namespace tsy::db
