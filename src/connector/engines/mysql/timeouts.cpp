// connectTimeout, readTimeout and writeTimeout of the MySQL connectors: how
// long a connection may wait for the server before it gives up, checked once
// by the constructors and kept in the driver settings under the drivers' own
// keywords (connect_timeout, read_timeout, write_timeout), which pymysql and
// the native engine both take.
#include <cmath>

#include "engines/mysql/engine.hpp"

namespace tsy::db {
namespace {

// The library counts in whole seconds up to a year; pymysql refuses more too.
constexpr double kLongestTimeout = 31536000;

// A number of seconds > 0, or None for no limit (new ref), or NULL with
// TypeError/ValueError naming `name`.
Ref checked_seconds(PyObject* value, const char* name) noexcept {
    if (value == Py_None) return borrow(Py_None);
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        return fail(PyExc_TypeError, "%s must be a number of seconds or None, not %.200s", name, type_name(value));
    }
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return {};
    if (!(seconds > 0) || !std::isfinite(seconds) || seconds > kLongestTimeout) {
        return fail(PyExc_ValueError, "%s must be more than 0 and at most %d seconds (or None), not %R", name,
                    static_cast<int>(kLongestTimeout), value);
    }
    return steal(PyFloat_FromDouble(seconds));
}

}  // namespace

int set_mysql_timeouts(PyObject* settings, PyObject* connect, PyObject* read, PyObject* write) noexcept {
    Ref connect_default = connect ? Ref() : steal(PyFloat_FromDouble(kDefaultConnectTimeout));
    if (!connect && !connect_default) return -1;
    const struct {
        PyObject* given;
        const char* name;
        const char* key;
    } all[] = {
        {connect ? connect : connect_default.get(), "connectTimeout", "connect_timeout"},
        {read ? read : Py_None, "readTimeout", "read_timeout"},
        {write ? write : Py_None, "writeTimeout", "write_timeout"},
    };
    Ref values[3];
    for (int i = 0; i < 3; ++i) {
        if (!(values[i] = checked_seconds(all[i].given, all[i].name))) return -1;
    }
    for (int i = 0; i < 3; ++i) {
        if (PyDict_SetItemString(settings, all[i].key, values[i].get()) < 0) return -1;
    }
    return 0;
}

PyObject* mysql_timeout(PyObject* self, PyObject* settings, const char* key) noexcept {
    if (!settings) return not_initialised(self);
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(settings, key, &value) < 0) return nullptr;
    return value ? value : Py_NewRef(Py_None);
}

}  // namespace tsy::db
