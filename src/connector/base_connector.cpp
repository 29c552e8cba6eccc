// BaseConnector: the synchronous connector over a DB-API connection. It owns
// one connection, opened by its connect() at the first statement, and the
// commit policy of statements run on it.
#include "connector.hpp"

namespace tsy::db {
namespace {

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ConnectorObject* c = as_connector(self.get());
    c->settings = PyDict_New();
    c->cache = PyDict_New();
    if (!c->settings || !c->cache) return nullptr;
    c->style = STYLE_FORMAT;
    return self.release();
}

int tp_init(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", nullptr, 0, 0};
    PyObject* none[1];
    Ref kwnames, values;
    return parse_tuple(params, args, kwargs, none, kwnames, values) ? 0 : -1;
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ConnectorObject* c = as_connector(self);
    Py_VISIT(c->con);
    Py_VISIT(c->factory);
    Py_VISIT(c->settings);
    Py_VISIT(c->cache);
    Py_VISIT(c->cursor);
    Py_VISIT(c->cursor_con);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    ConnectorObject* c = as_connector(self);
    Py_CLEAR(c->con);
    Py_CLEAR(c->factory);
    Py_CLEAR(c->settings);
    Py_CLEAR(c->cache);
    Py_CLEAR(c->cursor);
    Py_CLEAR(c->cursor_con);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// --- methods ----------------------------------------------------------------

const char* const kConNames[] = {"con"};
const char* const kColNames[] = {"col"};
const char* const kSqlNames[] = {"sql"};
const char* const kRunNames[] = {"sql", "args", "con"};

PyObject* connect_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("connect", nargs, kwnames)) return nullptr;
    ConnectorObject* c = as_connector(self);
    if (!c->factory) {
        return fail(PyExc_NotImplementedError, "%.200s does not know how to open a connection: override connect()",
                    type_name(self));
    }
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(c->factory, empty.get(), c->settings);
}

PyObject* getCon_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("getCon", nargs, kwnames)) return nullptr;
    return Py_XNewRef(own_connection(self));
}

// Connections in autocommit mode need an explicit start; the others are
// always inside a transaction already.
PyObject* begin_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"begin", kConNames, 1, 1};
    PyObject* con[1];
    if (!parse(params, args, nargs, kwnames, con)) return nullptr;
    if (!as_connector(self)->autocommit) Py_RETURN_NONE;
    int has_begin = PyObject_HasAttrWithError(con[0], names.begin);
    if (has_begin < 0) return nullptr;
    Ref done = has_begin ? call_method(con[0], names.begin) : steal(run_on(con[0], names.begin_sql, Py_None, RUN_NONE));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

PyObject* translate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"translate", kSqlNames, 1, 1};
    PyObject* sql[1];
    if (!parse(params, args, nargs, kwnames, sql)) return nullptr;
    if (!check_arg(sql[0], &PyUnicode_Type, "sql", false)) return nullptr;
    return driver_text(as_connector(self), sql[0], true);
}

PyObject* run_method(const char* func, int mode, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    const Params params{func, kRunNames, 3, 1};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return run(self, a[2], a[0], a[1], mode);
}

PyObject* query_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method("query", RUN_ROWS, self, args, nargs, kwnames);
}

PyObject* write_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method("write", RUN_KEY, self, args, nargs, kwnames);
}

PyObject* transaction_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("transaction", nargs, kwnames)) return nullptr;
    return call(reinterpret_cast<PyObject*>(&TransactionType), self).release();
}

// Closing inside a transaction() block drops the block's work with the
// connection; the next statement opens a new one.
PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("close", nargs, kwnames)) return nullptr;
    ConnectorObject* c = as_connector(self);
    forget_cursor(c);
    Ref con = steal(c->con);
    c->con = nullptr;
    c->depth = 0;
    if (con && !call_method(con.get(), names.close)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* autoFiledAnnounce_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"autoFiledAnnounce", kColNames, 1, 1};
    PyObject* col[1];
    if (!parse(params, args, nargs, kwnames, col)) return nullptr;
    return fail(PyExc_NotImplementedError, "%.200s has no auto-increment column type: override autoFiledAnnounce()",
                type_name(self));
}

