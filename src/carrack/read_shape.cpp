// Result shaping of the plain reads: numbers, and rows as dicts keyed by
// column name or alias, with the values converted the way the model layer
// converts a column, and aggregates made to agree between SQLite and MariaDB
// where the answer has one obvious type (a count is an int).
#include "read_shape.hpp"

#include <string_view>

namespace tsy::exec::reads {
namespace {

PyObject* from_db_name() noexcept {
    static PyObject* name = intern("fromDBValue");
    return name;
}

// A Python subclass whose fromDBValue replaces BaseProperty's own.
bool overrides_conversion(PyObject* col) noexcept {
    PyTypeObject* type = Py_TYPE(col);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    PyObject* name = from_db_name();
    return _PyType_Lookup(type, name) != _PyType_Lookup(bound.property->BaseProperty, name);
}

Conversion column_conversion(PyObject* col, int kind) noexcept {
    if (overrides_conversion(col)) return Conversion::BY_METHOD;
    switch (kind) {
        case model::KIND_PLAIN:
        case model::KIND_INTEGER:
        case model::KIND_FLOAT:
        case model::KIND_TEXT: return Conversion::AS_IS;
        case model::KIND_DECIMAL:
        case model::KIND_ENUM:
        case model::KIND_UUID: return Conversion::BY_COLUMN;
        case model::KIND_JSON: return Conversion::BY_METHOD;  // its errors name the column
        default: return Conversion::KIND;
    }
}

// The lower-case name of a function call if it is one of `count`, `sum`,
// `min`, `max`; "" otherwise.
std::string_view known_function(PyObject* func_name) noexcept {
    if (!PyUnicode_Check(func_name) || !PyUnicode_IS_ASCII(func_name)) return {};
    Py_ssize_t n = PyUnicode_GET_LENGTH(func_name);
    if (n != 3 && n != 5) return {};
    char lower[6] = {};
    const char* text = static_cast<const char*>(PyUnicode_DATA(func_name));
    for (Py_ssize_t i = 0; i < n; ++i) lower[i] = static_cast<char>(text[i] | 0x20);
    std::string_view name(lower, static_cast<std::size_t>(n));
    for (std::string_view known : {"count", "sum", "min", "max"}) {
        if (name == known) return known;
    }
    return {};
}

bool is_column(PyObject* o) noexcept { return PyObject_TypeCheck(o, bound.property->BaseProperty); }

Ref convert(const Item& item, PyObject* value) noexcept {
    if (value == Py_None) return borrow(value);
    switch (item.how) {
        case Conversion::AS_IS: return borrow(value);
        case Conversion::TO_INT: return PyLong_CheckExact(value) ? borrow(value) : steal(PyNumber_Long(value));
        case Conversion::KIND: return steal(bound.property->fromDBValue(item.kind, value));
        case Conversion::BY_COLUMN: return steal(bound.property->columnFromDBValue(item.column.get(), value));
        case Conversion::BY_METHOD: return call_method(item.column.get(), from_db_name(), value);
    }
    return borrow(value);
}

// One row as a dict of the plan's keys.
Ref row_dict(const Plan& plan, PyObject* row) noexcept {
    Ref fast = PyTuple_CheckExact(row) ? borrow(row) : steal(PySequence_Tuple(row));
    if (!fast) return {};
    auto width = static_cast<Py_ssize_t>(plan.items.size());
    if (PyTuple_GET_SIZE(fast.get()) != width) {
        return fail(PyExc_RuntimeError, "a row of %zd values for %zd selected items", PyTuple_GET_SIZE(fast.get()),
                    width);
    }
    Ref dict = steal(_PyDict_NewPresized(width));
    if (!dict) return {};
    for (Py_ssize_t i = 0; i < width; ++i) {
        const Item& item = plan.items[static_cast<std::size_t>(i)];
        Ref value = convert(item, PyTuple_GET_ITEM(fast.get(), i));
        if (!value || PyDict_SetItem(dict.get(), item.key.get(), value.get()) < 0) return {};
    }
    return dict;
}

// The first value of the first row.
Ref first_value(PyObject* rows) noexcept {
    if (PyList_GET_SIZE(rows) == 0) return fail(PyExc_RuntimeError, "COUNT(*) gave no row");
    Ref row = steal(PySequence_Tuple(PyList_GET_ITEM(rows, 0)));
    if (!row) return {};
    if (PyTuple_GET_SIZE(row.get()) == 0) return fail(PyExc_RuntimeError, "COUNT(*) gave an empty row");
    return borrow(PyTuple_GET_ITEM(row.get(), 0));
}

}  // namespace

bool column_item(PyObject* col, Item& out) noexcept {
    auto* prop = reinterpret_cast<model::PropertyObject*>(col);
    if (!prop->name || !PyUnicode_Check(prop->name)) {
        fail(PyExc_TypeError, "a column that belongs to no model class cannot be read");
        return false;
    }
    out.key = borrow(prop->name);
    out.column = borrow(col);
    out.kind = prop->kind;
    out.how = column_conversion(col, prop->kind);
    return true;
}

bool computed_item(PyObject* source, PyObject* key, Item& out) noexcept {
    out.key = borrow(key);
    out.how = Conversion::AS_IS;
    if (is_column(source)) {
        Item column;
        if (!column_item(source, column)) return false;
        out.column = std::move(column.column);
        out.kind = column.kind;
        out.how = column.how;
        return true;
    }
    if (!PyObject_TypeCheck(source, bound.generator->FunctionCall)) return true;
    auto* call = reinterpret_cast<gen::FunctionCallObject*>(source);
    std::string_view name = call->func_name ? known_function(call->func_name) : std::string_view();
    if (name == "count") {
        out.how = Conversion::TO_INT;
        return true;
    }
    PyObject* args = call->args;
    if (name.empty() || !args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 1) return true;
    PyObject* arg = PyTuple_GET_ITEM(args, 0);
    if (!is_column(arg)) return true;
    int kind = reinterpret_cast<model::PropertyObject*>(arg)->kind;
    if (name == "sum") {
        if (kind == model::KIND_INTEGER || kind == model::KIND_BOOLEAN) out.how = Conversion::TO_INT;
        return true;
    }
    out.column = borrow(arg);  // min, max: a value of the column
    out.kind = kind;
    out.how = column_conversion(arg, kind);
    return true;
}

Ref shape_rows(const Plan& plan, PyObject* rows) noexcept {
    // A list of our own: a conversion of Python code's cannot change it under the loop.
    Ref list = steal(PySequence_List(rows));
    if (!list) return {};
    switch (plan.shape) {
        case Shape::COUNT: {
            Ref value = first_value(list.get());
            if (!value) return {};
            if (PyLong_CheckExact(value.get())) return value;
            return steal(PyNumber_Long(value.get()));
        }
        case Shape::EXISTS: return borrow(PyList_GET_SIZE(list.get()) ? Py_True : Py_False);
        case Shape::ONE_ROW: {
            if (PyList_GET_SIZE(list.get()) == 0) return fail(PyExc_RuntimeError, "aggregate() gave no row");
            return row_dict(plan, PyList_GET_ITEM(list.get(), 0));
        }
        case Shape::ROWS: break;
    }
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    Ref out = steal(PyList_New(n));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref dict = row_dict(plan, PyList_GET_ITEM(list.get(), i));
        if (!dict) return {};
        PyList_SET_ITEM(out.get(), i, dict.release());
    }
    return out;
}

}  // namespace tsy::exec::reads
