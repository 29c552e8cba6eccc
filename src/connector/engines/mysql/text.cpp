// The statement text the server receives: "%s" placeholders replaced by
// their arguments written as SQL literals the way pymysql writes them
// (converters.escape_item and Connection.escape), strings and octets escaped
// by the library itself, which knows the connection's character set and
// whether the server runs with NO_BACKSLASH_ESCAPES.
#include <charconv>
#include <cstdio>
#include <cstring>

#include "engines/mysql/protocol.hpp"

#include <datetime.h>  // after Python.h

namespace tsy::db {
namespace {

// Types recognised by identity after the builtin ones, looked up once.
PyObject* decimal_type = nullptr;
PyObject* struct_time_type = nullptr;
PyObject* fixed_point_spec = nullptr;  // "f": a Decimal as digits, never in exponent form

bool bind_types() noexcept {
    if (decimal_type) return true;
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return false;
    }
    Ref decimal = import_attr("decimal", "Decimal");
    Ref struct_time = decimal ? import_attr("time", "struct_time") : Ref();
    if (!struct_time) return false;
    if (!(fixed_point_spec = intern("f"))) return false;
    struct_time_type = struct_time.release();
    decimal_type = decimal.release();
    return true;
}

// What the text is written for: the handle that escapes (NULL before a
// connection exists: pymysql's own table, which is the library's for the
// usual character sets) and the codec of its character set (NULL: UTF-8).
struct Writer {
    MYSQL* m;
    const char* encoding;
    std::string& out;
};

// pymysql's escape table: the characters MySQL's string syntax gives a meaning.
void escape_plain(const char* data, size_t size, std::string& out) {
    for (size_t i = 0; i < size; ++i) {
        char ch = data[i];
        switch (ch) {
            case '\0': out += "\\0"; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\032': out += "\\Z"; break;
            case '"': out += "\\\""; break;
            case '\'': out += "\\'"; break;
            default: out += ch;
        }
    }
}

bool escape_into(Writer& w, const char* data, size_t size) {
    if (!w.m) {
        escape_plain(data, size, w.out);
        return true;
    }
    size_t start = w.out.size();
    w.out.resize(start + 2 * size + 1);
    unsigned long written = mysql_real_escape_string(w.m, w.out.data() + start, data, size);
    if (written == static_cast<unsigned long>(-1)) {
        w.out.resize(start);
        set_mysql_error(w.m);
        return false;
    }
    w.out.resize(start + written);
    return true;
}

// The octets of a str in the connection's character set.
bool str_octets(const Writer& w, PyObject* text, Ref& holder, const char*& data, Py_ssize_t& size) noexcept {
    if (!w.encoding) {
        data = PyUnicode_AsUTF8AndSize(text, &size);
        return data != nullptr;
    }
    holder = steal(PyUnicode_AsEncodedString(text, w.encoding, "strict"));
    if (!holder) return false;
    data = PyBytes_AS_STRING(holder.get());
    size = PyBytes_GET_SIZE(holder.get());
    return true;
}

bool quote_str(Writer& w, PyObject* text) {
    Ref holder;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!str_octets(w, text, holder, data, size)) return false;
    w.out += '\'';
    if (!escape_into(w, data, static_cast<size_t>(size))) return false;
    w.out += '\'';
    return true;
}

// bytes, bytearray and memoryview: _binary'...', so that the server takes
// the octets as they are whatever the connection's character set.
bool quote_octets(Writer& w, PyObject* value) {
    Ref copy;
    if (PyMemoryView_Check(value)) {
        copy = steal(PyBytes_FromObject(value));
        if (!copy) return false;
        value = copy.get();
    }
    const char* data = PyBytes_Check(value) ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value);
    Py_ssize_t size = PyBytes_Check(value) ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value);
    w.out += "_binary'";
    if (!escape_into(w, data, static_cast<size_t>(size))) return false;
    w.out += '\'';
    return true;
}

bool append_utf8(Writer& w, PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return false;
    w.out.append(data, static_cast<size_t>(size));
    return true;
}

bool write_int(Writer& w, PyObject* value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow) {
        Ref digits = steal(PyObject_Str(value));
        return digits && append_utf8(w, digits.get());
    }
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    w.out.append(buffer, end);
    return true;
}

// repr(), and "e0" after it when it has no exponent, so that the server
// reads a double and not a DECIMAL.
bool write_float(Writer& w, PyObject* value) {
    char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) return false;
    std::string repr(text);
    PyMem_Free(text);
    if (repr == "inf" || repr == "nan") {
        std::string message = repr + " can not be used with MySQL";
        set_pymysql_error("ProgrammingError", -1, message.c_str());
        return false;
    }
    w.out += repr;
    if (repr.find('e') == std::string::npos) w.out += "e0";
    return true;
}

