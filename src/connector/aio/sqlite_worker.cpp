// The worker threads of AioSqliteConnector: one per connection, so that a
// statement never blocks the event loop. A worker waits for jobs without the
// GIL, takes it to call the sqlite3 module (which itself lets go of it while
// SQLite works), and completes the job's future on its loop through
// call_soon_threadsafe. Jobs of one connection run in the order submitted.
// The native driver's connections start one too, at their first statement
// that outlasts the loop's budget: its jobs carry the work to do (the rest
// of that statement on the native engine) instead of a sqlite3 connection.
//
// Workers are owned by a registry (touched only with the GIL held). A
// retired worker ends after its Close job and is joined by the next start or
// retirement; whatever is left is stopped and joined by an atexit hook, before
// the interpreter finalises (a thread that wanted the GIL after that would be
// ended by force).
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "aio/sqlite_native.hpp"

namespace tsy::db::aio {

struct Job {
    Op op = Op::Run;
    std::uint64_t id = 0;
    Ref future;  // empty: nobody waits for this job
    Ref loop;
    Ref text;
    Ref args;
    int mode = RUN_NONE;
    bool settle = false;
    std::shared_ptr<StatementTrace> trace;  // written here with the GIL held, read on the loop afterwards
    // A native connection's work; its outcome completes the future in
    // `future`, a one-item list (box) whose item may be replaced meanwhile.
    std::shared_ptr<OffloadWork> work;
};

class Worker {
public:
    void run_thread();
    void push(std::unique_ptr<Job> job);

    std::atomic<bool> finished{false};
    std::uint64_t running = 0;        // id of the job being performed (GIL)
    std::uint64_t next_id = 1;        // (GIL)
    bool retired = false;             // the Close job is queued (GIL)
    PyObject* connection = nullptr;   // owned sqlite3.Connection (GIL)
    OffloadWork* working = nullptr;   // the native work being performed (GIL)
    std::thread thread;

private:
    std::unique_ptr<Job> take();
    void perform(Job& job);
    Ref open(Job& job);
    Ref run_statement(Job& job);
    Ref close_connection();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<Job>> queue_;
};

namespace {

struct Registry {
    std::vector<Worker*> workers;
    bool shut_down = false;
};

Registry& registry() noexcept {
    static Registry r;
    return r;
}

PyObject* sqlite_connect = nullptr;   // sqlite3.connect, for the life of the process
PyObject* settle_function = nullptr;  // _settle_future below, for the life of the process

// Runs on the loop: completes `future` unless it was cancelled meanwhile.
PyObject* settle_future(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) return fail(PyExc_TypeError, "_settle_future() takes exactly 3 arguments");
    if (PyList_CheckExact(args[0]) && PyList_GET_SIZE(args[0]) == 3) {
        // The box of a native connection's work (aio/sqlite_offload.cpp):
        // the outcome is kept in it, then its current future completed.
        PyObject* box = args[0];
        if (PyList_SetItem(box, 1, Py_NewRef(args[1])) < 0 || PyList_SetItem(box, 2, Py_NewRef(args[2])) < 0) {
            return nullptr;
        }
        Ref future = borrow(PyList_GET_ITEM(box, 0));
        if (future.get() == Py_None) Py_RETURN_NONE;  // its awaiter has gone
        PyObject* again[3] = {future.get(), args[1], args[2]};
        return settle_future(nullptr, again, 3);
    }
    Ref done = call_method(args[0], names.done);
    int is_done = done ? truth(done.get()) : -1;
    if (is_done < 0) return nullptr;
    if (is_done) Py_RETURN_NONE;
    PyObject* method = args[1] == Py_True ? names.set_result : names.set_exception;
    return call_method(args[0], method, args[2]).release();
}

PyMethodDef settle_def = {"_settle_future", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(settle_future)),
                          METH_FASTCALL, "Complete a future from a worker's result unless it is done already."};

// Joins the workers that have ended.
void reap() noexcept {
    auto& workers = registry().workers;
    for (std::size_t i = 0; i < workers.size();) {
        Worker* w = workers[i];
        if (!w->finished.load()) {
            ++i;
            continue;
        }
        if (w->thread.joinable()) w->thread.join();
        delete w;
        workers[i] = workers.back();
        workers.pop_back();
    }
}

