// AioTransaction: what transaction() of the coroutine connectors returns.
//
//     async with DB.getInstance().transaction() as con:
//         await Model.getExecutor(con).save(...)
//
// takes a pooled connection, begins a transaction on it, commits when the
// block ends normally and rolls back when it raises, then gives the
// connection back. A plain `with` is refused with a clear error.
//
// The block binds its connection to the task that entered it
// (aio/task_binding.hpp): the task's statements on the connector without a
// connection run inside the block. A block entered while the task already
// has one of the same connector joins its connection: inside another block,
// as a savepoint ("SAVEPOINT sp_<level>" at entry, released when it ends
// normally, rolled back to, then released, when it raises, while the outer
// block goes on); inside a scope, as the transaction of the scope's
// connection, which stays with the scope afterwards. Other tasks, those
// created inside the block included, take connections of their own.
#include <cstddef>

#include "aio/aio_connector.hpp"
#include "aio/pool.hpp"
#include "aio/task_binding.hpp"

namespace tsy::db {
namespace {

using aio::Lease;
using aio::TaskBlockObject;

struct AioTransactionObject {
    TaskBlockObject block;
    int borrowed;  // its connection is a scope's: not given back at the end
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
    if (aio::as_block(self)->con) {
        return fail(PyExc_RuntimeError, "this transaction block is entered: it cannot be re-initialised");
    }
    set_field(aio::as_block(self)->connector, a[0]);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    TaskBlockObject* t = aio::as_block(self);
    // A block left without __aexit__, once no context can reach it: the work
    // is dropped. A savepoint's or a scope's connection is not its own.
    if (t->con && t->connector && t->level == 0 && !as_transaction(self)->borrowed) {
        aio::give_back(t->connector, t->con, false);
    }
    aio::release_block(self);
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

// Awaitable: the rollback of the transaction on `con`.
Ref rollback_block(PyObject* con) noexcept {
    return steal(logged_call_awaitable(con, names.rollback, names.rollback_sql));
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
bool still_enterable(TaskBlockObject* t, PyObject* connector) noexcept {
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

// The block entered on `con` at `level`, bound to `task` in place of `outer`.
bool mark_entered(PyObject* self, PyObject* connector, PyObject* task, PyObject* outer, PyObject* con, int level,
                  bool borrowed) noexcept {
    TaskBlockObject* t = aio::as_block(self);
    if (!still_enterable(t, connector)) return false;
    set_field(t->con, con);
    set_field(t->outer, outer);
    t->level = level;
    as_transaction(self)->borrowed = borrowed;
    if (aio::bind_block(connector, task, self) == 0) return true;
    Py_CLEAR(t->con);
    Py_CLEAR(t->outer);
    return false;
}

// The task's first block: a pooled connection of its own.
coro::Task enter_task(Ref self, Ref connector, Ref task, Ref outer) {
    Ref con = co_await coro::await(steal(aio::get_con(connector.get())));
    if (!con) co_return nullptr;
    Lease lease(connector.get(), std::move(con));
    Ref done = co_await coro::await(begin_block(connector.get(), lease.con()));
    if (!done) co_return nullptr;
    if (!mark_entered(self.get(), connector.get(), task.get(), outer.get(), lease.con(), 0, false)) co_return nullptr;
    lease.take();  // the block holds it now
    co_return borrow(aio::as_block(self.get())->con);
}

// A block inside the task's scope: the transaction of the scope's connection.
coro::Task enter_on_scope_task(Ref self, Ref connector, Ref task, Ref outer, Ref con) {
    Ref done = co_await coro::await(begin_block(connector.get(), con.get()));
    if (!done) co_return nullptr;
    if (!mark_entered(self.get(), connector.get(), task.get(), outer.get(), con.get(), 0, true)) co_return nullptr;
    co_return con;
}

// A block inside the task's open one: a savepoint on its connection.
coro::Task enter_savepoint_task(Ref self, Ref connector, Ref task, Ref outer, Ref con, int level) {
    Ref done = co_await coro::await(savepoint(connector.get(), con.get(), "SAVEPOINT", level));
    if (!done) co_return nullptr;
    if (!mark_entered(self.get(), connector.get(), task.get(), outer.get(), con.get(), level, false)) co_return nullptr;
    co_return con;
}

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

// The connection is given back however this ends: a failed commit, or a
// block that raised, leaves its work rolled back.
coro::Task exit_task(Ref connector, Lease lease, bool ok) {
    if (ok) {
        Ref committed = co_await coro::await(steal(logged_call_awaitable(lease.con(), names.commit, names.commit_sql)));
        if (!committed) co_return nullptr;
    }
    Ref released = co_await coro::await(steal(aio::release(connector.get(), lease.take().get())));
    if (!released) co_return ok ? Ref() : aio::keep_block_error();
    co_return borrow(Py_False);  // an exception of the block propagates
}

// The transaction of a scope's connection ends; the connection stays with
// the scope, which rolls back whatever a failure here leaves.
coro::Task exit_on_scope_task(Ref con, bool ok) {
    Ref done = ok ? co_await coro::await(steal(logged_call_awaitable(con.get(), names.commit, names.commit_sql)))
                  : co_await coro::await(rollback_block(con.get()));
    if (!done) co_return ok ? Ref() : aio::keep_block_error();
    co_return borrow(Py_False);
}

PyObject* aenter(PyObject* self, PyObject*) noexcept {
    TaskBlockObject* t = aio::as_block(self);
    if (!t->connector) return not_initialised(self);
    if (t->con) return fail(PyExc_RuntimeError, "this transaction block has already been entered");
    Ref task = aio::current_task();
    PyObject* outer = nullptr;
    PyObject* around = nullptr;
    if (!task || aio::context_entry(t->connector, &outer) < 0 || aio::bound_block(t->connector, &around) < 0) {
        return nullptr;
    }
    Ref connector = borrow(t->connector);
    Ref outer_ref = borrow(outer);
    const char* qualname = "AioTransaction.__aenter__";
    if (!around) {
        return coro::make_coroutine(enter_task(borrow(self), std::move(connector), std::move(task), std::move(outer_ref)),
                                    "__aenter__", qualname);
    }
    Ref con = borrow(aio::as_block(around)->con);
    int level = aio::as_block(around)->level;
    if (level == aio::kScopeLevel) {
        return coro::make_coroutine(enter_on_scope_task(borrow(self), std::move(connector), std::move(task),
                                                        std::move(outer_ref), std::move(con)),
                                    "__aenter__", qualname);
    }
    return coro::make_coroutine(enter_savepoint_task(borrow(self), std::move(connector), std::move(task),
                                                     std::move(outer_ref), std::move(con), level + 1),
                                "__aenter__", qualname);
}

PyObject* aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    TaskBlockObject* t = aio::as_block(self);
    if (!t->con || !t->connector) return fail(PyExc_RuntimeError, "this transaction block has not been entered");
    Ref con = steal(t->con);
    t->con = nullptr;
    Ref outer = steal(t->outer);
    t->outer = nullptr;
    Ref connector = borrow(t->connector);
    // The block around it (or none) is the task's again.
    aio::restore_entry(connector.get(), outer.get());
    bool ok = nargs == 0 || args[0] == Py_None;
    const char* qualname = "AioTransaction.__aexit__";
    if (t->level > 0) {
        return coro::make_coroutine(exit_savepoint_task(std::move(connector), std::move(con), t->level, ok), "__aexit__",
                                    qualname);
    }
    if (as_transaction(self)->borrowed) {
        PyObject* scope = nullptr;
        if (aio::entry_block(outer.get(), &scope) < 0) return nullptr;
        if (!scope || aio::as_block(scope)->con != con.get()) {
            return fail(PyExc_RuntimeError, "the scope this transaction block ran in has already ended: its work "
                                            "was rolled back");
        }
        return coro::make_coroutine(exit_on_scope_task(std::move(con), ok), "__aexit__", qualname);
    }
    return coro::make_coroutine(exit_task(borrow(connector.get()), Lease(connector.get(), std::move(con)), ok), "__aexit__", qualname);
}

PyObject* enter(PyObject* self, PyObject*) noexcept {
    return fail(PyExc_TypeError, "%.200s: use 'async with' with an asynchronous connector",
                type_name(aio::as_block(self)->connector ? aio::as_block(self)->connector : self));
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
    .tp_traverse = aio::traverse_block,
    .tp_clear = aio::clear_block,
    .tp_weaklistoffset = offsetof(aio::TaskBlockObject, weakrefs),
    .tp_methods = methods,
    .tp_init = tp_init,
    .tp_new = PyType_GenericNew,
};

}  // namespace tsy::db
