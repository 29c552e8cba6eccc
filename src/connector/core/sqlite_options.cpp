// The options both SQLite connectors take (Sqlite3Connector and
// AioSqliteConnector, either driver): how transactions begin, how long a
// connection waits for another one's lock, whether foreign-key constraints
// are enforced, and the PRAGMAs every new connection runs. They are checked once, at construction, and kept in the
// connector's settings dict under their own names; the statements they
// stand for are built from checked values only, never from caller text.
#include "core/connector.hpp"

#include <cmath>

namespace tsy::db {
namespace {

constexpr double kDefaultBusyTimeout = 5.0;  // seconds, sqlite3's own default

// The accepted modes, the first the default. IMMEDIATE takes the write lock
// at BEGIN: a block that reads and then writes cannot end up waiting for a
// reader that is itself waiting to write, which SQLite answers with "database
// is locked" at once, whatever the busy timeout.
const char* const kModes[] = {"IMMEDIATE", "DEFERRED", "EXCLUSIVE"};

PyObject* mode_key() noexcept {
    static PyObject* key = intern("transactionMode");
    return key;
}

PyObject* pragmas_key() noexcept {
    static PyObject* key = intern("pragmas");
    return key;
}

PyObject* foreign_keys_key() noexcept {
    static PyObject* key = intern("foreignKeys");
    return key;
}

// "BEGIN <mode>" for each mode, made once.
PyObject* begin_text_of(int mode) noexcept {
    static PyObject* texts[3] = {nullptr, nullptr, nullptr};
    if (!texts[mode]) texts[mode] = PyUnicode_FromFormat("BEGIN %s", kModes[mode]);
    return texts[mode];
}

PyObject* mode_name(int mode) noexcept {
    static PyObject* made[3] = {nullptr, nullptr, nullptr};
    if (!made[mode]) made[mode] = intern(kModes[mode]);
    return made[mode];
}

int mode_index(PyObject* mode) noexcept {
    for (int i = 0; i < 3; ++i) {
        if (PyUnicode_CompareWithASCIIString(mode, kModes[i]) == 0) return i;
    }
    return -1;
}

// The mode's canonical (upper-case) name, new ref; NULL with the error set.
Ref checked_mode(PyObject* mode) noexcept {
    if (!mode) return borrow(mode_name(0));
    if (!PyUnicode_Check(mode)) {
        return fail(PyExc_TypeError, "transactionMode must be a str (\"IMMEDIATE\", \"DEFERRED\" or \"EXCLUSIVE\"), "
                                     "not %.200s", type_name(mode));
    }
    static PyObject* upper_name = intern("upper");
    Ref upper = call_method(mode, upper_name);
    if (!upper) return {};
    int index = mode_index(upper.get());
    if (index < 0) {
        return fail(PyExc_ValueError, "transactionMode must be \"IMMEDIATE\", \"DEFERRED\" or \"EXCLUSIVE\", not %R",
                    mode);
    }
    return borrow(mode_name(index));
}

Ref checked_timeout(PyObject* timeout) noexcept {
    if (!timeout) return steal(PyFloat_FromDouble(kDefaultBusyTimeout));
    if (PyBool_Check(timeout) || !(PyLong_Check(timeout) || PyFloat_Check(timeout))) {
        return fail(PyExc_TypeError, "timeout must be a number of seconds, not %.200s", type_name(timeout));
    }
    double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1 && PyErr_Occurred()) return {};
    if (!(seconds >= 0) || std::isinf(seconds)) {
        return fail(PyExc_ValueError, "timeout must be a finite number of seconds >= 0, not %R", timeout);
    }
    return steal(PyFloat_FromDouble(seconds));
}

// SQLite enforces no foreign-key constraint unless each connection asks it
// to: on by default, so that the constraints the tables declare hold.
Ref checked_foreign_keys(PyObject* value) noexcept {
    if (!value) return borrow(Py_True);
    if (!PyBool_Check(value)) return fail(PyExc_TypeError, "foreignKeys must be a bool, not %.200s", type_name(value));
    return borrow(value);
}

// A PRAGMA's name goes into the statement as it is: letters, digits and '_',
// not starting with a digit (no schema prefix, no quoting, nothing else).
bool plain_identifier(PyObject* name) noexcept {
    if (!PyUnicode_Check(name) || !PyUnicode_IS_ASCII(name)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name));
    if (length == 0 || (text[0] >= '0' && text[0] <= '9')) return false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        char c = text[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool pragma_value_ok(PyObject* value) noexcept {
    if (PyLong_Check(value)) return true;  // bool included
    if (!PyUnicode_Check(value)) return false;
    // A NUL would end the statement's text early in SQLite's parser.
    return PyUnicode_FindChar(value, 0, 0, PyUnicode_GET_LENGTH(value), 1) == -1;
}

// The int's value as an exact int; OverflowError past 64 bits, which no PRAGMA takes.
Ref exact_int(PyObject* value) noexcept {
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) return {};
    return steal(PyLong_FromLongLong(number));
}

// A checked copy of `pragmas` (a dict; None or NULL for none), new ref.
Ref checked_pragmas(PyObject* pragmas) noexcept {
    Ref copy = steal(PyDict_New());
    if (!copy || !pragmas || pragmas == Py_None) return copy;
    if (!PyDict_Check(pragmas)) {
        return fail(PyExc_TypeError, "pragmas must be a dict of PRAGMA names to values, not %.200s",
                    type_name(pragmas));
    }
    PyObject* name;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(pragmas, &pos, &name, &value)) {
        if (!plain_identifier(name)) {
            return fail(PyExc_ValueError, "pragmas: a PRAGMA name must be a plain identifier (letters, digits, '_'), "
                                          "not %R", name);
        }
        if (!pragma_value_ok(value)) {
            return fail(PyExc_TypeError, "pragmas: the value of %U must be an int, str or bool (no NUL), not %R",
                        name, value);
        }
        // Exact ints and strs, read without calling any method of a subclass,
        // so that nothing but the checked value reaches the text.
        Ref exact = PyBool_Check(value) ? borrow(value)
                    : PyLong_Check(value) ? exact_int(value)
                                          : steal(PyUnicode_FromObject(value));
        Ref key = steal(PyUnicode_FromObject(name));
        if (!exact || !key || PyDict_SetItem(copy.get(), key.get(), exact.get()) < 0) return {};
    }
    return copy;
}

