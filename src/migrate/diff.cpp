// Placeholder: diff(), plan(), the Operation type and checkSchema come here.
#include "internal.hpp"

namespace tsy::migrate {

int add_diff(PyObject*) noexcept { return 0; }

PyObject* check_schema(PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "checkSchema");
    return nullptr;
}

}  // namespace tsy::migrate
