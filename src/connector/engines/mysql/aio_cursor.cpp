// AioMysqlCursor: `cur = await con.cursor()` on a native AioMysqlConnection,
// for application code written against aiomysql's cursors:
//
//     cur = await con.cursor()
//     await cur.execute("SELECT ... WHERE id = %s", (1,))
//     row = await cur.fetchone()
//
// execute() runs the statement and keeps its whole result (the library's
// stored result, converted at once); the fetch calls only read what it kept,
// so they are awaitables that are complete at once, as aiomysql's buffered
// cursor's are.
#include "engines/mysql/nonblocking.hpp"

namespace tsy::db {
namespace {

struct AioMysqlCursorObject {
    PyObject_HEAD
    PyObject* connection;   // NULL once closed
    PyObject* rows;         // list of the last result's rows, or NULL
    PyObject* description;  // None or pymysql's 7-tuples
    PyObject* lastrowid;
    Py_ssize_t rowcount;
    Py_ssize_t pos;         // the next row to fetch
};

AioMysqlCursorObject* as_cursor(PyObject* obj) noexcept { return reinterpret_cast<AioMysqlCursorObject*>(obj); }

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    AioMysqlCursorObject* c = as_cursor(self);
    Py_VISIT(c->connection);
    Py_VISIT(c->rows);
    Py_VISIT(c->description);
    Py_VISIT(c->lastrowid);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    AioMysqlCursorObject* c = as_cursor(self);
    Py_CLEAR(c->connection);
    Py_CLEAR(c->rows);
    Py_CLEAR(c->description);
    Py_CLEAR(c->lastrowid);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    PyObject_GC_Del(self);
}

bool open_cursor(AioMysqlCursorObject* c) noexcept {
    if (c->connection) return true;
    set_pymysql_error("ProgrammingError", -1, "Cursor closed");
    return false;
}

// An awaitable complete at once with `value` (new ref; NULL passes the error on).
coro::Task ready_task(Ref value) { co_return std::move(value); }

PyObject* ready_value(Ref value, const char* name) noexcept {
    if (!value) return nullptr;
    return coro::make_coroutine(ready_task(std::move(value)), name);
}

// Keeps (rows, description, rowcount, lastrowid) and answers the rowcount.
coro::Task execute_task(Ref self, Ref pending) {
    Ref outcome = co_await coro::await(std::move(pending));
    if (!outcome) co_return nullptr;
    AioMysqlCursorObject* c = as_cursor(self.get());
    PyObject* rows = PyTuple_GET_ITEM(outcome.get(), 0);
    set_field(c->rows, rows == Py_None ? nullptr : rows);
    set_field(c->description, PyTuple_GET_ITEM(outcome.get(), 1));
    set_field(c->lastrowid, PyTuple_GET_ITEM(outcome.get(), 3));
    c->rowcount = PyLong_AsSsize_t(PyTuple_GET_ITEM(outcome.get(), 2));
    c->pos = 0;
    if (c->rowcount == -1 && PyErr_Occurred()) co_return nullptr;
    co_return steal(PyLong_FromSsize_t(c->rowcount));
}

const char* const kExecuteNames[] = {"query", "args"};

PyObject* execute_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"execute", kExecuteNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    AioMysqlCursorObject* c = as_cursor(self);
    if (!open_cursor(c) || !check_arg(a[0], &PyUnicode_Type, "query", false)) return nullptr;
    Ref given = borrow(a[1] ? a[1] : Py_None);
    if (given.get() != Py_None && !PyTuple_Check(given.get()) && !PyList_Check(given.get())) {
        given = steal(PyTuple_Pack(1, given.get()));  // a lone argument, as pymysql takes it
        if (!given) return nullptr;
    }
    Ref bound = given.get() == Py_None ? borrow(Py_None) : steal(bindable_args(given.get(), false));
    if (!bound) return nullptr;
    Ref pending = steal(mysql_async::statement(c->connection, a[0], bound.get(), mysql_async::RUN_CURSOR, {}));
    if (!pending) return nullptr;
    return coro::make_coroutine(execute_task(borrow(self), std::move(pending)), "execute", "AioMysqlCursor.execute");
}

// The next `count` rows kept (all that are left when count < 0), as a list.
Ref take_rows(AioMysqlCursorObject* c, Py_ssize_t count) noexcept {
    Py_ssize_t size = c->rows ? PyList_GET_SIZE(c->rows) : 0;
    Py_ssize_t end = count < 0 || count > size - c->pos ? size : c->pos + count;
    Ref taken = steal(c->rows ? PyList_GetSlice(c->rows, c->pos, end) : PyList_New(0));
    if (taken) c->pos = end;
    return taken;
}

