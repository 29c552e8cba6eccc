// Internal declarations of AsyncModelExecutor, the coroutine executor
// (async_*.cpp). Its methods check their arguments when called and return a
// coroutine of Tessary._coro; nothing else runs before it is awaited.
#pragma once

#include "relations.hpp"
#include "tessary/coro.hpp"

namespace tsy::exec {

extern PyTypeObject AsyncModelExecutorType;

// Readies the type and binds what only the coroutine forms use: the
// coroutine type and sqlite3.IntegrityError.
int ready_async_executor() noexcept;

namespace async {

// The driver errors that turn save's INSERT into an update: pymysql's and sqlite3's.
bool integrity_error_pending() noexcept;


// Requires an executor obtained from a model to be an AsyncModelExecutor (or None).
bool check_executor(PyObject* exc) noexcept;

// A coroutine of `task` named after the method, as the interpreter shows it.
PyObject* coroutine(coro::Task task, const char* name, const char* qualname) noexcept;

PyObject* execute_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findOneBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findListForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findListForeignKeyIn_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace async
}  // namespace tsy::exec
