// Conversions between Python values and the forms the drivers store and
// return. sqlite3 on 3.13 must not rely on its deprecated datetime adapters,
// so dates travel as ISO text; decimals as text; booleans as 0/1.
#include "internal.hpp"

#include <datetime.h>

namespace tsy::model {
namespace {

// Owned for the life of the process (these modules are never unloaded).
PyObject* DecimalType = nullptr;
PyObject* datetime_fromisoformat = nullptr;
PyObject* utcoffset_name = nullptr;
PyObject* date_fromisoformat = nullptr;

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

}  // namespace

int ready_conversions() noexcept {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return -1;
    DecimalType = import_attr("decimal", "Decimal").release();
    datetime_fromisoformat = attr(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), "fromisoformat").release();
    date_fromisoformat = attr(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateType), "fromisoformat").release();
    utcoffset_name = PyUnicode_InternFromString("utcoffset");
    return DecimalType && datetime_fromisoformat && date_fromisoformat && utcoffset_name ? 0 : -1;
}

PyObject* to_db_value(PyObject* prop, PyObject* value) noexcept {
    // A JSON column writes every value as JSON text, a str included.
    if (as_property(prop)->kind == KIND_JSON) return json_to_db(prop, value);
    // The common values are stored as they are; only dates, times, booleans
    // and decimals (and their subclasses) change.
    if (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return Py_NewRef(value);
    }
    int kind = as_property(prop)->kind;
    if (PyDate_Check(value)) return date_to_db(prop, kind, value);
    if (PyTime_Check(value)) return isoformat(value);
    if (PyBool_Check(value)) return PyLong_FromLong(value == Py_True);
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(DecimalType))) return PyObject_Str(value);
    return Py_NewRef(value);
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
        default: return Py_NewRef(value);
    }
}

}  // namespace tsy::model
