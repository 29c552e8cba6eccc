// Conversions between Python values and the forms the drivers store and
// return. sqlite3 on 3.13 must not rely on its deprecated datetime adapters,
// so dates travel as ISO text; decimals as text; booleans as 0/1; Enum
// members as their value and UUIDs as their text, on every connector.
#include "internal.hpp"

#include <datetime.h>

namespace tsy::model {
namespace {

// Owned for the life of the process (these modules are never unloaded).
PyObject* DecimalType = nullptr;
PyObject* datetime_fromisoformat = nullptr;
PyObject* utcoffset_name = nullptr;
PyObject* date_fromisoformat = nullptr;
PyObject* EnumType = nullptr;
PyObject* uuid_name = nullptr;
// Tessary.DB.Generator.BaseSqlGenerator, imported when a value of another
// type first needs it (the generator module imports this one).
PyObject* SqlFragmentType = nullptr;
// decimal.Context(prec=MAX_PREC, rounding=ROUND_HALF_UP): quantizing to a
// column's scale never fails for want of digits.
PyObject* DecimalContext = nullptr;
PyObject* InvalidOperation = nullptr;
PyObject* quantize_name = nullptr;
// MySQL's DECIMAL allows 30 digits after the point; the cache of quanta
// covers every scale a column can declare on either database with room.
constexpr Py_ssize_t kMaxScale = 64;

PyObject* isoformat(PyObject* value) noexcept { return call_method(value, names.isoformat).release(); }

// 'YYYY-MM-DD HH:MM:SS[.ffffff]' (with the offset for aware values).
PyObject* datetime_text(PyObject* value) noexcept {
    return call_method(value, names.isoformat, names.blank).release();
}

PyObject* date_of(PyObject* datetime) noexcept {
    return PyDate_FromDate(PyDateTime_GET_YEAR(datetime), PyDateTime_GET_MONTH(datetime),
                           PyDateTime_GET_DAY(datetime));
}

// Aware: a tzinfo that gives an offset (one whose utcoffset() is None
// leaves the value naive).
int is_aware(PyObject* datetime) noexcept {
    PyObject* zone = PyDateTime_DATE_GET_TZINFO(datetime);
    if (zone == Py_None) return 0;
    Ref offset = call_method(datetime, utcoffset_name);
    if (!offset) return -1;
    return offset.get() != Py_None;
}

// A DATETIME column holds no zone: an aware value would be stored as its
// wall-clock time in whatever zone it carries (or refused by the server),
// and found by no condition written in another zone.
int refuse_aware(PyObject* prop, PyObject* datetime) noexcept {
    int aware = is_aware(datetime);
    if (aware <= 0) return aware;
    PyObject* name = as_property(prop)->name;
    Ref type_name = steal(PyType_GetName(Py_TYPE(prop)));
    if (!type_name) return -1;
    if (!name || !PyUnicode_Check(name)) {
        fail(PyExc_ValueError, "%U takes naive datetimes: got a timezone-aware value", type_name.get());
    } else {
        fail(PyExc_ValueError, "%U '%U' takes naive datetimes: got a timezone-aware value", type_name.get(), name);
    }
    return -1;
}

PyObject* date_to_db(PyObject* prop, int kind, PyObject* value) noexcept {
    if (PyDateTime_Check(value)) {
        if (kind == KIND_DATETIME && refuse_aware(prop, value) < 0) return nullptr;
        if (kind != KIND_DATE) return datetime_text(value);
        Ref date = steal(date_of(value));
        return date ? isoformat(date.get()) : nullptr;
    }
    Ref text = steal(isoformat(value));
    if (!text || kind != KIND_DATETIME) return text.release();
    return PyUnicode_FromFormat("%U 00:00:00", text.get());
}

// Text (or bytes holding text) as the driver returns it for DATETIME/DATE.
Ref as_text(PyObject* value) noexcept {
    if (PyUnicode_Check(value)) return borrow(value);
    if (PyBytes_Check(value)) return steal(PyUnicode_FromEncodedObject(value, "ascii", "strict"));
    return {};
}

PyObject* datetime_from_db(PyObject* value) noexcept {
    if (PyDateTime_Check(value)) return Py_NewRef(value);
    if (PyDate_Check(value)) {
        return PyDateTime_FromDateAndTime(PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                                          PyDateTime_GET_DAY(value), 0, 0, 0, 0);
    }
    Ref text = as_text(value);
    if (!text) return PyErr_Occurred() ? nullptr : Py_NewRef(value);
    return call(datetime_fromisoformat, text.get()).release();
}

PyObject* date_from_db(PyObject* value) noexcept {
    if (PyDateTime_Check(value)) return date_of(value);
    if (PyDate_Check(value)) return Py_NewRef(value);
    Ref text = as_text(value);
    if (!text) return PyErr_Occurred() ? nullptr : Py_NewRef(value);
    if (PyUnicode_GET_LENGTH(text.get()) <= 10) {
        return call(date_fromisoformat, text.get()).release();
    }
    // A DATE column read back through sqlite may hold a full timestamp.
    Ref datetime = call(datetime_fromisoformat, text.get());
    return datetime ? date_of(datetime.get()) : nullptr;
}

// A UUID (only when the uuid module is loaded: no instance exists
// otherwise) as its 36-character text; a statement builder's fragment as it
// is (the where clause renders it in place); anything else no connector can
// store is refused here, the same on every connector, before a statement
// is sent.
PyObject* unusual_value(PyObject* prop, PyObject* value) noexcept {
    Ref uuid_module = steal(PyImport_GetModule(uuid_name));
    if (!uuid_module && PyErr_Occurred()) return nullptr;
    if (uuid_module) {
        Ref uuid_type = attr(uuid_module.get(), "UUID");
        if (!uuid_type) return nullptr;
        int is_uuid = PyObject_IsInstance(value, uuid_type.get());
        if (is_uuid < 0) return nullptr;
        if (is_uuid) return PyObject_Str(value);
    }
    int is_fragment = is_sql_fragment(value);
    if (is_fragment < 0) return nullptr;
    if (is_fragment) return Py_NewRef(value);
    Ref type_name = steal(PyType_GetName(Py_TYPE(prop)));
    Ref value_type = steal(PyType_GetName(Py_TYPE(value)));
    if (!type_name || !value_type) return nullptr;
    PyObject* name = as_property(prop)->name;
    if (!name || !PyUnicode_Check(name)) {
        return fail(PyExc_TypeError, "%U cannot store a value of type '%U'", type_name.get(), value_type.get());
    }
    return fail(PyExc_TypeError, "%U '%U' cannot store a value of type '%U'", type_name.get(), name, value_type.get());
}

PyObject* decimal_from_db(PyObject* value) noexcept {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(DecimalType))) return Py_NewRef(value);
    if (PyFloat_Check(value)) {
        // Through the shortest repr, so 0.1 becomes Decimal('0.1').
        Ref text = steal(PyObject_Repr(value));
        return text ? call(DecimalType, text.get()).release() : nullptr;
    }
    if (PyUnicode_Check(value) || PyLong_Check(value)) return call(DecimalType, value).release();
    if (PyBytes_Check(value)) {
        Ref text = as_text(value);
        return text ? call(DecimalType, text.get()).release() : nullptr;
    }
    return Py_NewRef(value);
}

