// pymysql.connect's keyword arguments read into MysqlSettings, and the
// options a handle gets from them before it connects.
#include <cstring>

#include "engines/mysql/engine.hpp"

namespace tsy::db {
namespace {

constexpr unsigned kDefaultPort = 3306;
const char* const kDefaultCharset = "utf8mb4";

bool read_text(PyObject* value, const char* key, std::string& out, bool* given) noexcept {
    if (value == Py_None) {
        if (given) *given = false;
        return true;
    }
    Py_ssize_t size = 0;
    const char* text = nullptr;
    if (PyUnicode_Check(value)) {
        text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) return false;
    } else if (PyBytes_Check(value)) {
        text = PyBytes_AS_STRING(value);
        size = PyBytes_GET_SIZE(value);
    } else {
        fail(PyExc_TypeError, "%s must be a str or None, not %.200s", key, type_name(value));
        return false;
    }
    if (std::memchr(text, '\0', static_cast<size_t>(size))) {
        fail(PyExc_ValueError, "%s must not contain a NUL character", key);
        return false;
    }
    out.assign(text, static_cast<size_t>(size));
    if (given) *given = true;
    return true;
}

// pymysql refuses a port that is not an int; 0 (its default) means 3306.
bool read_port(PyObject* value, unsigned& out) noexcept {
    if (!PyLong_Check(value)) {
        fail(PyExc_ValueError, "port should be of type int");
        return false;
    }
    long port = PyLong_AsLong(value);
    if (port == -1 && PyErr_Occurred()) return false;
    if (port < 0 || port > 65535) {
        fail(PyExc_ValueError, "port must be in 0..65535, not %ld", port);
        return false;
    }
    out = port ? static_cast<unsigned>(port) : kDefaultPort;
    return true;
}

// A timeout in whole seconds (the library's unit); None for none.
bool read_timeout(PyObject* value, const char* key, unsigned& out) noexcept {
    if (value == Py_None) {
        out = 0;
        return true;
    }
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (!(seconds > 0) || seconds > 31536000) {
        fail(PyExc_ValueError, "%s should be >0 and <=31536000", key);
        return false;
    }
    out = static_cast<unsigned>(seconds + 0.999999);
    return true;
}

bool read_autocommit(PyObject* value, MysqlSettings& out) noexcept {
    out.set_autocommit = value != Py_None;
    if (!out.set_autocommit) return true;
    int on = PyObject_IsTrue(value);
    if (on < 0) return false;
    out.autocommit = on != 0;
    return true;
}

// Capability flags as pymysql takes them: an int of CLIENT_* bits.
bool read_client_flag(PyObject* value, unsigned long& out) noexcept {
    if (!PyLong_Check(value)) {
        fail(PyExc_TypeError, "client_flag must be an int, not %.200s", type_name(value));
        return false;
    }
    unsigned long flags = PyLong_AsUnsignedLong(value);
    if (flags == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    out = flags;
    return true;
}

bool read_one(const char* key, PyObject* value, MysqlSettings& out) noexcept {
    if (!std::strcmp(key, "host")) {
        bool given = false;
        if (!read_text(value, key, out.host, &given)) return false;
        if (!given || out.host.empty()) out.host = "localhost";
        return true;
    }
    if (!std::strcmp(key, "port")) return read_port(value, out.port);
    if (!std::strcmp(key, "user")) return read_text(value, key, out.user, &out.has_user);
    if (!std::strcmp(key, "password") || !std::strcmp(key, "passwd")) {
        return read_text(value, key, out.password, &out.has_password);
    }
    if (!std::strcmp(key, "database") || !std::strcmp(key, "db")) {
        return read_text(value, key, out.database, &out.has_database);
    }
    if (!std::strcmp(key, "unix_socket")) {
        if (!read_text(value, key, out.unix_socket, &out.has_socket)) return false;
        out.has_socket = out.has_socket && !out.unix_socket.empty();
        return true;
    }
    if (!std::strcmp(key, "charset")) {
        bool given = false;
        if (!read_text(value, key, out.charset, &given)) return false;
        if (!given || out.charset.empty()) out.charset = kDefaultCharset;
        return true;
    }
    if (!std::strcmp(key, "autocommit")) return read_autocommit(value, out);
    if (!std::strcmp(key, "connect_timeout")) return read_timeout(value, key, out.connect_timeout);
    if (!std::strcmp(key, "read_timeout")) return read_timeout(value, key, out.read_timeout);
    if (!std::strcmp(key, "write_timeout")) return read_timeout(value, key, out.write_timeout);
    if (!std::strcmp(key, "client_flag")) return read_client_flag(value, out.client_flag);
    fail(PyExc_TypeError, "connect() got an unexpected keyword argument '%s'", key);
    return false;
}

void set_defaults(MysqlSettings& out) noexcept {
    out.host = "localhost";
    out.user.clear();
    out.password.clear();
    out.database.clear();
    out.unix_socket.clear();
    out.charset = kDefaultCharset;
    out.port = kDefaultPort;
    out.has_user = out.has_password = out.has_database = out.has_socket = false;
    out.autocommit = false;  // pymysql's default: the connection starts with autocommit off
    out.set_autocommit = true;
    out.connect_timeout = kDefaultConnectTimeout;
    out.read_timeout = out.write_timeout = 0;
    out.client_flag = 0;
}

}  // namespace

bool parse_mysql_settings(PyObject* kwargs, MysqlSettings& out) noexcept {
    try {
        set_defaults(out);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    if (!kwargs) return true;
    if (!PyDict_Check(kwargs)) {
        fail(PyExc_TypeError, "connect() takes keyword arguments only");
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (!name) {
            if (!PyErr_Occurred()) fail(PyExc_TypeError, "keywords must be strings");
            return false;
        }
        try {
            if (!read_one(name, value, out)) return false;
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

bool apply_mysql_options(MYSQL* m, const MysqlSettings& s) noexcept {
    // pymysql never reads LOCAL INFILE requests unless asked to: a server
    // (or a statement) must not be able to read the client's files.
    unsigned no_infile = 0;
    // "localhost" goes over TCP as with pymysql; a given socket path always wins.
    unsigned protocol = s.has_socket ? MYSQL_PROTOCOL_SOCKET : MYSQL_PROTOCOL_TCP;
    unsigned connect_timeout = s.connect_timeout;
    int failed = mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, s.charset.c_str());
    failed |= mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &no_infile);
    failed |= mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &protocol);
    if (connect_timeout) failed |= mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    if (s.read_timeout) failed |= mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &s.read_timeout);
    if (s.write_timeout) failed |= mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &s.write_timeout);
    if (failed) {
        set_mysql_error(m);
        return false;
    }
    return true;
}

const char* mysql_python_encoding(const char* charset) noexcept {
    if (!charset || !std::strncmp(charset, "utf8", 4)) return nullptr;  // utf8, utf8mb3, utf8mb4
    if (!std::strcmp(charset, "latin1")) return "cp1252";  // MariaDB's latin1 is Windows-1252
    if (!std::strcmp(charset, "binary")) return "latin-1";
    return charset;
}

}  // namespace tsy::db
