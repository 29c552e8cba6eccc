// Read replicas of the MySQL connectors (core/read_routing.cpp): which
// statements may run on a replica, which replica takes the next read, and
// what a thread or task has written that its later reads must see.
//
// A connector made with `replicas=` keeps a ReplicaSetObject in its
// `replicas` field. Each replica is a connector of the primary's own type
// without replicas (its members), so that it connects, pools and fails the
// way the primary does. The synchronous path (sync/replicas.cpp) and the
// coroutine path (aio/replicas.cpp) ask this file every question and only
// run the statements it calls for.
//
// Causal reads: every write marks the calling context (one context
// variable for every set, holding a small dict keyed by weak references to
// the sets, so that a long-lived context keeps nothing of a set that is
// gone: per thread for the synchronous connector, per task on the loop) as
// having written. Its next read on a replica first asks the primary how far its
// binary log has got (@@global.gtid_binlog_pos, which covers every write
// committed before it) and waits on the replica with MASTER_GTID_WAIT until
// that position is applied, at most `causalTimeout` seconds; on timeout the
// read goes to the primary. A replica seen to have reached a position is
// not asked again for it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/connector.hpp"
#include "core/statement_log.hpp"

namespace tsy::db {

// A GTID position: its sequence number per replication domain.
struct GtidPoint {
    std::uint32_t domain;
    std::uint64_t seq;
};
using GtidPosition = std::vector<GtidPoint>;

// What is known of one replica.
struct ReplicaHealth {
    double down_until = 0;      // on the steady clock (seconds): skipped until then, then tried again
    double lag_checked = -1e9;  // when its lag was last read
    bool lagging = false;       // past maxReplicaLag (or not replicating) at that check
    GtidPosition reached;       // the furthest position it was seen to have applied
};

struct ReplicaSetObject {
    PyObject_HEAD
    PyObject* members;      // tuple of the replica connectors
    PyObject* weakrefs;     // the calling contexts' causal state is keyed by a weak reference to the set
    PyObject* kinds;        // dict: statement text -> True when it only reads
    std::vector<ReplicaHealth>* health;  // one per member
    bool causal;            // consistency="causal"
    double causal_timeout;  // seconds
    double max_lag;         // seconds; < 0: not checked
    std::size_t next;       // round robin
};

inline ReplicaSetObject* as_replica_set(PyObject* obj) noexcept { return reinterpret_cast<ReplicaSetObject*>(obj); }

// The connector's replica set (borrowed), or NULL when it has none.
inline ReplicaSetObject* replicas_of(PyObject* connector) noexcept {
    PyObject* set = as_connector(connector)->replicas;
    return set ? as_replica_set(set) : nullptr;
}

// How a connector type's replicas are made from its constructor's
// `replicas` list: a URL through connect() (with the primary's driver), a
// settings dict as the type's keywords over those the primary was given.
struct MemberKind {
    PyTypeObject* type;      // the primary's connector type: every member is one
    const char* scheme;      // the URL scheme a member's URL has ("mysql", "mysql+asyncio")
    const char* alt_scheme;  // a scheme also taken, read as `scheme` (NULL: none)
    // The constructor's keyword names in its order, NULL where a settings
    // dict does not take the primary's value (host, port, socket).
    const char* const* inherited;
    std::size_t count;
    std::size_t driver;      // index of `driver` among them: URLs take it too
};

// Checks the four replica keywords of a MySQL connector's constructor (NULL:
// not given) and stores the replica set in the connector's field (or clears
// it when `replicas` is None or empty). `given` holds the constructor's
// other arguments in its order (NULL: not given). -1 with TypeError or
// ValueError.
int init_replica_set(PyObject* connector, const MemberKind& kind, PyObject* const* given, PyObject* replicas,
                     PyObject* consistency, PyObject* causal_timeout, PyObject* max_lag) noexcept;

// The connector's attributes: the members (a tuple, empty without
// replicas), "causal" / "eventual", the causal timeout and the lag bound
// (None when not checked). New references.
PyObject* replica_members(PyObject* connector) noexcept;
PyObject* replica_consistency(PyObject* connector) noexcept;
PyObject* replica_causal_timeout(PyObject* connector) noexcept;
PyObject* replica_max_lag(PyObject* connector) noexcept;

// 1 when the statement only reads (SELECT, WITH ... SELECT, SHOW, with no
// locking read, no INTO and no function whose answer belongs to the
// session or changes state), 0 for anything else, -1 on error.
int only_reads(ReplicaSetObject* set, PyObject* sql) noexcept;

// Seconds on the steady clock.
double steady_seconds() noexcept;

// The next replica to read from, round robin over those not known down or
// lagging, or -1 (the primary). `*check_lag` says that its lag is due to be
// read first (SHOW SLAVE STATUS, given to note_lag).
int pick_replica(ReplicaSetObject* set, double now, bool* check_lag) noexcept;
// The rows of SHOW SLAVE STATUS on member `index`: false when it lags past
// the bound or does not replicate (it is skipped until its next check).
bool note_lag(ReplicaSetObject* set, int index, PyObject* rows, double now) noexcept;
// The member failed to answer: skipped for a while, then tried again.
void mark_down(ReplicaSetObject* set, int index, double now) noexcept;

// What a read does after a step on member `index` failed with the pending
// error: Skip (the replica went away: it is marked down, the error cleared;
// the caller closes its connections and tries the next one), Primary (an
// error of the statement: cleared, the primary runs it and tells its own
// error if it is one), or Stop (a cancellation, KeyboardInterrupt or any
// error that is not an Exception: left pending, the read ends).
enum class AfterFailure { Skip, Primary, Stop };
AfterFailure judge_failure(ReplicaSetObject* set, int index, double now) noexcept;

// --- causal reads --------------------------------------------------------------------

// The calling context has written (causal sets only). -1 on error.
int note_write(ReplicaSetObject* set) noexcept;
// What the context's next replica read must wait for: None (nothing), True
// (the primary's position must be asked first), or the position (a str).
// New reference, NULL on error.
Ref causal_need(ReplicaSetObject* set) noexcept;
// The primary's position, read from the rows of kPrimaryPositionSql, kept as
// the context's need (new ref: the position str). NULL on error.
Ref keep_position(ReplicaSetObject* set, PyObject* rows) noexcept;
// Whether member `index` is known to have applied `position`.
bool reached(ReplicaSetObject* set, int index, PyObject* position) noexcept;
// The rows of the MASTER_GTID_WAIT statement on member `index` for
// `position`: 1 applied (remembered), 0 timed out, -1 on error.
int note_wait(ReplicaSetObject* set, int index, PyObject* position, PyObject* rows) noexcept;
// The arguments of the wait statement (new tuple).
PyObject* wait_args(ReplicaSetObject* set, PyObject* position) noexcept;

inline constexpr const char* kPrimaryPositionSql = "SELECT @@global.gtid_binlog_pos";
inline constexpr const char* kWaitSql = "SELECT MASTER_GTID_WAIT(%s, %s)";
inline constexpr const char* kLagSql = "SHOW SLAVE STATUS";

// The texts above as str (borrowed, made once).
PyObject* routing_text(const char* which) noexcept;

// --- the connectors' sides -------------------------------------------------------------

// MysqlConnector (sync/replicas.cpp): run() on a connector made with
// `replicas=`, the statement on the server the routing chooses, with its
// record in the statement log.
PyObject* run_with_replicas(PyObject* self, PyObject* con, PyObject* sql, PyObject* args, int mode,
                            StatementTrace& trace) noexcept;
// Closes every thread's connection on each replica; -1 with the first error
// (an error pending on entry stays the one set).
int close_replicas(PyObject* self) noexcept;
// The constructors' replica keywords (NULL: not given); `given` holds their
// other parsed arguments in the constructor's order.
int init_sync_replicas(PyObject* self, PyObject* const* given, PyObject* replicas, PyObject* consistency,
                       PyObject* causal_timeout, PyObject* max_lag) noexcept;
int init_aio_replicas(PyObject* self, PyObject* const* given, PyObject* replicas, PyObject* consistency,
                      PyObject* causal_timeout, PyObject* max_lag) noexcept;

namespace aio {
// AioMysqlConnector (aio/replicas.cpp): awaitable of a statement the handle
// runs without a connection (driver text and arguments, as aio::run takes
// them) on the server the routing chooses; and close() of the primary's pool
// and then of every replica's.
PyObject* run_routed(PyObject* self, PyObject* text, PyObject* args, int mode,
                     const std::shared_ptr<StatementTrace>& trace) noexcept;
PyObject* close_with_replicas(PyObject* self) noexcept;
}  // namespace aio

}  // namespace tsy::db