// The scale a DECIMAL column declares: (p, s) -> s, (p,) -> 0 (as MySQL
// reads DECIMAL(p)); -1 when no scale is known (no parameters, or ones that
// are not integers).
Py_ssize_t declared_scale(PyObject* prop) noexcept {
    PyObject* args = as_property(prop)->typeArgs;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0) return -1;
    if (PyTuple_GET_SIZE(args) == 1) return 0;
    PyObject* scale = PyTuple_GET_ITEM(args, 1);
    if (!PyLong_Check(scale) || PyBool_Check(scale)) return -1;
    Py_ssize_t s = PyLong_AsSsize_t(scale);
    if (s == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return s >= 0 && s <= kMaxScale ? s : -1;
}

// Decimal('1E-<scale>'), made once per scale.
PyObject* quantum(Py_ssize_t scale) noexcept {
    static PyObject* made[kMaxScale + 1] = {};
    if (made[scale]) return made[scale];
    Ref text = steal(PyUnicode_FromFormat("1E-%zd", scale));
    Ref value = text ? call(DecimalType, text.get()) : Ref();
    made[scale] = value.release();
    return made[scale];
}

// `value` (a Decimal) at `scale` digits after the point, rounded half away
// from zero as MySQL rounds what it stores. A value the context refuses
// (an infinity) is returned as it is.
PyObject* at_scale(PyObject* value, Py_ssize_t scale) noexcept {
    PyObject* q = quantum(scale);
    if (!q) return nullptr;
    Ref scaled = call_method(value, quantize_name, q, Py_None, DecimalContext);
    if (scaled || !PyErr_ExceptionMatches(InvalidOperation)) return scaled.release();
    PyErr_Clear();
    return Py_NewRef(value);
}

