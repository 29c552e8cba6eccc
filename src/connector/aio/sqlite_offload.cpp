// Awaiting a native connection's work on its worker thread
// (aio/sqlite_native.hpp). The awaiting task may be cancelled at any time:
// the work is then asked to stop, and the task goes on waiting until the
// worker has let the connection go -- an interrupted statement ends within
// milliseconds -- before the cancellation propagates, so that the connection
// is never in two threads' hands. A coroutine closed mid-way (no more awaits
// possible) stops the work and waits for it without the GIL.
#include "aio/sqlite_native.hpp"

namespace tsy::db::aio {
namespace {

// The box's items: the future awaited now, and the work's outcome
// (ok: True/False, payload: result or exception) once the worker posted it.
constexpr Py_ssize_t kBoxFuture = 0;
constexpr Py_ssize_t kBoxOk = 1;

bool outcome_posted(PyObject* box) noexcept;

// A frame destroyed before the outcome came (the coroutine closed): the
// work is stopped and waited for, and the box keeps no future, so that the
// outcome, when it comes, completes nothing nobody would read.
class StopUnlessFinished {
public:
    StopUnlessFinished(std::shared_ptr<OffloadWork> work, PyObject* box) noexcept
        : work_(std::move(work)), box_(box) {}
    StopUnlessFinished(const StopUnlessFinished&) = delete;
    StopUnlessFinished& operator=(const StopUnlessFinished&) = delete;
    ~StopUnlessFinished() {
        if (!work_->finished.load()) {
            work_->stop();
            work_->wait_finished();
        }
        if (!outcome_posted(box_)) PyList_SetItem(box_, kBoxFuture, Py_NewRef(Py_None));
    }

private:
    std::shared_ptr<OffloadWork> work_;
    PyObject* box_;  // borrowed: the frame's parameter outlives this local
};

Ref new_box() noexcept {
    Ref future = new_future();
    if (!future) return {};
    Ref box = steal(PyList_New(3));
    if (!box) return {};
    PyList_SET_ITEM(box.get(), kBoxFuture, future.release());
    PyList_SET_ITEM(box.get(), kBoxOk, Py_NewRef(Py_None));
    PyList_SET_ITEM(box.get(), kBoxOk + 1, Py_NewRef(Py_None));
    return box;
}

// Whether the worker's outcome has reached the box already.
bool outcome_posted(PyObject* box) noexcept { return PyList_GET_ITEM(box, kBoxOk) != Py_None; }

coro::Task offload_task(Ref con, std::shared_ptr<OffloadWork> work, Ref box, Ref cancellation = nullptr) {
    NativeSqliteState* state = native_state(con.get());
    if (!state) co_return fail(PyExc_RuntimeError, "the SQLite connection is closed");
    if (!state->worker && !(state->worker = start_worker())) co_return nullptr;
    if (submit_work(state->worker, work, box.get()) < 0) co_return nullptr;
    StopUnlessFinished stop_on_close(work, box.get());
    for (;;) {
        Ref got = co_await coro::await(PyList_GET_ITEM(box.get(), kBoxFuture));
        if (got || outcome_posted(box.get())) {
            if (!cancellation) co_return got;
            // The interrupted statement's own outcome: the cancellation stands.
            PyErr_Clear();
            PyErr_SetRaisedException(cancellation.release());
            co_return nullptr;
        }
        // The awaiting task gave up (cancelled) before the work ended: stop
        // the work and wait for it on a new future, then raise what came.
        cancellation = steal(PyErr_GetRaisedException());
        work->stop();
        Ref next = new_future();
        if (!next) co_return nullptr;
        if (PyList_SetItem(box.get(), kBoxFuture, next.release()) < 0) co_return nullptr;
    }
}

}  // namespace

PyObject* offload(PyObject* con, std::shared_ptr<OffloadWork> work) noexcept {
    Ref box = new_box();
    if (!box) return nullptr;
    return coro::make_coroutine(offload_task(borrow(con), std::move(work), std::move(box)), "execute");
}

}  // namespace tsy::db::aio
