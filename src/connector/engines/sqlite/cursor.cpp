// Cursors of the native SQLite connection. A cursor steps its statement
// lazily: execute() takes the first step, each fetched row the next one, so
// that a stream reading a batch at a time holds one batch of rows, and other
// statements of the connection may run between its fetches (a cached
// statement a cursor is stepping is never handed to another execution).
// When the last row has been read the statement is given back at once,
// which lets go of SQLite's read lock.
#include "engines/sqlite/connection.hpp"

namespace tsy::db::sqlite {
namespace {

ConnectionObject* connection_of(CursorObject* cur) noexcept { return as_connection(cur->connection); }

// Marks a method of the cursor under way.
class Busy {
public:
    explicit Busy(CursorObject* cur) noexcept : cur_(cur) { cur_->busy = true; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    ~Busy() { cur_->busy = false; }

private:
    CursorObject* cur_;
};

// The cursor may step its statement now; else false with the error set.
bool can_run(CursorObject* cur) noexcept {
    if (cur->closed) {
        programming_error("Cannot operate on a closed cursor.");
        return false;
    }
    if (cur->busy) {
        programming_error("Recursive use of cursors not allowed.");
        return false;
    }
    return usable(connection_of(cur));
}

// Gives the statement back and drops the arguments bound to it, in that order.
void finish(CursorObject* cur) noexcept {
    if (!cur->statement) return;
    Ref statement = steal(cur->statement);
    Ref args = steal(cur->args);
    cur->statement = nullptr;
    cur->args = nullptr;
    release_statement(as_statement(statement.get()));
}

// What a step's result leaves: a row to fetch, the end (counted), or an error.
int after_step(CursorObject* cur, int rc) noexcept {
    if (rc == SQLITE_ROW) return 0;
    ConnectionObject* c = connection_of(cur);
    if (rc != SQLITE_DONE) {
        raise_from(c->db);
        finish(cur);
        return -1;
    }
    if (as_statement(cur->statement)->is_dml) cur->rowcount += static_cast<Py_ssize_t>(sqlite3_changes64(c->db));
    finish(cur);
    return 0;
}

bool check_sql(const char* method, PyObject* sql) noexcept {
    if (PyUnicode_Check(sql)) return true;
    fail(PyExc_TypeError, "%s() argument 1 must be str, not %.200s", method, type_name(sql));
    return false;
}

// The current row and a step to the next; NULL without an error at the end.
PyObject* next_row(CursorObject* cur) noexcept {
    if (!cur->statement) return nullptr;
    sqlite3_stmt* stmt = as_statement(cur->statement)->stmt;
    PyObject* row = row_tuple(stmt, sqlite3_data_count(stmt));
    if (!row) {
        finish(cur);
        return nullptr;
    }
    if (after_step(cur, sqlite3_step(stmt)) < 0) {
        Py_DECREF(row);
        return nullptr;
    }
    return row;
}

// Up to `limit` rows (all when negative) as a list.
PyObject* fetch_rows(PyObject* self, Py_ssize_t limit) noexcept {
    CursorObject* cur = as_cursor(self);
    if (!can_run(cur)) return nullptr;
    Busy busy(cur);
    Running running(connection_of(cur));
    Ref rows = steal(PyList_New(0));
    if (!rows) return nullptr;
    for (Py_ssize_t n = 0; limit < 0 || n < limit; ++n) {
        Ref row = steal(next_row(cur));
        if (!row) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        if (PyList_Append(rows.get(), row.get()) < 0) return nullptr;
    }
    return rows.release();
}

PyObject* fetchone_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("fetchone", nargs, kwnames)) return nullptr;
    CursorObject* cur = as_cursor(self);
    if (!can_run(cur)) return nullptr;
    Busy busy(cur);
    Running running(connection_of(cur));
    PyObject* row = next_row(cur);
    if (!row && !PyErr_Occurred()) Py_RETURN_NONE;
    return row;
}

const char* const kFetchmanyNames[] = {"size"};

PyObject* fetchmany_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"fetchmany", kFetchmanyNames, 1, 0};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    int size = static_cast<int>(as_cursor(self)->arraysize);
    if (a[0] && !to_int(a[0], &size)) return nullptr;
    return fetch_rows(self, size < 0 ? 0 : size);
}

PyObject* fetchall_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("fetchall", nargs, kwnames)) return nullptr;
    return fetch_rows(self, -1);
}

