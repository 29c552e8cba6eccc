// The state a synchronous connector shares with its thread connections:
// the list of live thread connections, the count of open connections that
// maxConnections bounds, and the pool of idle connections that scopes,
// release() and ended threads give back (sync/idle_pool.cpp).
//
// Everything here is changed with the GIL held. The counts are also read by
// threads that wait for a connection without the GIL, hence the mutex: it
// guards `open`, `idle_count`, `limit` and `wait_seconds`, and is never held
// while the GIL is being taken.
#pragma once

#include "core/connector.hpp"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace tsy::db {

// A connection given back to the pool, idle since `since_ns` (steady clock).
struct IdleConnection {
    PyObject* con;  // owned by the pool
    long long since_ns;
};

struct ThreadRegistry {
    int refs = 1;                             // the connector and each thread connection
    ThreadConnectionObject* first = nullptr;  // every live thread connection
    std::mutex lock;
    std::condition_variable freed;  // a slot was given back or a connection became idle
    // Every connection of the connector: held by a thread, idle in the
    // pool, or being opened. maxConnections bounds it.
    int open = 0;
    int idle_count = 0;          // idle.size(), readable without the GIL
    int limit = 0;               // maxConnections; 0 for no bound
    double wait_seconds = 30.0;  // acquireTimeout
    // The pool, the connection given back last at the end: it is lent
    // first, so that the ones nobody needs stay idle and time out.
    std::vector<IdleConnection> idle;
    double idle_timeout = -1;  // idleTimeout in seconds; < 0: idle connections stay
    double ping_after = 1.0;   // prePing: seconds idle before a reuse is checked; < 0: never
    int ping_flag = 1;         // how prePing was given: 1 True, 0 False, -1 a number
    // The connector is being destroyed: a connection given back is closed.
    bool orphaned = false;
};

// --- slots (sync/thread_connections.cpp) ------------------------------------------------

// Frees one counted connection's slot and wakes a waiting thread.
void give_slot(ThreadRegistry* r) noexcept;
// Wakes a thread waiting for a slot or an idle connection (one became idle).
void wake_waiters(ThreadRegistry* r) noexcept;

// --- the pool (sync/idle_pool.cpp) ------------------------------------------------------

// Puts `con`, which holds one counted slot, into the pool; the slot stays
// counted. Closed instead (its slot freed) when the connector is gone.
// Never fails: an error is reported nowhere, the connection then closed.
void pool_put(ThreadRegistry* r, Ref con) noexcept;
// Takes an idle connection for `self`'s calling thread into `*out`, with its
// slot: 1 when one was there, 0 when the pool is empty, -1 on error. Idle
// connections past idleTimeout are closed first; one idle at least the
// prePing threshold is checked with ping_connection and closed when dead.
int pool_take(PyObject* self, ThreadRegistry* r, Ref* out) noexcept;
// Closes the idle connections past idleTimeout.
void pool_prune(ThreadRegistry* r) noexcept;
// Closes every idle connection; the pending error is kept.
void pool_close_all(ThreadRegistry* r) noexcept;
int pool_traverse(ThreadRegistry* r, visitproc visit, void* arg) noexcept;

// Closes `con` (a failure is not reported; a pending error is kept) and
// frees its slot.
void discard_connection(ThreadRegistry* r, Ref con) noexcept;
// Whether a connection that was handed out (getCon()) has been closed by
// its user: 1 closed, 0 open (also when the driver cannot tell).
int connection_closed(PyObject* con) noexcept;
// Rolls back what `con` may hold uncommitted (always when `force`, else
// when the driver says a transaction is open or cannot tell): 0, or -1 with
// the driver's error set.
int roll_back_leftovers(PyObject* con, bool force) noexcept;

// Takes the thread's connection out of `s` and gives it to the pool,
// rolled back first; closed instead when the rollback fails or when only
// its thread may use it (an overridden connect() opened it). `s` then holds
// none. No error is reported; a pending one is kept.
void give_back(ThreadConnectionObject* s) noexcept;

}  // namespace tsy::db
