// AioMysqlConnection: what the native AioMysqlConnector lends (getCon(),
// transaction()). It offers the awaitable calls the package's own code and
// applications make on a pooled aiomysql connection: begin(), commit(),
// rollback(), close() (ensure_closed() too), thread_id(), `closed`; its
// statements run through the handle (executeSql(..., con=con)) or a cursor.
#include "engines/mysql/nonblocking.hpp"

namespace tsy::db {
namespace {

using mysql_async::Command;

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    AioMysqlConnectionObject* c = as_mysql_con(self);
    Py_VISIT(c->connector);
    Py_VISIT(c->watch_loop);
    Py_VISIT(c->waiter);
    Py_VISIT(c->on_readable);
    return 0;
}

// The socket's watch goes first: its callback points at this object.
int tp_clear(PyObject* self) noexcept {
    AioMysqlConnectionObject* c = as_mysql_con(self);
    mysql_async::unwatch(c);
    Py_CLEAR(c->connector);
    Py_CLEAR(c->on_readable);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    mysql_async::close_now(as_mysql_con(self));
    tp_clear(self);
    PyObject_GC_Del(self);
}

PyObject* command_method(const char* func, Command which, PyObject* self, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_args(func, nargs, kwnames)) return nullptr;
    return mysql_async::command(self, which);
}

PyObject* begin_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("begin", Command::Begin, self, nargs, kwnames);
}

PyObject* commit_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("commit", Command::Commit, self, nargs, kwnames);
}

PyObject* rollback_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("rollback", Command::Rollback, self, nargs, kwnames);
}

PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    return mysql_async::close(self);
}

PyObject* thread_id_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("thread_id", nargs, kwnames)) return nullptr;
    AioMysqlConnectionObject* c = as_mysql_con(self);
    if (!c->mysql) {
        set_pymysql_error("InterfaceError", 0, "Not connected");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(mysql_thread_id(c->mysql));
}

// The server's version text, as pymysql's get_server_info() gives it (the
// bulk INSERTs read it to know whether RETURNING is there).
PyObject* get_server_info_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("get_server_info", nargs, kwnames)) return nullptr;
    AioMysqlConnectionObject* c = as_mysql_con(self);
    if (!c->mysql) {
        set_pymysql_error("InterfaceError", 0, "Not connected");
        return nullptr;
    }
    return PyUnicode_FromString(mysql_get_server_info(c->mysql));
}

PyObject* get_closed(PyObject* self, void*) noexcept { return PyBool_FromLong(as_mysql_con(self)->mysql == nullptr); }

PyObject* repr(PyObject* self) noexcept {
    AioMysqlConnectionObject* c = as_mysql_con(self);
    if (!c->mysql) return PyUnicode_FromFormat("<%s closed>", type_name(self));
    return PyUnicode_FromFormat("<%s thread_id=%lu%s>", type_name(self), mysql_thread_id(c->mysql),
                                c->broken ? " broken" : "");
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"begin", fastkw<begin_method>(), kFast, "begin($self)\n--\n\nawait begin(): start a transaction (BEGIN)."},
    {"commit", fastkw<commit_method>(), kFast, "commit($self)\n--\n\nawait commit(): commit the work done on this connection."},
    {"rollback", fastkw<rollback_method>(), kFast, "rollback($self)\n--\n\nawait rollback(): drop the uncommitted work."},
    {"close", fastkw<close_method>(), kFast,
     "close($self)\n--\n\nawait close(): close the connection (uncommitted work is dropped)."},
    {"ensure_closed", fastkw<close_method>(), kFast, "ensure_closed($self)\n--\n\nawait ensure_closed(): the same as close()."},
    {"cursor", fastkw<mysql_async::cursor_method>(), kFast,
     "cursor($self)\n--\n\nawait cursor(): a cursor whose execute() and fetch calls are awaited."},
    {"thread_id", fastkw<thread_id_method>(), kFast, "thread_id($self)\n--\n\nThe server's id of this session."},
    {"get_server_info", fastkw<get_server_info_method>(), kFast,
     "get_server_info($self)\n--\n\nThe server's version text (\"10.11.6-MariaDB-0+deb12u1\")."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", get_closed, nullptr, "True once the connection is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject AioMysqlConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioMysqlConnection",
    .tp_basicsize = sizeof(AioMysqlConnectionObject),
    .tp_dealloc = tp_dealloc,
    .tp_repr = repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A connection of AioMysqlConnector (from getCon()): MariaDB Connector/C in its non-blocking mode, "
              "driven by the event loop. Its statements are not committed until `await con.commit()`.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
};

}  // namespace tsy::db