void write_time_of_day(Writer& w, int hour, int minute, int second, int microsecond) {
    char buffer[32];
    int n = microsecond ? std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%06d", hour, minute, second, microsecond)
                        : std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", hour, minute, second);
    w.out.append(buffer, static_cast<size_t>(n));
}

void write_date(Writer& w, int year, int month, int day) {
    char buffer[32];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", year, month, day);
    w.out.append(buffer, static_cast<size_t>(n));
}

void write_datetime(Writer& w, PyObject* v) {
    w.out += '\'';
    write_date(w, PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v));
    w.out += ' ';
    write_time_of_day(w, PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v), PyDateTime_DATE_GET_SECOND(v),
                      PyDateTime_DATE_GET_MICROSECOND(v));
    w.out += '\'';
}

// pymysql's hours: the days as 24 hours each, negative ones included, so
// timedelta(hours=-1) is '-1:00:00'.
void write_timedelta(Writer& w, PyObject* v) {
    long long seconds = PyDateTime_DELTA_GET_SECONDS(v);
    long long hours = seconds / 3600 % 24 + static_cast<long long>(PyDateTime_DELTA_GET_DAYS(v)) * 24;
    int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(v);
    char buffer[48];
    int n = microseconds ? std::snprintf(buffer, sizeof buffer, "'%02lld:%02lld:%02lld.%06d'", hours,
                                         seconds / 60 % 60, seconds % 60, microseconds)
                         : std::snprintf(buffer, sizeof buffer, "'%02lld:%02lld:%02lld'", hours, seconds / 60 % 60,
                                         seconds % 60);
    w.out.append(buffer, static_cast<size_t>(n));
}

bool write_struct_time(Writer& w, PyObject* v) {
    int parts[6];
    for (int i = 0; i < 6; ++i) {
        Ref item = steal(PySequence_GetItem(v, i));
        if (!item || !to_int(item.get(), &parts[i])) return false;
    }
    Ref as_datetime = steal(PyDateTime_FromDateAndTime(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5], 0));
    if (!as_datetime) return false;
    write_datetime(w, as_datetime.get());
    return true;
}

bool write_literal(Writer& w, PyObject* value);

// tuple, list, set, frozenset: "(a,b)".
bool write_sequence(Writer& w, PyObject* value) {
    Ref items = steal(PySequence_Fast(value, "a sequence is required"));
    if (!items) return false;
    if (Py_EnterRecursiveCall(" while writing an SQL literal")) return false;
    bool ok = true;
    w.out += '(';
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
        if (i) w.out += ',';
        ok = write_literal(w, PySequence_Fast_GET_ITEM(items.get(), i));
    }
    w.out += ')';
    Py_LeaveRecursiveCall();
    return ok;
}

bool write_other(Writer& w, PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    if (reinterpret_cast<PyObject*>(t) == decimal_type) {
        Ref text = steal(PyObject_Format(value, fixed_point_spec));
        return text && append_utf8(w, text.get());
    }
    if (t == PyDateTimeAPI->DateTimeType) {
        write_datetime(w, value);
        return true;
    }
    if (t == PyDateTimeAPI->DateType) {
        w.out += '\'';
        write_date(w, PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value));
        w.out += '\'';
        return true;
    }
    if (t == PyDateTimeAPI->TimeType) {
        w.out += '\'';
        write_time_of_day(w, PyDateTime_TIME_GET_HOUR(value), PyDateTime_TIME_GET_MINUTE(value),
                          PyDateTime_TIME_GET_SECOND(value), PyDateTime_TIME_GET_MICROSECOND(value));
        w.out += '\'';
        return true;
    }
    if (t == PyDateTimeAPI->DeltaType) {
        write_timedelta(w, value);
        return true;
    }
    if (reinterpret_cast<PyObject*>(t) == struct_time_type) return write_struct_time(w, value);
    // Any other object is written as its str(), quoted: pymysql's fallback.
    Ref text = steal(PyObject_Str(value));
    return text && quote_str(w, text.get());
}

bool write_literal(Writer& w, PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    if (PyUnicode_Check(value)) return quote_str(w, value);
    if (value == Py_None) {
        w.out += "NULL";
        return true;
    }
    if (t == &PyLong_Type) return write_int(w, value);
    if (t == &PyBool_Type) {
        w.out += value == Py_True ? '1' : '0';
        return true;
    }
    if (t == &PyFloat_Type) return write_float(w, value);
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) return quote_octets(w, value);
    if (t == &PyTuple_Type || t == &PyList_Type || t == &PySet_Type || t == &PyFrozenSet_Type) {
        return write_sequence(w, value);
    }
    if (t == &PyDict_Type) {
        fail(PyExc_TypeError, "dict can not be used as parameter");
        return false;
    }
    return write_other(w, value);
}

// --- the placeholders ----------------------------------------------------------

// The arguments of one text, consumed in order as Python's "%" would: a
// tuple or list item by item, a mapping by %(name)s, any other value as the
// one argument.
struct Arguments {
    PyObject* args;
    PyObject* const* items = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t used = 0;
    Ref fast;
    bool mapping = false;

