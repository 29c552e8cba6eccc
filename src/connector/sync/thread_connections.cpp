// The connections of a synchronous connector, one per thread that uses it.
//
// A thread's connection lives in a ThreadConnectionObject stored in the
// connector's threading.local: no other thread ever finds it there, and the
// interpreter drops it when its thread ends. The registry shared by the
// connector and its thread connections (sync/registry.hpp) lists them all
// (for close()) and counts every open connection against maxConnections:
// thread-held, idle in the pool, or being opened. A thread that needs one
// takes an idle pooled connection first, opens a new one while the bound
// allows, and otherwise waits for either.
#include "sync/registry.hpp"

#include <chrono>
#include <cmath>

namespace tsy::db {

namespace {

constexpr double kDefaultWait = 30.0;
// A waiting thread looks at its signals this often (Ctrl-C ends the wait).
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

PyObject* state_key() noexcept {
    static PyObject* key = intern("thread_connection");
    return key;
}

PyObject* local_type() noexcept {
    static PyObject* type = nullptr;
    if (!type) type = import_attr("_thread", "_local").release();
    return type;
}

void retain(ThreadRegistry* r) noexcept { ++r->refs; }

bool has_room(const ThreadRegistry* r) noexcept { return r->limit == 0 || r->open < r->limit; }

// Reserves a slot for a new connection (1), or finds none free (0).
bool reserve_slot(ThreadRegistry* r) noexcept {
    std::lock_guard<std::mutex> guard(r->lock);
    if (!has_room(r)) return false;
    ++r->open;
    return true;
}

Failure no_connection_in_time(ThreadRegistry* r, double seconds) noexcept {
    int limit;
    {
        std::lock_guard<std::mutex> guard(r->lock);
        limit = r->limit;
    }
    Ref waited = steal(PyFloat_FromDouble(seconds));
    if (!waited) return {};
    return fail(PyExc_TimeoutError,
                "no connection free within %R s: the connector's %d connections (maxConnections) are all "
                "held by other threads",
                waited.get(), limit);
}

// A connection for the calling thread: an idle pooled one (1, in `*pooled`,
// its slot with it) or a slot reserved for a new one (0). While neither is
// there it waits without the GIL, for at most acquireTimeout (TimeoutError).
int acquire(PyObject* self, ThreadRegistry* r, Ref* pooled) noexcept {
    using clock = std::chrono::steady_clock;
    const double seconds = r->wait_seconds;
    const clock::time_point deadline =
        clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        int got = pool_take(self, r, pooled);
        if (got != 0) return got;
        if (reserve_slot(r)) return 0;
        bool ready = false;
        bool late = false;
        Py_BEGIN_ALLOW_THREADS
        {
            // The mutex is let go before the GIL is taken again: a thread
            // holding the GIL may be waiting for it.
            std::unique_lock<std::mutex> guard(r->lock);
            auto until = std::min(deadline, clock::now() + kWaitSlice);
            ready = r->freed.wait_until(guard, until, [r] { return has_room(r) || r->idle_count > 0; });
            late = !ready && clock::now() >= deadline;
        }
        Py_END_ALLOW_THREADS
        if (ready) continue;  // another thread may take it first: tried again
        if (PyErr_CheckSignals() < 0) return -1;
        if (late) return no_connection_in_time(r, seconds);
    }
}

void link(ThreadConnectionObject* s) noexcept {
    ThreadRegistry* r = s->registry;
    s->prev = nullptr;
    s->next = r->first;
    if (r->first) r->first->prev = s;
    r->first = s;
}

void unlink(ThreadConnectionObject* s) noexcept {
    ThreadRegistry* r = s->registry;
    if (s->prev) s->prev->next = s->next;
    else if (r->first == s) r->first = s->next;
    if (s->next) s->next->prev = s->prev;
    s->prev = s->next = nullptr;
}

// Takes the connection out of `s` (new ref, or NULL when it has none) and
// gives back its slot; the kept cursor is closed.
Ref take_connection(ThreadConnectionObject* s) noexcept {
    forget_cursor(s);
    Ref con = steal(s->con);
    s->con = nullptr;
    s->depth = 0;
    s->retire = 0;
    s->exposed = 0;
    release_slot(s);
    return con;
}

// Closes the connection of `s`; -1 with the driver's error.
int close_connection(ThreadConnectionObject* s) noexcept {
    Ref con = take_connection(s);
    if (con && !call_method(con.get(), names.close)) return -1;
    return 0;
}

// --- the type -----------------------------------------------------------------

int tc_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ThreadConnectionObject* s = as_thread_con(self);
    Py_VISIT(s->con);
    Py_VISIT(s->cursor);
    Py_VISIT(s->cursor_con);
    return 0;
}

