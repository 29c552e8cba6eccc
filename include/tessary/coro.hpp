// Coroutine methods written as C++20 coroutines.
//
// Every coroutine method of the package is a C++ coroutine returning
// `tsy::coro::Task`, wrapped into the one awaitable type of the package
// (Tessary._coro.Coroutine) by `make_coroutine`:
//
//     tsy::coro::Task find_one(tsy::Ref self, tsy::Ref filter) {
//         tsy::Ref rows = co_await tsy::coro::await(tsy::call_method(self.get(), name, filter.get()));
//         if (!rows) co_return nullptr;          // the error indicator is set: propagate it
//         co_return rows;
//     }
//
//     PyObject* findOneBy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//         ... parse and check the arguments here: errors surface at the call ...
//         return tsy::coro::make_coroutine(find_one(tsy::borrow(self), tsy::borrow(args[0])),
//                                          "findOneBy", "AsyncModelExecutor.findOneBy");
//     }
//
// and, once in the module's init function, before any coroutine is made:
//
//     if (!tsy::coro::import_coro_api()) return nullptr;
//
// Rules of the game:
// - Nothing runs before the first `send` (like `async def`), so parameters must
//   own what they refer to: take `tsy::Ref`, never `PyObject*` or references
//   (a `PyObject*` parameter does not compile).
// - Every `tsy::Ref` parameter is visible to the garbage collector while the
//   frame lives; locals are not. Keep anything that may point back to the
//   coroutine (self, instances, containers) in a `Ref` parameter; for an object
//   made inside the body, add a parameter `tsy::Ref rows = nullptr` and assign
//   to it.
// - `co_await tsy::coro::await(x)` awaits any Python awaitable like `yield from`
//   and yields an owned `Ref`, empty with the error indicator set on failure.
//   `x` may be a borrowed `PyObject*` or a `Ref`; an empty one (the call that
//   made it failed) gives an empty result at once. `await` is the only thing
//   a Task can `co_await`.
// - `co_return` a `Ref` (a result) or `nullptr` (the error indicator is set).
//   A C++ exception escaping the body becomes MemoryError (std::bad_alloc) or
//   SystemError.
// - Cancellation and close arrive as errors of the pending `co_await`
//   (CancelledError) or as destruction of the frame (close, an abandoned
//   coroutine): C++ destructors are the cleanup.
#pragma once

#include <coroutine>
#include <type_traits>

#include "py.hpp"

namespace tsy::coro {

// ---------------------------------------------------------------------------
// Binary interface shared with Tessary._coro
// ---------------------------------------------------------------------------

inline constexpr int kMaxRefs = 8;

// What a frame and the coroutine object that drives it share. It lives in the
// promise, so exactly as long as the frame.
struct Shared {
    PyObject* awaited = nullptr;   // owned: iterator the frame is suspended on
    PyObject* yielded = nullptr;   // owned: its first value, taken by the driver when the frame suspends
    PyObject* sent = nullptr;      // owned: what the pending co_await evaluates to; NULL: the error indicator is set
    PyObject* result = nullptr;    // owned: the return value once done; NULL when the coroutine raised
    int done = 0;
    int nrefs = 0;
    Ref* refs[kMaxRefs] = {};      // the frame's Ref parameters, visited by tp_traverse
};

inline constexpr std::uint32_t CORO_API_VERSION = 1;
inline constexpr const char* CORO_CAPSULE = "Tessary._coro._C_API";

struct CoroApi {
    ApiHeader header;
    std::uint32_t shared_size;  // sizeof(Shared): frames of every module must agree on it
    PyTypeObject* Coroutine;
    // Makes the coroutine object for a frame suspended before its first
    // statement. Takes over the frame in every case (it is destroyed on
    // failure). Names must have static storage.
    PyObject* (*wrap)(void* frame, Shared* shared, const char* name, const char* qualname);
    // Starts awaiting `awaitable` (borrowed) by sending it None: PYGEN_RETURN
    // with *out the value, PYGEN_ERROR with the error indicator set, or
    // PYGEN_NEXT with *out the first value to yield and *iter the iterator to
    // suspend on (new references).
    PySendResult (*start_await)(PyObject* awaitable, PyObject** iter, PyObject** out);
    // Adds a traceback entry "file", line N, in function for the error being raised.
    void (*add_traceback)(const char* file, int line, const char* function);
};

// One pointer per extension module: hidden whatever the build flags, so that
// every module of the package holds its own copy (set by its own init).
[[gnu::visibility("hidden")]] inline const CoroApi* api = nullptr;

inline bool import_coro_api() noexcept {
    if (api) return true;
    const CoroApi* imported = import_api<CoroApi>(CORO_CAPSULE, CORO_API_VERSION);
    if (!imported) return false;
    if (imported->shared_size != sizeof(Shared)) {
        fail(PyExc_ImportError, "%s: binary interface mismatch (rebuild the package)", CORO_CAPSULE);
        return false;
    }
    api = imported;
    return true;
}

// ---------------------------------------------------------------------------
// The coroutine type of C++ code
// ---------------------------------------------------------------------------

class Awaiter;

template <typename T>
inline constexpr bool is_borrowed_pointer = std::is_pointer_v<std::remove_cvref_t<T>> &&
    std::is_base_of_v<PyObject, std::remove_cv_t<std::remove_pointer_t<std::remove_cvref_t<T>>>>;

// Owner of a frame until `make_coroutine` hands it to a coroutine object.
class [[nodiscard]] Task {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    struct promise_type {
        Shared shared;