PyObject* iternext(PyObject* self) noexcept {
    CursorObject* cur = as_cursor(self);
    if (!can_run(cur)) return nullptr;
    Busy busy(cur);
    Running running(connection_of(cur));
    return next_row(cur);
}

PyObject* iter(PyObject* self) noexcept { return Py_NewRef(self); }

// Idempotent, and quiet on a closed connection: a stream closes its cursor
// however it ended.
PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    CursorObject* cur = as_cursor(self);
    if (cur->busy) return programming_error("Recursive use of cursors not allowed.");
    if (connection_of(cur)->unlocked) {  // another thread is inside SQLite on the connection
        usable(connection_of(cur));
        return nullptr;
    }
    finish(cur);
    cur->closed = true;
    Py_RETURN_NONE;
}

const char* const kExecuteNames[] = {"sql", "parameters"};

PyObject* execute_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"execute", kExecuteNames, 2, 1, false};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return cursor_execute(self, a[0], a[1]);
}

PyObject* executemany_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"executemany", kExecuteNames, 2, 2, false};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return cursor_executemany(self, a[0], a[1]);
}

// One execution of executemany's statement with one argument sequence.
int run_once(CursorObject* cur, StatementObject* s, PyObject* parameters) noexcept {
    ConnectionObject* c = connection_of(cur);
    Ref bound = stable_arguments(parameters);
    if (!bound) return -1;
    sqlite3_reset(s->stmt);
    sqlite3_clear_bindings(s->stmt);
    if (bind_arguments(s->stmt, bound.get()) < 0) return -1;
    int rc = first_step(c, s->stmt);
    if (rc == SQLITE_ROW) return programming_error("executemany() can only execute DML statements.");
    if (rc != SQLITE_DONE) return raise_from(c->db);
    if (s->is_dml) cur->rowcount += static_cast<Py_ssize_t>(sqlite3_changes64(c->db));
    return 0;
}