PyObject* shutdown(PyObject*, PyObject*) noexcept {
    Registry& r = registry();
    if (r.shut_down) Py_RETURN_NONE;
    for (Worker* w : r.workers) {
        if (w->running && w->connection) call_keeping_error(w->connection, names.interrupt);
        if (w->working) w->working->stop();
        if (!w->retired) Py_XDECREF(submit(w, Op::Close, nullptr, nullptr, RUN_NONE, false, false));
        PyErr_Clear();
    }
    r.shut_down = true;
    Py_BEGIN_ALLOW_THREADS
    for (Worker* w : r.workers) {
        if (w->thread.joinable()) w->thread.join();
    }
    Py_END_ALLOW_THREADS
    for (Worker* w : r.workers) delete w;
    r.workers.clear();
    Py_RETURN_NONE;
}

PyMethodDef shutdown_def = {"_stop_sqlite_workers", shutdown, METH_NOARGS,
                            "Stop and join the worker threads of AioSqliteConnector (registered with atexit)."};

}  // namespace

void Worker::push(std::unique_ptr<Job> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

std::unique_ptr<Job> Worker::take() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !queue_.empty(); });
    std::unique_ptr<Job> job = std::move(queue_.front());
    queue_.pop_front();
    return job;
}

// Not noexcept: a thread ended by force must be able to unwind.
void Worker::run_thread() {
    PyGILState_STATE gil = PyGILState_Ensure();
    for (bool last = false; !last;) {
        std::unique_ptr<Job> job;
        Py_BEGIN_ALLOW_THREADS
        job = take();
        Py_END_ALLOW_THREADS
        last = job->op == Op::Close;
        perform(*job);
        job.reset();  // its references go with the GIL held
    }
    PyGILState_Release(gil);
    finished.store(true);
}

Ref Worker::open(Job& job) {
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return {};
    Ref con = steal(PyObject_Call(sqlite_connect, empty.get(), job.args.get()));
    if (!con) return {};
    // The statements run right after opening (a list: shared-cache reads, pragmas).
    Py_ssize_t count = job.text && PyList_Check(job.text.get()) ? PyList_GET_SIZE(job.text.get()) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!steal(run_on(con.get(), PyList_GET_ITEM(job.text.get(), i), Py_None, RUN_NONE))) {
            call_keeping_error(con.get(), names.close);
            return {};
        }
    }
    set_field(connection, con.get());
    return borrow(Py_None);
}

// A pooled statement commits its own work, and a failed one leaves no
// transaction open behind it.
Ref Worker::run_statement(Job& job) {
    running = job.id;
    Ref result = steal(run_on(connection, job.text.get(), job.args.get(), job.mode, job.trace.get()));
    running = 0;
    if (!job.settle) return result;
    return steal(commit_or_rollback(connection, std::move(result)));
}

Ref Worker::close_connection() {
    Ref con = steal(connection);
    connection = nullptr;
    if (!con) return borrow(Py_None);
    return call_method(con.get(), names.close);
}

void Worker::perform(Job& job) {
    Ref result;
    if (job.work) {
        working = job.work.get();
        result = job.work->run();
        working = nullptr;
        job.work->mark_finished();
    } else if (job.op == Op::Open) {
        result = open(job);
    } else if (job.op == Op::Close) {
        result = close_connection();
    } else if (!connection) {
        fail(PyExc_RuntimeError, "the SQLite connection is closed");
    } else if (job.op == Op::Run) {
        result = run_statement(job);
    } else if (job.op == Op::Begin) {
        result = steal(run_on(connection, names.begin_sql, Py_None, RUN_NONE));
    } else if (job.op == Op::OpenCursor) {
        result = open_cursor(connection, job.text.get(), job.args.get());
    } else if (job.op == Op::Fetch) {
        result = cursor_step(job.text.get(), job.args.get());
    } else {
        result = call_method(connection, job.op == Op::Commit ? names.commit : names.rollback);
    }
    if (!job.future) {
        if (!result) PyErr_Clear();  // nobody waits: a give-back's rollback that failed
        return;
    }
    if (!result && !PyErr_Occurred()) fail(PyExc_SystemError, "a SQLite worker's job failed without an error");
    PyObject* ok = result ? Py_True : Py_False;
    Ref payload = result ? std::move(result) : steal(PyErr_GetRaisedException());
    if (!payload) return;
    Ref posted = call_method(job.loop.get(), names.call_soon_threadsafe, settle_function, job.future.get(), ok,
                             payload.get());
    if (!posted) PyErr_Clear();  // the loop is closed: nobody can wait for the result any more
}