// A connection its thread no longer has goes back to the pool when nothing
// else can reach it: opened by the connector's own connect() (another
// thread may use it), never handed out by getCon() (whose caller may keep
// it), no block or statement left on it. The pool then has to bound how
// long it stays: only with idleTimeout set, else the ended threads of a
// busy moment would keep their connections open for good.
bool poolable_at_end(const ThreadConnectionObject* s) noexcept {
    const ThreadRegistry* r = s->registry;
    return s->con && s->counted && s->movable && !s->exposed && s->depth == 0 && s->running == 0 && !s->retire &&
           !r->orphaned && r->idle_timeout >= 0;
}

// The connection is given back or closed where it is dropped: at the end of
// its thread, or when the connector goes. A failing close (the server is
// gone) says nothing worth reporting.
int tc_clear(PyObject* self) noexcept {
    ThreadConnectionObject* s = as_thread_con(self);
    if (!s->registry) return 0;
    Ref pending = steal(PyErr_GetRaisedException());
    if (poolable_at_end(s)) give_back(s);
    else if (close_connection(s) < 0) PyErr_Clear();
    Py_CLEAR(s->cursor);
    Py_CLEAR(s->cursor_con);
    PyErr_SetRaisedException(pending.release());
    return 0;
}

void tc_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    ThreadConnectionObject* s = as_thread_con(self);
    tc_clear(self);
    if (s->registry) {
        unlink(s);
        release_registry(s->registry);
        s->registry = nullptr;
    }
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject ThreadConnectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector._ThreadConnection",
    .tp_basicsize = sizeof(ThreadConnectionObject),
    .tp_dealloc = tc_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "One thread's connection of a synchronous connector (internal).",
    .tp_traverse = tc_traverse,
    .tp_clear = tc_clear,
};

Ref new_thread_state(ThreadRegistry* r) noexcept {
    static bool ready = false;
    if (!ready) {
        if (PyType_Ready(&ThreadConnectionType) < 0) return {};
        ready = true;
    }
    Ref made = steal(reinterpret_cast<PyObject*>(PyObject_GC_New(ThreadConnectionObject, &ThreadConnectionType)));
    if (!made) return {};
    ThreadConnectionObject* s = as_thread_con(made.get());
    // PyObject_GC_New leaves the fields as they come.
    s->registry = r;
    retain(r);
    s->thread = PyThread_get_thread_ident();
    s->con = s->cursor = s->cursor_con = nullptr;
    s->cursor_busy = s->depth = s->running = s->retire = s->counted = 0;
    s->scopes = s->exposed = s->movable = 0;
    s->used_ns = 0;
    s->lending = 0;
    link(s);
    PyObject_GC_Track(made.get());
    return made;
}

bool is_number(PyObject* value) noexcept {
    return !PyBool_Check(value) && (PyLong_Check(value) || PyFloat_Check(value));
}

}  // namespace

// --- registry -------------------------------------------------------------------

