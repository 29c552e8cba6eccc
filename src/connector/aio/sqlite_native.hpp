// What the native SQLite driver of AioSqliteConnector keeps on each of its
// connections, and the two services it uses to keep the loop free: worker
// threads for statements that outlast the loop's budget
// (aio/sqlite_worker.cpp) and the write gate of a database
// (aio/sqlite_gate.cpp). Everything here runs with the GIL held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "aio/aio_connector.hpp"

namespace tsy::db::aio {

struct Gate;

struct NativeSqliteState {
    // Started by the connection's first statement that leaves the loop,
    // retired when the connection closes.
    Worker* worker = nullptr;
    Gate* gate = nullptr;     // the write gate it holds
    Gate* waiting = nullptr;  // the write gate it waits in line for
    // Names the database for the gates: the file's path, or the connector's
    // address for a database in memory (its connections share one).
    std::string database;
};

inline NativeSqliteState* native_state(PyObject* con) noexcept {
    return static_cast<NativeSqliteState*>(as_sqlite_con(con)->native);
}

// --- statements off the loop ---------------------------------------------------------

// Work a native connection hands to its worker. run() is called once, on
// the worker's thread with the GIL held; stop() asks it to end early, from
// the loop's thread (cancellation, interpreter shutdown). `finished` is set
// when run() has returned.
struct OffloadWork {
    virtual ~OffloadWork() = default;
    virtual Ref run() noexcept = 0;
    virtual void stop() noexcept = 0;

    // Blocks (without the GIL) until run() has returned.
    void wait_finished() noexcept;
    void mark_finished() noexcept;
    std::atomic<bool> finished{false};

private:
    std::mutex mutex_;
    std::condition_variable done_;
};

// Queues `work` on `worker`; its outcome completes the future box[0] on the
// running loop (the item of the one-item list `box` may be replaced by a new
// future meanwhile). -1 with the error set.
int submit_work(Worker* worker, std::shared_ptr<OffloadWork> work, PyObject* box) noexcept;
// Awaitable: `work` done by the connection's worker (started on first use),
// its result. A cancellation of the awaiting task stops the work and
// propagates once the worker has let the connection go
// (aio/sqlite_offload.cpp).
PyObject* offload(PyObject* con, std::shared_ptr<OffloadWork> work) noexcept;

// --- the write gate --------------------------------------------------------------------

// Whether the text of a Run step writes (sqlite3's rule: INSERT, UPDATE,
// DELETE, REPLACE) or begins a transaction that takes the write lock
// (BEGIN IMMEDIATE, BEGIN EXCLUSIVE).
bool gated_text(PyObject* text) noexcept;
// Takes the gate of the connection's database on the running loop: None
// when taken at once (or held already), else a future to await in line,
// which completes with True once the gate is handed over. NULL on error.
Ref gate_enter(PyObject* con) noexcept;
// Awaitable: the wait in line on `future` (from gate_enter), for the busy
// timeout of the connection's connector at most; None once over, with or
// without the gate.
PyObject* gate_wait(PyObject* con, Ref future) noexcept;
// Takes it when nobody holds it nor waits for it.
void gate_try(PyObject* con) noexcept;
// The wait ended without the gate (cancelled, closed, timed out): leaves
// the line, or passes the gate on when it was handed over meanwhile.
void gate_abandon(PyObject* con) noexcept;
// Gives the gate back to the next in line; nothing when not held. Keeps a
// pending error.
void gate_leave(PyObject* con) noexcept;

}  // namespace tsy::db::aio
