// AioTransaction: what transaction() of the coroutine connectors returns.
//
//     async with DB.getInstance().transaction() as con:
//         await Model.getExecutor(con).save(...)
//
// takes a pooled connection, begins a transaction on it, commits when the
// block ends normally and rolls back when it raises, then gives the
// connection back. A plain `with` is refused with a clear error.
//
// A block entered inside another block of the same connector in the same
// asyncio task joins that block's connection as a savepoint: "SAVEPOINT
// sp_<level>" at entry, released when it ends normally, rolled back to (then
// released) when it raises, while the outer block goes on. The connector
// keeps each task's open block in `blocks` for that; blocks in other tasks
// (gathered ones included) take connections of their own, as before.
#include "aio/aio_connector.hpp"
#include "aio/pool.hpp"

namespace tsy::db {
namespace {

using aio::Lease;

struct AioTransactionObject {
    PyObject_HEAD
    PyObject* connector;
    PyObject* con;  // the block's connection while it runs
    PyObject* key;  // the task's key in the connector's `blocks` while it runs, or NULL
    int level;      // 0 for the task's outermost block, else its savepoint's number
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
    Py_CLEAR(as_transaction(self)->key);
    return 0;
}

// --- the task's open block ------------------------------------------------------

PyObject* current_task_fn = nullptr;

// The key of the running asyncio task (its address; the entry goes when the
// task's outermost block ends, before the task can), or None outside one.
Ref task_key() noexcept {
    Ref loop = aio::running_loop();
    if (!loop || loop.get() == Py_None) return loop;
    if (!current_task_fn) current_task_fn = import_attr("asyncio", "current_task").release();
    if (!current_task_fn) return {};
    Ref task = call(current_task_fn, loop.get());
    if (!task || task.get() == Py_None) return task;
    return steal(PyLong_FromVoidPtr(task.get()));
}

// The (connection, depth) of the task's open block, borrowed, or NULL.
PyObject* open_block(PyObject* connector, PyObject* key) noexcept {
    PyObject* blocks = as_aio(connector)->blocks;
    if (!blocks || key == Py_None) return nullptr;
    return PyDict_GetItemWithError(blocks, key);
}

int set_block(PyObject* connector, PyObject* key, PyObject* con, int depth) noexcept {
    AioConnectorObject* c = as_aio(connector);
    if (!c->blocks && !(c->blocks = PyDict_New())) return -1;
    Ref entry = steal(Py_BuildValue("(Oi)", con, depth));
    return entry ? PyDict_SetItem(c->blocks, key, entry.get()) : -1;
}

// Forgets the task's block when it is the one on `con`; keeps a pending error.
void end_block(PyObject* connector, PyObject* key, PyObject* con) noexcept {
    if (!connector || !key) return;
    Ref pending = steal(PyErr_GetRaisedException());
    PyObject* entry = open_block(connector, key);
    if (entry && PyTuple_GET_ITEM(entry, 0) == con && PyDict_DelItem(as_aio(connector)->blocks, key) < 0) {
        PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    AioTransactionObject* t = as_transaction(self);
    // A block left without __aexit__: the work is dropped. A savepoint's
    // connection belongs to the block around it.
    if (t->con && t->connector && t->level == 0) {
        end_block(t->connector, t->key, t->con);
        aio::give_back(t->connector, t->con, false);
    }
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Awaitable: one statement of the block's own (no arguments, no result) on `con`, logged.
Ref block_statement(PyObject* connector, PyObject* con, PyObject* text) noexcept {
    std::shared_ptr<StatementTrace> trace = new_shared_trace();
    Ref pending = steal(aio::run(connector, con, text, Py_None, RUN_NONE, trace));
    if (!pending || !trace) return pending;
    return steal(logged_awaitable(std::move(pending), std::move(trace), text, Py_None, RUN_NONE));
}

// Awaitable: one savepoint statement on `con`.
Ref savepoint(PyObject* connector, PyObject* con, const char* verb, int level) noexcept {
    Ref text = steal(savepoint_sql(verb, level));
    if (!text) return {};
    return block_statement(connector, con, text.get());
}

// Awaitable: the block's BEGIN. A SQLite connector's is a statement in its
// transactionMode; the others call the connection's begin().
Ref begin_block(PyObject* connector, PyObject* con) noexcept {
    PyObject* begin = begin_text(as_aio(connector)->base.settings);
    if (begin != names.begin_sql) return block_statement(connector, con, begin);
    return steal(logged_call_awaitable(con, names.begin, names.begin_sql));
}

// The savepoint's work undone; the pending error (why the block ended) is kept.
coro::Task undo_savepoint_task(Ref connector, Ref con, int level) {
    Ref pending = steal(PyErr_GetRaisedException());
    Ref rolled = co_await coro::await(savepoint(connector.get(), con.get(), "ROLLBACK TO SAVEPOINT", level));
    if (rolled) rolled = co_await coro::await(savepoint(connector.get(), con.get(), "RELEASE SAVEPOINT", level));
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    co_return pending ? nullptr : borrow(Py_None);
}

// Whether the block may take the connection it was entered on.
bool still_enterable(AioTransactionObject* t, PyObject* connector) noexcept {
    if (t->connector != connector) {
        fail(PyExc_RuntimeError, "this transaction block was re-initialised while it was being entered");
        return false;
    }
    if (t->con) {
        fail(PyExc_RuntimeError, "this transaction block has already been entered");
        return false;
    }
    return true;
}

coro::Task enter_task(Ref self, Ref connector, Ref key) {
    Ref con = co_await coro::await(steal(aio::get_con(connector.get())));
    if (!con) co_return nullptr;
    Lease lease(connector.get(), std::move(con));
    Ref done = co_await coro::await(begin_block(connector.get(), lease.con()));
    if (!done) co_return nullptr;
    AioTransactionObject* t = as_transaction(self.get());
    if (!still_enterable(t, connector.get())) co_return nullptr;
    if (key.get() != Py_None) {
        if (set_block(connector.get(), key.get(), lease.con(), 0) < 0) co_return nullptr;
        set_field(t->key, key.get());
    }
    t->level = 0;
    t->con = lease.take().release();
    co_return borrow(t->con);
}

// A block inside the task's open one: a savepoint on its connection.
coro::Task enter_savepoint_task(Ref self, Ref connector, Ref key, Ref con, int level) {
    Ref done = co_await coro::await(savepoint(connector.get(), con.get(), "SAVEPOINT", level));
    if (!done) co_return nullptr;
    AioTransactionObject* t = as_transaction(self.get());
    if (!still_enterable(t, connector.get())) co_return nullptr;
    if (set_block(connector.get(), key.get(), con.get(), level) < 0) co_return nullptr;
    set_field(t->key, key.get());
    t->level = level;
    t->con = con.release();
    co_return borrow(t->con);
}

// The connection is given back however this ends: a failed commit, or a
// block that raised, leaves its work rolled back.
// The savepoint is released (or rolled back to, then released); the
// connection stays with the block around it.
coro::Task exit_savepoint_task(Ref connector, Ref con, int level, bool ok) {
    if (!ok) {
        co_await coro::await(steal(coro::make_coroutine(undo_savepoint_task(borrow(connector.get()), borrow(con.get()), level),
                                                        "rollback")));
        co_return borrow(Py_False);  // an exception of the block propagates
    }
    Ref released = co_await coro::await(savepoint(connector.get(), con.get(), "RELEASE SAVEPOINT", level));
    if (!released) {
        co_return co_await coro::await(
            steal(coro::make_coroutine(undo_savepoint_task(std::move(connector), std::move(con), level), "rollback")));
    }
    co_return borrow(Py_False);
}

coro::Task exit_task(Ref connector, Lease lease, bool ok) {
    if (ok) {
        Ref committed = co_await coro::await(steal(logged_call_awaitable(lease.con(), names.commit, names.commit_sql)));
        if (!committed) co_return nullptr;
    }
    Ref released = co_await coro::await(steal(aio::release(connector.get(), lease.take().get())));
    if (!released) co_return nullptr;
    co_return borrow(Py_False);  // an exception of the block propagates
}

PyObject* aenter(PyObject* self, PyObject*) noexcept {
    AioTransactionObject* t = as_transaction(self);
    if (!t->connector) return not_initialised(self);
    if (t->con) return fail(PyExc_RuntimeError, "this transaction block has already been entered");
    Ref key = task_key();
    if (!key) return nullptr;
    PyObject* outer = open_block(t->connector, key.get());
    if (!outer && PyErr_Occurred()) return nullptr;
    if (outer) {
        Ref con = borrow(PyTuple_GET_ITEM(outer, 0));
        long depth = PyLong_AsLong(PyTuple_GET_ITEM(outer, 1));
        if (depth < 0 && PyErr_Occurred()) return nullptr;
        return coro::make_coroutine(enter_savepoint_task(borrow(self), borrow(t->connector), std::move(key),
                                                         std::move(con), static_cast<int>(depth) + 1),
                                    "__aenter__", "AioTransaction.__aenter__");
    }
    return coro::make_coroutine(enter_task(borrow(self), borrow(t->connector), std::move(key)), "__aenter__",
                                "AioTransaction.__aenter__");
}

PyObject* aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    AioTransactionObject* t = as_transaction(self);
    if (!t->con) return fail(PyExc_RuntimeError, "this transaction block has not been entered");
    Ref con = steal(t->con);
    t->con = nullptr;
    Ref key = steal(t->key);
    t->key = nullptr;
    bool ok = nargs == 0 || args[0] == Py_None;
    if (t->level > 0) {
        // The block around it is the task's open one again.
        if (key && set_block(t->connector, key.get(), con.get(), t->level - 1) < 0) return nullptr;
        return coro::make_coroutine(exit_savepoint_task(borrow(t->connector), std::move(con), t->level, ok),
                                    "__aexit__", "AioTransaction.__aexit__");
    }
    end_block(t->connector, key.get(), con.get());
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
    .tp_doc = "AioTransaction(connector)\n--\n\nAioTransaction(connector): `async with` block on one pooled connection of a coroutine connector "
              "(a savepoint inside another block of the same connector and task).",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
};

}  // namespace tsy::db
