// Result fields of the text protocol as the Python values pymysql's default
// decoders give (converters.decoders and MySQLResult._get_descriptions):
// integers as int, DECIMAL as decimal.Decimal, FLOAT and DOUBLE as float
// (the server's shortest text, so a FLOAT 0.1 stays 0.1), DATETIME and
// TIMESTAMP as datetime (an impossible one, such as the zero date, as its
// text), DATE as date, TIME as timedelta, text columns as str in the
// connection's character set, binary ones (character set 63) as bytes, NULL
// as None. The converter of each field is chosen once per result.
#include <charconv>
#include <cstring>

#include "engines/mysql/engine.hpp"

#include <datetime.h>  // after Python.h

namespace tsy::db {
namespace {

enum Kind : unsigned char {
    K_TEXT,       // the connection's character set
    K_BYTES,      // binary strings, BLOB, BIT, GEOMETRY
    K_ASCII,      // every other type pymysql has no decoder for (NEWDATE, ENUM of the old protocol, ...)
    K_INT,
    K_FLOAT,
    K_DECIMAL,
    K_DATETIME,
    K_DATE,
    K_TIMEDELTA,
};

constexpr unsigned kBinaryCharset = 63;

PyObject* decimal_type = nullptr;

bool bind_value_types() noexcept {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return false;
    }
    if (decimal_type) return true;
    decimal_type = import_attr("decimal", "Decimal").release();
    return decimal_type != nullptr;
}

bool is_text_type(enum_field_types type) noexcept {
    switch (type) {
        case MYSQL_TYPE_BIT:
        case MYSQL_TYPE_BLOB:
        case MYSQL_TYPE_LONG_BLOB:
        case MYSQL_TYPE_MEDIUM_BLOB:
        case MYSQL_TYPE_TINY_BLOB:
        case MYSQL_TYPE_STRING:
        case MYSQL_TYPE_VAR_STRING:
        case MYSQL_TYPE_VARCHAR:
        case MYSQL_TYPE_GEOMETRY:
            return true;
        default:
            return false;
    }
}

Kind kind_of(const MYSQL_FIELD& field) noexcept {
    if (is_text_type(field.type)) return field.charsetnr == kBinaryCharset ? K_BYTES : K_TEXT;
    switch (field.type) {
        case MYSQL_TYPE_JSON: return K_TEXT;  // MySQL's JSON: binary character set, text all the same
        case MYSQL_TYPE_TINY:
        case MYSQL_TYPE_SHORT:
        case MYSQL_TYPE_LONG:
        case MYSQL_TYPE_LONGLONG:
        case MYSQL_TYPE_INT24:
        case MYSQL_TYPE_YEAR: return K_INT;
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE: return K_FLOAT;
        case MYSQL_TYPE_DECIMAL:
        case MYSQL_TYPE_NEWDECIMAL: return K_DECIMAL;
        case MYSQL_TYPE_TIMESTAMP:
        case MYSQL_TYPE_DATETIME: return K_DATETIME;
        case MYSQL_TYPE_DATE: return K_DATE;
        case MYSQL_TYPE_TIME: return K_TIMEDELTA;
        default: return K_ASCII;
    }
}

// --- numbers ---------------------------------------------------------------------

PyObject* from_digits_slow(const char* data, unsigned long size) noexcept {
    std::string copy(data, size);  // NUL-terminated for the interpreter's parser
    return PyLong_FromString(copy.c_str(), nullptr, 10);
}

PyObject* int_value(const char* data, unsigned long size) noexcept {
    long long v = 0;
    auto [end, ec] = std::from_chars(data, data + size, v);
    if (ec == std::errc() && end == data + size) return PyLong_FromLongLong(v);
    try {
        return from_digits_slow(data, size);  // BIGINT UNSIGNED beyond 2**63, or not digits at all
    } catch (...) {
        return PyErr_NoMemory();
    }
}

PyObject* to_float(const char* data, unsigned long size) noexcept {
    double v = 0;
    auto [end, ec] = std::from_chars(data, data + size, v);
    if (ec == std::errc() && end == data + size) return PyFloat_FromDouble(v);
    Ref text = steal(PyUnicode_DecodeASCII(data, static_cast<Py_ssize_t>(size), "strict"));
    return text ? PyFloat_FromString(text.get()) : nullptr;
}

PyObject* to_decimal(const char* data, unsigned long size) noexcept {
    Ref text = steal(PyUnicode_DecodeASCII(data, static_cast<Py_ssize_t>(size), "strict"));
    return text ? PyObject_CallOneArg(decimal_type, text.get()) : nullptr;
}

// --- dates and times ----------------------------------------------------------------

// Reads 1..`most` digits at `p`; false (p unchanged) when there is none.
bool read_number(const char*& p, const char* end, int most, int& out) noexcept {
    int value = 0, n = 0;
    while (p + n < end && n < most && p[n] >= '0' && p[n] <= '9') value = value * 10 + (p[n++] - '0');
    if (!n) return false;
    p += n;
    out = value;
    return true;
}

bool read_separator(const char*& p, const char* end, char a, char b = 0) noexcept {
    if (p >= end || (*p != a && (!b || *p != b))) return false;
    ++p;
    return true;
}

// ".ffffff" (any separator, 1..6 digits, right-padded with zeros): the microseconds.
int read_fraction(const char*& p, const char* end) noexcept {
    if (p + 1 >= end || p[1] < '0' || p[1] > '9') return 0;
    const char* digits = p + 1;
    int value = 0, n = 0;
    if (!read_number(digits, end, 6, value)) return 0;
    n = static_cast<int>(digits - (p + 1));
    for (; n < 6; ++n) value *= 10;
    p = digits;
    return value;
}

// The value is its own text when the interpreter refuses the date it names.
PyObject* or_text(PyObject* made, const char* data, unsigned long size) noexcept {
    if (made || !PyErr_ExceptionMatches(PyExc_ValueError)) return made;
    PyErr_Clear();
    return PyUnicode_DecodeASCII(data, static_cast<Py_ssize_t>(size), "strict");
}

PyObject* to_date(const char* data, unsigned long size) noexcept {
    const char* p = data;
    const char* end = data + size;
    int y = 0, m = 0, d = 0;
    bool whole = read_number(p, end, 9, y) && read_separator(p, end, '-') && read_number(p, end, 9, m) &&
                 read_separator(p, end, '-') && read_number(p, end, 9, d) && p == end;
    if (!whole) return PyUnicode_DecodeASCII(data, static_cast<Py_ssize_t>(size), "strict");
    return or_text(PyDate_FromDate(y, m, d), data, size);
}

PyObject* to_datetime(const char* data, unsigned long size) noexcept {
    const char* p = data;
    const char* end = data + size;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    bool matched = read_number(p, end, 4, y) && read_separator(p, end, '-') && read_number(p, end, 2, mo) &&
                   read_separator(p, end, '-') && read_number(p, end, 2, d) && read_separator(p, end, ' ', 'T') &&
                   read_number(p, end, 2, h) && read_separator(p, end, ':') && read_number(p, end, 2, mi) &&
                   read_separator(p, end, ':') && read_number(p, end, 2, s);
    if (!matched) return to_date(data, size);
    int us = read_fraction(p, end);
    PyObject* made = PyDateTime_FromDateAndTime(y, mo, d, h, mi, s, us);
    if (made || !PyErr_ExceptionMatches(PyExc_ValueError)) return made;
    PyErr_Clear();
    return to_date(data, size);
}

// TIME is a duration (-838:59:59 .. 838:59:59), hence timedelta.
PyObject* to_timedelta(const char* data, unsigned long size) noexcept {
    const char* p = data;
    const char* end = data + size;
    bool negative = read_separator(p, end, '-');
    int h = 0, m = 0, s = 0;
    bool matched = read_number(p, end, 3, h) && read_separator(p, end, ':') && read_number(p, end, 2, m) &&
                   read_separator(p, end, ':') && read_number(p, end, 2, s);
    if (!matched) return PyUnicode_DecodeASCII(data, static_cast<Py_ssize_t>(size), "strict");
    int us = read_fraction(p, end);
    int seconds = h * 3600 + m * 60 + s;
    return PyDelta_FromDSU(0, negative ? -seconds : seconds, negative ? -us : us);
}

}  // namespace

