// The pool of the coroutine connectors (aio/pool.cpp): one for every driver.
// It opens connections through the connector's driver table and hands them
// out, waits in line when `maxsize` are out, commits or rolls back the
// statements it runs on its own connections, takes connections back, and
// closes them by generation.
#pragma once

#include "aio/aio_connector.hpp"

namespace tsy::db::aio {

// Coroutine of the setup task: opens `minsize` connections and sets `ready`.
PyObject* setup_pool(PyObject* self) noexcept;
// The loop the setup was started on is no longer the running one: on a
// loop-bound driver the connections (idle and waiting) are dropped.
void leave_loop(AioConnectorObject* self) noexcept;

// Awaitable: a connection of the pool, lent to the caller; the pool must be
// ready (get_con() waits for that).
PyObject* acquire(PyObject* self) noexcept;
// Awaitable: rolls `con` back and gives it back to the pool (releaseCon()).
PyObject* release(PyObject* self, PyObject* con) noexcept;
// Gives `con` back at once, from cleanup paths; closes it when `broken`.
// Keeps the error indicator as it was.
void give_back(PyObject* self, PyObject* con, bool broken) noexcept;
// Awaitable: runs driver text with its arguments (None for none) on `con`,
// or, when `con` is None, on a pooled connection, committed afterwards
// (rolled back when it fails). `trace`, when not empty, gets the statement
// log's measures.
PyObject* run(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
              const std::shared_ptr<StatementTrace>& trace) noexcept;
// The same on this connector's own pool: no read goes to a replica.
PyObject* run_here(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
                   const std::shared_ptr<StatementTrace>& trace) noexcept;
// Awaitable: closes every connection (lent ones when they come back); the
// next touch sets the pool up anew.
PyObject* close_pool(PyObject* self) noexcept;

// A connection lent by a connector, given back when the coroutine holding it
// ends however it ends: returned, failed, cancelled or dropped. `broken`
// closes it instead of pooling it again.
class Lease {
public:
    Lease() noexcept = default;
    Lease(PyObject* connector, Ref con) noexcept : connector_(borrow(connector)), con_(std::move(con)) {}
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&& other) noexcept {
        finish();
        connector_ = std::move(other.connector_);
        con_ = std::move(other.con_);
        broken = other.broken;
        return *this;
    }
    ~Lease() { finish(); }

    PyObject* con() const noexcept { return con_.get(); }
    // Ends the lease without giving the connection back.
    Ref take() noexcept { return std::move(con_); }

    bool broken = false;

private:
    void finish() noexcept {
        if (con_) give_back(connector_.get(), con_.get(), broken);
        con_.reset();
    }

    Ref connector_;
    Ref con_;
};

}  // namespace tsy::db::aio
