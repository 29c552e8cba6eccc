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

// delete(instance, cascade=True) (cascade_delete.cpp): the instance's row and
// every row its one-to-one and one-to-many relations reach, recursively, and
// the junction rows of its many-to-many relations, in one transaction (the
// caller's when the executor is bound to a connection). The result of the
// instance's own delete, or its awaitable. A filter is a ValueError.
Ref cascade_delete(PyObject* self, PyObject* instance, PyObject* filter) noexcept;

// --- the walk over a graph of related instances (graph_write.cpp) ---------

// The record of the walk `self` takes part in (a dict of the instances
// visited, keyed by identity), or an empty Ref when it takes part in none
// (or with the error of reading it pending).
Ref walk_visits(PyObject* self) noexcept;
// 1 when `instance` was not in the record (it is now), 0 when it was, -1 on error.
int first_visit(PyObject* visits, PyObject* instance) noexcept;
// Takes `instance` out of the record again: 0, or -1 on error.
int forget_visit(PyObject* visits, PyObject* instance) noexcept;
// model.getExecutor() on self's connection, carrying the record of self's
// walk: the executor of a related row's write.
Ref walk_executor(PyObject* self, PyObject* model) noexcept;
// 1 when `instance`, a mapping, holds a value other than None (a truthy one
// when `truthy`) under one of the model's relation names, 0 when not (or not
// a mapping), -1 on error.
int writes_relations(PyObject* model, PyObject* instance, bool truthy) noexcept;
// How a save (`truthy`) or update of `instance` by `self` begins: `walk`, a
// new walk, when it writes related rows and self takes part in no walk;
// `visited` when self's walk has already written the instance (the write is
// answered with the instance, nothing sent); `plain` otherwise (the instance
// is recorded as visited when self takes part in a walk); `failed` with the
// error set.
enum class WalkStart { plain, walk, visited, failed };
WalkStart walk_start(PyObject* self, PyObject* instance, bool truthy) noexcept;
// `value` as the result of a write: itself, or an awaitable of it.
Ref answered(Ref value, const ExecutorRules& rules, const char* name, const char* async_qualname) noexcept;

// While it lives, `self` runs a walk on connection `con`: its statements go
// there and its related writes share a new record, in which `instance` is the
// first visit. The executor's own connection comes back at the end.
class WalkScope {
public:
    WalkScope(PyObject* self, PyObject* con, PyObject* instance) noexcept;
    ~WalkScope();
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;
    // False with the error set: the walk could not start.
    bool entered() const noexcept { return entered_; }

private:
    Ref self_;
    Ref previous_work_;
    bool installed_ = false;
    bool entered_ = false;
};

// A save or update of `instance` that writes related rows, as a walk: `job`
// on the executor's connection when it is bound to one, otherwise in one
// transaction of the handle (a savepoint of the caller's block when one is
// open). Its result, or its awaitable. The job's arguments are (instance,),
// or (instance, extra) when `extra` is given.
Ref start_walk(PyObject* self, PyObject* instance, bulk::Job job, const ExecutorRules& rules, const char* name,
               const char* async_qualname, PyObject* extra = nullptr) noexcept;

}  // namespace tsy::exec
