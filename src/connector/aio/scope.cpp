// AioScope: what scope() of the coroutine connectors returns.
//
//     async with connector.scope() as con:
//         await Model.getExecutor().save(...)    # on `con`, committed as it runs
//
// lends the task one pooled connection for the block (aio/task_binding.hpp):
// the task's statements on the connector without a connection run on it,
// each committed as it ends as on a pooled one, and a transaction block of
// the task uses it. At the exit whatever is left open on it is rolled back
// and it goes back to the pool. Entered while the task already holds a
// connection of the connector (another scope, a transaction block), the
// scope uses that one and leaves it alone at its exit.
#include <cstddef>

#include "aio/aio_connector.hpp"
#include "aio/pool.hpp"
#include "aio/task_binding.hpp"

namespace tsy::db {
namespace {

using aio::TaskBlockObject;

struct AioScopeObject {
    TaskBlockObject block;
    int joined;  // entered inside the task's other block: the connection is that block's
};

AioScopeObject* as_scope(PyObject* obj) noexcept { return reinterpret_cast<AioScopeObject*>(obj); }

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
    if (aio::as_block(self)->con) return fail(PyExc_RuntimeError, "this scope is entered: it cannot be re-initialised");
    set_field(aio::as_block(self)->connector, a[0]);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    TaskBlockObject* t = aio::as_block(self);
    // Left without __aexit__, once no context can reach it: the work is dropped.
    if (t->con && t->connector && !as_scope(self)->joined) aio::give_back(t->connector, t->con, false);
    aio::release_block(self);
}

bool enterable(PyObject* self, PyObject* connector) noexcept {
    TaskBlockObject* t = aio::as_block(self);
    if (t->connector != connector) {
        fail(PyExc_RuntimeError, "this scope was re-initialised while it was being entered");
        return false;
    }
    if (t->con) {
        fail(PyExc_RuntimeError, "this scope has already been entered");
        return false;
    }
    return true;
}

// A connection of the pool (checked as it is taken), bound to the task.
coro::Task enter_task(Ref self, Ref connector, Ref task, Ref outer) {
    Ref con = co_await coro::await(steal(aio::get_con(connector.get())));
    if (!con) co_return nullptr;
    aio::Lease lease(connector.get(), std::move(con));
    if (!enterable(self.get(), connector.get())) co_return nullptr;
    TaskBlockObject* t = aio::as_block(self.get());
    set_field(t->con, lease.con());
    set_field(t->outer, outer.get());
    t->level = aio::kScopeLevel;
    as_scope(self.get())->joined = 0;
    if (aio::bind_block(connector.get(), task.get(), self.get()) < 0) {
        Py_CLEAR(t->con);
        Py_CLEAR(t->outer);
        co_return nullptr;
    }
    co_return lease.take();
}

coro::Task value_task(Ref value) { co_return value; }

coro::Task exit_task(Ref connector, Ref con, bool ok) {
    Ref released = co_await coro::await(steal(aio::release(connector.get(), con.get())));
    if (!released) co_return ok ? Ref() : aio::keep_block_error();
    co_return borrow(Py_False);  // an exception of the block propagates
}

PyObject* aenter(PyObject* self, PyObject*) noexcept {
    TaskBlockObject* t = aio::as_block(self);
    if (!t->connector) return not_initialised(self);
    if (t->con) return fail(PyExc_RuntimeError, "this scope has already been entered");
    Ref task = aio::current_task();
    PyObject* outer = nullptr;
    PyObject* around = nullptr;
    if (!task || aio::context_entry(t->connector, &outer) < 0 || aio::bound_block(t->connector, &around) < 0) {
        return nullptr;
    }
    if (around) {
        set_field(t->con, aio::as_block(around)->con);
        as_scope(self)->joined = 1;
        return coro::make_coroutine(value_task(borrow(t->con)), "__aenter__", "AioScope.__aenter__");
    }
    return coro::make_coroutine(enter_task(borrow(self), borrow(t->connector), std::move(task), borrow(outer)),
                                "__aenter__", "AioScope.__aenter__");
}

PyObject* aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    TaskBlockObject* t = aio::as_block(self);
    if (!t->con || !t->connector) return fail(PyExc_RuntimeError, "this scope has not been entered");
    Ref con = steal(t->con);
    t->con = nullptr;
    if (as_scope(self)->joined) {
        as_scope(self)->joined = 0;
        return coro::make_coroutine(value_task(borrow(Py_False)), "__aexit__", "AioScope.__aexit__");
    }
    Ref outer = steal(t->outer);
    t->outer = nullptr;
    aio::restore_entry(t->connector, outer.get());
    bool ok = nargs == 0 || args[0] == Py_None;
    return coro::make_coroutine(exit_task(borrow(t->connector), std::move(con), ok), "__aexit__", "AioScope.__aexit__");
}

PyObject* enter(PyObject* self, PyObject*) noexcept {
    return fail(PyExc_TypeError, "%.200s: use 'async with' with an asynchronous connector's scope()",
                type_name(aio::as_block(self)->connector ? aio::as_block(self)->connector : self));
}

PyObject* exit(PyObject*, PyObject* const*, Py_ssize_t) noexcept { Py_RETURN_FALSE; }

PyObject* get_connection(PyObject* self, void*) noexcept {
    PyObject* con = aio::as_block(self)->con;
    return Py_NewRef(con ? con : Py_None);
}

PyMethodDef methods[] = {
    {"__aenter__", reinterpret_cast<PyCFunction>(aenter), METH_NOARGS,
     "Lend the task a pooled connection for the block; the awaitable returns it."},
    {"__aexit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(aexit)), METH_FASTCALL,
     "Roll back what is left open on the connection and give it back to the pool."},
    {"__enter__", reinterpret_cast<PyCFunction>(enter), METH_NOARGS, "Refused: use 'async with'."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(exit)), METH_FASTCALL,
     "Does nothing (the scope cannot be entered synchronously)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"connection", get_connection, nullptr, "The connection lent to the block while it is entered, else None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject AioScopeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.AioScope",
    .tp_basicsize = sizeof(AioScopeObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "AioScope(connector)\n--\n\nAioScope(connector): `async with` block lending the task one pooled "
              "connection of a coroutine connector; what is left open on it is rolled back at the end.",
    .tp_traverse = aio::traverse_block,
    .tp_clear = aio::clear_block,
    .tp_weaklistoffset = offsetof(aio::TaskBlockObject, weakrefs),
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
};

}  // namespace tsy::db
