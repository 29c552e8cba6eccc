// The pool of both coroutine connectors, whatever their driver.
//
// It opens `minsize` connections at its setup and more on demand, up to
// `maxsize` open at once (`open` counts those of the current generation,
// opening ones included). An acquisition with none idle and none to open
// waits in line (`waiters`, first come first served) for a connection to be
// given back, or for a place to be freed (a connection dropped, an open
// that failed), in which it opens one. Idle connections are kept in `idle`,
// the last given back lent first; dead ones are dropped when found there.
//
// The pool records each connection handed out with the generation it
// belongs to: in a PoolSlot on the connection, or, for a driver whose
// connections have no room for one, in `lent` (connection -> generation;
// releaseCon() turns the entry into a 1-tuple (generation,)). A second
// releaseCon() fails at once while the first is still rolling back.
//
// A connection given back with work left (a lease ended by a cleanup path)
// has its work discarded by its driver before anyone uses it again; one cut
// off in the middle of a call, or lost, is closed and its place freed.
// Statements the handle runs without a connection commit right after they
// ran and roll back when they fail.
//
// Liveness: with `idle_timeout` set, a timer on the loop closes the
// connections idle that long (and pop_idle skips them meanwhile). A
// connection taken after idling `pre_ping` seconds or more is pinged through
// its driver's `ping` entry first, and a dead one closed for the next idle
// one (or a new one) to take its place: the statement after a KILL or a
// server restart does not fail. The idle times are kept (`idle_since`) only
// while one of the two needs them.
//
// Statements without a connection of a task that holds one of the
// connector (a transaction block, a scope: aio/task_binding.hpp) run on it.
//
// close() and a move to another loop (loop-bound drivers) start a new
// generation: idle connections are closed at once, lent ones when they come
// back; acquisitions waiting in line fail (close()) or are dropped with
// their loop.
#include <chrono>

#include "aio/pool.hpp"
#include "aio/task_binding.hpp"
#include "core/read_routing.hpp"

