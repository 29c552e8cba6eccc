// Errors that name the column they concern: the conversions of the columns
// with values of their own (JSON, enum members, UUIDs) report which column
// refused a value, since one statement may write many.
#include "internal.hpp"

namespace tsy::model {

Ref column_label(PyObject* prop) noexcept {
    Ref type_name = steal(PyType_GetName(Py_TYPE(prop)));
    if (!type_name) return {};
    PyObject* name = as_property(prop)->name;
    if (!name || !PyUnicode_Check(name)) return type_name;
    return steal(PyUnicode_FromFormat("%U '%U'", type_name.get(), name));
}

void refail_naming(PyObject* prop, PyObject* type, const char* what) noexcept {
    Ref cause = steal(PyErr_GetRaisedException());
    Ref label = column_label(prop);
    if (!label) return;  // the new error from column_label stands
    Ref message = steal(PyObject_Str(cause.get()));
    if (!message) return;
    PyErr_Format(type, "%U %s: %U", label.get(), what, message.get());
    Ref error = steal(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), Py_NewRef(cause.get()));
    PyException_SetContext(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
}

}  // namespace tsy::model
