// Scopes: `with connector.scope():` lends the calling thread a connection
// for the block (an idle pooled one when there is one) and gives it back to
// the pool when the block ends, rolled back. Every statement of the thread
// in the block (executors, Folio, executeSql, transaction() blocks, getCon())
// runs on it, because it simply is the thread's connection meanwhile. A
// scope inside another one of the same thread joins it, and so does a scope
// opened inside a transaction() block: the block's connection stays with the
// thread until the block ends.
//
// release() gives the thread's connection back outside any scope.
#include "sync/registry.hpp"

namespace tsy::db {
namespace {

struct ScopeObject {
    PyObject_HEAD
    PyObject* connector;
    PyObject* state;  // the thread connection while entered, else NULL
    int lends;        // the outermost scope: it gives the connection back at exit
};

ScopeObject* as_scope(PyObject* obj) noexcept { return reinterpret_cast<ScopeObject*>(obj); }

const char* const kConnectorNames[] = {"connector"};

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kConnectorNames, 1, 1};
    PyObject* a[1];
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    if (!check_arg(a[0], &BaseConnectorType, "connector", false)) return -1;
    if (as_scope(self)->state) return fail(PyExc_RuntimeError, "this scope is entered: it cannot be re-initialised");
    set_field(as_scope(self)->connector, a[0]);
    return 0;
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_scope(self)->connector);
    Py_VISIT(as_scope(self)->state);
    return 0;
}

// A scope dropped while entered (its __exit__ never came) stops counting as
// open, so that the thread can release() again; its connection stays the
// thread's and is given back as any held one.
void forget_entry(ScopeObject* scope) noexcept {
    if (!scope->state) return;
    ThreadConnectionObject* s = as_thread_con(scope->state);
    if (scope->lends) s->scopes = 0;
    else if (s->scopes > 0) --s->scopes;
    Py_CLEAR(scope->state);
}

int tp_clear(PyObject* self) noexcept {
    forget_entry(as_scope(self));
    Py_CLEAR(as_scope(self)->connector);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* tp_repr(PyObject* self) noexcept {
    ScopeObject* scope = as_scope(self);
    if (!scope->connector) return PyUnicode_FromString("<Scope (not initialised)>");
    if (!scope->state) return PyUnicode_FromFormat("<Scope of %R (not entered)>", scope->connector);
    ThreadConnectionObject* s = as_thread_con(scope->state);
    return PyUnicode_FromFormat("<Scope of %R entered on thread %lu%s>", scope->connector, s->thread,
                                scope->lends ? "" : ", joining an outer one");
}

PyObject* enter(PyObject* self, PyObject*) noexcept {
    ScopeObject* scope = as_scope(self);
    if (!scope->connector) return not_initialised(self);
    if (scope->state) {
        return fail(PyExc_RuntimeError,
                    "this scope is already entered: nest another connector.scope() instead of re-entering one");
    }
    Ref connector = borrow(scope->connector);  // held: connect() may re-run __init__
    Ref state = thread_state(connector.get());
    if (!state) return nullptr;
    ThreadConnectionObject* s = as_thread_con(state.get());
    // Joins an open scope, or an open transaction() block, which keeps its connection.
    const bool lends = s->scopes == 0 && s->depth == 0;
    ++s->scopes;
    Ref con = borrow(thread_connection(connector.get(), s));
    if (!con) {
        if (s->scopes > 0) --s->scopes;
        return nullptr;
    }
    if (scope->state) {  // connect() entered this very scope meanwhile
        if (s->scopes > 0) --s->scopes;
        return fail(PyExc_RuntimeError, "this scope was entered while it was being entered");
    }
    scope->lends = lends;
    scope->state = state.release();
    s->exposed = 1;  // handed out: its user may close it
    return con.release();
}

PyObject* exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    ScopeObject* scope = as_scope(self);
    if (!scope->state) return fail(PyExc_RuntimeError, "this scope has not been entered");
    ThreadConnectionObject* s = as_thread_con(scope->state);
    if (s->thread != PyThread_get_thread_ident()) {
        return fail(PyExc_RuntimeError, "a scope ends on the thread that entered it (thread %lu)", s->thread);
    }
    const bool lends = scope->lends != 0;
    Ref state = steal(scope->state);
    scope->state = nullptr;
    if (!lends) {
        if (s->scopes > 0) --s->scopes;
        Py_RETURN_FALSE;
    }
    s->scopes = 0;  // scopes left open inside end with it
    // A statement of this thread is under way on it (the scope ended from a
    // callback of the driver): the thread keeps it.
    if (s->con && s->running == 0) give_back(s);
    Py_RETURN_FALSE;  // an exception of the block propagates
}

PyMethodDef methods[] = {
    {"__enter__", reinterpret_cast<PyCFunction>(enter), METH_NOARGS,
     "__enter__($self, /)\n--\n\nLend the calling thread a connection for the block (or join the thread's open "
     "scope) and return it."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(exit)), METH_FASTCALL,
     "__exit__($self, /, *exc_info)\n--\n\nRoll back what the block left open and give the connection back to "
     "the pool."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_entered(PyObject* self, void*) noexcept { return PyBool_FromLong(as_scope(self)->state != nullptr); }

PyGetSetDef getset[] = {
    {"entered", get_entered, nullptr, "True between __enter__ and __exit__.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* release_connection(PyObject* self) noexcept {
    Ref state = existing_thread_state(self);
    if (!state) return nullptr;
    if (state.get() == Py_None) Py_RETURN_NONE;  // the thread holds none
    ThreadConnectionObject* s = as_thread_con(state.get());
    if (s->scopes > 0) {
        return fail(PyExc_RuntimeError,
                    "release() inside a scope: the scope gives its connection back when it ends");
    }
    if (s->depth > 0) {
        return fail(PyExc_RuntimeError,
                    "release() inside a transaction() block: the block's connection can be released after it ends");
    }
    if (s->running > 0) {
        return fail(PyExc_RuntimeError, "release() while a statement runs on the thread's connection");
    }
    if (s->con) give_back(s);
    Py_RETURN_NONE;
}

PyTypeObject ScopeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.Scope",
    .tp_basicsize = sizeof(ScopeObject),
    .tp_dealloc = tp_dealloc,
    .tp_repr = tp_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Scope(connector)\n--\n\n`with` block lending the calling thread one pooled connection of the "
              "connector: every statement of the thread in the block runs on it; at the end anything left "
              "open is rolled back and the connection goes back to the pool. A scope inside another one of "
              "the same thread (or inside a transaction() block) joins it.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
};

int ready_scope() noexcept { return PyType_Ready(&ScopeType); }

}  // namespace tsy::db
