// The connections of a synchronous connector, one per thread that uses it.
//
// A thread's connection lives in a ThreadConnectionObject stored in the
// connector's threading.local: no other thread ever finds it there, and the
// interpreter drops it when its thread ends, whose dealloc then closes the
// connection. The registry shared by the connector and its thread
// connections lists them all (for close()) and counts the open ones against
// maxConnections. Its list and counts are changed with the GIL held; the
// count is also read by threads waiting for a free slot without the GIL,
// hence its mutex.
#include "core/connector.hpp"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace tsy::db {

struct ThreadRegistry {
    int refs = 1;                            // the connector and each thread connection
    ThreadConnectionObject* first = nullptr;  // every live thread connection
    std::mutex lock;                          // guards `open` and `limit`
    std::condition_variable freed;
    int open = 0;               // connections open or being opened
    int limit = 0;              // maxConnections; 0 for no bound
    double wait_seconds = 30.0;  // acquireTimeout
};

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

// One slot for a new connection; waits without the GIL while every slot is taken.
bool take_slot(ThreadRegistry* r) noexcept {
    {
        std::lock_guard<std::mutex> guard(r->lock);
        if (has_room(r)) {
            ++r->open;
            return true;
        }
    }
    const double seconds = r->wait_seconds;
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        bool got = false;
        bool late = false;
        Py_BEGIN_ALLOW_THREADS
        {
            // The mutex is let go before the GIL is taken again: a thread
            // holding the GIL may be waiting for it.
            std::unique_lock<std::mutex> guard(r->lock);
            auto until = std::min(deadline, std::chrono::steady_clock::now() + kWaitSlice);
            got = r->freed.wait_until(guard, until, [r] { return has_room(r); });
            if (got) ++r->open;
            late = !got && std::chrono::steady_clock::now() >= deadline;
        }
        Py_END_ALLOW_THREADS
        if (got) return true;
        if (PyErr_CheckSignals() < 0) return false;
        if (late) {
            int limit;
            {
                std::lock_guard<std::mutex> guard(r->lock);
                limit = r->limit;
            }
            Ref waited = steal(PyFloat_FromDouble(seconds));
            if (!waited) return false;
            fail(PyExc_TimeoutError,
                 "no connection free within %R s: the connector's %d connections (maxConnections) are all "
                 "held by other threads",
                 waited.get(), limit);
            return false;
        }
    }
}

void give_slot(ThreadRegistry* r) noexcept {
    {
        std::lock_guard<std::mutex> guard(r->lock);
        if (r->open > 0) --r->open;
    }
    r->freed.notify_one();
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

// The connection is closed where it is dropped: at the end of its thread, or
// when the connector goes. A failing close (the server is gone) says nothing
// worth reporting.
int tc_clear(PyObject* self) noexcept {
    ThreadConnectionObject* s = as_thread_con(self);
    if (!s->registry) return 0;
    Ref pending = steal(PyErr_GetRaisedException());
    if (close_connection(s) < 0) PyErr_Clear();
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

int init_limits(PyObject* self, PyObject* max_connections, PyObject* acquire_timeout) noexcept {
    Ref wait = acquire_timeout ? borrow(acquire_timeout) : steal(PyFloat_FromDouble(kDefaultWait));
    if (!wait) return -1;
    return set_limits(as_connector(self), max_connections ? max_connections : Py_None, wait.get());
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

PyObject* thread_connection(PyObject* self, ThreadConnectionObject* s) noexcept {
    if (s->con) return s->con;
    ThreadRegistry* r = s->registry;
    if (!take_slot(r)) return nullptr;
    // connect() is looked up on the object: Python subclasses open their own kind.
    Ref con = call_method(self, names.connect);
    if (!con || s->con) {  // failed, or connect() re-entered and opened one itself
        give_slot(r);
        return con ? s->con : nullptr;
    }
    s->con = con.release();
    s->counted = 1;
    // A connection of the shared in-memory database reads what the other
    // threads have not committed yet, instead of failing on their table locks.
    if (as_connector(self)->shared && run_on_thread(s, names.shared_reads_sql) < 0) {
        Ref pending = steal(PyErr_GetRaisedException());
        if (close_connection(s) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
        return nullptr;
    }
    return s->con;
}

PyObject* own_connection(PyObject* self) noexcept {
    Ref state = thread_state(self);
    if (!state) return nullptr;
    // Borrowed: the thread's local holds the state, the state its connection.
    return thread_connection(self, as_thread_con(state.get()));
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
