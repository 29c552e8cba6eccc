// Where the synchronous and the coroutine executors answer differently to
// the same relation operation. Each operation has one body, driven to its
// end at once by ModelExecutor and awaited by AsyncModelExecutor; the body
// asks the executor's rule set instead of branching on its kind, so every
// difference between the two is written down here, by name.
#pragma once

namespace tsy::exec {

struct ExecutorRules {
    // --- loading related rows (findForeignKey, findListForeignKey) ---

    // A relation whose bind value is missing from the instance, or None, is
    // left alone without a query; otherwise the value is read with [] and a
    // missing one raises.
    bool skip_unbound_relation = false;
    // A one-to-one takes the first row of its query only when that row is
    // truthy; otherwise any first row is taken.
    bool one_to_one_needs_truthy_row = false;
    // A query that attaches nothing (no row, a falsy first row of a
    // one-to-one, a kind that takes no rows) leaves the instance's entry as it
    // was; otherwise the entry becomes None (one-to-one) or the result as it
    // came (an empty list, or every row of another kind).
    bool unloaded_entry_untouched = false;
    // A value answered from the per-load cache that is not a list is wrapped
    // into a one-item list on a many-to-many relation / on a one-to-many
    // relation; other cached values are attached as they are.
    bool wrap_cached_many_to_many = false;
    bool wrap_cached_one_to_many = false;

    // --- saving and updating related rows (save, update, junction rows) ---

    // Every write returns an awaitable, awaited before the next write starts;
    // otherwise each write is done when its call returns.
    bool awaits_writes = false;
    // save's duplicate-key fallback (the row its key names updated instead)
    // also answers sqlite3's IntegrityError, not only pymysql's.
    bool sqlite_clash_updates = false;
    // update takes any mapping (only the primary-key guard reads it);
    // otherwise only a ModelInstance, refused at the call.
    bool update_takes_any_mapping = false;
    // update saves the one-to-one row (so it is inserted when it is new);
    // otherwise it updates it.
    bool update_saves_one_to_one = false;
    // update updates each element of a relation of a kind without a writer
    // of its own; otherwise such a relation is left alone.
    bool update_writes_other_kinds = false;
    // Each far row of a many-to-many relation is written by a new executor of
    // the far model; otherwise by one executor for the whole relation.
    bool far_executor_per_element = false;
};

inline constexpr ExecutorRules kSyncRules{
    .wrap_cached_one_to_many = true,
    .awaits_writes = false,
    .sqlite_clash_updates = false,
    .update_takes_any_mapping = false,
    .update_saves_one_to_one = false,
    .update_writes_other_kinds = true,
    .far_executor_per_element = true,
};

inline constexpr ExecutorRules kAsyncRules{
    .skip_unbound_relation = true,
    .one_to_one_needs_truthy_row = true,
    .unloaded_entry_untouched = true,
    .wrap_cached_many_to_many = true,
    .awaits_writes = true,
    .sqlite_clash_updates = true,
    .update_takes_any_mapping = true,
    .update_saves_one_to_one = true,
    .update_writes_other_kinds = false,
    .far_executor_per_element = false,
};

}  // namespace tsy::exec