// --- rows -------------------------------------------------------------------------------

bool MysqlRowReader::prepare(MYSQL_RES* res, const char* encoding) noexcept {
    if (!bind_value_types()) return false;
    encoding_ = encoding;
    count_ = mysql_num_fields(res);
    MYSQL_FIELD* fields = mysql_fetch_fields(res);
    try {
        kinds_.resize(count_);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    for (unsigned i = 0; i < count_; ++i) kinds_[i] = kind_of(fields[i]);
    return true;
}

PyObject* MysqlRowReader::value(unsigned i, const char* data, unsigned long size) const noexcept {
    Py_ssize_t n = static_cast<Py_ssize_t>(size);
    switch (kinds_[i]) {
        case K_TEXT:
            return encoding_ ? PyUnicode_Decode(data, n, encoding_, "strict") : PyUnicode_DecodeUTF8(data, n, nullptr);
        case K_BYTES: return PyBytes_FromStringAndSize(data, n);
        case K_INT: return int_value(data, size);
        case K_FLOAT: return to_float(data, size);
        case K_DECIMAL: return to_decimal(data, size);
        case K_DATETIME: return to_datetime(data, size);
        case K_DATE: return to_date(data, size);
        case K_TIMEDELTA: return to_timedelta(data, size);
        default: return PyUnicode_DecodeASCII(data, n, "strict");
    }
}

PyObject* MysqlRowReader::row(MYSQL_ROW values, const unsigned long* lengths) noexcept {
    Ref tuple = steal(PyTuple_New(count_));
    if (!tuple) return nullptr;
    for (unsigned i = 0; i < count_; ++i) {
        PyObject* item = values[i] ? value(i, values[i], lengths[i]) : Py_NewRef(Py_None);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple.release();
}

PyObject* mysql_stored_rows(MYSQL_RES* res, const char* encoding, bool as_tuple) noexcept {
    MysqlRowReader reader;
    if (!reader.prepare(res, encoding)) return nullptr;
    my_ulonglong total = mysql_num_rows(res);
    if (total > static_cast<my_ulonglong>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Py_ssize_t n = static_cast<Py_ssize_t>(total);
    Ref rows = steal(as_tuple ? PyTuple_New(n) : PyList_New(n));
    if (!rows) return nullptr;
    mysql_data_seek(res, 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        MYSQL_ROW values = mysql_fetch_row(res);
        unsigned long* lengths = values ? mysql_fetch_lengths(res) : nullptr;
        if (!lengths) return fail(PyExc_RuntimeError, "a stored result ended before its row count");
        PyObject* row = reader.row(values, lengths);
        if (!row) return nullptr;
        if (as_tuple) PyTuple_SET_ITEM(rows.get(), i, row);
        else PyList_SET_ITEM(rows.get(), i, row);
    }
    return rows.release();
}


// --- description ----------------------------------------------------------------------------

namespace {

// pymysql's MBLENGTH: a VAR_STRING's length in characters for the few
// character sets it knows to be wider than one octet.
unsigned long column_length(const MYSQL_FIELD& f) noexcept {
    if (f.type != MYSQL_TYPE_VAR_STRING) return f.length;
    switch (f.charsetnr) {
        case 33: return f.length / 3;
        case 88:
        case 91: return f.length / 2;
        default: return f.length;
    }
}

PyObject* describe(const MYSQL_FIELD& f) noexcept {
    Ref name = steal(PyUnicode_DecodeUTF8(f.name, static_cast<Py_ssize_t>(f.name_length), "replace"));
    if (!name) return nullptr;
    unsigned long length = column_length(f);
    return Py_BuildValue("(OiOkkIO)", name.get(), static_cast<int>(f.type), Py_None, length, length, f.decimals,
                         (f.flags & NOT_NULL_FLAG) ? Py_False : Py_True);
}

}  // namespace

PyObject* mysql_description(MYSQL_RES* res) noexcept {
    if (!res) return Py_NewRef(Py_None);
    unsigned n = mysql_num_fields(res);
    MYSQL_FIELD* fields = mysql_fetch_fields(res);
    Ref all = steal(PyTuple_New(n));
    if (!all) return nullptr;
    for (unsigned i = 0; i < n; ++i) {
        PyObject* one = describe(fields[i]);
        if (!one) return nullptr;
        PyTuple_SET_ITEM(all.get(), i, one);
    }
    return all.release();
}

}  // namespace tsy::db
