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
PyObject* saveOTO_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* saveOTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* saveMTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The parts every many-to-many write needs, as one tuple so that a
// coroutine keeps them in a single garbage-collected parameter: the far
// model's and the junction model's executors on the executor's connection,
// the junction columns of the owner and of the far side, the far rows'
// referenced column, the owner's bind value and the filter on it.
enum JunctionPart : int {
    TARGET_EXC, MIDDLE_EXC, OWNER_COLUMN, FAR_COLUMN, FAR_KEY, OWNER_VALUE, OWNER_FILTER, JUNCTION_PARTS
};
Ref junction_parts(PyObject* self, PyObject* fk, PyObject* instance) noexcept;

// Awaitable of the many-to-many writes of `elements` (a list), in the
// synchronous writer's way for the elements (one carrying its key is an
// existing row: linked as it is when saving, updated when updating; one
// without is saved). Saving: the owner's junction rows are deleted, then each
// element is written followed by its junction row. Updating: every element
// is written, then the junction rows are deleted and written anew.
PyObject* write_junction(PyObject* junction, PyObject* elements, bool updating) noexcept;

}  // namespace async
}  // namespace tsy::exec
