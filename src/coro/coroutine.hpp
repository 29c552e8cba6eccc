// The coroutine object of Tessary._coro: the one awaitable type that drives
// every C++ coroutine frame of the package.
#pragma once

#include "tessary/coro.hpp"

namespace tsy::coro {

// CREATED: nothing has run yet. SUSPENDED: the frame waits on shared->awaited.
// RUNNING: the frame or the iterator it delegates to is executing.
// DONE: finished, failed or closed; the frame is gone.
enum class State : int { Created, Suspended, Running, Done };

struct CoroutineObject {
    PyObject_HEAD
    void* frame;                 // owned std::coroutine_handle address; NULL once destroyed
    Shared* shared;              // lives in the frame's promise; NULL with frame
    const char* name;            // static storage
    const char* qualname;        // static storage
    PyObject* name_override;     // owned str set through __name__, or NULL
    PyObject* qualname_override; // owned str set through __qualname__, or NULL
    PyObject* weakrefs;
    State state;
};

extern PyTypeObject CoroutineType;

inline bool is_coroutine(PyObject* obj) noexcept { return Py_TYPE(obj) == &CoroutineType; }
inline CoroutineObject* as_coroutine(PyObject* obj) noexcept { return reinterpret_cast<CoroutineObject*>(obj); }

// driver.cpp: the state machine. Results follow PyIter_Send: *result is a new
// reference for PYGEN_NEXT and PYGEN_RETURN, NULL with the error set for PYGEN_ERROR.
PySendResult coro_send(CoroutineObject* self, PyObject* arg, PyObject** result) noexcept;
// `exc` is a borrowed exception instance.
PySendResult coro_throw(CoroutineObject* self, PyObject* exc, PyObject** result) noexcept;
int coro_close(CoroutineObject* self) noexcept;
// Destroys the frame (C++ destructors run) and drops what the shared state
// holds. The error indicator is preserved.
void destroy_frame(CoroutineObject* self) noexcept;

// The capsule's operations.
PyObject* wrap(void* frame, Shared* shared, const char* name, const char* qualname) noexcept;
PySendResult start_await(PyObject* awaitable, PyObject** iter, PyObject** out) noexcept;
void add_traceback(const char* file, int line, const char* function) noexcept;

// Interned method names, made by init_names() when the module is imported
// (the import fails if one cannot be made).
struct Names {
    PyObject* close;
    PyObject* throw_;
    PyObject* register_;
};
extern Names names;

// Fills `names`; -1 with the error set when one cannot be made.
int init_names() noexcept;

int ready_coroutine_type() noexcept;
int add_testing_functions(PyObject* module) noexcept;

}  // namespace tsy::coro
