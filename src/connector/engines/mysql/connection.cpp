// Tessary.DB.Connector.MysqlConnection: a MariaDB connection on MariaDB
// Connector/C with the methods of a pymysql connection that the connectors
// and applications use (begin, commit, rollback, cursor, ping, close, ...),
// and the engine's runner, which sends a connector's statement and turns its
// result into Python values without a cursor object in between.

#include <cstring>
#include <memory>

#include "engines/mysql/connection.hpp"

namespace tsy::db {

bool is_native_mysql(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &MysqlEngineConnectionType); }

bool mysql_connection_ready(PyObject* obj) noexcept { return as_mysql(obj)->settings != nullptr; }

namespace {

// --- connecting ------------------------------------------------------------------

// A connected handle, or NULL with the error set.
MYSQL* open_handle(const MysqlSettings& s) noexcept {
    MYSQL* m = mysql_init(nullptr);
    if (!m) {
        PyErr_NoMemory();
        return nullptr;
    }
    mysql::ConnectOutcome out;
    long long started = steady_now_ns();
    if (apply_mysql_options(m, s) && run_blocking(mysql::connect(blocking(m), s, out))) {
        if (!out.failed) return m;
        // The library tells a connect that ran out of time by a lost
        // connection or ETIMEDOUT only; the time it took tells it plainly.
        double waited = static_cast<double>(steady_now_ns() - started) / 1e9;
        if (!out.connected && s.connect_timeout && waited >= s.connect_timeout) {
            mysql::set_connect_timeout_error(s, s.connect_timeout);
        } else {
            mysql::set_connect_error(m, s, out);
        }
    }
    without_gil([m] { mysql_close(m); });
    return nullptr;
}

// Connects `c` with its settings, closing what it had.
bool connect_handle(MysqlConnectionObject* c) noexcept {
    close_handle(c);
    MYSQL* m = open_handle(*c->settings);
    if (!m) return false;
    const char* info = mysql_get_server_info(m);
    Ref version = steal(PyUnicode_DecodeUTF8(info, static_cast<Py_ssize_t>(std::strlen(info)), "replace"));
    if (!version) {
        without_gil([m] { mysql_close(m); });
        return false;
    }
    set_field(c->server_version, version.get());
    c->handle = m;
    c->insert_id = c->affected = 0;
    c->had_result = 0;
    return true;
}

int conn_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    MysqlConnectionObject* c = as_mysql(self);
    if (PyTuple_GET_SIZE(args) > 0) return arg_count_error("MysqlConnection", 0, 0, PyTuple_GET_SIZE(args));
    if (c->busy || c->stream) {
        set_pymysql_error("ProgrammingError", -1, "the connection is in use: it cannot be connected again now");
        return -1;
    }
    std::unique_ptr<MysqlSettings> settings(new (std::nothrow) MysqlSettings());
    if (!settings) return PyErr_NoMemory(), -1;
    if (!parse_mysql_settings(kwargs, *settings)) return -1;
    close_handle(c);
    delete c->settings;
    c->settings = settings.release();
    c->encoding = mysql_python_encoding(c->settings->charset.c_str());
    return connect_handle(c) ? 0 : -1;
}

void conn_dealloc(PyObject* self) noexcept {
    MysqlConnectionObject* c = as_mysql(self);
    Ref pending = steal(PyErr_GetRaisedException());
    close_handle(c);
    PyErr_SetRaisedException(pending.release());
    delete c->settings;
    c->settings = nullptr;
    Py_CLEAR(c->server_version);
    Py_TYPE(self)->tp_free(self);
}

// --- the engine's runner ------------------------------------------------------------

