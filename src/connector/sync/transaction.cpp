// transaction(): a context manager over the calling thread's connection.
// The outermost block of a thread begins, commits or rolls back the
// transaction; a block inside it is a savepoint, "SAVEPOINT sp_<level>" at
// entry, released when it ends normally, rolled back to (then released) when
// it raises, while the outer block goes on.
#include "core/connector.hpp"
#include "core/statement_log.hpp"

namespace tsy::db {
namespace {

struct TransactionObject {
    PyObject_HEAD
    PyObject* connector;
    PyObject* state;  // the thread connection the entered block runs on
    int entered;
    int level;        // 0 for a thread's outermost block, else its savepoint's number
    unsigned long lending;  // the thread connection's `lending` at entry
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
    Py_VISIT(as_transaction(self)->state);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    Py_CLEAR(as_transaction(self)->connector);
    Py_CLEAR(as_transaction(self)->state);
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
    Ref state = thread_state(connector.get());
    if (!state) return nullptr;
    t->entered = 1;  // from here on a re-run __init__ is refused
    int level = 0;
    PyObject* con = enter_transaction(connector.get(), as_thread_con(state.get()), &level);
    if (!con) {
        t->entered = 0;
        return nullptr;
    }
    set_field(t->state, state.get());
    t->level = level;
    t->lending = as_thread_con(state.get())->lending;
    return con;
}

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    TransactionObject* t = as_transaction(self);
    if (!t->entered) return fail(PyExc_RuntimeError, "this transaction block has not been entered");
    t->entered = 0;
    bool ok = nargs == 0 || args[0] == Py_None;
    Ref connector = borrow(t->connector);  // held: commit and rollback may run Python code
    Ref state = steal(t->state);
    t->state = nullptr;
    if (!state) return not_initialised(self);
    // The scope it ran in ended (or release() came) first: its work was
    // rolled back with the connection's, and the thread may have begun
    // another block since, which is not this one's to end.
    if (as_thread_con(state.get())->lending != t->lending) Py_RETURN_FALSE;
    if (exit_transaction(connector.get(), as_thread_con(state.get()), t->level, ok) < 0) return nullptr;
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

PyObject* savepoint_sql(const char* verb, int level) noexcept {
    return PyUnicode_FromFormat("%s sp_%d", verb, level);
}

namespace {

// One savepoint statement on `con`, through a cursor like every statement.
bool savepoint_step(PyObject* con, const char* verb, int level) noexcept {
    Ref text = steal(savepoint_sql(verb, level));
    return text && Ref(steal(logged_run_on(con, text.get())));
}

// The savepoint's work undone, the block's exception kept: a failure here
// (the connection is gone) would only hide why the block ended.
void undo_savepoint(PyObject* con, int level) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    if (!savepoint_step(con, "ROLLBACK TO SAVEPOINT", level) || !savepoint_step(con, "RELEASE SAVEPOINT", level)) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending.release());
}

// A rollback that fails after the block raised (the connection is gone, the
// server rolls back by itself) must not replace the block's exception.
int end_outermost(ThreadConnectionObject* s, PyObject* con, bool ok) noexcept {
    if (!ok) {
        if (!Ref(steal(logged_call(con, names.rollback, names.rollback_sql)))) PyErr_Clear();
        drop_if_broken(s);
        return 0;
    }
    if (Ref(steal(logged_call(con, names.commit, names.commit_sql)))) return 0;
    Ref pending = steal(PyErr_GetRaisedException());
    if (!Ref(steal(logged_call(con, names.rollback, names.rollback_sql)))) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    drop_if_broken(s);
    return -1;
}

}  // namespace

PyObject* enter_transaction(PyObject* self, ThreadConnectionObject* s, int* level) noexcept {
    Ref con = borrow(thread_connection(self, s));
    if (!con) return nullptr;
    Running running(s);
    int depth = s->depth;
    bool begun = depth == 0 ? bool(call_method(self, names.begin, con.get()))
                            : savepoint_step(con.get(), "SAVEPOINT", depth);
    if (!begun) return nullptr;
    s->depth = depth + 1;
    *level = depth;
    return con.release();
}

int exit_transaction(PyObject*, ThreadConnectionObject* s, int level, bool ok) noexcept {
    // close() inside the block ended its transaction (and the ones around it).
    if (s->depth <= level || !s->con) return 0;
    s->depth = level;
    Ref con = borrow(s->con);
    Running running(s);
    if (level == 0) return end_outermost(s, con.get(), ok);
    if (!ok) {
        undo_savepoint(con.get(), level);
        return 0;
    }
    if (savepoint_step(con.get(), "RELEASE SAVEPOINT", level)) return 0;
    undo_savepoint(con.get(), level);
    return -1;
}

PyTypeObject TransactionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.Transaction",
    .tp_basicsize = sizeof(TransactionObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Transaction(connector)\n--\n\nTransaction(connector): `with` block over the calling thread's connection of the connector "
              "(a savepoint inside another block of the same thread).",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
};

int ready_transaction() noexcept { return PyType_Ready(&TransactionType); }

}  // namespace tsy::db
