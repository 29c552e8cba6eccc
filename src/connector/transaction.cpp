// transaction(): a context manager over the connector's own connection.
// Blocks nest by joining the outermost one, which alone commits or rolls back.
#include "connector.hpp"

namespace tsy::db {
namespace {

struct TransactionObject {
    PyObject_HEAD
    PyObject* connector;
    int entered;
};

TransactionObject* as_transaction(PyObject* obj) noexcept { return reinterpret_cast<TransactionObject*>(obj); }

const char* const kConnectorNames[] = {"connector"};

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kConnectorNames, 1, 1};
    PyObject* a[1];
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    if (!check_arg(a[0], &BaseConnectorType, "connector", false)) return -1;
    // An entered block ends on the connector it began on.
    if (as_transaction(self)->entered) {
        return fail(PyExc_RuntimeError, "this transaction block is entered: it cannot be re-initialised");
    }
    set_field(as_transaction(self)->connector, a[0]);
    return 0;
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_transaction(self)->connector);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    Py_CLEAR(as_transaction(self)->connector);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* enter(PyObject* self, PyObject*) noexcept {
    TransactionObject* t = as_transaction(self);
    if (!t->connector) return not_initialised(self);
    if (t->entered) return fail(PyExc_RuntimeError, "this transaction block has already been entered");
    Ref connector = borrow(t->connector);  // held: its begin() may re-run __init__
    t->entered = 1;  // from here on a re-run __init__ is refused
    PyObject* con = enter_transaction(connector.get());
    if (!con) t->entered = 0;
    return con;
}

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    TransactionObject* t = as_transaction(self);
    if (!t->entered) return fail(PyExc_RuntimeError, "this transaction block has not been entered");
    t->entered = 0;
    bool ok = nargs == 0 || args[0] == Py_None;
    Ref connector = borrow(t->connector);  // held: commit and rollback may run Python code
    if (exit_transaction(connector.get(), ok) < 0) return nullptr;
    Py_RETURN_FALSE;  // an exception of the block propagates
}

PyMethodDef methods[] = {
    {"__enter__", reinterpret_cast<PyCFunction>(enter), METH_NOARGS,
     "Start the transaction (or join the open one) and return its connection."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(exit)), METH_FASTCALL,
     "Commit when the block ended normally, roll back when it raised."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* enter_transaction(PyObject* self) noexcept {
    ConnectorObject* c = as_connector(self);
    Ref con = borrow(own_connection(self));
    if (!con) return nullptr;
    if (c->depth == 0 && !call_method(self, names.begin, con.get())) return nullptr;
    ++c->depth;
    return con.release();
}

// A rollback that fails after the block raised (the connection is gone, the
// server rolls back by itself) must not replace the block's exception.
int exit_transaction(PyObject* self, bool ok) noexcept {
    ConnectorObject* c = as_connector(self);
    if (c->depth == 0) return 0;  // the connection was closed inside the block
    if (--c->depth > 0 || !c->con) return 0;
    Ref con = borrow(c->con);
    if (!ok) {
        if (!call_method(con.get(), names.rollback)) PyErr_Clear();
        drop_if_broken(self);
        return 0;
    }
    if (call_method(con.get(), names.commit)) return 0;
    Ref pending = steal(PyErr_GetRaisedException());
    if (!call_method(con.get(), names.rollback)) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    drop_if_broken(self);
    return -1;
}

PyTypeObject TransactionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.Transaction",
    .tp_basicsize = sizeof(TransactionObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Transaction(connector): `with` block over the connector's own connection.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
};

int ready_transaction() noexcept { return PyType_Ready(&TransactionType); }

}  // namespace tsy::db
