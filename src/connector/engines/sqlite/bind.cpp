// Values between Python and SQLite: the arguments of a statement bound to
// its parameters, the columns of a row made into Python values. Types,
// limits and messages are the sqlite3 module's, so that both paths fail alike.
#include "engines/sqlite/connection.hpp"

namespace tsy::db::sqlite {
namespace {

int bind_int(sqlite3_stmt* stmt, int index, PyObject* value) noexcept {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) return fail(PyExc_OverflowError, "Python int too large to convert to SQLite INTEGER");
    if (v == -1 && PyErr_Occurred()) return -1;
    return sqlite3_bind_int64(stmt, index, v);
}

// str is bound in place: its UTF-8 form is kept by the object itself.
int bind_text(sqlite3_stmt* stmt, int index, PyObject* value) noexcept {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (!text) return -1;
    return sqlite3_bind_text64(stmt, index, text, static_cast<sqlite3_uint64>(size), SQLITE_STATIC, SQLITE_UTF8);
}

// bytes are immutable and bound in place; any other buffer (a bytearray or
// a view of one can change size while a cursor is between fetches) is copied.
int bind_buffer(sqlite3_stmt* stmt, int index, PyObject* value) noexcept {
    if (PyBytes_Check(value)) {
        return sqlite3_bind_blob64(stmt, index, PyBytes_AS_STRING(value),
                                   static_cast<sqlite3_uint64>(PyBytes_GET_SIZE(value)), SQLITE_STATIC);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return -1;
    int rc = sqlite3_bind_blob64(stmt, index, view.buf, static_cast<sqlite3_uint64>(view.len), SQLITE_TRANSIENT);
    PyBuffer_Release(&view);
    return rc;
}

// SQLITE_OK, another SQLite code, or -1 with a Python error set.
int bind_one(sqlite3_stmt* stmt, int index, PyObject* value) noexcept {
    if (value == Py_None) return sqlite3_bind_null(stmt, index);
    if (PyLong_Check(value)) return bind_int(stmt, index, value);  // bool too, as 0 and 1
    if (PyFloat_Check(value)) return sqlite3_bind_double(stmt, index, PyFloat_AS_DOUBLE(value));
    if (PyUnicode_Check(value)) return bind_text(stmt, index, value);
    if (PyObject_CheckBuffer(value)) return bind_buffer(stmt, index, value);
    Ref message = steal(PyUnicode_FromFormat("Error binding parameter %d: type '%s' is not supported", index,
                                             _PyType_Name(Py_TYPE(value))));
    if (message) PyErr_SetObject(programming_error_class(), message.get());
    return -1;
}

Failure wrong_count(int wanted, Py_ssize_t given) noexcept {
    Ref message = steal(PyUnicode_FromFormat(
        "Incorrect number of bindings supplied. The current statement uses %d, and there are %zd supplied.", wanted,
        given));
    if (message) PyErr_SetObject(programming_error_class(), message.get());
    return {};
}

Ref decode_failure(sqlite3_stmt* stmt, int column, const char* text, int size) noexcept {
    PyErr_Clear();
    Ref shown = steal(PyUnicode_DecodeUTF8(text, size, "replace"));
    if (!shown) return {};
    const char* name = sqlite3_column_name(stmt, column);
    Ref message = steal(PyUnicode_FromFormat("Could not decode to UTF-8 column '%s' with text '%U'",
                                             name ? name : "?", shown.get()));
    if (message) PyErr_SetObject(operational_error_class(), message.get());
    return {};
}

// One column of the current row (new ref).
PyObject* column_value(sqlite3_stmt* stmt, int i) noexcept {
    switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
            return PyLong_FromLongLong(sqlite3_column_int64(stmt, i));
        case SQLITE_FLOAT:
            return PyFloat_FromDouble(sqlite3_column_double(stmt, i));
        case SQLITE_TEXT: {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
            int size = sqlite3_column_bytes(stmt, i);
            if (!text) return sqlite3_errcode(sqlite3_db_handle(stmt)) == SQLITE_NOMEM ? PyErr_NoMemory()
                                                                                       : PyUnicode_New(0, 0);
            PyObject* value = PyUnicode_DecodeUTF8(text, size, nullptr);
            if (!value && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return decode_failure(stmt, i, text, size).release();
            return value;
        }
        case SQLITE_BLOB: {
            const void* blob = sqlite3_column_blob(stmt, i);
            int size = sqlite3_column_bytes(stmt, i);
            if (!blob && size > 0) return PyErr_NoMemory();
            return PyBytes_FromStringAndSize(static_cast<const char*>(blob), size);
        }
        default:
            return Py_NewRef(Py_None);
    }
}

}  // namespace

Ref stable_arguments(PyObject* args) noexcept {
    if (!args || args == Py_None || PyTuple_Check(args)) return borrow(args ? args : Py_None);
    if (PyList_Check(args)) return steal(PyList_AsTuple(args));
    // Any other sequence, as the sqlite3 module takes; a mapping names its
    // parameters, which the engine's statements never do.
    if (PyDict_Check(args) || !PySequence_Check(args)) return programming_error("parameters are of unsupported type");
    return steal(PySequence_Tuple(args));
}

int bind_arguments(sqlite3_stmt* stmt, PyObject* args) noexcept {
    int wanted = sqlite3_bind_parameter_count(stmt);
    if (!args || args == Py_None) {
        if (wanted != 0) return wrong_count(wanted, 0);
        return 0;
    }
    if (!PyTuple_Check(args)) return programming_error("parameters are of unsupported type");
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != wanted) return wrong_count(wanted, given);
    for (int i = 0; i < wanted; ++i) {
        int rc = bind_one(stmt, i + 1, PyTuple_GET_ITEM(args, i));
        if (rc == -1) return -1;
        if (rc != SQLITE_OK) return raise_from(sqlite3_db_handle(stmt));
    }
    return 0;
}

PyObject* row_tuple(sqlite3_stmt* stmt, int n) noexcept {
    Ref row = steal(PyTuple_New(n));
    if (!row) return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject* value = column_value(stmt, i);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(row.get(), i, value);
    }
    return row.release();
}

}  // namespace tsy::db::sqlite
