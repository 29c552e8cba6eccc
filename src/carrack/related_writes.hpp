// save, update and the junction writes: one coroutine body per operation,
// driven to its end at once by ModelExecutor (nothing it calls returns an
// awaitable there) and handed out as a coroutine by AsyncModelExecutor. The
// body asks the executor's ExecutorRules wherever the two answer differently.
#pragma once

#include "async.hpp"
#include "bulk.hpp"
#include "executor_rules.hpp"

namespace tsy::exec {

// `task` run to its end now (its result), or its coroutine named `name` /
// `async_qualname` when the executor awaits its writes.
Ref start_body(coro::Task task, const ExecutorRules& rules, const char* name, const char* async_qualname) noexcept;

// In a body: `ref`, a write's result or its awaitable, becomes the result.
#define TSY_WRITTEN(ref, rules) TSY_BULK_RESOLVE(ref, (rules).awaits_writes)

// The many-to-many writes of instance[fk.name] on the executor's connection:
// the result (None), or its awaitable. Saving: the owner's junction rows are
// deleted, then each far element without its key is saved and gets one
// junction row; an element with its key is an existing row, linked as it is.
// Updating: each far element is updated (saved when it has no key), then the
// owner's junction rows are deleted and one is written per element.
Ref write_junction(PyObject* self, PyObject* fk, PyObject* instance, bool updating,
                   const ExecutorRules& rules) noexcept;

}  // namespace tsy::exec