ThreadRegistry* new_registry() noexcept {
    try {
        return new ThreadRegistry();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

void release_registry(ThreadRegistry* registry) noexcept {
    if (registry && --registry->refs == 0) delete registry;
}

int set_limits(ConnectorObject* c, PyObject* max_connections, PyObject* acquire_timeout) noexcept {
    int limit = -1;
    double seconds = -1;
    if (max_connections && max_connections != Py_None) {
        if (PyBool_Check(max_connections) || !PyLong_Check(max_connections)) {
            return fail(PyExc_TypeError, "maxConnections must be a positive int or None, not %.200s",
                        type_name(max_connections));
        }
        if (!to_int(max_connections, &limit)) return -1;
        if (limit <= 0) return fail(PyExc_ValueError, "maxConnections must be a positive int or None, not %d", limit);
    } else if (max_connections) {
        limit = 0;
    }
    if (acquire_timeout) {
        if (!is_number(acquire_timeout)) {
            return fail(PyExc_TypeError, "acquireTimeout must be a number of seconds, not %.200s",
                        type_name(acquire_timeout));
        }
        seconds = PyFloat_AsDouble(acquire_timeout);
        if (seconds == -1 && PyErr_Occurred()) return -1;
        if (!(seconds >= 0) || std::isinf(seconds)) {
            return fail(PyExc_ValueError, "acquireTimeout must be a finite number of seconds >= 0, not %R",
                        acquire_timeout);
        }
    }
    ThreadRegistry* r = c->threads;
    if (!r) return not_initialised(reinterpret_cast<PyObject*>(c));
    {
        std::lock_guard<std::mutex> guard(r->lock);
        if (limit >= 0) r->limit = limit;
        if (seconds >= 0) r->wait_seconds = seconds;
    }
    r->freed.notify_all();  // a larger bound lets waiting threads on
    return 0;
}

int init_limits(PyObject* self, PyObject* max_connections, PyObject* acquire_timeout, PyObject* idle_timeout,
                PyObject* pre_ping) noexcept {
    Ref wait = acquire_timeout ? borrow(acquire_timeout) : steal(PyFloat_FromDouble(kDefaultWait));
    if (!wait) return -1;
    // Everything is checked before anything is kept: a refused __init__ leaves the connector as it was.
    ConnectorObject* c = as_connector(self);
    Ref idle = borrow(idle_timeout ? idle_timeout : Py_None);
    Ref ping = borrow(pre_ping ? pre_ping : Py_True);
    if (set_pool_options(nullptr, idle.get(), ping.get()) < 0) return -1;
    if (set_limits(c, max_connections ? max_connections : Py_None, wait.get()) < 0) return -1;
    return set_pool_options(c, idle.get(), ping.get());
}

PyObject* get_max_connections(ConnectorObject* c) noexcept {
    if (!c->threads || c->threads->limit == 0) Py_RETURN_NONE;
    return PyLong_FromLong(c->threads->limit);
}

PyObject* get_acquire_timeout(ConnectorObject* c) noexcept {
    return PyFloat_FromDouble(c->threads ? c->threads->wait_seconds : kDefaultWait);
}

int open_connections(ConnectorObject* c) noexcept {
    if (!c->threads) return 0;
    std::lock_guard<std::mutex> guard(c->threads->lock);
    return c->threads->open;
}

void give_slot(ThreadRegistry* r) noexcept {
    {
        std::lock_guard<std::mutex> guard(r->lock);
        if (r->open > 0) --r->open;
    }
    r->freed.notify_one();
}

// One waiter for one connection: waking them all would have them race for
// the GIL and all but one wait again.
void wake_waiters(ThreadRegistry* r) noexcept { r->freed.notify_one(); }

void orphan_registry(ConnectorObject* c) noexcept {
    if (!c->threads) return;
    c->threads->orphaned = true;
    pool_close_all(c->threads);
}

int traverse_registry(ConnectorObject* c, visitproc visit, void* arg) noexcept {
    return c->threads ? pool_traverse(c->threads, visit, arg) : 0;
}

// --- the calling thread's connection -----------------------------------------------

Ref existing_thread_state(PyObject* self) noexcept {
    ConnectorObject* c = as_connector(self);
    if (!c->local) return borrow(Py_None);
    PyObject* found = nullptr;
    int known = PyObject_GetOptionalAttr(c->local, state_key(), &found);
    if (known < 0) return {};
    return known ? steal(found) : borrow(Py_None);
}

Ref thread_state(PyObject* self) noexcept {
    ConnectorObject* c = as_connector(self);
    if (!c->threads) return not_initialised(self);
    if (!c->local) {
        PyObject* type = local_type();
        if (!type) return {};
        Ref local = call(type);
        if (!local) return {};
        if (!c->local) c->local = local.release();
    }
    Ref found = existing_thread_state(self);
    if (!found || found.get() != Py_None) return found;
    Ref made = new_thread_state(c->threads);
    if (!made || PyObject_SetAttr(c->local, state_key(), made.get()) < 0) return {};
    return made;
}

namespace {

// Whether connect() is the connector's own, whose connections any thread
// may use (the SQLite ones are opened with check_same_thread off). One a
// subclass overrides may return a connection bound to its thread.
bool own_connect(PyObject* self) noexcept {
    PyObject* found = _PyType_Lookup(Py_TYPE(self), names.connect);
    if (!found || !PyObject_TypeCheck(found, &PyMethodDescr_Type)) return false;
    PyTypeObject* owner = reinterpret_cast<PyMethodDescrObject*>(found)->d_common.d_type;
    return owner == &BaseConnectorType || owner == &Sqlite3ConnectorType || owner == &MysqlConnectorType;
}

// Whether the thread's connection may serve the next statement: 1 yes, 0
// no (its user closed it, or it no longer answers: the caller replaces
// it), -1 with an error. Inside a transaction() block, or while a statement
// runs on it, it is kept whatever it is: the block's statements must fail
// rather than run elsewhere.
int still_usable(PyObject* self, ThreadConnectionObject* s) noexcept {
    if (s->depth > 0 || s->running > 0) return 1;
    ThreadRegistry* r = s->registry;
    const long long now = steady_now_ns();
    const long long idle_ns = now - s->used_ns;
    s->used_ns = now;
    if (s->exposed && connection_closed(s->con)) return 0;
    if (r->ping_after < 0 || idle_ns < static_cast<long long>(r->ping_after * 1e9)) return 1;
    Ref con = borrow(s->con);  // held: the check may run code that closes the connector
    return ping_connection(self, con.get());
}

// Takes a connection that `still_usable` refused out of `s` and closes it.
void drop_unusable(ThreadConnectionObject* s) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    if (close_connection(s) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// Opens a new connection into `s` on the slot the caller reserved.
PyObject* open_new(PyObject* self, ThreadConnectionObject* s) noexcept {
    ThreadRegistry* r = s->registry;
    // connect() is looked up on the object: Python subclasses open their own kind.
    Ref con = call_method(self, names.connect);
    if (!con || s->con) {  // failed, or connect() re-entered and opened one itself
        give_slot(r);
        return con ? s->con : nullptr;
    }
    s->con = con.release();
    s->counted = 1;
    s->movable = own_connect(self);
    s->exposed = 0;
    s->used_ns = steady_now_ns();
    // A connection of the shared in-memory database reads what the other
    // threads have not committed yet, instead of failing on their table locks.
    if (as_connector(self)->shared && run_on_thread(s, names.shared_reads_sql) < 0) {
        drop_unusable(s);
        return nullptr;
    }
    return s->con;
}

}  // namespace

PyObject* thread_connection(PyObject* self, ThreadConnectionObject* s) noexcept {
    if (s->con) {
        int usable = still_usable(self, s);
        if (usable < 0) return nullptr;
        if (usable && s->con) return s->con;
        drop_unusable(s);
    }
    ThreadRegistry* r = s->registry;
    Ref pooled;
    int got = acquire(self, r, &pooled);
    if (got < 0) return nullptr;
    if (s->con) {  // a check or a wait ran code that gave the thread one meanwhile
        if (got) pool_put(r, std::move(pooled));
        else give_slot(r);
        return s->con;
    }
    if (!got) return open_new(self, s);
    s->con = pooled.release();
    s->counted = 1;
    s->movable = 1;
    s->exposed = 0;
    s->used_ns = steady_now_ns();
    return s->con;
}

PyObject* own_connection(PyObject* self) noexcept {
    Ref state = thread_state(self);
    if (!state) return nullptr;
    // Borrowed: the thread's local holds the state, the state its connection.
    return thread_connection(self, as_thread_con(state.get()));
}

PyObject* handed_out_connection(PyObject* self) noexcept {
    Ref state = thread_state(self);
    if (!state) return nullptr;
    ThreadConnectionObject* s = as_thread_con(state.get());
    PyObject* con = thread_connection(self, s);
    // Its user may close it, or keep it after the thread ends.
    if (con) s->exposed = 1;
    return Py_XNewRef(con);
}

void release_slot(ThreadConnectionObject* s) noexcept {
    if (!s->counted) return;
    s->counted = 0;
    give_slot(s->registry);
}

void Running::finish() noexcept {
    ThreadConnectionObject* s = s_;
    s_ = nullptr;
    if (!s || --s->running > 0 || !s->retire) return;
    Ref pending = steal(PyErr_GetRaisedException());
    if (close_connection(s) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

int close_all(PyObject* self) noexcept {
    ConnectorObject* c = as_connector(self);
    if (!c->threads) return 0;
    pool_close_all(c->threads);
    // Held: a close() may run Python code that ends a thread or closes again.
    std::vector<Ref> all;
    try {
        for (ThreadConnectionObject* s = c->threads->first; s; s = s->next) {
            all.push_back(borrow(reinterpret_cast<PyObject*>(s)));
        }
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    unsigned long me = PyThread_get_thread_ident();
    Ref first_error;
    for (const Ref& held : all) {
        ThreadConnectionObject* s = as_thread_con(held.get());
        if (!s->con) continue;
        // Another thread's statement is under way on it: that thread closes
        // it when the statement ends. The caller's own thread closes at once,
        // as a single-threaded program always did.
        if (s->running > 0 && s->thread != me) {
            s->retire = 1;
            continue;
        }
        // Only the caller's own connection reports a failed close, as it
        // always did; another thread's is forgotten all the same (a driver
        // may refuse a close from a thread other than its own).
        if (close_connection(s) < 0 && s->thread == me && !first_error) first_error = steal(PyErr_GetRaisedException());
        PyErr_Clear();
    }
    if (first_error) {
        PyErr_SetRaisedException(first_error.release());
        return -1;
    }
    return 0;
}

}  // namespace tsy::db
