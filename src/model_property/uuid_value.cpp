// UuidProperty: a VARCHAR(36) column of uuid.UUID values. Every value is
// written as the canonical text (lower case, hyphenated), whatever form it
// was given in, so that an equality condition finds the row however the
// application spelled the UUID; text that is no UUID is refused naming the
// column before any statement is made. Reading gives uuid.UUID back.
#include "internal.hpp"

namespace tsy::model {
namespace {

// uuid.UUID, imported by the first UuidProperty made (or converted with),
// owned for the life of the process.
PyObject* UuidType = nullptr;

PyObject* uuid_type() noexcept {
    if (!UuidType) UuidType = import_attr("uuid", "UUID").release();
    return UuidType;
}

// "UuidProperty 'key' takes uuid.UUID values or their text: got 12"; the
// same words for a value written and for one read back or given to the
// model's constructor. `prop` is NULL when no column is known.
Failure refuse_value(PyObject* prop, PyObject* value) noexcept {
    Ref label = prop ? column_label(prop) : steal(PyUnicode_FromString("a UUID column"));
    if (!label) return {};
    return fail(PyExc_ValueError, "%U takes uuid.UUID values or their text: got %R", label.get(), value);
}

// The uuid.UUID of `text` (a str); ValueError from refuse_value for text
// uuid.UUID does not parse.
Ref parse_uuid(PyObject* prop, PyObject* text, PyObject* given) noexcept {
    Ref parsed = call(uuid_type(), text);
    if (parsed || !PyErr_ExceptionMatches(PyExc_ValueError)) return parsed;
    PyErr_Clear();
    return refuse_value(prop, given);
}

Ref thirty_six() noexcept { return steal(Py_BuildValue("(i)", 36)); }

PyObject* uuid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    Ref self = steal(BasePropertyType.tp_new(type, args, kwargs));
    Ref sql_type = steal(PyUnicode_FromString("VARCHAR"));
    Ref width = thirty_six();
    if (!self || !sql_type || !width) return nullptr;
    set_field(as_property(self.get())->targetType, sql_type.get());
    set_field(as_property(self.get())->typeArgs, width.get());
    as_property(self.get())->kind = KIND_UUID;
    return self.release();
}

// BaseProperty's arguments; no type parameters mean VARCHAR(36).
int uuid_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (!uuid_type() || BasePropertyType.tp_init(self, args, kwargs) < 0) return -1;
    if (PyTuple_GET_SIZE(as_property(self)->typeArgs) > 0) return 0;
    Ref width = thirty_six();
    if (!width) return -1;
    set_field(as_property(self)->typeArgs, width.get());
    return 0;
}

}  // namespace

PyTypeObject UuidPropertyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty.UuidProperty",
    .tp_basicsize = sizeof(PropertyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,  // GC inherited
    .tp_doc = "A VARCHAR(36) column of uuid.UUID values: takes a UUID or its text (written in the canonical "
              "lower-case hyphenated form) and reads back uuid.UUID.",
    .tp_init = uuid_init,
    .tp_new = uuid_new,
};

PyObject* uuid_to_db(PyObject* prop, PyObject* value) noexcept {
    if (value == Py_None) return Py_NewRef(Py_None);
    PyObject* type = uuid_type();
    if (!type) return nullptr;
    int is_uuid = PyObject_IsInstance(value, type);
    if (is_uuid < 0) return nullptr;
    if (is_uuid) return PyObject_Str(value);
    if (PyUnicode_Check(value)) {
        Ref parsed = parse_uuid(prop, value, value);
        return parsed ? PyObject_Str(parsed.get()) : nullptr;
    }
    int fragment = is_sql_fragment(value);
    if (fragment < 0) return nullptr;
    if (fragment) return Py_NewRef(value);
    return refuse_value(prop, value);
}

// Text from a driver (str, or bytes of a binary collation) is parsed; a
// UUID is kept.
PyObject* uuid_from_db(PyObject* prop, PyObject* value) noexcept {
    if (value == Py_None) return Py_NewRef(Py_None);
    PyObject* type = uuid_type();
    if (!type) return nullptr;
    int is_uuid = PyObject_IsInstance(value, type);
    if (is_uuid < 0) return nullptr;
    if (is_uuid) return Py_NewRef(value);
    Ref text = PyBytes_Check(value) ? steal(PyUnicode_FromEncodedObject(value, "ascii", "strict")) : borrow(value);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
        return refuse_value(prop, value);
    }
    if (!PyUnicode_Check(text.get())) return refuse_value(prop, value);
    return parse_uuid(prop, text.get(), value).release();
}

int ready_uuid_property(PyObject* module) noexcept {
    UuidPropertyType.tp_base = &BasePropertyType;
    return add_type(module, &UuidPropertyType, "UuidProperty");
}

}  // namespace tsy::model
