// Placeholder of the mysql engine until it lands: no connection is native.
#include "engines.hpp"

namespace tsy::db {

PyTypeObject MysqlEngineConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.MysqlConnection",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
};

bool is_native_mysql(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &MysqlEngineConnectionType); }

PyObject* mysql_engine_run(PyObject*, PyObject*, PyObject*, int, StatementTrace*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "the native mysql engine is not built yet");
    return nullptr;
}

Ref mysql_engine_connect() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "the native mysql engine is not built yet");
    return {};
}

int ready_mysql_engine(PyObject*) noexcept { return PyType_Ready(&MysqlEngineConnectionType); }

}  // namespace tsy::db