// The handle is claimed while the text is written too: an argument's str()
// runs Python code, which must not close the handle the escaping reads.
PyObject* run_text(MysqlConnectionObject* c, PyObject* text, PyObject* args, int mode, StatementTrace* trace) {
    HandleClaim claim(c);
    if (!claim) return nullptr;
    if (trace) trace->start();
    QueryOutcome r;
    int prepared = mode == RUN_KEY && args != Py_None ? run_prepared_insert(c, text, args, r) : 0;
    if (prepared) {
        Ref key = prepared < 0 ? Ref() : steal(mysql::insert_id_value(r));
        if (trace) {
            trace->stop(text, nullptr);
            if (prepared > 0) trace->rowcount = static_cast<Py_ssize_t>(r.affected);
        }
        return key.release();
    }
    std::string sql;
    if (!mysql_statement_text(c->handle, text, args, sql)) return nullptr;
    bool ok = run_query(c, sql, false, r);
    Ref result = ok ? steal(mysql::run_result(r, mode, c->encoding)) : Ref();
    if (r.res) mysql_free_result(r.res);
    if (trace) {
        trace->stop(text, nullptr);
        if (ok) trace->rowcount = static_cast<Py_ssize_t>(r.affected);
    }
    return result.release();
}

}  // namespace

PyObject* mysql_engine_run(PyObject* conn, PyObject* text, PyObject* args, int mode, StatementTrace* trace) noexcept {
    if (!is_native_mysql(conn)) return fail(PyExc_TypeError, "not a native MariaDB connection");
    if (!mysql_connection_ready(conn)) return not_initialised(conn);
    MysqlConnectionObject* c = as_mysql(conn);
    Ref held = borrow(conn);
    try {
        return run_text(c, text, args, mode, trace);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

namespace {

// --- the DB-API methods -----------------------------------------------------------------

// begin(), commit(), rollback(), ping(), autocommit(): one command on the claimed handle.
bool run_claimed(MysqlConnectionObject* c, mysql::Command which) noexcept {
    bool failed = false;
    if (!run_blocking(mysql::command(blocking(c->handle), which, failed))) return false;
    if (failed) handle_failed(c);
    return !failed;
}

bool run_command(MysqlConnectionObject* c, mysql::Command which) noexcept {
    HandleClaim claim(c);
    return claim && run_claimed(c, which);
}

template <mysql::Command Which>
PyObject* command_method(PyObject* self, PyObject*) noexcept {
    if (!run_command(as_mysql(self), Which)) return nullptr;
    Py_RETURN_NONE;
}

// Idempotent; from another thread during a call, the call ends first.
PyObject* conn_close(PyObject* self, PyObject*) noexcept {
    MysqlConnectionObject* c = as_mysql(self);
    if (c->busy) c->close_pending = 1;
    else close_handle(c);
    Py_RETURN_NONE;
}

PyObject* conn_ping(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"reconnect"};
    static const Params params{"ping", names, 1, 0};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    int reconnect = a[0] ? PyObject_IsTrue(a[0]) : 1;
    if (reconnect < 0) return nullptr;
    MysqlConnectionObject* c = as_mysql(self);
    if (!c->handle) {
        if (!reconnect) {
            set_pymysql_error("Error", -1, "Already closed");
            return nullptr;
        }
        if (!connect_handle(c)) return nullptr;
    }
    Ref pinged = steal(command_method<mysql::Command::Ping>(self, nullptr));
    if (pinged || !reconnect || c->busy || c->stream) return pinged.release();
    PyErr_Clear();
    if (!connect_handle(c)) return nullptr;
    return command_method<mysql::Command::Ping>(self, nullptr);
}

PyObject* conn_autocommit(PyObject* self, PyObject* value) noexcept {
    int on = PyObject_IsTrue(value);
    if (on < 0) return nullptr;
    MysqlConnectionObject* c = as_mysql(self);
    HandleClaim claim(c);
    if (!claim) return nullptr;
    c->settings->autocommit = on != 0;
    c->settings->set_autocommit = true;
    if (mysql::server_autocommit(c->handle) == (on != 0)) Py_RETURN_NONE;
    if (!run_claimed(c, on ? mysql::Command::AutocommitOn : mysql::Command::AutocommitOff)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_get_autocommit(PyObject* self, PyObject*) noexcept {
    MysqlConnectionObject* c = as_mysql(self);
    if (!c->handle) return PyBool_FromLong(c->settings->autocommit);
    return PyBool_FromLong(mysql::server_autocommit(c->handle));
}

PyObject* conn_cursor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"cursor"};
    static const Params params{"cursor", names, 1, 0};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* kind = a[0] ? a[0] : Py_None;
    if (kind == Py_None) return new_mysql_cursor(self, false);
    Ref unbuffered = import_attr("pymysql.cursors", "SSCursor");
    Ref buffered = unbuffered ? import_attr("pymysql.cursors", "Cursor") : Ref();
    if (!buffered) return nullptr;
    if (kind == buffered.get()) return new_mysql_cursor(self, false);
    int streaming = PyType_Check(kind) ? PyObject_IsSubclass(kind, unbuffered.get()) : 0;
    if (streaming < 0) return nullptr;
    if (streaming) return new_mysql_cursor(self, true);
    return fail(PyExc_TypeError,
                "cursor must be None, pymysql.cursors.Cursor or pymysql.cursors.SSCursor (or a subclass), not %R",
                kind);
}

PyObject* conn_get_server_info(PyObject* self, PyObject*) noexcept {
    PyObject* version = as_mysql(self)->server_version;
    return Py_NewRef(version ? version : Py_None);
}

PyObject* conn_insert_id(PyObject* self, PyObject*) noexcept {
    MysqlConnectionObject* c = as_mysql(self);
    if (c->had_result) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(c->insert_id);
}

PyObject* conn_affected_rows(PyObject* self, PyObject*) noexcept {
    return PyLong_FromUnsignedLongLong(as_mysql(self)->affected);
}

PyObject* conn_thread_id(PyObject* self, PyObject*) noexcept {
    MysqlConnectionObject* c = as_mysql(self);
    if (!c->handle) {
        set_pymysql_error("InterfaceError", 0, "");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(mysql_thread_id(c->handle));
}

PyObject* conn_character_set_name(PyObject* self, PyObject*) noexcept {
    const std::string& charset = as_mysql(self)->settings->charset;
    return PyUnicode_DecodeUTF8(charset.data(), static_cast<Py_ssize_t>(charset.size()), "replace");
}

PyObject* conn_escape(PyObject* self, PyObject* value) noexcept {
    std::string out;
    try {
        if (!append_mysql_literal(as_mysql(self)->handle, value, out)) return nullptr;
        return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogateescape");
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

PyObject* conn_enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* conn_exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept { return conn_close(self, nullptr); }

PyObject* get_open(PyObject* self, void*) noexcept { return PyBool_FromLong(as_mysql(self)->handle != nullptr); }

PyObject* conn_repr(PyObject* self) noexcept {
    MysqlConnectionObject* c = as_mysql(self);
    if (!c->settings) return PyUnicode_FromFormat("<%s (not initialised)>", Py_TYPE(self)->tp_name);
    const MysqlSettings& s = *c->settings;
    const char* state = c->handle ? "open" : "closed";
    if (s.has_socket) {
        return PyUnicode_FromFormat("<%s %s unix_socket=%s>", Py_TYPE(self)->tp_name, state, s.unix_socket.c_str());
    }
    return PyUnicode_FromFormat("<%s %s host=%s port=%u>", Py_TYPE(self)->tp_name, state, s.host.c_str(), s.port);
}

// A method-table entry of `F` (any calling convention), refusing a
// connection whose __init__ has not run.
template <auto F>
PyCFunction ready() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<mysql_connection_ready, F>));
}
template <auto F>
PyCFunction any() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

PyMethodDef conn_methods[] = {
    {"begin", ready<command_method<mysql::Command::Begin>>(), METH_NOARGS, "begin($self, /)\n--\n\nStarts a transaction (BEGIN)."},
    {"commit", ready<command_method<mysql::Command::Commit>>(), METH_NOARGS,
     "commit($self, /)\n--\n\nCommits the transaction."},
    {"rollback", ready<command_method<mysql::Command::Rollback>>(), METH_NOARGS,
     "rollback($self, /)\n--\n\nRolls the transaction back."},
    {"close", any<conn_close>(), METH_NOARGS,
     "close($self, /)\n--\n\nCloses the connection; closing it again does nothing."},
    {"cursor", fastkw_ready<mysql_connection_ready, conn_cursor>(), METH_FASTCALL | METH_KEYWORDS,
     "cursor($self, /, cursor=None)\n--\n\nA new cursor: buffered, or unbuffered for pymysql.cursors.SSCursor."},
    {"ping", fastkw_ready<mysql_connection_ready, conn_ping>(), METH_FASTCALL | METH_KEYWORDS,
     "ping($self, /, reconnect=True)\n--\n\nChecks that the server answers; reconnects a lost connection when asked."},
    {"autocommit", ready<conn_autocommit>(), METH_O,
     "autocommit($self, value, /)\n--\n\nTurns the server's autocommit mode on or off."},
    {"get_autocommit", ready<conn_get_autocommit>(), METH_NOARGS,
     "get_autocommit($self, /)\n--\n\nWhether the server commits each statement by itself."},
    {"get_server_info", ready<conn_get_server_info>(), METH_NOARGS,
     "get_server_info($self, /)\n--\n\nThe server's version text."},
    {"insert_id", ready<conn_insert_id>(), METH_NOARGS,
     "insert_id($self, /)\n--\n\nThe key the last statement generated (None after one with rows)."},
    {"affected_rows", ready<conn_affected_rows>(), METH_NOARGS,
     "affected_rows($self, /)\n--\n\nThe rows the last statement changed or returned."},
    {"thread_id", ready<conn_thread_id>(), METH_NOARGS,
     "thread_id($self, /)\n--\n\nThe server's identifier of this connection (for KILL)."},
    {"character_set_name", ready<conn_character_set_name>(), METH_NOARGS,
     "character_set_name($self, /)\n--\n\nThe connection's character set."},
    {"escape", ready<conn_escape>(), METH_O,
     "escape($self, value, /)\n--\n\nThe value as the SQL literal a statement's argument becomes."},
    {"literal", ready<conn_escape>(), METH_O,
     "literal($self, value, /)\n--\n\nThe same as escape()."},
    {"__enter__", ready<conn_enter>(), METH_NOARGS, "__enter__($self, /)\n--\n\nThe connection."},
    {"__exit__", any<conn_exit>(), METH_FASTCALL,
     "__exit__($self, /, *exc_info)\n--\n\nCloses the connection."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef conn_getset[] = {
    {"open", get_open, nullptr, "True while the connection is usable.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- the connect function -----------------------------------------------------------------

PyObject* engine_connect(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return PyObject_Call(reinterpret_cast<PyObject*>(&MysqlEngineConnectionType), args, kwargs);
}

PyMethodDef connect_def = {
    "connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_connect)),
    METH_VARARGS | METH_KEYWORDS,
    "connect(*, host='localhost', port=3306, user=None, password='', database=None, unix_socket=None, "
    "charset='utf8mb4', autocommit=False, connect_timeout=10, read_timeout=None, write_timeout=None)\n--\n\n"
    "A native MariaDB connection, with pymysql.connect's keywords."};

}  // namespace

PyTypeObject MysqlEngineConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.MysqlConnection",
    .tp_basicsize = sizeof(MysqlConnectionObject),
    .tp_dealloc = conn_dealloc,
    .tp_repr = conn_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "MysqlConnection(*, host='localhost', port=3306, user=None, password='', database=None, "
              "unix_socket=None, charset='utf8mb4', autocommit=False, connect_timeout=10, read_timeout=None, "
              "write_timeout=None)\n--\n\n"
              "A MariaDB connection on MariaDB Connector/C, used as a pymysql connection is.",
    .tp_methods = conn_methods,
    .tp_getset = conn_getset,
    .tp_init = conn_init,
    .tp_new = PyType_GenericNew,
};

Ref mysql_engine_connect() noexcept {
    static PyObject* function = nullptr;
    if (!function) function = PyCFunction_New(&connect_def, nullptr);
    return borrow(function);
}

int ready_mysql_engine(PyObject* module) noexcept {
    // Not thread-safe, so once, while the module is imported.
    if (mysql_library_init(0, nullptr, nullptr)) {
        PyErr_SetString(PyExc_ImportError, "the MariaDB client library could not be initialised");
        return -1;
    }
    if (PyType_Ready(&MysqlEngineConnectionType) < 0 || ready_mysql_cursor() < 0) return -1;
    return PyModule_AddObjectRef(module, "MysqlConnection", reinterpret_cast<PyObject*>(&MysqlEngineConnectionType));
}

}  // namespace tsy::db