    bool open() noexcept {
        if (PyTuple_Check(args) || PyList_Check(args)) {
            // A list is read from a copy: a literal's str() could change it.
            fast = PyList_Check(args) ? steal(PyList_AsTuple(args)) : borrow(args);
            if (!fast) return false;
            items = &PyTuple_GET_ITEM(fast.get(), 0);
            count = PyTuple_GET_SIZE(fast.get());
            return true;
        }
        mapping = PyDict_Check(args);
        if (!mapping) {
            items = &args;
            count = 1;
        }
        return true;
    }
    PyObject* next() noexcept {
        if (mapping || used >= count) {
            fail(PyExc_TypeError, mapping ? "format requires a mapping" : "not enough arguments for format string");
            return nullptr;
        }
        return items[used++];
    }
    bool all_used() noexcept {
        if (mapping || used == count) return true;
        fail(PyExc_TypeError, "not all arguments converted during string formatting");
        return false;
    }
};

// %(name)s: the name's argument of a mapping; `i` is at '(' and ends after the 's'.
PyObject* named_argument(Arguments& a, const char* text, size_t size, size_t& i) noexcept {
    const char* close = static_cast<const char*>(std::memchr(text + i, ')', size - i));
    if (!close) {
        fail(PyExc_ValueError, "incomplete format key");
        return nullptr;
    }
    if (!a.mapping) {
        fail(PyExc_TypeError, "format requires a mapping");
        return nullptr;
    }
    size_t end = static_cast<size_t>(close - text);
    if (end + 1 >= size || text[end + 1] != 's') {
        fail(PyExc_ValueError, "unsupported format character at index %zu", end + 1);
        return nullptr;
    }
    Ref key = steal(PyUnicode_FromStringAndSize(text + i + 1, static_cast<Py_ssize_t>(end - i - 1)));
    if (!key) return nullptr;
    PyObject* value = PyDict_GetItemWithError(a.args, key.get());
    if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
    i = end + 1;
    return value;
}

// Python's "%" with a conversion other than %s: every argument is a quoted
// str by then, so a numeric conversion is a TypeError, any other a ValueError.
void unsupported_conversion(char kind, size_t at) noexcept {
    if (kind && std::strchr("diouxXeEfFgGc", kind)) {
        fail(PyExc_TypeError, "%%%c format: a real number is required, not str", kind);
        return;
    }
    fail(PyExc_ValueError, "unsupported format character '%c' (0x%x) at index %zu", kind,
         static_cast<unsigned char>(kind), at);
}

bool format_text(Writer& w, const char* text, size_t size, Arguments& a) {
    size_t plain = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] != '%') continue;
        w.out.append(text + plain, i - plain);
        if (i + 1 >= size) {
            fail(PyExc_ValueError, "incomplete format");
            return false;
        }
        char kind = text[++i];
        if (kind == '%') {
            w.out += '%';
        } else {
            PyObject* value = kind == 's' ? a.next() : kind == '(' ? named_argument(a, text, size, i) : nullptr;
            if (!value && !PyErr_Occurred()) unsupported_conversion(kind, i);
            if (!value) return false;
            // Held: writing a literal runs Python code (str(), format()).
            Ref held = borrow(value);
            if (!write_literal(w, held.get())) return false;
        }
        plain = i + 1;
    }
    w.out.append(text + plain, size - plain);
    return a.all_used();
}

}  // namespace

bool append_mysql_literal(MYSQL* m, PyObject* value, std::string& out) noexcept {
    if (!bind_types()) return false;
    Writer w{m, mysql::handle_encoding(m), out};
    try {
        return write_literal(w, value);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

bool mysql_statement_text(MYSQL* m, PyObject* text, PyObject* args, std::string& out) noexcept {
    if (!PyUnicode_Check(text)) {
        fail(PyExc_TypeError, "the statement must be a str, not %.200s", type_name(text));
        return false;
    }
    Writer w{m, mysql::handle_encoding(m), out};
    Ref holder;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!str_octets(w, text, holder, data, size)) return false;
    if (std::memchr(data, '\0', static_cast<size_t>(size))) {
        // Refused before anything is sent, as the SQLite engines refuse it:
        // an argument's NUL is escaped, but one in the text itself is not
        // what the caller meant to run.
        set_pymysql_error("ProgrammingError", -1, "the query contains a null character");
        return false;
    }
    try {
        out.clear();
        if (!args || args == Py_None) {
            out.assign(data, static_cast<size_t>(size));
            return true;
        }
        if (!bind_types()) return false;
        Arguments a{args};
        if (!a.open()) return false;
        // The text is read from the octets held above; a literal's str() cannot change a str.
        out.reserve(static_cast<size_t>(size) + 16 * static_cast<size_t>(a.count));
        return format_text(w, data, static_cast<size_t>(size), a);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace tsy::db