// MySQL BIT(n) arrives as bytes; any non-zero byte is true.
PyObject* boolean_from_db(PyObject* value) noexcept {
    if (PyBool_Check(value)) return Py_NewRef(value);
    if (PyLong_Check(value)) {
        int t = truth(value);
        return t < 0 ? nullptr : PyBool_FromLong(t);
    }
    if (PyBytes_Check(value)) {
        const char* data = PyBytes_AS_STRING(value);
        for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(value); ++i) {
            if (data[i]) Py_RETURN_TRUE;
        }
        Py_RETURN_FALSE;
    }
    return Py_NewRef(value);
}

PyObject* bytes_from_db(PyObject* value) noexcept {
    if (PyByteArray_Check(value) || PyMemoryView_Check(value)) return PyBytes_FromObject(value);
    return Py_NewRef(value);
}

bool make_decimal_context() noexcept {
    Ref context_type = import_attr("decimal", "Context");
    Ref max_prec = import_attr("decimal", "MAX_PREC");
    Ref half_up = import_attr("decimal", "ROUND_HALF_UP");
    Ref no_args = steal(PyTuple_New(0));
    Ref options = steal(max_prec && half_up ? Py_BuildValue("{sOsO}", "prec", max_prec.get(), "rounding",
                                                            half_up.get())
                                            : nullptr);
    if (!context_type || !no_args || !options) return false;
    DecimalContext = PyObject_Call(context_type.get(), no_args.get(), options.get());
    return DecimalContext != nullptr;
}

}  // namespace

int is_sql_fragment(PyObject* value) noexcept {
    if (!SqlFragmentType) SqlFragmentType = import_attr("Tessary.DB.Generator", "BaseSqlGenerator").release();
    if (!SqlFragmentType) return -1;
    return PyObject_IsInstance(value, SqlFragmentType);
}

int ready_conversions() noexcept {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return -1;
    DecimalType = import_attr("decimal", "Decimal").release();
    datetime_fromisoformat = attr(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), "fromisoformat").release();
    date_fromisoformat = attr(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateType), "fromisoformat").release();
    utcoffset_name = PyUnicode_InternFromString("utcoffset");
    EnumType = import_attr("enum", "Enum").release();
    uuid_name = PyUnicode_InternFromString("uuid");
    quantize_name = PyUnicode_InternFromString("quantize");
    InvalidOperation = import_attr("decimal", "InvalidOperation").release();
    if (!make_decimal_context()) return -1;
    return DecimalType && datetime_fromisoformat && date_fromisoformat && utcoffset_name && EnumType && uuid_name
               ? 0
               : -1;
}

