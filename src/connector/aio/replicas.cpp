// AioMysqlConnector's read replicas: the constructor's keywords, and the
// statements the handle runs without a connection on a connector made with
// `replicas=`, each sent to the server core/read_routing.cpp chooses. Reads
// outside the task's transaction block go to a replica's pool, after waiting
// there for the task's own writes (a context variable follows the task);
// writes and statements on a given connection run on the primary's pool. A
// replica that fails is skipped for a while and the read runs on the primary
// instead; a cancellation still ends the read at once.
#include "aio/pool.hpp"
#include "aio/task_binding.hpp"
#include "core/read_routing.hpp"

namespace tsy::db::aio {
namespace {

// Whether the running task has a transaction block open on the connector
// (its statements then run on the block's connection, on the primary). A
// scope alone keeps reads on the replicas: its connection is the primary's,
// lent for the task's writes.
int in_block(AioConnectorObject* c) noexcept {
    PyObject* block = nullptr;
    if (bound_block(reinterpret_cast<PyObject*>(c), &block) < 0) return -1;
    return block && as_block(block)->level != kScopeLevel ? 1 : 0;
}

// Awaitable rows of one of the routing's own statements on `connector`'s
// pool, unlogged.
PyObject* rows_on(PyObject* connector, const char* which, PyObject* args = Py_None) noexcept {
    PyObject* text = routing_text(which);
    if (!text) return nullptr;
    return run_here(connector, Py_None, text, args, RUN_ROWS, {});
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

// Replica `index` made ready for a read: its lag read when due, then, for
// causal reads, a wait there until it has applied what the task wrote.
// True: it may read; False: the read goes to the primary (it timed out);
// None: skip it (it lags); NULL with the error set: it failed.
// `*primary_failed` tells an error of the primary's own statement apart.
coro::Task prepare_task(Ref self, Ref set_ref, Ref member, bool check_lag, int index, double now,
                        bool* primary_failed, Ref rows = nullptr, Ref need = nullptr, Ref args = nullptr) {
    ReplicaSetObject* set = as_replica_set(set_ref.get());
    if (check_lag) {
        rows = co_await coro::await(steal(rows_on(member.get(), kLagSql)));
        if (!rows) co_return nullptr;
        if (!note_lag(set, index, rows.get(), now)) co_return borrow(Py_None);
    }
    *primary_failed = true;
    need = causal_need(set);
    if (need && need.get() == Py_True) {
        rows = co_await coro::await(steal(rows_on(self.get(), kPrimaryPositionSql)));
        need = rows ? keep_position(set, rows.get()) : Ref();
    }
    if (!need) co_return nullptr;
    if (need.get() == Py_None || reached(set, index, need.get())) co_return borrow(Py_True);
    args = steal(wait_args(set, need.get()));
    if (!args) co_return nullptr;
    *primary_failed = false;
    rows = co_await coro::await(steal(rows_on(member.get(), kWaitSql, args.get())));
    int applied = rows ? note_wait(set, index, need.get(), rows.get()) : -1;
    if (applied < 0) co_return nullptr;
    co_return borrow(applied ? Py_True : Py_False);
}

// A read outside blocks: on the next usable replica, else on the primary.
// The frame holds `primary_failed` for the prepare step it awaits.
coro::Task read_task(Ref self, Ref set_ref, Ref text, Ref args, int mode, std::shared_ptr<StatementTrace> trace,
                     Ref member = nullptr, Ref ready = nullptr, Ref result = nullptr) {
    ReplicaSetObject* set = as_replica_set(set_ref.get());
    bool primary_failed = false;
    for (;;) {
        double now = steady_seconds();
        bool check_lag = false;
        int index = pick_replica(set, now, &check_lag);
        if (index < 0) break;
        member = borrow(PyTuple_GET_ITEM(set->members, index));
        primary_failed = false;
        ready = co_await coro::await(steal(coro::make_coroutine(
            prepare_task(borrow(self.get()), borrow(set_ref.get()), borrow(member.get()), check_lag, index, now,
                         &primary_failed),
            "execute")));
        if (!ready && primary_failed) co_return nullptr;
        if (ready && ready.get() == Py_None) continue;
        if (ready && ready.get() == Py_False) break;
        if (ready) {
            if (trace) trace->server = index + 1;
            result = co_await coro::await(steal(run_here(member.get(), Py_None, text.get(), args.get(), mode, trace)));
            if (result) co_return result;
        }
        // The lag check, the wait or the read failed on the replica.
        AfterFailure next = judge_failure(set, index, now);
        if (next == AfterFailure::Stop) co_return nullptr;
        if (next == AfterFailure::Primary) break;
        Ref closed = co_await coro::await(steal(forget_pool(member.get())));
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
    static const char* const inherited[] = {nullptr,          nullptr,       "user",        "password",
                                            "database",       "minsize",     "maxsize",     nullptr,
                                            "charset",        "driver",      "connectTimeout", "readTimeout",
                                            "writeTimeout",   "idleTimeout", "prePing"};
    static const MemberKind kind{&AioMysqlConnectorType, "mysql+asyncio", "mysql", inherited, std::size(inherited), 9};
    return init_replica_set(self, kind, given, replicas, consistency, causal_timeout, max_lag);
}

}  // namespace tsy::db