int run_many(CursorObject* cur, StatementObject* s, PyObject* seq) noexcept {
    Ref items = steal(PyObject_GetIter(seq));
    if (!items) return -1;
    while (Ref parameters = steal(PyIter_Next(items.get()))) {
        if (run_once(cur, s, parameters.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* get_connection(PyObject* self, void*) noexcept { return Py_NewRef(as_cursor(self)->connection); }
PyObject* get_description(PyObject* self, void*) noexcept { return Py_NewRef(as_cursor(self)->description); }
PyObject* get_lastrowid(PyObject* self, void*) noexcept { return Py_NewRef(as_cursor(self)->lastrowid); }
PyObject* get_rowcount(PyObject* self, void*) noexcept { return PyLong_FromSsize_t(as_cursor(self)->rowcount); }
PyObject* get_arraysize(PyObject* self, void*) noexcept { return PyLong_FromSsize_t(as_cursor(self)->arraysize); }

int set_arraysize(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete attribute 'arraysize'");
    if (!PyLong_Check(value)) return fail(PyExc_TypeError, "arraysize must be an int, not %.200s", type_name(value));
    int size = 0;
    if (!to_int(value, &size)) return -1;
    if (size < 0) return fail(PyExc_ValueError, "arraysize must not be negative");
    as_cursor(self)->arraysize = size;
    return 0;
}

int cursor_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CursorObject* cur = as_cursor(self);
    Py_VISIT(cur->connection);
    Py_VISIT(cur->args);
    Py_VISIT(cur->description);
    Py_VISIT(cur->lastrowid);
    return 0;
}

int cursor_clear(PyObject* self) noexcept {
    CursorObject* cur = as_cursor(self);
    finish(cur);
    Py_CLEAR(cur->description);
    Py_CLEAR(cur->lastrowid);
    Py_CLEAR(cur->connection);
    return 0;
}

void cursor_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    if (as_cursor(self)->weakrefs) PyObject_ClearWeakRefs(self);
    cursor_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef methods[] = {
    {"execute", fastkw<execute_method>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, sql, parameters=(), /)\n--\n\nRun one statement; its rows are read by the fetch methods."},
    {"executemany", fastkw<executemany_method>(), METH_FASTCALL | METH_KEYWORDS,
     "executemany($self, sql, parameters, /)\n--\n\nRun one DML statement once for each argument sequence."},
    {"fetchone", fastkw<fetchone_method>(), METH_FASTCALL | METH_KEYWORDS,
     "fetchone($self)\n--\n\nThe next row, or None."},
    {"fetchmany", fastkw<fetchmany_method>(), METH_FASTCALL | METH_KEYWORDS,
     "fetchmany($self, size=1)\n--\n\nUp to `size` (default: arraysize) next rows."},
    {"fetchall", fastkw<fetchall_method>(), METH_FASTCALL | METH_KEYWORDS, "fetchall($self)\n--\n\nThe rows left."},
    {"close", fastkw<close_method>(), METH_FASTCALL | METH_KEYWORDS,
     "close($self)\n--\n\nClose the cursor; its statement's rows not read are dropped."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"connection", get_connection, nullptr, "The cursor's connection.", nullptr},
    {"description", get_description, nullptr, "7-tuples naming the last statement's columns, or None.", nullptr},
    {"lastrowid", get_lastrowid, nullptr, "The rowid of the last row inserted on the connection.", nullptr},
    {"rowcount", get_rowcount, nullptr, "Rows changed by the last DML statement, -1 for others.", nullptr},
    {"arraysize", get_arraysize, set_arraysize, "fetchmany's default size.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject CursorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.SqliteCursor",
    .tp_basicsize = sizeof(CursorObject),
    .tp_dealloc = cursor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A cursor of a native SQLite connection (made by its cursor() method).",
    .tp_traverse = cursor_traverse,
    .tp_clear = cursor_clear,
    .tp_weaklistoffset = offsetof(CursorObject, weakrefs),
    .tp_iter = iter,
    .tp_iternext = iternext,
    .tp_methods = methods,
    .tp_getset = getset,
};

int ready_cursor() noexcept { return PyType_Ready(&CursorType); }

PyObject* new_cursor(PyObject* connection) noexcept {
    CursorObject* cur = PyObject_GC_New(CursorObject, &CursorType);
    if (!cur) return nullptr;
    cur->connection = Py_NewRef(connection);
    cur->statement = nullptr;
    cur->args = nullptr;
    cur->description = Py_NewRef(Py_None);
    cur->lastrowid = Py_NewRef(Py_None);
    cur->weakrefs = nullptr;
    cur->rowcount = -1;
    cur->arraysize = 1;
    cur->closed = false;
    cur->busy = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(cur));
    return reinterpret_cast<PyObject*>(cur);
}

PyObject* cursor_execute(PyObject* self, PyObject* sql, PyObject* parameters) noexcept {
    CursorObject* cur = as_cursor(self);
    if (!check_sql("execute", sql) || !can_run(cur)) return nullptr;
    Busy busy(cur);
    ConnectionObject* c = connection_of(cur);
    Running running(c);
    finish(cur);
    set_field(cur->description, Py_None);
    Ref bound = stable_arguments(parameters);
    if (!bound) return nullptr;
    // Held past finish(): a statement made for one use goes with the cursor's reference.
    Ref statement = acquire_statement(c, sql);
    if (!statement) return nullptr;
    StatementObject* s = as_statement(statement.get());
    cur->statement = Py_NewRef(statement.get());
    cur->args = bound.release();
    cur->rowcount = s->is_dml ? 0 : -1;
    if (!s->stmt) {
        finish(cur);
        return Py_NewRef(self);
    }
    if (bind_arguments(s->stmt, cur->args) < 0) {
        finish(cur);
        return nullptr;
    }
    int rc = first_step(c, s->stmt);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        PyObject* description = statement_description(s);  // after the step that may have re-prepared
        if (!description) {
            finish(cur);
            return nullptr;
        }
        set_field(cur->description, description);
    }
    if (after_step(cur, rc) < 0) return nullptr;
    Ref lastrowid = steal(PyLong_FromLongLong(sqlite3_last_insert_rowid(c->db)));
    if (!lastrowid) return nullptr;
    set_field(cur->lastrowid, lastrowid.get());
    return Py_NewRef(self);
}

PyObject* cursor_executemany(PyObject* self, PyObject* sql, PyObject* seq) noexcept {
    CursorObject* cur = as_cursor(self);
    if (!check_sql("executemany", sql) || !can_run(cur)) return nullptr;
    Busy busy(cur);
    ConnectionObject* c = connection_of(cur);
    Running running(c);
    finish(cur);
    set_field(cur->description, Py_None);
    Ref statement = acquire_statement(c, sql);
    if (!statement) return nullptr;
    StatementObject* s = as_statement(statement.get());
    cur->rowcount = s->is_dml ? 0 : -1;
    int done = s->stmt ? run_many(cur, s, seq) : 0;
    release_statement(s);
    if (done < 0) return nullptr;
    return Py_NewRef(self);
}

}  // namespace tsy::db::sqlite