namespace tsy::db::aio {
namespace {

// The table of a connection of this connector: the driver that opened it.
const AioDriver* table(AioConnectorObject* c, PyObject* con) noexcept { return c->driver->table_of(con); }

// --- the lent connections ---------------------------------------------------------

// The pool's record of a connection, on the connection itself when its
// driver has room for it (the dict costs a statement a tenth of a
// microsecond, and resizes as entries come and go), else NULL.
PoolSlot* slot(AioConnectorObject* c, PyObject* con) noexcept {
    const AioDriver* d = table(c, con);
    return d->slot_of ? d->slot_of(con) : nullptr;
}

bool lend(AioConnectorObject* c, PyObject* con, unsigned generation) noexcept {
    if (PoolSlot* s = slot(c, con)) {
        *s = PoolSlot{generation, true, false};
        return true;
    }
    Ref value = steal(PyLong_FromUnsignedLong(generation));
    return value && PyDict_SetItem(c->lent, con, value.get()) == 0;
}

enum class Lent { No, Yes, Returning };

// Whether `con` is lent out, and whether releaseCon() is giving it back;
// -1 with the error set.
int lent_state(AioConnectorObject* c, PyObject* con, Lent* state) noexcept {
    if (PoolSlot* s = slot(c, con)) {
        *state = !s->lent ? Lent::No : s->returning ? Lent::Returning : Lent::Yes;
        return 0;
    }
    PyObject* entry = c->lent ? PyDict_GetItemWithError(c->lent, con) : nullptr;
    if (!entry && PyErr_Occurred()) return -1;
    *state = !entry ? Lent::No : PyTuple_Check(entry) ? Lent::Returning : Lent::Yes;
    return 0;
}

// releaseCon() has taken the connection: a second one fails at once.
bool mark_returning(AioConnectorObject* c, PyObject* con) noexcept {
    if (PoolSlot* s = slot(c, con)) {
        s->returning = true;
        return true;
    }
    PyObject* entry = PyDict_GetItemWithError(c->lent, con);
    Ref returning = entry ? steal(PyTuple_Pack(1, entry)) : Ref();
    return returning && PyDict_SetItem(c->lent, con, returning.get()) == 0;
}

// Ends the record of `con` as lent; false when it was not lent (no error set).
bool take_lent(AioConnectorObject* c, PyObject* con, unsigned* generation) noexcept {
    if (PoolSlot* s = slot(c, con)) {
        bool was_lent = s->lent;
        *generation = s->generation;
        s->lent = s->returning = false;
        return was_lent;
    }
    PyObject* found = nullptr;
    if (!c->lent || PyDict_Pop(c->lent, con, &found) <= 0) {
        PyErr_Clear();
        return false;
    }
    Ref entry = steal(found);
    PyObject* number = PyTuple_Check(entry.get()) ? PyTuple_GET_ITEM(entry.get(), 0) : entry.get();
    *generation = static_cast<unsigned>(PyLong_AsUnsignedLong(number));
    return true;
}

// --- places -------------------------------------------------------------------------

// Pops the first waiter still waiting (new ref), or NULL.
Ref next_waiter(AioConnectorObject* c) noexcept {
    while (c->waiters && PyList_GET_SIZE(c->waiters) > 0) {
        Ref waiter = borrow(PyList_GET_ITEM(c->waiters, 0));
        if (PyList_SetSlice(c->waiters, 0, 1, nullptr) < 0) return {};
        Ref done = call_method(waiter.get(), names.done);
        if (!done) return {};
        if (done.get() == Py_False) return waiter;
    }
    return {};
}

// A place freed in the current generation goes to the first waiter, woken
// with None to open a connection in it; with nobody waiting it is given up.
// Keeps a pending error.
void free_place(AioConnectorObject* c) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    bool handed = false;
    while (!handed) {
        Ref waiter = next_waiter(c);
        if (!waiter) break;
        handed = static_cast<bool>(call_method(waiter.get(), names.set_result, Py_None));
        PyErr_Clear();
    }
    if (!handed && c->open > 0) --c->open;
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// Closes `con` at once; its place, when it held one of this generation, is freed.
void drop(AioConnectorObject* c, PyObject* con, bool current) noexcept {
    table(c, con)->close_now(con);
    if (current) free_place(c);
}

// Hands `con` (of `generation`) to the first waiter still waiting; false
// when nobody took it.
bool hand_over(AioConnectorObject* c, PyObject* con, unsigned generation) noexcept {
    if (!c->waiters || PyList_GET_SIZE(c->waiters) == 0) return false;
    for (;;) {
        Ref waiter = next_waiter(c);
        if (!waiter) return false;
        if (!lend(c, con, generation)) return false;
        if (call_method(waiter.get(), names.set_result, con)) return true;
        PyErr_Clear();
        unsigned ignored = 0;
        take_lent(c, con, &ignored);
    }
}

// The idle timeout's timer, when one is pending, is stopped.
void cancel_sweep(AioConnectorObject* c) noexcept {
    Ref sweeper = steal(c->sweeper);
    c->sweeper = nullptr;
    static PyObject* cancel = intern("cancel");
    if (sweeper && cancel) call_keeping_error(sweeper.get(), cancel);
}

// A new generation: returns the idle connections (new ref) for the caller
// to close; waiters get `error` (when given).
Ref new_generation(AioConnectorObject* c, PyObject* error) noexcept {
    ++c->generation;
    c->ready = 0;
    c->open = 0;
    cancel_sweep(c);
    if (c->idle_since) PyDict_Clear(c->idle_since);
    Ref idle = steal(c->idle);
    Ref waiters = steal(c->waiters);
    c->idle = PyList_New(0);
    c->waiters = PyList_New(0);
    if (!c->idle || !c->waiters) return {};
    for (Py_ssize_t i = 0; waiters && i < PyList_GET_SIZE(waiters.get()); ++i) {
        PyObject* waiter = PyList_GET_ITEM(waiters.get(), i);
        Ref done = call_method(waiter, names.done);
        if (done && done.get() == Py_False && error) call_method(waiter, names.set_exception, error);
        PyErr_Clear();
    }
    return idle ? std::move(idle) : steal(PyList_New(0));
}

// --- liveness -----------------------------------------------------------------------

double steady_seconds() noexcept {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Whether the pool keeps the time each idle connection went idle: for the
// idle timeout, or for pings after a threshold (drivers that can ping).
bool tracks_idle(AioConnectorObject* c) noexcept {
    return c->idle_timeout >= 0 || (c->pre_ping > 0 && c->driver && c->driver->ping);
}

PyObject* sweep(PyObject* self, PyObject*) noexcept;

PyMethodDef sweep_def = {"sweep", sweep, METH_NOARGS, nullptr};

// Starts the timer that closes the connections idle past the timeout, in
// `delay` seconds, unless one is pending. Keeps a pending error; a loop
// that refuses the timer only leaves them to be closed when they are next
// taken.
void schedule_sweep(AioConnectorObject* c, double delay) noexcept {
    if (c->sweeper || c->idle_timeout < 0) return;
    Ref pending = steal(PyErr_GetRaisedException());
    Ref loop = running_loop();
    if (loop && loop.get() == Py_None) loop = borrow(c->loop);
    Ref callback = loop && loop.get() ? steal(PyCFunction_New(&sweep_def, reinterpret_cast<PyObject*>(c))) : Ref();
    if (callback) c->sweeper = PyObject_CallMethod(loop.get(), "call_later", "dO", delay, callback.get());
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// Puts `con` with the idle ones, noting when it went idle where that
// matters. false with the error set when it could not be kept.
bool park(AioConnectorObject* c, PyObject* con) noexcept {
    if (!c->idle || PyList_Append(c->idle, con) < 0) return false;
    if (!tracks_idle(c)) return true;
    Ref when = steal(PyFloat_FromDouble(steady_seconds()));
    if (!c->idle_since) c->idle_since = PyDict_New();
    // Without its record the connection counts as just given back.
    if (!when || !c->idle_since || PyDict_SetItem(c->idle_since, con, when.get()) < 0) PyErr_Clear();
    schedule_sweep(c, c->idle_timeout);
    return true;
}

// Seconds `con`, just taken out of the idle ones, had been idle (0 when
// nothing says); its record goes.
double idle_seconds(AioConnectorObject* c, PyObject* con) noexcept {
    PyObject* when = nullptr;
    if (!c->idle_since || PyDict_Pop(c->idle_since, con, &when) <= 0) {
        PyErr_Clear();
        return 0;
    }
    double since = PyFloat_AsDouble(when);
    Py_DECREF(when);
    return steady_seconds() - since;
}

// Whether a connection idle for `idle` seconds is pinged before it is lent.
bool needs_ping(AioConnectorObject* c, PyObject* con, double idle) noexcept {
    return c->pre_ping >= 0 && idle >= c->pre_ping && table(c, con)->ping;
}

// The timer's callback: closes the idle connections past the timeout and
// starts the timer again for the next one to expire.
PyObject* sweep(PyObject* self, PyObject*) noexcept {
    AioConnectorObject* c = as_aio(self);
    Py_CLEAR(c->sweeper);
    if (c->idle_timeout < 0 || !c->idle || !c->idle_since || !c->driver) Py_RETURN_NONE;
    double now = steady_seconds();
    double next = -1;
    for (Py_ssize_t i = PyList_GET_SIZE(c->idle) - 1; i >= 0; --i) {
        if (!c->idle || i >= PyList_GET_SIZE(c->idle)) continue;  // a close changed the list
        Ref con = borrow(PyList_GET_ITEM(c->idle, i));
        PyObject* when = c->idle_since ? PyDict_GetItemWithError(c->idle_since, con.get()) : nullptr;
        if (!when) {
            PyErr_Clear();
            continue;
        }
        double expires = PyFloat_AsDouble(when) + c->idle_timeout;
        if (expires > now) {
            next = next < 0 || expires < next ? expires : next;
            continue;
        }
        if (PyList_SetSlice(c->idle, i, i + 1, nullptr) < 0 || PyDict_DelItem(c->idle_since, con.get()) < 0) {
            PyErr_Clear();
        }
        drop(c, con.get(), true);
    }
    if (next >= 0) schedule_sweep(c, next - now);
    Py_RETURN_NONE;
}

// --- opening ------------------------------------------------------------------------

// Awaitable: a new connection, in a place of `open` taken now (or already
// taken for it: `placed`). A failed open frees its place.
coro::Task open_counted_task(Ref self, bool placed) {
    AioConnectorObject* c = as_aio(self.get());
    unsigned generation = c->generation;
    if (!placed) ++c->open;
    Ref con = co_await coro::await(steal(c->driver->open(self.get())));
    if (!con && c->generation == generation) free_place(c);
    co_return con;
}

PyObject* open_counted(PyObject* self, bool placed = false) noexcept {
    return coro::make_coroutine(open_counted_task(borrow(self), placed), "open");
}

coro::Task setup_task(Ref self) {
    AioConnectorObject* c = as_aio(self.get());
    unsigned generation = c->generation;
    for (int i = 0; i < c->minsize; ++i) {
        Ref con = co_await coro::await(steal(open_counted(self.get())));
        if (!con) co_return nullptr;
        if (c->generation != generation) {  // closed, or moved to another loop, meanwhile
            Ref closed = co_await coro::await(steal(table(c, con.get())->close(con.get())));
            co_return closed ? borrow(Py_None) : Ref();
        }
        if (!park(c, con.get())) co_return nullptr;
    }
    c->ready = 1;
    co_return borrow(Py_None);
}

// --- acquisition ----------------------------------------------------------------------

// The last idle connection that is still alive, taken out of the pool (new
// ref), or NULL; `*idle` gets the seconds it had been idle. Dead ones
// (killed, timed out by the server) and those past the idle timeout are
// dropped.
Ref pop_idle(AioConnectorObject* c, double* idle) noexcept {
    while (c->idle && PyList_GET_SIZE(c->idle) > 0) {
        Py_ssize_t n = PyList_GET_SIZE(c->idle);
        Ref con = borrow(PyList_GET_ITEM(c->idle, n - 1));
        if (PyList_SetSlice(c->idle, n - 1, n, nullptr) < 0) return {};
        *idle = idle_seconds(c, con.get());
        bool expired = c->idle_timeout >= 0 && *idle >= c->idle_timeout;
        const AioDriver* d = table(c, con.get());
        if (!expired && (!d->idle_alive || d->idle_alive(con.get()))) return con;
        drop(c, con.get(), true);
    }
    return {};
}

// An idle connection being pinged is neither idle nor lent: when the
// check ends otherwise than with it alive (dead, failed, cancelled, the
// coroutine dropped), it is closed and its place freed.
class Pinged {
public:
    Pinged(AioConnectorObject* c, Ref con) noexcept : c_(c), con_(std::move(con)), generation_(c->generation) {}
    Pinged(const Pinged&) = delete;
    Pinged& operator=(const Pinged&) = delete;
    ~Pinged() { discard(); }

    PyObject* con() const noexcept { return con_.get(); }
    bool current() const noexcept { return generation_ == c_->generation; }
    Ref keep() noexcept { return std::move(con_); }
    void discard() noexcept {
        if (con_) drop(c_, con_.get(), current());
        con_.reset();
    }
    void replace(Ref con) noexcept {
        discard();
        con_ = std::move(con);
        generation_ = c_->generation;
    }

private:
    AioConnectorObject* c_;
    Ref con_;
    unsigned generation_;
};

// Pings the idle connection taken (and the next ones, while they are found
// dead): the first alive, None when none was, NULL with the error of a ping
// that failed otherwise than by finding its connection dead (a
// cancellation): that connection is closed.
coro::Task checked_idle_task(Ref self, Ref taken) {
    AioConnectorObject* c = as_aio(self.get());
    Pinged pinged(c, std::move(taken));
    for (;;) {
        Ref alive = co_await coro::await(steal(table(c, pinged.con())->ping(pinged.con())));
        if (!alive) co_return nullptr;
        if (alive.get() == Py_True && pinged.current()) co_return pinged.keep();
        // Dead (or of a generation closed meanwhile): the next idle one.
        double idle = 0;
        pinged.replace(pop_idle(c, &idle));
        if (!pinged.con()) co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
        if (!needs_ping(c, pinged.con(), idle)) co_return pinged.keep();
    }
}

// A waiting acquisition that ends otherwise (cancelled) may already have
// been handed a connection or a place: it goes to the next in line.
void abandon_waiter(PyObject* self, PyObject* waiter) noexcept {
    AioConnectorObject* c = as_aio(self);
    Ref pending = steal(PyErr_GetRaisedException());
    int listed = c->waiters ? PySequence_Contains(c->waiters, waiter) : 0;
    // Best effort: each step that fails is dropped before the next one runs.
    if (listed < 0 || (listed > 0 && !call_method(c->waiters, names.remove, waiter))) PyErr_Clear();
    Ref cancelled = call_method(waiter, names.cancelled);
    Ref done = cancelled ? call_method(waiter, names.done) : Ref();
    if (cancelled && done && cancelled.get() == Py_False && done.get() == Py_True) {
        Ref handed = call_method(waiter, names.result);
        if (handed && handed.get() == Py_None) {
            free_place(c);
        } else if (handed) {
            give_back(self, handed.get(), false);
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// Waits in line: a connection handed over (already lent), None when a
// place was freed for this acquisition to open one, NULL with the error.
coro::Task wait_in_line_task(Ref self) {
    AioConnectorObject* c = as_aio(self.get());
    Ref waiter = new_future();
    if (!waiter) co_return nullptr;
    if (!c->waiters) co_return fail(PyExc_RuntimeError, "%s: the pool is closed", c->driver->names->type);
    if (PyList_Append(c->waiters, waiter.get()) < 0) co_return nullptr;
    Ref handed = co_await coro::await(waiter.get());
    if (!handed) abandon_waiter(self.get(), waiter.get());
    co_return handed;
}

// No connection idle: one opened, or waited for in line; lent.
coro::Task wait_or_open_task(Ref self) {
    AioConnectorObject* c = as_aio(self.get());
    unsigned generation = c->generation;
    Ref con;
    if (c->open < c->maxsize && (!c->waiters || PyList_GET_SIZE(c->waiters) == 0)) {
        con = co_await coro::await(steal(open_counted(self.get())));
    } else {
        con = co_await coro::await(steal(coro::make_coroutine(wait_in_line_task(borrow(self.get())), "getCon")));
        if (con && con.get() != Py_None) co_return con;  // handed over, lent already
        if (con) {  // a place freed for this acquisition
            generation = c->generation;
            con = co_await coro::await(steal(open_counted(self.get(), true)));
        }
    }
    if (!con) co_return nullptr;
    if (lend(c, con.get(), generation)) co_return con;
    drop(c, con.get(), generation == c->generation);
    co_return nullptr;
}

// The leftover work of a connection given back is rolled back before it is
// lent again (drivers that cannot drop it at the give-back).
coro::Task roll_back_for_lending_task(Ref self, Ref con) {
    Lease lease(self.get(), std::move(con));
    lease.broken = true;  // until its leftover work is rolled back
    const AioDriver* d = table(as_aio(self.get()), lease.con());
    Ref rolled = co_await coro::await(steal(d->step(lease.con(), Op::Rollback, nullptr, nullptr, RUN_NONE, false, {})));
    if (!rolled) co_return nullptr;
    lease.broken = false;
    co_return lease.take();
}

// The frame stays small for the common case, an idle connection lent at
// once (a larger one costs every statement the allocator's slow path).
coro::Task acquire_task(Ref self) {
    AioConnectorObject* c = as_aio(self.get());
    if (!c->idle || !c->waiters || !c->lent) {
        co_return fail(PyExc_RuntimeError, "%s: the pool is closed", c->driver->names->type);
    }
    double idle = 0;
    Ref con = pop_idle(c, &idle);
    if (con && needs_ping(c, con.get(), idle)) {
        con = co_await coro::await(steal(coro::make_coroutine(checked_idle_task(borrow(self.get()), std::move(con)), "getCon")));
        if (!con) co_return nullptr;
        if (con.get() == Py_None) con = nullptr;  // every idle one was dead
    }
    if (con && !lend(c, con.get(), c->generation)) {
        drop(c, con.get(), true);
        co_return nullptr;
    }
    if (!con) {
        if (PyErr_Occurred()) co_return nullptr;
        con = co_await coro::await(steal(coro::make_coroutine(wait_or_open_task(borrow(self.get())), "getCon")));
        if (!con) co_return nullptr;
    }
    const AioDriver* d = table(c, con.get());
    if (d->rolls_back_when_lent && (!d->may_hold_work || d->may_hold_work(con.get()))) {
        co_return co_await coro::await(
            steal(coro::make_coroutine(roll_back_for_lending_task(borrow(self.get()), std::move(con)), "getCon")));
    }
    co_return con;
}

// --- give-back ------------------------------------------------------------------------

void hand_back(PyObject* self, PyObject* con, bool broken) noexcept {
    AioConnectorObject* c = as_aio(self);
    if (!c->driver) return;
    unsigned generation = 0;
    bool current = take_lent(c, con, &generation) && generation == c->generation;
    const AioDriver* d = table(c, con);
    if (broken || !current || !c->idle || !d->discard_work(con)) {
        drop(c, con, current);
        return;
    }
    if (hand_over(c, con, generation)) return;
    PyErr_Clear();
    if (!park(c, con)) drop(c, con, true);
}

// The lease is a parameter: a releaseCon() never awaited still gives the
// connection back when it is dropped.
coro::Task release_task(Ref self, Lease lease) {
    const AioDriver* d = table(as_aio(self.get()), lease.con());
    if (d->may_hold_work && !d->may_hold_work(lease.con())) co_return borrow(Py_None);
    Ref rolled = co_await coro::await(steal(d->step(lease.con(), Op::Rollback, nullptr, nullptr, RUN_NONE, false, {})));
    if (!rolled) {
        Ref error = steal(PyErr_GetRaisedException());
        lease.broken = !is_cancellation(error.get());
        PyErr_SetRaisedException(error.release());
        co_return nullptr;
    }
    co_return borrow(Py_None);
}

// --- statements -----------------------------------------------------------------------

coro::Task run_and_settle_task(Ref self, Ref scoped, Ref text, Ref args, int mode,
                               std::shared_ptr<StatementTrace> trace);

// Awaitable: a statement without a connection of a task that holds one of
// the connector: inside a transaction block, part of it; on a scope's
// connection, settled as on a pooled one. Looked up when the statement
// starts, in the task that awaits it: a statement made in a block but
// handed to another task runs on a connection of that task.
PyObject* run_bound(PyObject* self, PyObject* block, PyObject* text, PyObject* args, int mode,
                    std::shared_ptr<StatementTrace> trace) noexcept {
    PyObject* con = as_block(block)->con;
    const AioDriver* d = table(as_aio(self), con);
    bool scoped = as_block(block)->level == kScopeLevel;
    if (!scoped || d->settles_itself) return d->step(con, Op::Run, text, args, mode, scoped, std::move(trace));
    return coro::make_coroutine(run_and_settle_task(borrow(self), borrow(con), borrow(text), borrow(args), mode,
                                                    std::move(trace)),
                                "execute");
}

// A statement of the handle's own on a pooled connection, for a driver that
// commits it (or rolls it back) in the same step.
coro::Task run_settled_task(Ref self, Ref text, Ref args, int mode, std::shared_ptr<StatementTrace> trace) {
    PyObject* block = nullptr;
    if (bound_block(self.get(), &block) < 0) co_return nullptr;
    if (block) co_return co_await coro::await(steal(run_bound(self.get(), block, text.get(), args.get(), mode, std::move(trace))));
    Ref pending = readiness(self.get());
    if (!pending || (pending.get() != Py_None && !co_await coro::await(std::move(pending)))) co_return nullptr;
    Ref con = co_await coro::await(steal(acquire(self.get())));
    if (!con) co_return nullptr;
    Lease lease(self.get(), std::move(con));
    const AioDriver* d = table(as_aio(self.get()), lease.con());
    co_return co_await coro::await(steal(d->step(lease.con(), Op::Run, text.get(), args.get(), mode, true, std::move(trace))));
}

// The same for a driver that leaves it to the pool: committed after it ran,
// rolled back when it (or its commit) failed. On a pooled connection
// (`scoped` NULL) the connection counts as broken until then: a coroutine
// dropped half-way, or cancelled, leaves the driver's state unknown. A
// scope's connection (`scoped`) stays with the scope, which rolls back at its
// end whatever is left. The statement's error is kept.
coro::Task run_and_settle_task(Ref self, Ref scoped, Ref text, Ref args, int mode,
                               std::shared_ptr<StatementTrace> trace) {
    Lease lease;
    Ref con = std::move(scoped);
    if (!con) {
        PyObject* block = nullptr;
        if (bound_block(self.get(), &block) < 0) co_return nullptr;
        if (block) {
            co_return co_await coro::await(
                steal(run_bound(self.get(), block, text.get(), args.get(), mode, std::move(trace))));
        }
        Ref pending = readiness(self.get());
        if (!pending || (pending.get() != Py_None && !co_await coro::await(std::move(pending)))) co_return nullptr;
        con = co_await coro::await(steal(acquire(self.get())));
        if (!con) co_return nullptr;
        lease = Lease(self.get(), borrow(con.get()));
        lease.broken = true;
    }
    const AioDriver* d = table(as_aio(self.get()), con.get());
    Ref result = co_await coro::await(steal(d->step(con.get(), Op::Run, text.get(), args.get(), mode, false, std::move(trace))));
    if (result) {
        Ref committed = co_await coro::await(steal(d->step(con.get(), Op::Commit, nullptr, nullptr, RUN_NONE, false, {})));
        if (committed) {
            lease.broken = false;
            co_return result;
        }
    }
    Ref error = steal(PyErr_GetRaisedException());
    if (!is_cancellation(error.get())) {
        Ref rolled = co_await coro::await(steal(d->step(con.get(), Op::Rollback, nullptr, nullptr, RUN_NONE, false, {})));
        lease.broken = !rolled;
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
    co_return nullptr;
}

// Idle connections are closed now, lent ones when they come back.
coro::Task close_task(Ref self) {
    AioConnectorObject* c = as_aio(self.get());
    Py_CLEAR(c->setup);
    Py_CLEAR(c->loop);
    Ref error = steal(PyObject_CallFunction(PyExc_RuntimeError, "s", "the connector was closed"));
    if (!error) co_return nullptr;
    Ref idle = new_generation(c, error.get());
    if (!idle) co_return nullptr;
    // A connection the server has dropped fails its goodbye: it is closed
    // at once and the others still are. A cancellation closes the rest at once.
    Ref cancelled;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idle.get()); ++i) {
        Ref con = borrow(PyList_GET_ITEM(idle.get(), i));
        const AioDriver* d = table(c, con.get());
        Ref closed = cancelled ? Ref() : co_await coro::await(steal(d->close(con.get())));
        if (closed) continue;
        Ref error = steal(PyErr_GetRaisedException());
        if (!cancelled && is_cancellation(error.get())) cancelled = std::move(error);
        d->close_now(con.get());
    }
    PyErr_SetRaisedException(cancelled.release());
    co_return PyErr_Occurred() ? Ref() : borrow(Py_None);
}

}  // namespace

PyObject* setup_pool(PyObject* self) noexcept {
    return coro::make_coroutine(setup_task(borrow(self)), "setup", as_aio(self)->driver->names->setup);
}

void leave_loop(AioConnectorObject* self) noexcept {
    if (!self->driver->loop_bound) return;  // its connections serve whatever loop awaits them
    Ref pending = steal(PyErr_GetRaisedException());
    Ref idle = new_generation(self, nullptr);
    for (Py_ssize_t i = 0; idle && i < PyList_GET_SIZE(idle.get()); ++i) {
        PyObject* con = PyList_GET_ITEM(idle.get(), i);
        table(self, con)->close_now(con);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

PyObject* acquire(PyObject* self) noexcept {
    return coro::make_coroutine(acquire_task(borrow(self)), "getCon", as_aio(self)->driver->names->getCon);
}

void give_back(PyObject* self, PyObject* con, bool broken) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    hand_back(self, con, broken);
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

PyObject* release(PyObject* self, PyObject* con) noexcept {
    AioConnectorObject* c = as_aio(self);
    if (!c->driver->belongs(self, con)) return nullptr;
    Lent state = Lent::No;
    if (lent_state(c, con, &state) < 0) return nullptr;
    if (state != Lent::Yes) {
        return fail(PyExc_ValueError, "the connection is not lent out by this connector (given back twice?)");
    }
    if (!mark_returning(c, con)) return nullptr;
    return coro::make_coroutine(release_task(borrow(self), Lease(self, borrow(con))), "releaseCon",
                                c->driver->names->releaseCon);
}

PyObject* run(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
              const std::shared_ptr<StatementTrace>& trace) noexcept {
    if (con == Py_None && as_aio(self)->base.replicas) return run_routed(self, text, args, mode, trace);  // aio/replicas.cpp
    return run_here(self, con, text, args, mode, trace);
}

PyObject* run_here(PyObject* self, PyObject* con, PyObject* text, PyObject* args, int mode,
                   const std::shared_ptr<StatementTrace>& trace) noexcept {
    AioConnectorObject* c = as_aio(self);
    if (con != Py_None && !c->driver->belongs(self, con)) return nullptr;
    const AioDriver* d = con == Py_None ? c->driver : table(c, con);
    // A driver that binds later, off the loop's turn (a worker, a call that
    // writes its text when it starts), gets buffers as bytes taken now.
    Ref bound = steal(bindable_args(args, d->binds_in_place));
    if (!bound) return nullptr;
    if (con == Py_None) {
        return coro::make_coroutine(d->settles_itself
                                        ? run_settled_task(borrow(self), borrow(text), std::move(bound), mode, trace)
                                        : run_and_settle_task(borrow(self), Ref(), borrow(text), std::move(bound), mode, trace),
                                    "execute");
    }
    return d->step(con, Op::Run, text, bound.get(), mode, false, trace);
}

PyObject* close_pool(PyObject* self) noexcept {
    return coro::make_coroutine(close_task(borrow(self)), "close", as_aio(self)->driver->names->close);
}

}  // namespace tsy::db::aio