// One PRAGMA statement: ints as digits, bools as 1 and 0, strs as a quoted
// literal (SQLite takes a PRAGMA's value as a literal or a bare word alike).
Ref pragma_statement(PyObject* name, PyObject* value) noexcept {
    if (PyBool_Check(value)) return steal(PyUnicode_FromFormat("PRAGMA %U = %d", name, value == Py_True ? 1 : 0));
    if (PyLong_Check(value)) return steal(PyUnicode_FromFormat("PRAGMA %U = %S", name, value));
    Ref quote = steal(PyUnicode_FromString("'"));
    Ref doubled = steal(PyUnicode_FromString("''"));
    if (!quote || !doubled) return {};
    Ref escaped = steal(PyUnicode_Replace(value, quote.get(), doubled.get(), -1));
    if (!escaped) return {};
    return steal(PyUnicode_FromFormat("PRAGMA %U = '%U'", name, escaped.get()));
}

// Whether the pragmas name foreign_keys themselves (in any case, as SQLite
// reads PRAGMA names): then their value is the one that runs.
int names_foreign_keys(PyObject* pragmas) noexcept {
    PyObject* name;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(pragmas, &pos, &name, &value)) {
        static PyObject* lower_name = intern("lower");
        Ref lower = call_method(name, lower_name);
        if (!lower) return -1;
        if (PyUnicode_CompareWithASCIIString(lower.get(), "foreign_keys") == 0) return 1;
    }
    return 0;
}

PyObject* option_key(SqliteOption which) noexcept {
    switch (which) {
        case SqliteOption::Pragmas: return pragmas_key();
        case SqliteOption::Timeout: return names.timeout;
        case SqliteOption::ForeignKeys: return foreign_keys_key();
        case SqliteOption::TransactionMode: break;
    }
    return mode_key();
}

