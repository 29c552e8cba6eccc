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
};

inline constexpr ExecutorRules kSyncRules{
    .wrap_cached_one_to_many = true,
};

inline constexpr ExecutorRules kAsyncRules{
    .skip_unbound_relation = true,
    .one_to_one_needs_truthy_row = true,
    .unloaded_entry_untouched = true,
    .wrap_cached_many_to_many = true,
};

}  // namespace tsy::exec
