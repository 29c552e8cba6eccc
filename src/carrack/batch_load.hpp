// Batched relation loading (findListForeignKeyIn) of both executors: the
// related rows of a whole list of instances, one statement per relation and
// level (more only when the keys exceed a statement's parameter limit).
//
// A load has two phases. The fetch phase goes level by level: the bind
// values of every row of a level, de-duplicated per relation, go into
// `WHERE <column> IN (...)` statements, whose rows become the next level.
// It fetches every row the per-instance loader could ask for, ignoring its
// cache. The attach phase then walks the instances as findForeignKey does,
// with the same cache `path`, the same `before` rule and the same level
// bookkeeping, iteratively; where findForeignKey would run a query it takes
// the fetched rows of that relation and key, as new instances. The result is
// thus what findForeignKey gives on the same data, relation by relation.
#pragma once

#include <memory>
#include <vector>

#include "relations.hpp"

namespace tsy::exec::batch {

// The most keys one IN list carries: the parameter limit of the connector
// `model`'s statements run on, on `con` (NULL or None: its own
// connection), -1 on error.
Py_ssize_t default_chunk(PyObject* model, PyObject* con) noexcept;

// The arguments of findListForeignKeyIn(instances, deep=False, level=3, chunk=None, *, only=None).
struct Arguments {
    Ref instances;        // a list of ModelInstances
    bool deep = false;
    int level = 3;
    Py_ssize_t chunk = 0; // keys per statement
    Ref only;             // the relations the instances themselves load (names), or None: all
};
// Parses and checks them: TypeError naming what is wrong.
bool parse_arguments(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Arguments* out) noexcept;

class Plan;
void release(Plan* plan) noexcept;
struct PlanDeleter {
    void operator()(Plan* plan) const noexcept { release(plan); }
};
using PlanPtr = std::unique_ptr<Plan, PlanDeleter>;

// One load. `coroutine_rules` applies the coroutine executor's form of
// findForeignKey in the attach phase (a relation whose bind value is missing
// or None is left alone, an empty result leaves the entry untouched, ...).
// NULL with the error set when it cannot start.
PlanPtr make_plan(PyObject* self, Arguments args, bool coroutine_rules) noexcept;

// The next statement of the fetch phase: 1 with `run` set to what runs it
// (handle.executeSql(text, args=..., con=...): the rows, or an awaitable of
// them on a coroutine connector), 0 when the fetch phase is over, -1 on error.
int next_statement(Plan& plan, Ref* run) noexcept;
// Hands the rows of the statement last returned by next_statement to the plan.
bool take_rows(Plan& plan, PyObject* rows) noexcept;
// The attach phase.
bool attach(Plan& plan) noexcept;

}  // namespace tsy::exec::batch
