// Helpers of the relation operations (foreign-key loading, relation saving,
// relation-aware update).
#pragma once

#include "carrack.hpp"

namespace tsy::exec {

// model.getExecutor(), or model.getExecutor(work) when `work` is given.
Ref get_executor(PyObject* model, PyObject* work = nullptr) noexcept;

// Whether the models `from` (NULL: none) and `to` are stored in the same
// database, their statements going to the same connector; false with
// ValueError naming both when they are not (a relation cannot join them).
bool same_database(PyObject* from, PyObject* to) noexcept;

// An executor of `model` for the rows related to what `self` loads:
// model.getExecutor(work) when `self` is bound to a connection (its `work` is
// truthy, as execute decides), model.getExecutor() otherwise. A load inside a
// transaction thus sees the rows the transaction wrote, and does not wait for
// a pooled connection while it holds one.
Ref related_executor(PyObject* self, PyObject* model) noexcept;

// One level of relation loading, nested in the level that loaded its
// instance. It holds `units` of the interpreter's C recursion budget while it
// lives (what its own native frames take of the C stack), and it starts only
// when a further margin is free for the statements it runs: the drivers' code
// then never meets the recursion limit half way through reading a result
// (which can leave a connection unusable, or a reader's buffer locked). A load
// that would go deeper ends in RecursionError here, between two statements.
class LevelRoom {
public:
    explicit LevelRoom(int units) noexcept;
    ~LevelRoom();
    LevelRoom(const LevelRoom&) = delete;
    LevelRoom& operator=(const LevelRoom&) = delete;
    // False with RecursionError set: no room for this level.
    bool entered() const noexcept { return entered_; }

private:
    int units_;
    bool entered_ = false;
};

// The attribute under which an executor taking part in a relation save or
// update holds the record of the instances visited (graph_write.cpp).
PyObject* walk_key() noexcept;

// obj.<first>.<second> (e.g. fk.bindCol.name).
Ref attr2(PyObject* obj, PyObject* first, PyObject* second) noexcept;

// The junction of a many-to-many relation as its loads and writes reach it.
// A relation declared with middleCols names its junction columns itself and
// carries the far model's relation into the junction (fk.farLink); the
// others follow the naming convention: far.<owner table> and the junction's
// <owner table>_id, and the far side from middleModel.getOtherFkBy(owner).
struct JunctionRoute {
    Ref far_relation;  // far model -> junction, joined by the load
    Ref owner_column;  // the junction's owner-side column property
    // Fills both; false with the error set.
    bool load(PyObject* fk) noexcept;
};
// The junction's far-side column name and the far rows' referenced column
// name of a many-to-many relation; false with the error set.
bool junction_far_side(PyObject* fk, Ref* far_column, Ref* far_key) noexcept;

// The `only=` argument of the relation loads, checked against `model`:
// None (every relation), or a tuple of names of its relations. TypeError for
// a bare str (it would read as letters), a non-iterable or a name that is
// not a str; ValueError naming a name that is not a relation of the model.
Ref chosen_relations(const char* func, PyObject* model, PyObject* only) noexcept;
// 1 when relation `fk` is loaded under `only` (NULL or None: every one is),
// 0 if not, -1 on error.
int is_chosen(PyObject* fk, PyObject* only) noexcept;

// ForeignType members, looked up anew from the model layer.
struct Kinds {
    Ref one_to_one, one_to_many, many_to_many;
    bool load() noexcept;
    // load() on first need: a save whose instance carries no related rows
    // never asks.
    bool ensure() noexcept { return one_to_one || load(); }
};

// An exact dict or ModelInstance: `in`, [] and get() are the dict's own
// operations (no __missing__, no overrides), answered by PyDict calls.
bool plain_mapping(PyObject* obj) noexcept;

// 1 when `container` holds `key` and the value there is not None, else 0;
// -1 on error. Works on instances and plain dicts alike.
int carries(PyObject* container, PyObject* key) noexcept;

// The per-load cache `path` of the foreign-key loading: path[table] holds
// `key` (1, 0, or -1 on error); the value there; path[table][key] = value,
// making path[table] when missing.
int cached(PyObject* path, PyObject* table, PyObject* key) noexcept;
Ref cached_value(PyObject* path, PyObject* table, PyObject* key) noexcept;
bool register_result(PyObject* path, PyObject* table, PyObject* key, PyObject* value) noexcept;
// The info line of a many-to-many relation answered from the cache.
bool log_cache_hit(PyObject* fk_name) noexcept;
// 1 when the relation's far table is `before` (the relation is skipped), 0 if not, -1 on error.
int leads_back(PyObject* fk, PyObject* before) noexcept;

// save by the cached plan of the model and column set (save_plan.cpp): the
// same statement text and arguments as insert_cells and the builder give,
// without building them, wherever nothing the general path looks up could
// differ. `general`: nothing was done, the general path saves. `saved`: the
// INSERT ran and `row` is what the handle's execute would have returned;
// `relations` when the instance holds a relation key (the relation step has
// work). `statement_failed`: the INSERT or its result failed, as the
// general path's execute would have (its IntegrityError fallback applies).
// `failed`: another error is pending.
enum class Planned { general, saved, statement_failed, failed };
Planned planned_save(PyObject* self, PyObject* instance, Ref& row, bool& relations) noexcept;

// A planned save cut in two around its statement, for the coroutine executor,
// whose statement is an awaitable: what the first half found, held while the
// statement runs (Python code runs meanwhile, so every reference is owned).
struct FlightSlot;
class PlannedInsert {
public:
    PlannedInsert() noexcept = default;
    ~PlannedInsert();
    PlannedInsert(const PlannedInsert&) = delete;
    PlannedInsert& operator=(const PlannedInsert&) = delete;

    Ref connector;
    Ref text;
    Ref args;
    Ref pk_name;      // where the generated key goes
    Ref fks;          // the model's relation properties
    Ref builder;      // the executor's builder when the statement started
    bool fks_native = false;
    FlightSlot* flight = nullptr;  // this save among those whose statement runs
};

// The first half: the same checks as planned_save, for an exact
// AsyncModelExecutor on an exact AioSqliteConnector or AioMysqlConnector;
// the instance remembered and its arguments converted, no statement run.
enum class Prepared { general, ready, failed };
Prepared prepare_planned_save(PyObject* self, PyObject* instance, PlannedInsert& plan) noexcept;
// The statement of a prepared save, on the executor's connection or a pooled
// one: the connector's awaitable of the generated key (NULL on error).
Ref start_planned_insert(PyObject* self, PlannedInsert& plan) noexcept;
// The second half, from the awaited key (NULL: the statement failed, its
// error pending): the key stored as the general path's process stores it.
// `saved`, `statement_failed` or `failed`, as planned_save answers.
Planned finish_planned_save(PyObject* self, PyObject* instance, PlannedInsert& plan, PyObject* key, Ref& row,
                            bool& relations) noexcept;
// Drops every plan (their texts).
void clear_save_plans() noexcept;
// The module functions that show and drop the plans (_savePlan, _clearSavePlans).
extern PyMethodDef save_plan_functions[];

}  // namespace tsy::exec
