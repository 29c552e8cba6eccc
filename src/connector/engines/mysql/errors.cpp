// pymysql's exceptions for the library's errors: the class pymysql's own
// table gives the error number (pymysql.err.error_map, read from pymysql so
// both paths can never disagree), InternalError below 1000 and
// OperationalError otherwise, with (errno, message) as the arguments, so
// that `except pymysql.IntegrityError` and `e.args[0] == 1062` hold on
// either engine.
#include "engines/mysql/engine.hpp"

#include <errmsg.h>
#include <cstring>
#include <mysqld_error.h>

namespace tsy::db {
namespace {

// pymysql.err and its error_map, held for the life of the process once an
// error has needed them.
PyObject* err_module = nullptr;
PyObject* error_map = nullptr;

bool bind_pymysql_err() noexcept {
    if (err_module) return true;
    Ref module = steal(PyImport_ImportModule("pymysql.err"));
    if (!module) return false;
    Ref map = attr(module.get(), "error_map");
    if (!map) return false;
    if (!PyDict_Check(map.get())) {
        fail(PyExc_TypeError, "pymysql.err.error_map is not a dict");
        return false;
    }
    err_module = module.release();
    error_map = map.release();
    return true;
}

// Server messages are in the connection's character set (UTF-8 here);
// pymysql decodes them with "replace", so a cut character never hides the error.
Ref message_text(const char* message) noexcept {
    if (!message) message = "";
    return steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
}

void raise_with_args(PyObject* cls, Ref args) noexcept {
    if (!args) return;
    PyErr_SetObject(cls, args.get());
}

}  // namespace

void set_pymysql_error(const char* class_name, int errnum, const char* message) noexcept {
    if (!bind_pymysql_err()) return;
    Ref cls = attr(err_module, class_name);
    if (!cls) return;
    Ref text = message_text(message);
    if (!text) return;
    if (errnum < 0) {
        PyErr_SetObject(cls.get(), text.get());
        return;
    }
    raise_with_args(cls.get(), steal(Py_BuildValue("(iO)", errnum, text.get())));
}

void set_mysql_error(unsigned errnum, const char* message) noexcept {
    if (!bind_pymysql_err()) return;
    Ref number = steal(PyLong_FromUnsignedLong(errnum));
    if (!number) return;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(error_map, number.get(), &found) < 0) return;
    Ref cls = steal(found);
    if (!cls) cls = attr(err_module, errnum < 1000 ? "InternalError" : "OperationalError");
    if (!cls) return;
    Ref text = message_text(message);
    if (!text) return;
    raise_with_args(cls.get(), steal(PyTuple_Pack(2, number.get(), text.get())));
}

void set_mysql_error(MYSQL* m) noexcept {
    unsigned errnum = m ? mysql_errno(m) : 0;
    if (!errnum) {
        // A failure the library gave no number for: out of memory in it, most likely.
        set_mysql_error(CR_UNKNOWN_ERROR, m ? mysql_error(m) : "the client library failed");
        return;
    }
    set_mysql_error(errnum, mysql_error(m));
}

bool mysql_connection_lost(unsigned errnum) noexcept {
    switch (errnum) {
        case CR_SERVER_GONE_ERROR:      // 2006
        case CR_SERVER_LOST:            // 2013
        case CR_SERVER_LOST_EXTENDED:   // 2055
        case CR_CONNECTION_ERROR:       // 2002
        case CR_CONN_HOST_ERROR:        // 2003
        case ER_CONNECTION_KILLED:      // 1927: KILL CONNECTION on MariaDB
        case ER_SERVER_SHUTDOWN:        // 1053
        case 4031:                      // MySQL 8: closed for inactivity
            return true;
        default:
            return false;
    }
}

bool pending_error_means_dead() noexcept {
    if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_EOFError)) return true;
    // Binding pymysql.err imports it: not with the error pending.
    Ref pending = steal(PyErr_GetRaisedException());
    Ref base = bind_pymysql_err() ? attr(err_module, "Error") : Ref();
    int dead = base ? PyObject_IsInstance(pending.get(), base.get()) : 0;
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    return dead > 0;
}

}  // namespace tsy::db
