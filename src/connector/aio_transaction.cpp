// AioTransaction: what transaction() of the coroutine connectors returns.
//
//     async with DB.getInstance().transaction() as con:
//         await Model.getExecutor(con).save(...)
//
// takes a pooled connection, begins a transaction on it, commits when the
// block ends normally and rolls back when it raises, then gives the
// connection back. A plain `with` is refused with a clear error.
#include "aio_common.hpp"

namespace tsy::db {
namespace {

using aio::Lease;

struct AioTransactionObject {
    PyObject_HEAD
    PyObject* connector;
    PyObject* con;  // the block's connection while it runs
};

AioTransactionObject* as_transaction(PyObject* obj) noexcept { return reinterpret_cast<AioTransactionObject*>(obj); }

const char* const kConnectorNames[] = {"connector"};

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kConnectorNames, 1, 1};
    PyObject* a[1];
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    if (!is_aio(a[0])) {
        return fail(PyExc_TypeError, "Argument 'connector' has incorrect type (expected an asynchronous "
                                     "connector, got %.200s)", type_name(a[0]));
    }
    // The connection of an entered block goes back to the connector it came from.
    if (as_transaction(self)->con) {
        return fail(PyExc_RuntimeError, "this transaction block is entered: it cannot be re-initialised");
    }
    set_field(as_transaction(self)->connector, a[0]);
    return 0;
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_transaction(self)->connector);
    Py_VISIT(as_transaction(self)->con);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    Py_CLEAR(as_transaction(self)->connector);
    Py_CLEAR(as_transaction(self)->con);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    AioTransactionObject* t = as_transaction(self);
    if (t->con && t->connector) {  // a block left without __aexit__: the work is dropped
        as_aio(t->connector)->backend->give_back(t->connector, t->con, false);
    }
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

coro::Task enter_task(Ref self, Ref connector) {
    Ref con = co_await coro::await(steal(aio::get_con(connector.get())));
    if (!con) co_return nullptr;
    Lease lease(connector.get(), std::move(con));
    Ref done = co_await coro::await(call_method(lease.con(), names.begin));
    if (!done) co_return nullptr;
    AioTransactionObject* t = as_transaction(self.get());
    if (t->connector != connector.get()) {
        fail(PyExc_RuntimeError, "this transaction block was re-initialised while it was being entered");
        co_return nullptr;
    }
    if (t->con) {
        fail(PyExc_RuntimeError, "this transaction block has already been entered");
        co_return nullptr;
    }
    t->con = lease.take().release();
    co_return borrow(t->con);
}

// The connection is given back however this ends: a failed commit, or a
// block that raised, leaves its work rolled back.
coro::Task exit_task(Ref connector, Lease lease, bool ok) {
    if (ok) {
        Ref committed = co_await coro::await(call_method(lease.con(), names.commit));
        if (!committed) co_return nullptr;
    }
    Ref released = co_await coro::await(steal(as_aio(connector.get())->backend->release(connector.get(), lease.take().get())));
    if (!released) co_return nullptr;
    co_return borrow(Py_False);  // an exception of the block propagates
}

PyObject* aenter(PyObject* self, PyObject*) noexcept {
    AioTransactionObject* t = as_transaction(self);
    if (!t->connector) return not_initialised(self);
    if (t->con) return fail(PyExc_RuntimeError, "this transaction block has already been entered");
    return coro::make_coroutine(enter_task(borrow(self), borrow(t->connector)), "__aenter__",
                                "AioTransaction.__aenter__");
}

PyObject* aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    AioTransactionObject* t = as_transaction(self);
    if (!t->con) return fail(PyExc_RuntimeError, "this transaction block has not been entered");
    Ref con = steal(t->con);
    t->con = nullptr;
    bool ok = nargs == 0 || args[0] == Py_None;
    return coro::make_coroutine(exit_task(borrow(t->connector), Lease(t->connector, std::move(con)), ok),
                                "__aexit__", "AioTransaction.__aexit__");
}

PyObject* enter(PyObject* self, PyObject*) noexcept {
    return fail(PyExc_TypeError, "%.200s: use 'async with' with an asynchronous connector",
                type_name(as_transaction(self)->connector ? as_transaction(self)->connector : self));
}

PyObject* exit(PyObject*, PyObject* const*, Py_ssize_t) noexcept { Py_RETURN_FALSE; }

PyMethodDef methods[] = {
    {"__aenter__", reinterpret_cast<PyCFunction>(aenter), METH_NOARGS,
     "Take a pooled connection and begin a transaction on it; the awaitable returns the connection."},
    {"__aexit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(aexit)), METH_FASTCALL,
     "Commit when the block ended normally (roll back when it raised), then give the connection back."},
    {"__enter__", reinterpret_cast<PyCFunction>(enter), METH_NOARGS, "Refused: use 'async with'."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(exit)), METH_FASTCALL,
     "Does nothing (the block cannot be entered synchronously)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject AioTransactionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioTransaction",
    .tp_basicsize = sizeof(AioTransactionObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "AioTransaction(connector): `async with` block on one pooled connection of a coroutine connector.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
};

}  // namespace tsy::db