PyObject* fetchone_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("fetchone", nargs, kwnames)) return nullptr;
    AioMysqlCursorObject* c = as_cursor(self);
    if (!open_cursor(c)) return nullptr;
    if (!c->rows || c->pos >= PyList_GET_SIZE(c->rows)) return ready_value(borrow(Py_None), "fetchone");
    return ready_value(borrow(PyList_GET_ITEM(c->rows, c->pos++)), "fetchone");
}

const char* const kFetchmanyNames[] = {"size"};

PyObject* fetchmany_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"fetchmany", kFetchmanyNames, 1, 0};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    AioMysqlCursorObject* c = as_cursor(self);
    if (!open_cursor(c)) return nullptr;
    int size = 1;
    if (a[0] && a[0] != Py_None && !to_int(a[0], &size)) return nullptr;
    return ready_value(take_rows(c, size < 0 ? 0 : size), "fetchmany");
}

PyObject* fetchall_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("fetchall", nargs, kwnames)) return nullptr;
    AioMysqlCursorObject* c = as_cursor(self);
    if (!open_cursor(c)) return nullptr;
    return ready_value(take_rows(c, -1), "fetchall");
}

PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    AioMysqlCursorObject* c = as_cursor(self);
    Py_CLEAR(c->connection);
    Py_CLEAR(c->rows);
    return ready_value(borrow(Py_None), "close");
}

PyObject* aenter(PyObject* self, PyObject*) noexcept { return ready_value(borrow(self), "__aenter__"); }

PyObject* aexit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    Ref closed = steal(close_method(self, nullptr, 0, nullptr));
    if (!closed) return nullptr;
    return ready_value(borrow(Py_False), "__aexit__");
}

PyObject* get_rowcount(PyObject* self, void*) noexcept { return PyLong_FromSsize_t(as_cursor(self)->rowcount); }

PyObject* get_field(PyObject* self, void* which) noexcept {
    AioMysqlCursorObject* c = as_cursor(self);
    PyObject* value = which ? c->lastrowid : c->description;
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_connection(PyObject* self, void*) noexcept {
    PyObject* con = as_cursor(self)->connection;
    return Py_NewRef(con ? con : Py_None);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"execute", fastkw<execute_method>(), kFast,
     "execute($self, query, args=None)\n--\n\nawait execute(query, args=None): run a \"%s\" statement; the rows affected."},
    {"fetchone", fastkw<fetchone_method>(), kFast, "fetchone($self)\n--\n\nawait fetchone(): the next row, or None."},
    {"fetchmany", fastkw<fetchmany_method>(), kFast,
     "fetchmany($self, size=None)\n--\n\nawait fetchmany(size=1): the next `size` rows."},
    {"fetchall", fastkw<fetchall_method>(), kFast, "fetchall($self)\n--\n\nawait fetchall(): the rows left."},
    {"close", fastkw<close_method>(), kFast, "close($self)\n--\n\nawait close(): forget the result and the connection."},
    {"__aenter__", aenter, METH_NOARGS, nullptr},
    {"__aexit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(aexit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"rowcount", get_rowcount, nullptr, "Rows of the last result, or rows the last statement changed; -1 before one.",
     nullptr},
    {"lastrowid", get_field, nullptr, "The key the last INSERT generated.", reinterpret_cast<void*>(1)},
    {"description", get_field, nullptr, "pymysql's column description of the last result, or None.", nullptr},
    {"connection", get_connection, nullptr, "The cursor's connection, None once closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

coro::Task cursor_task(Ref cursor) { co_return std::move(cursor); }

PyTypeObject AioMysqlCursorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioMysqlCursor",
    .tp_basicsize = sizeof(AioMysqlCursorObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A cursor of AioMysqlConnection (from `await con.cursor()`): execute() is awaited, and so are the "
              "fetch calls, which read the result execute() kept.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
};

}  // namespace

namespace mysql_async {

PyObject* cursor_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("cursor", nargs, kwnames)) return nullptr;
    if (!as_mysql_con(self)->mysql) {
        set_pymysql_error("InterfaceError", 0, "Not connected");
        return nullptr;
    }
    Ref cursor = steal(PyObject_GC_New(PyObject, &AioMysqlCursorType));
    if (!cursor) return nullptr;
    AioMysqlCursorObject* c = as_cursor(cursor.get());
    c->connection = Py_NewRef(self);
    c->rows = nullptr;
    c->description = nullptr;
    c->lastrowid = nullptr;
    c->rowcount = -1;
    c->pos = 0;
    PyObject_GC_Track(cursor.get());
    return coro::make_coroutine(cursor_task(std::move(cursor)), "cursor", "AioMysqlConnection.cursor");
}

int ready_cursor(PyObject* module) noexcept { return add_type(module, &AioMysqlCursorType, "AioMysqlCursor"); }

}  // namespace mysql_async

}  // namespace tsy::db