namespace {

// The common values are stored as they are; dates, times, booleans and
// decimals (and their subclasses) change; an Enum member stands for its
// value and a UUID for its text. `member` is false once an Enum member has
// given its value: a value that is itself a member is not unwrapped again.
PyObject* stored_form(PyObject* prop, PyObject* value, bool member) noexcept {
    if (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return Py_NewRef(value);
    }
    int kind = as_property(prop)->kind;
    if (PyDate_Check(value)) return date_to_db(prop, kind, value);
    if (PyTime_Check(value)) return isoformat(value);
    if (PyBool_Check(value)) return PyLong_FromLong(value == Py_True);
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(DecimalType))) return PyObject_Str(value);
    // Before the int and str subclasses: IntEnum and StrEnum members are both.
    int is_member = member ? PyObject_IsInstance(value, EnumType) : 0;
    if (is_member < 0) return nullptr;
    if (is_member) {
        Ref inner = attr(value, "value");
        return inner ? stored_form(prop, inner.get(), false) : nullptr;
    }
    if (PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value) || PyBytes_Check(value) ||
        PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        return Py_NewRef(value);
    }
    return unusual_value(prop, value);
}

// A DECIMAL column with a declared scale stores every number as its text at
// that scale, on every connector: SQLite keeps the text whole (the column is
// declared with text affinity there), and an equality condition finds the
// row whatever form the number was given in. Text that is no number is left
// for the database to judge.
PyObject* decimal_to_db(PyObject* prop, PyObject* value) noexcept {
    Py_ssize_t scale = declared_scale(prop);
    if (scale >= 0 && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(DecimalType))) {
        Ref scaled = steal(at_scale(value, scale));
        return scaled ? PyObject_Str(scaled.get()) : nullptr;
    }
    Ref stored = steal(stored_form(prop, value, true));
    if (!stored || scale < 0) return stored.release();
    PyObject* s = stored.get();
    if (!PyUnicode_Check(s) && !(PyLong_Check(s) && !PyBool_Check(s)) && !PyFloat_Check(s)) return stored.release();
    Ref number = PyFloat_Check(s) ? steal(decimal_from_db(s)) : call(DecimalType, s);
    if (!number) {
        if (!PyErr_ExceptionMatches(InvalidOperation)) return nullptr;
        PyErr_Clear();
        return stored.release();
    }
    Ref scaled = steal(at_scale(number.get(), scale));
    return scaled ? PyObject_Str(scaled.get()) : nullptr;
}

}  // namespace

PyObject* to_db_value(PyObject* prop, PyObject* value) noexcept {
    // A JSON column writes every value as JSON text, a str included.
    if (as_property(prop)->kind == KIND_JSON) return json_to_db(prop, value);
    if (as_property(prop)->kind == KIND_DECIMAL && value != Py_None) return decimal_to_db(prop, value);
    if (as_property(prop)->kind == KIND_ENUM) return enum_to_db(prop, value);
    if (as_property(prop)->kind == KIND_UUID) return uuid_to_db(prop, value);
    return stored_form(prop, value, true);
}

PyObject* column_from_db_value(PyObject* prop, PyObject* value) noexcept {
    int kind = as_property(prop)->kind;
    if (kind == KIND_ENUM) return enum_from_db(prop, value);
    if (kind == KIND_UUID) return uuid_from_db(prop, value);
    if (kind != KIND_DECIMAL || value == Py_None) return from_db_value(kind, value);
    Ref number = steal(decimal_from_db(value));
    Py_ssize_t scale = declared_scale(prop);
    if (!number || scale < 0 || !PyObject_TypeCheck(number.get(), reinterpret_cast<PyTypeObject*>(DecimalType))) {
        return number.release();
    }
    return at_scale(number.get(), scale);
}

PyObject* from_db_value(int kind, PyObject* value) noexcept {
    if (value == Py_None) return Py_NewRef(value);
    switch (kind) {
        case KIND_DATETIME: return datetime_from_db(value);
        case KIND_DATE: return date_from_db(value);
        case KIND_DECIMAL: return decimal_from_db(value);
        case KIND_BOOLEAN: return boolean_from_db(value);
        case KIND_BYTES: return bytes_from_db(value);
        case KIND_JSON: return json_from_db(nullptr, value);
        case KIND_UUID: return uuid_from_db(nullptr, value);
        default: return Py_NewRef(value);  // KIND_ENUM too: without the column no enum class is known
    }
}

}  // namespace tsy::model
