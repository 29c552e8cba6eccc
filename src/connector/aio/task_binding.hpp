// Connections bound to an asyncio task (aio/task_binding.cpp).
//
// A transaction block (AioTransaction) or a scope (AioScope) entered in a
// task lends that task one connection of its connector: the statements the
// task runs on that connector without a connection go to it. The binding
// lives in a context variable, as the synchronous blocks bind to their
// thread, so it follows the task through its awaits and nothing else.
//
// The variable holds a dict {connector: (task, block)}, replaced, never
// changed in place (a copied context keeps what it saw). Tasks created inside
// a block inherit a copy of the context: the entry names the task that
// entered the block, and any other task ignores it, so a connection is never
// used by two tasks at once. The entry holds the block weakly: a block
// dropped without its exit gives its connection back, and the task's
// statements go to the pool again.
#pragma once

#include "aio/aio_connector.hpp"

namespace tsy::db::aio {

// The head both block types share.
struct TaskBlockObject {
    PyObject_HEAD
    PyObject* connector;
    PyObject* con;    // the connection while the block is entered, else NULL
    PyObject* outer;  // the connector's entry the block replaced in the context, or NULL
    int level;        // kScopeLevel for a scope; 0: a transaction; n > 0: its savepoint sp_<n>
    PyObject* weakrefs;  // the context's entries refer to the block weakly
};

inline constexpr int kScopeLevel = -1;

inline TaskBlockObject* as_block(PyObject* obj) noexcept { return reinterpret_cast<TaskBlockObject*>(obj); }

// The running task, or None outside one (and outside a running loop).
Ref current_task() noexcept;

// The connector's entry in the current context (borrowed, whichever task
// made it), or NULL; -1 on error.
int context_entry(PyObject* connector, PyObject** entry) noexcept;

// The block an entry names (borrowed), or NULL once it is gone; -1 on error.
int entry_block(PyObject* entry, PyObject** block) noexcept;

// The block that lends the running task a connection of `connector`
// (borrowed), or NULL when none does; -1 on error.
int bound_block(PyObject* connector, PyObject** block) noexcept;

// Binds the running task to `block` (entered, `con` set): the connector's
// entry in the context becomes (task, block). -1 on error.
int bind_block(PyObject* connector, PyObject* task, PyObject* block) noexcept;

// Puts back the entry a block replaced (`outer`, NULL: none). Keeps a
// pending error; a failure to do so is dropped (the entry left names a
// block whose connection is gone, which lookups skip).
void restore_entry(PyObject* connector, PyObject* outer) noexcept;

// The GC slots of the shared head; release_block is the end of a dealloc
// (once the block has given back what it holds).
int traverse_block(PyObject* self, visitproc visit, void* arg) noexcept;
int clear_block(PyObject* self) noexcept;
void release_block(PyObject* self) noexcept;

// At the exit of a block that raised, when ending its connection's work
// failed too (the connection lost): that error is dropped, for the block's
// own exception to propagate (False, as __aexit__ returns it); a
// cancellation still wins (NULL with it set).
Ref keep_block_error() noexcept;

}  // namespace tsy::db::aio
