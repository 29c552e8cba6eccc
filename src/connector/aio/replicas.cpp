// AioMysqlConnector's read replicas: the constructor's keywords, and the
// statements the handle runs without a connection on a connector made with
// `replicas=`, each sent to the server core/read_routing.cpp chooses. Reads
// outside the task's transaction block go to a replica's pool, after waiting
// there for the task's own writes (a context variable follows the task);
// writes and statements on a given connection run on the primary's pool. A
// replica that fails is skipped for a while and the read runs on the primary
// instead; a cancellation still ends the read at once.
#include "aio/pool.hpp"
#include "core/read_routing.hpp"

namespace tsy::db::aio {
namespace {

PyObject* current_task_fn = nullptr;  // asyncio.current_task, for the life of the process

// Whether the running task has a transaction block open on the connector
// (its statements then run on the block's connection, on the primary).
int in_block(AioConnectorObject* c) noexcept {
    if (!c->blocks || PyDict_GET_SIZE(c->blocks) == 0) return 0;
    Ref loop = running_loop();
    if (!loop || loop.get() == Py_None) return loop ? 0 : -1;
    if (!current_task_fn && !(current_task_fn = import_attr("asyncio", "current_task").release())) return -1;
    Ref task = call(current_task_fn, loop.get());
    if (!task || task.get() == Py_None) return task ? 0 : -1;
    Ref key = steal(PyLong_FromVoidPtr(task.get()));
    return key ? PyDict_Contains(c->blocks, key.get()) : -1;
}

// Awaitable rows of one of the routing's own statements on `connector`'s
// pool, unlogged.
PyObject* rows_on(PyObject* connector, const char* which, PyObject* args = Py_None) noexcept {
    PyObject* text = routing_text(which);
    if (!text) return nullptr;
    return run_here(connector, Py_None, text, args, RUN_ROWS, {});
}

// The failure pending on a replica: true when the replica went away (it is
// then skipped for a while, and the caller closes its pool); false for an
// error of the statement. The error is cleared.
bool replica_failed(ReplicaSetObject* set, int index, double now) noexcept {
    bool lost = connection_lost();
    PyErr_Clear();
    if (lost) mark_down(set, index, now);
    return lost;
}

// Closes the pool of a replica that went away: its connections are dead.
coro::Task forget_pool_task(Ref member) {
    Ref closed = co_await coro::await(steal(close_pool(member.get())));
    PyErr_Clear();
    co_return borrow(Py_None);
}

PyObject* forget_pool(PyObject* member) noexcept {
    return coro::make_coroutine(forget_pool_task(borrow(member)), "close");
}

// What a replica answered: Go (it may read), Skip (try the next one),
// Primary (read on the primary), or Stop (an error to raise).
enum class Step : int { Go, Skip, Primary, Stop };

// An awaited step on replica `index` that failed: a cancellation (or any
// error that is not an Exception) ends the read; a lost replica is skipped.
coro::Task after_failure_task(Ref set_ref, int index, double now) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return nullptr;
    ReplicaSetObject* set = as_replica_set(set_ref.get());
    if (!replica_failed(set, index, now)) co_return steal(PyLong_FromLong(static_cast<int>(Step::Primary)));
    Ref closed = co_await coro::await(steal(forget_pool(PyTuple_GET_ITEM(set->members, index))));
    co_return steal(PyLong_FromLong(static_cast<int>(Step::Skip)));
}

// Whether replica `index` may take the read: its lag read when due, then,
// for causal reads, a wait until it has applied what the task wrote.
coro::Task prepare_task(Ref self, Ref set_ref, int index, bool check_lag, double now, Ref rows = nullptr,
                        Ref need = nullptr, Ref args = nullptr) {
    ReplicaSetObject* set = as_replica_set(set_ref.get());
    PyObject* member = PyTuple_GET_ITEM(set->members, index);
    if (check_lag) {
        rows = co_await coro::await(steal(rows_on(member, kLagSql)));
        if (!rows) co_return co_await coro::await(steal(coro::make_coroutine(after_failure_task(borrow(set_ref.get()), index, now), "execute")));
        if (!note_lag(set, index, rows.get(), now)) co_return steal(PyLong_FromLong(static_cast<int>(Step::Skip)));
    }
    need = causal_need(set);
    if (!need) co_return nullptr;
    if (need.get() == Py_True) {
        rows = co_await coro::await(steal(rows_on(self.get(), kPrimaryPositionSql)));
        need = rows ? keep_position(set, rows.get()) : Ref();
        if (!need) co_return nullptr;
    }
    if (need.get() == Py_None || reached(set, index, need.get())) co_return steal(PyLong_FromLong(static_cast<int>(Step::Go)));
    args = steal(wait_args(set, need.get()));
    if (!args) co_return nullptr;
    rows = co_await coro::await(steal(rows_on(member, kWaitSql, args.get())));
    int applied = rows ? note_wait(set, index, need.get(), rows.get()) : -1;
    if (applied < 0) co_return co_await coro::await(steal(coro::make_coroutine(after_failure_task(borrow(set_ref.get()), index, now), "execute")));
    co_return steal(PyLong_FromLong(static_cast<int>(applied ? Step::Go : Step::Primary)));
}

// A read outside blocks: on the next usable replica, else on the primary.
coro::Task read_task(Ref self, Ref set_ref, Ref text, Ref args, int mode, std::shared_ptr<StatementTrace> trace,
                     Ref answer = nullptr, Ref result = nullptr) {
    ReplicaSetObject* set = as_replica_set(set_ref.get());
    for (;;) {
        double now = steady_seconds();
        bool check_lag = false;
        int index = pick_replica(set, now, &check_lag);
        if (index < 0) break;
        answer = co_await coro::await(steal(coro::make_coroutine(
            prepare_task(borrow(self.get()), borrow(set_ref.get()), index, check_lag, now), "execute")));
        if (!answer) co_return nullptr;
        auto step = static_cast<Step>(PyLong_AsLong(answer.get()));
        if (step == Step::Skip) continue;
        if (step == Step::Primary) break;
        if (trace) trace->server = index + 1;
        PyObject* member = PyTuple_GET_ITEM(set->members, index);
        result = co_await coro::await(steal(run_here(member, Py_None, text.get(), args.get(), mode, trace)));
        if (result) co_return result;
        answer = co_await coro::await(steal(coro::make_coroutine(after_failure_task(borrow(set_ref.get()), index, now), "execute")));
        if (!answer) co_return nullptr;
        if (static_cast<Step>(PyLong_AsLong(answer.get())) != Step::Skip) break;
    }
    if (trace) trace->server = 0;
    co_return co_await coro::await(steal(run_here(self.get(), Py_None, text.get(), args.get(), mode, trace)));
}

coro::Task close_all_task(Ref self, Ref members, Ref closed = nullptr) {
    closed = co_await coro::await(steal(close_pool(self.get())));
    if (!closed) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members.get()); ++i) {
        closed = co_await coro::await(steal(close_pool(PyTuple_GET_ITEM(members.get(), i))));
        if (!closed) co_return nullptr;
    }
    co_return borrow(Py_None);
}

}  // namespace