Ref checked_option(SqliteOption which, PyObject* value) noexcept {
    switch (which) {
        case SqliteOption::Pragmas: return checked_pragmas(value);
        case SqliteOption::Timeout: return checked_timeout(value);
        case SqliteOption::ForeignKeys: return checked_foreign_keys(value);
        case SqliteOption::TransactionMode: break;
    }
    return checked_mode(value);
}

}  // namespace

int set_sqlite_options(PyObject* settings, PyObject* mode, PyObject* timeout, PyObject* pragmas,
                       PyObject* foreign_keys) noexcept {
    Ref checked_mode_name = checked_mode(mode);
    if (!checked_mode_name) return -1;
    Ref seconds = checked_timeout(timeout);
    if (!seconds) return -1;
    Ref enforced = checked_foreign_keys(foreign_keys);
    if (!enforced) return -1;
    Ref kept = checked_pragmas(pragmas);
    if (!kept) return -1;
    if (PyDict_SetItem(settings, mode_key(), checked_mode_name.get()) < 0 ||
        PyDict_SetItem(settings, names.timeout, seconds.get()) < 0 ||
        PyDict_SetItem(settings, foreign_keys_key(), enforced.get()) < 0 ||
        PyDict_SetItem(settings, pragmas_key(), kept.get()) < 0) {
        return -1;
    }
    return 0;
}

int drop_sqlite_options(PyObject* kwargs) noexcept {
    for (PyObject* key : {mode_key(), pragmas_key(), foreign_keys_key()}) {
        if (PyDict_DelItem(kwargs, key) == 0) continue;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
    }
    return 0;
}

PyObject* begin_text(PyObject* settings) noexcept {
    PyObject* mode = settings ? PyDict_GetItem(settings, mode_key()) : nullptr;
    int index = mode && PyUnicode_Check(mode) ? mode_index(mode) : -1;
    PyObject* text = index < 0 ? nullptr : begin_text_of(index);
    if (!text) PyErr_Clear();
    return text ? text : names.begin_sql;
}

double busy_timeout(PyObject* settings) noexcept {
    PyObject* value = settings ? PyDict_GetItem(settings, names.timeout) : nullptr;
    double seconds = value && PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : kDefaultBusyTimeout;
    return seconds;
}

PyObject* sqlite_option(PyObject* self, PyObject* settings, SqliteOption which) noexcept {
    PyObject* key = option_key(which);
    PyObject* value = settings ? PyDict_GetItem(settings, key) : nullptr;
    if (!value) return not_initialised(self);
    // The pragmas are handed out as a copy: the kept dict is the checked one.
    return PyDict_Check(value) ? PyDict_Copy(value) : Py_NewRef(value);
}

int set_sqlite_option(PyObject* self, PyObject* settings, SqliteOption which, PyObject* value) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete %U", option_key(which));
    if (!settings || !PyDict_GetItem(settings, mode_key())) return not_initialised(self);
    Ref checked = checked_option(which, value);
    if (!checked) return -1;
    return PyDict_SetItem(settings, option_key(which), checked.get());
}

PyObject* pragma_statements(PyObject* settings) noexcept {
    PyObject* pragmas = settings ? PyDict_GetItem(settings, pragmas_key()) : nullptr;
    PyObject* enforced = settings ? PyDict_GetItem(settings, foreign_keys_key()) : nullptr;
    Ref all = steal(PyList_New(0));
    if (!all) return nullptr;
    int named = pragmas && PyDict_Check(pragmas) ? names_foreign_keys(pragmas) : 0;
    if (named < 0) return nullptr;
    if (enforced && !named) {
        Ref statement = steal(PyUnicode_FromFormat("PRAGMA foreign_keys = %s", enforced == Py_False ? "OFF" : "ON"));
        if (!statement || PyList_Append(all.get(), statement.get()) < 0) return nullptr;
    }
    if (!pragmas || !PyDict_Check(pragmas)) return all.release();
    PyObject* name;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(pragmas, &pos, &name, &value)) {
        Ref statement = pragma_statement(name, value);
        if (!statement || PyList_Append(all.get(), statement.get()) < 0) return nullptr;
    }
    return all.release();
}

}  // namespace tsy::db