Worker* start_worker() noexcept {
    Registry& r = registry();
    if (r.shut_down) {
        fail(PyExc_RuntimeError, "the interpreter is shutting down");
        return nullptr;
    }
    reap();
    if (!sqlite_connect) {
        sqlite_connect = import_attr("sqlite3", "connect").release();
        if (!sqlite_connect) return nullptr;
    }
    auto* w = new (std::nothrow) Worker;
    if (!w) {
        PyErr_NoMemory();
        return nullptr;
    }
    try {
        r.workers.push_back(w);
    } catch (...) {
        delete w;
        PyErr_NoMemory();
        return nullptr;
    }
    try {
        w->thread = std::thread([w] { w->run_thread(); });
    } catch (const std::system_error&) {
        r.workers.pop_back();
        delete w;
        fail(PyExc_RuntimeError, "can't start a worker thread for the SQLite connection");
        return nullptr;
    }
    return w;
}

std::uint64_t next_job(Worker* worker) noexcept { return worker->next_id; }

PyObject* submit(Worker* worker, Op op, PyObject* text, PyObject* args, int mode, bool settle, bool wait,
                 std::shared_ptr<StatementTrace> trace) noexcept {
    if (registry().shut_down || !worker || worker->retired) {
        return fail(PyExc_RuntimeError, "the SQLite connection is closed");
    }
    std::unique_ptr<Job> job(new (std::nothrow) Job);
    if (!job) return PyErr_NoMemory();
    if (wait) {
        Ref loop = running_loop();
        if (!loop) return nullptr;
        if (loop.get() == Py_None) return fail(PyExc_RuntimeError, "no running event loop");
        job->future = new_future();
        if (!job->future) return nullptr;
        job->loop = std::move(loop);
    }
    job->op = op;
    job->id = worker->next_id++;
    job->text = borrow(text);
    job->args = borrow(args);
    job->mode = mode;
    job->settle = settle;
    job->trace = std::move(trace);
    Ref result = wait ? borrow(job->future.get()) : borrow(Py_None);
    if (op == Op::Close) worker->retired = true;
    try {
        worker->push(std::move(job));
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    return result.release();
}

PyObject* retire(Worker* worker, bool wait) noexcept {
    if (registry().shut_down || !worker) Py_RETURN_NONE;
    if (worker->retired) Py_RETURN_NONE;
    PyObject* done = submit(worker, Op::Close, nullptr, nullptr, RUN_NONE, false, wait);
    reap();
    return done;
}

int submit_work(Worker* worker, std::shared_ptr<OffloadWork> work, PyObject* box) noexcept {
    if (registry().shut_down || !worker || worker->retired) {
        fail(PyExc_RuntimeError, "the SQLite connection is closed");
        return -1;
    }
    std::unique_ptr<Job> job(new (std::nothrow) Job);
    if (!job) {
        PyErr_NoMemory();
        return -1;
    }
    job->loop = running_loop();
    if (!job->loop) return -1;
    if (job->loop.get() == Py_None) {
        fail(PyExc_RuntimeError, "no running event loop");
        return -1;
    }
    job->future = borrow(box);
    job->id = worker->next_id++;
    job->work = std::move(work);
    try {
        worker->push(std::move(job));
    } catch (...) {
        translate_exception();
        return -1;
    }
    return 0;
}

void OffloadWork::mark_finished() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished.store(true);
    }
    done_.notify_all();
}

void OffloadWork::wait_finished() noexcept {
    if (finished.load()) return;
    Py_BEGIN_ALLOW_THREADS
    {
        // Let go before the GIL is taken back: the worker marks with the GIL held.
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return finished.load(); });
    }
    Py_END_ALLOW_THREADS
}

void interrupt(Worker* worker, std::uint64_t id) noexcept {
    if (registry().shut_down || !worker || worker->running != id || !worker->connection) return;
    call_keeping_error(worker->connection, names.interrupt);
}

int ready_workers() noexcept {
    if (!settle_function) settle_function = PyCFunction_New(&settle_def, nullptr);
    if (!settle_function) return -1;
    Ref stop = steal(PyCFunction_New(&shutdown_def, nullptr));
    Ref atexit_register = import_attr("atexit", "register");
    if (!stop || !atexit_register) return -1;
    return call(atexit_register.get(), stop.get()) ? 0 : -1;
}

}  // namespace tsy::db::aio