PyMethodDef methods[] = {
    {"connect", fastkw<connect_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Open a new connection of the driver (called once, at the first statement)."},
    {"getCon", fastkw<getCon_method>(), METH_FASTCALL | METH_KEYWORDS,
     "The connector's own connection, opened on first use."},
    {"begin", fastkw<begin_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Start a transaction on `con` when it commits each statement by itself."},
    {"translate", fastkw<translate_method>(), METH_FASTCALL | METH_KEYWORDS,
     "The statement text with its \"%s\" placeholders in the driver's style."},
    {"query", fastkw<query_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Run `sql` with `args` (on `con`, else the own connection) and return every row."},
    {"write", fastkw<write_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Run `sql` with `args` (on `con`, else the own connection) and return the generated key."},
    {"transaction", fastkw<transaction_method>(), METH_FASTCALL | METH_KEYWORDS,
     "A context manager yielding the own connection: commit at the end of the block, rollback on error."},
    {"close", fastkw<close_method>(), METH_FASTCALL | METH_KEYWORDS, "Close the own connection, if open."},
    {"autoFiledAnnounce", fastkw<autoFiledAnnounce_method>(), METH_FASTCALL | METH_KEYWORDS,
     "The CREATE TABLE type text of the auto-increment key column `col`."},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes ---------------------------------------------------------------

PyObject* get_false(PyObject*, void*) noexcept { Py_RETURN_FALSE; }
PyObject* get_true(PyObject*, void*) noexcept { Py_RETURN_TRUE; }

PyObject* get_con_type(PyObject* self, void*) noexcept { return PyLong_FromLong(as_connector(self)->con_type); }

int set_con_type(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete con_type");
    int v = 0;
    if (!to_int(value, &v)) return -1;
    as_connector(self)->con_type = v;
    return 0;
}

PyObject* get_paramstyle(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(as_connector(self)->style == STYLE_QMARK ? "qmark" : "format");
}

int set_paramstyle(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) return fail(PyExc_TypeError, "paramstyle must be 'format' or 'qmark'");
    int style;
    if (PyUnicode_CompareWithASCIIString(value, "format") == 0) style = STYLE_FORMAT;
    else if (PyUnicode_CompareWithASCIIString(value, "qmark") == 0) style = STYLE_QMARK;
    else return fail(PyExc_ValueError, "paramstyle must be 'format' or 'qmark', not %R", value);
    ConnectorObject* c = as_connector(self);
    if (c->style != style) PyDict_Clear(c->cache);
    c->style = style;
    return 0;
}

PyObject* get_autocommit(PyObject* self, void*) noexcept { return PyBool_FromLong(as_connector(self)->autocommit); }

int set_autocommit(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete autocommit");
    int v = truth(value);
    if (v < 0) return -1;
    as_connector(self)->autocommit = v;
    return 0;
}

PyObject* get_in_transaction(PyObject* self, void*) noexcept { return PyBool_FromLong(as_connector(self)->depth > 0); }

PyGetSetDef getset[] = {
    {"isAsync", get_false, nullptr, "False: statements run synchronously.", nullptr},
    {"isReady", get_true, nullptr, "True: the connection is opened on demand.", nullptr},
    {"con_type", get_con_type, set_con_type,
     "0: INSERT column lists table-qualified; 1: single-quoted names.", nullptr},
    {"paramstyle", get_paramstyle, set_paramstyle, "'format' (%s kept) or 'qmark' (%s becomes ?).", nullptr},
    {"autocommit", get_autocommit, set_autocommit,
     "True when connect() returns a connection that commits each statement by itself.", nullptr},
    {"inTransaction", get_in_transaction, nullptr, "True inside a transaction() block.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* own_connection(PyObject* self) noexcept {
    ConnectorObject* c = as_connector(self);
    if (!c->con) {
        // connect() is looked up on the object: Python subclasses open their own kind.
        Ref con = call_method(self, names.connect);
        if (!con) return nullptr;
        if (!c->con) c->con = con.release();  // connect() may have re-entered and set one
    }
    return c->con;
}

PyTypeObject BaseConnectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.BaseConnector",
    .tp_basicsize = sizeof(ConnectorObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Synchronous connector over a DB-API connection. Subclasses override connect() "
              "(and con_type, paramstyle, autocommit, autoFiledAnnounce) for their driver.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = tp_new,
};

int ready_base_connector() noexcept { return PyType_Ready(&BaseConnectorType); }

}  // namespace tsy::db