        // Receives the frame's copies of the parameters: records the owned
        // references so that the garbage collector sees them.
        template <typename... A>
        explicit promise_type(A&... params) noexcept {
            static_assert((!is_borrowed_pointer<A> && ...),
                          "coroutine parameters must own their references: take tsy::Ref, not PyObject*");
            static_assert((0 + ... + int(std::is_same_v<A, Ref>)) <= kMaxRefs, "too many Ref parameters");
            (remember(params), ...);
        }

        // Frames come from the interpreter's allocator: small ones are cheap
        // and any leak shows in sys.getallocatedblocks().
        static void* operator new(std::size_t size) noexcept { return PyMem_Malloc(size); }
        static void operator delete(void* frame) noexcept { PyMem_Free(frame); }
        static Task get_return_object_on_allocation_failure() noexcept { return Task(); }

        Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref result) noexcept {
            shared.result = result.release();
            shared.done = 1;
        }
        void unhandled_exception() noexcept {
            translate_exception();
            shared.done = 1;
        }

        Awaiter&& await_transform(Awaiter&& awaiter) noexcept { return static_cast<Awaiter&&>(awaiter); }
        template <typename T>
        void await_transform(T&&) = delete;  // only tsy::coro::await(...) can be awaited

    private:
        void remember(Ref& ref) noexcept { shared.refs[shared.nrefs++] = &ref; }
        template <typename T>
        void remember(T&) noexcept {}
    };

    Task() noexcept = default;
    Task(Task&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (handle_) handle_.destroy();
    }

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    Handle release() noexcept {
        Handle h = handle_;
        handle_ = nullptr;
        return h;
    }

private:
    explicit Task(Handle handle) noexcept : handle_(handle) {}
    Handle handle_;
};

// The awaiter of `co_await tsy::coro::await(x)`. The first step runs eagerly
// in await_ready, so an awaitable that is already complete costs no
// suspension at all.
class [[nodiscard]] Awaiter {
public:
    Awaiter(Ref awaitable, const char* file, int line, const char* function) noexcept
        : awaitable_(std::move(awaitable)), file_(file), function_(function), line_(line) {}
    // g++ moves the awaiter into the frame; a move before await_ready is all there is.
    Awaiter(Awaiter&&) noexcept = default;
    Awaiter& operator=(Awaiter&&) = delete;

    bool await_ready() noexcept {
        if (!awaitable_) {
            note_error();
            return true;
        }
        PyObject* iter = nullptr;
        PyObject* out = nullptr;
        PySendResult status = api->start_await(awaitable_.get(), &iter, &out);
        awaitable_.reset();
        if (status == PYGEN_NEXT) {
            iter_ = steal(iter);
            first_ = steal(out);
            return false;
        }
        value_ = steal(out);
        if (status == PYGEN_ERROR) note_error();
        return true;
    }

    void await_suspend(Task::Handle frame) noexcept {
        shared_ = &frame.promise().shared;
        shared_->awaited = iter_.release();
        shared_->yielded = first_.release();
    }

    Ref await_resume() noexcept {
        if (shared_) {
            value_ = steal(shared_->sent);
            shared_->sent = nullptr;
            if (!value_) note_error();
        }
        return std::move(value_);
    }

private:
    void note_error() noexcept { api->add_traceback(file_, line_, function_); }

    Ref awaitable_;
    Ref iter_;
    Ref first_;
    Ref value_;
    Shared* shared_ = nullptr;
    const char* file_;
    const char* function_;
    int line_;
};

// Awaits any Python awaitable (borrowed); NULL gives an empty result at once
// with the error that made it NULL.
inline Awaiter await(PyObject* awaitable, const char* file = __builtin_FILE(), int line = __builtin_LINE(),
                     const char* function = __builtin_FUNCTION()) noexcept {
    return Awaiter(borrow(awaitable), file, line, function);
}

inline Awaiter await(Ref awaitable, const char* file = __builtin_FILE(), int line = __builtin_LINE(),
                     const char* function = __builtin_FUNCTION()) noexcept {
    return Awaiter(std::move(awaitable), file, line, function);
}

// Wraps a task into a new coroutine object named `name` (`__name__`) and
// `qualname` (`__qualname__`, defaults to `name`); both must be string
// literals or otherwise live forever. NULL with MemoryError when the frame
// could not be allocated.
inline PyObject* make_coroutine(Task task, const char* name, const char* qualname = nullptr) noexcept {
    Task::Handle frame = task.release();
    if (!frame) return PyErr_NoMemory();
    if (!api) {
        frame.destroy();
        return fail(PyExc_SystemError, "tsy::coro::import_coro_api() was not called by this module's init");
    }
    return api->wrap(frame.address(), &frame.promise().shared, name, qualname ? qualname : name);
}

}  // namespace tsy::coro
