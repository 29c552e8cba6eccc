// MysqlConnector's read replicas: the constructor's keywords, and the
// statements of a connector made with `replicas=`, each sent to the server
// core/read_routing.cpp chooses. Reads outside transaction() blocks go to a
// replica (each thread has a connection of its own on every replica, as on
// the primary), after waiting there for the thread's own writes; writes,
// statements on a given connection and everything inside a block run on the
// primary. A replica that fails is skipped for a while and the read runs on
// the primary instead: a read never fails because of a replica.
#include "core/read_routing.hpp"
#include "core/statement_log.hpp"

namespace tsy::db {
namespace {

// Whether the calling thread's statements must run on the primary: on a
// connection of the caller's, or inside a transaction() block.
int on_primary_only(PyObject* self, PyObject* con) noexcept {
    if (con && con != Py_None) return 1;
    Ref state = existing_thread_state(self);
    if (!state) return -1;
    return state.get() != Py_None && as_thread_con(state.get())->depth > 0;
}

// The rows of one of the routing's own statements on `connector`: unlogged,
// they are how a read finds its server, not the application's statements.
Ref rows_on(PyObject* connector, const char* which, PyObject* args = Py_None) noexcept {
    PyObject* text = routing_text(which);
    if (!text) return {};
    return steal(run_statement(connector, Py_None, text, args, RUN_ROWS, nullptr));
}

// What follows a failed step on replica `index`; a replica that went away
// has its connections (every thread's) closed.
AfterFailure replica_failed(ReplicaSetObject* set, int index, double now) noexcept {
    AfterFailure next = judge_failure(set, index, now);
    if (next == AfterFailure::Skip) {
        close_all(PyTuple_GET_ITEM(set->members, index));
        PyErr_Clear();
    }
    return next;
}

enum class Wait { Ready, UsePrimary, ReplicaFailed, Failed };

// Waits on replica `index` until it has applied what the thread wrote (the
// primary's position asked first when the thread wrote since last asked).
Wait wait_for_writes(PyObject* self, ReplicaSetObject* set, int index) noexcept {
    Ref need = causal_need(set);
    if (!need) return Wait::Failed;
    if (need.get() == Py_None) return Wait::Ready;
    if (need.get() == Py_True) {
        Ref rows = rows_on(self, kPrimaryPositionSql);
        need = rows ? keep_position(set, rows.get()) : Ref();
        if (!need) return Wait::Failed;
    }
    if (reached(set, index, need.get())) return Wait::Ready;
    Ref args = steal(wait_args(set, need.get()));
    if (!args) return Wait::Failed;
    Ref rows = rows_on(PyTuple_GET_ITEM(set->members, index), kWaitSql, args.get());
    int applied = rows ? note_wait(set, index, need.get(), rows.get()) : -1;
    return applied < 0 ? Wait::ReplicaFailed : applied ? Wait::Ready : Wait::UsePrimary;
}

// A read outside blocks: on the next usable replica, else on the primary.
PyObject* run_read(PyObject* self, ReplicaSetObject* set, PyObject* sql, PyObject* args, int mode,
                   StatementTrace& trace) noexcept {
    for (;;) {
        double now = steady_seconds();
        bool check_lag = false;
        int index = pick_replica(set, now, &check_lag);
        if (index < 0) break;
        PyObject* member = PyTuple_GET_ITEM(set->members, index);
        Ref rows = check_lag ? rows_on(member, kLagSql) : borrow(Py_None);
        if (rows && check_lag && !note_lag(set, index, rows.get(), now)) continue;
        Wait wait = rows ? wait_for_writes(self, set, index) : Wait::ReplicaFailed;
        if (wait == Wait::Failed) return nullptr;
        if (wait == Wait::UsePrimary) break;
        if (wait == Wait::Ready) {
            trace.server = index + 1;
            Ref result = steal(run_statement(member, Py_None, sql, args, mode, &trace));
            if (result) return result.release();
        }
        // The lag check, the wait or the read failed on the replica.
        AfterFailure next = replica_failed(set, index, now);
        if (next == AfterFailure::Stop) return nullptr;
        if (next == AfterFailure::Primary) break;
    }
    trace.server = 0;
    return run_statement(self, Py_None, sql, args, mode, &trace);
}

}  // namespace

PyObject* run_with_replicas(PyObject* self, PyObject* con, PyObject* sql, PyObject* args, int mode,
                            StatementTrace& trace) noexcept {
    ReplicaSetObject* set = replicas_of(self);
    int reads = only_reads(set, sql);
    int primary_only = reads > 0 ? on_primary_only(self, con) : 1;
    if (reads < 0 || primary_only < 0 || (!reads && note_write(set) < 0)) return nullptr;
    if (reads && !primary_only) return log_statement(trace, sql, args, mode, run_read(self, set, sql, args, mode, trace));
    trace.server = 0;
    return log_statement(trace, sql, args, mode, run_statement(self, con, sql, args, mode, &trace));
}

int close_replicas(PyObject* self) noexcept {
    ReplicaSetObject* set = replicas_of(self);
    Ref first = steal(PyErr_GetRaisedException());  // an error of the primary's close() comes first
    for (Py_ssize_t i = 0; set && i < PyTuple_GET_SIZE(set->members); ++i) {
        if (close_all(PyTuple_GET_ITEM(set->members, i)) == 0) continue;
        if (first) PyErr_Clear();
        else first = steal(PyErr_GetRaisedException());
    }
    int status = first ? -1 : 0;
    PyErr_SetRaisedException(first.release());
    return status;
}

int init_sync_replicas(PyObject* self, PyObject* const* given, PyObject* replicas, PyObject* consistency,
                       PyObject* causal_timeout, PyObject* max_lag) noexcept {
    // What a replica's settings dict takes from the primary: the login,
    // database, character set, bounds and driver.
    static const char* const inherited[] = {nullptr,          nullptr,       "user",         "password",
                                            "database",       nullptr,       "charset",      "maxConnections",
                                            "acquireTimeout", "driver",      "connectTimeout", "readTimeout",
                                            "writeTimeout",   "idleTimeout", "prePing"};
    static const MemberKind kind{&MysqlConnectorType, "mysql", nullptr, inherited, std::size(inherited), 9};
    return init_replica_set(self, kind, given, replicas, consistency, causal_timeout, max_lag);
}

}  // namespace tsy::db
