// The read operations that answer with numbers and plain rows instead of
// model instances: count, exists, aggregate and values (reads.cpp). One
// definition serves both executors: the statement is made on the pending
// builder and sent through the handle at the call; the synchronous executor
// shapes the rows at once, the coroutine executor once it has awaited them.
#pragma once

#include "carrack.hpp"

namespace tsy::exec::reads {

template <bool Async>
PyObject* count_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <bool Async>
PyObject* exists_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <bool Async>
PyObject* aggregate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <bool Async>
PyObject* values_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tsy::exec::reads
