// Traceback entries for C++ await sites: an error that passes a co_await gets
// a line "src/<dir>/<file>.cpp", line N, in <function>, like a Python frame.
#include <cstring>

#include "coroutine.hpp"

#include <frameobject.h>

namespace tsy::coro {
namespace {

// Process-lifetime caches, never released (they must not be touched by C++
// static destructors, which run after the interpreter is gone).
PyObject* site_codes = nullptr;  // {(file address, line): code object}
PyObject* site_globals = nullptr;

// The path from the project's source folder on, whatever the build's absolute
// path was.
const char* short_path(const char* file) noexcept {
    const char* best = nullptr;
    for (const char* marker : {"/src/", "/include/", "/tests/"}) {
        const char* found = std::strstr(file, marker);
        if (found && (!best || found < best)) best = found;
    }
    return best ? best + 1 : file;
}

// One code object per await site: made on the first error there, then reused.
PyObject* site_code(const char* file, int line, const char* function) noexcept {
    if (!site_codes && !(site_codes = PyDict_New())) return nullptr;
    Ref key = steal(Py_BuildValue("(Ni)", PyLong_FromVoidPtr(const_cast<char*>(file)), line));
    if (!key) return nullptr;
    PyObject* code = nullptr;
    if (PyDict_GetItemRef(site_codes, key.get(), &code) != 0) return code;
    Ref made = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(short_path(file), function, line)));
    if (!made || PyDict_SetItem(site_codes, key.get(), made.get()) < 0) return nullptr;
    return made.release();
}

PyObject* frame_for(const char* file, int line, const char* function) noexcept {
    if (!site_globals && !(site_globals = PyDict_New())) return nullptr;
    Ref code = steal(site_code(file, line, function));
    if (!code) return nullptr;
    PyCodeObject* as_code = reinterpret_cast<PyCodeObject*>(code.get());
    return reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), as_code, site_globals, nullptr));
}

}  // namespace

// Best effort: when the entry cannot be made, the error goes on without it.
void add_traceback(const char* file, int line, const char* function) noexcept {
    Ref error = steal(PyErr_GetRaisedException());
    if (!error) return;
    Ref frame = steal(frame_for(file, line, function));
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(error.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tsy::coro
