// JsonProperty's values: any JSON-serialisable Python value, stored as JSON
// text and read back with json.loads.
//
// The text is compact (no blanks after "," and ":"), keeps the keys in the
// order given and keeps non-ASCII characters as they are, so that what the
// database holds stays readable. An equality condition compares that text,
// so it finds a row only when the same value was written the same way.
// None stays SQL NULL like in every other column: the JSON value null
// cannot be stored apart from it.
#include "internal.hpp"

namespace tsy::model {
namespace {

// Owned for the life of the process (these modules are never unloaded).
PyObject* json_encode = nullptr;  // JSONEncoder(...).encode with the options above
PyObject* json_loads = nullptr;

}  // namespace

int ready_json() noexcept {
    Ref encoder_class = import_attr("json", "JSONEncoder");
    json_loads = import_attr("json", "loads").release();
    Ref no_args = steal(PyTuple_New(0));
    Ref options = steal(Py_BuildValue("{s:O,s:O,s:(ss)}", "ensure_ascii", Py_False, "allow_nan", Py_False,
                                      "separators", ",", ":"));
    if (!encoder_class || !json_loads || !no_args || !options) return -1;
    // One encoder for every value: it keeps no state between calls.
    Ref encoder = steal(PyObject_Call(encoder_class.get(), no_args.get(), options.get()));
    if (!encoder) return -1;
    json_encode = attr(encoder.get(), "encode").release();
    return json_encode ? 0 : -1;
}

// A value json cannot write (a set, an object, NaN or an infinity, a
// circular structure) is refused here, before any statement is made.
PyObject* json_to_db(PyObject* prop, PyObject* value) noexcept {
    if (value == Py_None) return Py_NewRef(Py_None);
    Ref text = call(json_encode, value);
    if (!text && (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError))) {
        refail_naming(prop, PyExc_TypeError, "takes JSON-serialisable values");
    }
    return text.release();
}

// Text from a driver (str, or bytes from a binary column) is decoded; any
// other value is already a Python value and kept. Text that is not JSON (a
// row written by other means) is an error naming the column: handing the
// raw text back would make it indistinguishable from a JSON string.
PyObject* json_from_db(PyObject* prop, PyObject* value) noexcept {
    if (!PyUnicode_Check(value) && !PyBytes_Check(value) && !PyByteArray_Check(value)) return Py_NewRef(value);
    Ref decoded = call(json_loads, value);
    if (!decoded && prop && PyErr_ExceptionMatches(PyExc_ValueError)) {
        refail_naming(prop, PyExc_ValueError, "read back a value that is not JSON");
    }
    return decoded.release();
}

}  // namespace tsy::model
