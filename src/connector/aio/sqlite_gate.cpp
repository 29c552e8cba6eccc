// The write gate of a database for the native connections of
// AioSqliteConnector: one writer at a time per database file (per connector
// for a database in memory) and per event loop. A writer that finds the gate
// taken waits in line on a future of its own, handed the gate first come
// first served, instead of polling SQLite's lock with sleeps. A connection
// keeps the gate until its transaction ends (aio/sqlite_native_driver.cpp).
//
// The gate only orders the writers of this process's loop: connections of
// other processes, threads or drivers still meet SQLite's lock and the busy
// timeout. Gates live while somebody holds or waits for them.
#include <deque>
#include <unordered_map>

#include "aio/sqlite_native.hpp"
#include "core/connector.hpp"
#include "core/engines.hpp"

namespace tsy::db::aio {

struct Gate {
    struct Waiter {
        Ref future;
        PyObject* con;  // borrowed: its state leaves the line before it goes
    };
    std::string key;
    PyObject* holder = nullptr;  // borrowed, as above
    std::deque<Waiter> line;
};

namespace {

// Never destroyed: static destructors run after the interpreter has gone.
std::unordered_map<std::string, Gate*>& gates() noexcept {
    static auto* all = new std::unordered_map<std::string, Gate*>;
    return *all;
}

void forget_if_idle(Gate* gate) noexcept {
    if (gate->holder || !gate->line.empty()) return;
    gates().erase(gate->key);
    delete gate;
}

void hand_over(Gate* gate) noexcept {
    while (!gate->line.empty()) {
        Gate::Waiter next = std::move(gate->line.front());
        gate->line.pop_front();
        NativeSqliteState* state = native_state(next.con);
        if (state) state->waiting = nullptr;
        Ref done = call_method(next.future.get(), names.done);
        if (!done || done.get() == Py_True || !state) {
            PyErr_Clear();
            continue;  // cancelled or timed out: it has gone its way
        }
        gate->holder = next.con;
        state->gate = gate;
        if (!call_method(next.future.get(), names.set_result, Py_True)) PyErr_Clear();
        return;
    }
    forget_if_idle(gate);
}

Gate* gate_on_loop(NativeSqliteState* state, PyObject* loop) noexcept {
    std::string key = state->database;
    key += '@';
    key += std::to_string(reinterpret_cast<std::uintptr_t>(loop));
    auto& all = gates();
    auto found = all.find(key);
    if (found != all.end()) return found->second;
    auto* gate = new Gate;
    gate->key = std::move(key);
    all.emplace(gate->key, gate);
    return gate;
}

// After blanks: "BEGIN" then "IMMEDIATE" or "EXCLUSIVE", any case.
bool begins_writing(const char* sql) noexcept {
    auto skip = [&sql] {
        while (*sql == ' ' || *sql == '\t' || *sql == '\n' || *sql == '\r' || *sql == '\f') ++sql;
    };
    skip();
    if (PyOS_strnicmp(sql, "begin", 5) != 0) return false;
    sql += 5;
    skip();
    return PyOS_strnicmp(sql, "immediate", 9) == 0 || PyOS_strnicmp(sql, "exclusive", 9) == 0;
}

PyObject* call_later_name = nullptr;
PyObject* cancel_name = nullptr;
PyObject* timeout_function = nullptr;

// A timer's end of a wait in line: the future completes with False.
PyObject* time_out(PyObject*, PyObject* future) noexcept {
    Ref done = call_method(future, names.done);
    if (!done) return nullptr;
    if (done.get() == Py_True) Py_RETURN_NONE;
    return call_method(future, names.set_result, Py_False).release();
}

PyMethodDef time_out_def = {"_gate_timeout", time_out, METH_O, "End a wait for a write gate."};

bool ready_names() noexcept {
    if (!call_later_name && !(call_later_name = intern("call_later"))) return false;
    if (!cancel_name && !(cancel_name = intern("cancel"))) return false;
    return timeout_function || (timeout_function = PyCFunction_New(&time_out_def, nullptr));
}

// Leaves the line unless the gate was handed over; stops the timer.
class LineGuard {
public:
    explicit LineGuard(PyObject* con) noexcept : con_(con) {}
    LineGuard(const LineGuard&) = delete;
    LineGuard& operator=(const LineGuard&) = delete;
    ~LineGuard() {
        if (timer_) call_keeping_error(timer_.get(), cancel_name);
        NativeSqliteState* state = native_state(con_);
        if (state && !state->gate) gate_abandon(con_);
    }
    void set_timer(Ref timer) noexcept { timer_ = std::move(timer); }

private:
    PyObject* con_;
    Ref timer_;
};

coro::Task gate_wait_task(Ref con, Ref future) {
    LineGuard guard(con.get());
    if (!ready_names()) co_return nullptr;
    Ref loop = running_loop();
    if (!loop) co_return nullptr;
    if (loop.get() == Py_None) co_return fail(PyExc_RuntimeError, "no running event loop");
    Ref delay = steal(PyFloat_FromDouble(busy_timeout(sqlite_settings_of(con.get()))));
    Ref timer = delay ? call_method(loop.get(), call_later_name, delay.get(), timeout_function, future.get()) : Ref();
    if (!timer) co_return nullptr;
    guard.set_timer(std::move(timer));
    Ref handed = co_await coro::await(future.get());
    if (!handed) co_return nullptr;
    co_return borrow(Py_None);  // timed out: the statement meets SQLite's lock
}

}  // namespace

PyObject* gate_wait(PyObject* con, Ref future) noexcept {
    return coro::make_coroutine(gate_wait_task(borrow(con), std::move(future)), "execute");
}

bool gated_text(PyObject* text) noexcept {
    if (sqlite_engine_writes(text)) return true;
    const char* sql = PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
    if (!sql) {
        PyErr_Clear();
        return false;
    }
    return begins_writing(sql);
}

Ref gate_enter(PyObject* con) noexcept {
    NativeSqliteState* state = native_state(con);
    if (!state) return fail(PyExc_RuntimeError, "the SQLite connection is closed");
    if (state->gate) return borrow(Py_None);
    Ref loop = running_loop();
    if (!loop) return {};
    if (loop.get() == Py_None) return fail(PyExc_RuntimeError, "no running event loop");
    Gate* gate = nullptr;
    try {
        gate = gate_on_loop(state, loop.get());
    } catch (...) {
        translate_exception();
        return {};
    }
    if (!gate->holder && gate->line.empty()) {
        gate->holder = con;
        state->gate = gate;
        return borrow(Py_None);
    }
    Ref future = new_future();
    if (!future) {
        forget_if_idle(gate);
        return {};
    }
    try {
        gate->line.push_back(Gate::Waiter{borrow(future.get()), con});
    } catch (...) {
        translate_exception();
        return {};
    }
    state->waiting = gate;
    return future;
}

void gate_try(PyObject* con) noexcept {
    NativeSqliteState* state = native_state(con);
    if (!state || state->gate || state->waiting) return;
    Ref loop = running_loop();
    Gate* gate = nullptr;
    try {
        if (loop && loop.get() != Py_None) gate = gate_on_loop(state, loop.get());
    } catch (...) {
        gate = nullptr;
    }
    PyErr_Clear();
    if (!gate || gate->holder || !gate->line.empty()) return;
    gate->holder = con;
    state->gate = gate;
}

void gate_abandon(PyObject* con) noexcept {
    NativeSqliteState* state = native_state(con);
    if (!state) return;
    if (state->gate) {
        gate_leave(con);
        return;
    }
    Gate* gate = state->waiting;
    if (!gate) return;
    state->waiting = nullptr;
    Ref pending = steal(PyErr_GetRaisedException());  // the waiter's entry may be the future's last owner
    for (auto it = gate->line.begin(); it != gate->line.end(); ++it) {
        if (it->con == con) {
            gate->line.erase(it);
            break;
        }
    }
    forget_if_idle(gate);
    PyErr_SetRaisedException(pending.release());
}

void gate_leave(PyObject* con) noexcept {
    NativeSqliteState* state = native_state(con);
    if (!state || !state->gate) return;
    Gate* gate = state->gate;
    state->gate = nullptr;
    gate->holder = nullptr;
    Ref pending = steal(PyErr_GetRaisedException());
    hand_over(gate);
    PyErr_SetRaisedException(pending.release());
}

}  // namespace tsy::db::aio