PyObject* run_routed(PyObject* self, PyObject* text, PyObject* args, int mode,
                     const std::shared_ptr<StatementTrace>& trace) noexcept {
    ReplicaSetObject* set = replicas_of(self);
    int reads = only_reads(set, text);
    int primary_only = reads > 0 ? in_block(as_aio(self)) : 1;
    if (reads < 0 || primary_only < 0 || (!reads && note_write(set) < 0)) return nullptr;
    if (!reads || primary_only) {
        if (trace) trace->server = 0;
        return run_here(self, Py_None, text, args, mode, trace);
    }
    return coro::make_coroutine(read_task(borrow(self), borrow(as_connector(self)->replicas), borrow(text),
                                          borrow(args), mode, trace),
                                "execute");
}

PyObject* close_with_replicas(PyObject* self) noexcept {
    ReplicaSetObject* set = replicas_of(self);
    if (!set) return close_pool(self);
    return coro::make_coroutine(close_all_task(borrow(self), borrow(set->members)), "close",
                                as_aio(self)->driver->names->close);
}

}  // namespace tsy::db::aio

namespace tsy::db {

int init_aio_replicas(PyObject* self, PyObject* const* given, PyObject* replicas, PyObject* consistency,
                      PyObject* causal_timeout, PyObject* max_lag) noexcept {
    // What a replica's settings dict takes from the primary: the login,
    // database, pool sizes, character set and driver.
    static const char* const inherited[] = {nullptr,   nullptr,   "user",  "password", "database",
                                            "minsize", "maxsize", nullptr, "charset",  "driver"};
    static const MemberKind kind{&AioMysqlConnectorType, "mysql+asyncio", "mysql", inherited, std::size(inherited), 9};
    return init_replica_set(self, kind, given, replicas, consistency, causal_timeout, max_lag);
}

}  // namespace tsy::db
