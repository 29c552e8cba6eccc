// Where the synchronous and the coroutine executors answer differently to
// the same relation operation. Each operation has one body, driven to its
// end at once by ModelExecutor and awaited by AsyncModelExecutor; the body
// asks the executor's rule set instead of branching on its kind, so every
// difference between the two is written down here, by name.
#pragma once

namespace tsy::exec {

struct ExecutorRules {
    // --- loading related rows (findForeignKey, findListForeignKey) ---

    // --- saving and updating related rows (save, update, junction rows) ---

    // Every write returns an awaitable, awaited before the next write starts;
    // otherwise each write is done when its call returns.
    bool awaits_writes;
    // save's duplicate-key fallback (the row its key names updated instead)
    // also answers sqlite3's IntegrityError, not only pymysql's.
    bool sqlite_clash_updates;
    // update takes any mapping (only the primary-key guard reads it);
    // otherwise only a ModelInstance, refused at the call.
    bool update_takes_any_mapping;
    // update saves the one-to-one row (so it is inserted when it is new);
    // otherwise it updates it.
    bool update_saves_one_to_one;
    // update updates each element of a relation of a kind without a writer
    // of its own; otherwise such a relation is left alone.
    bool update_writes_other_kinds;
    // Each far row of a many-to-many relation is written by a new executor of
    // the far model; otherwise by one executor for the whole relation.
    bool far_executor_per_element;
};

inline constexpr ExecutorRules kSyncRules{
    .awaits_writes = false,
    .sqlite_clash_updates = false,
    .update_takes_any_mapping = false,
    .update_saves_one_to_one = false,
    .update_writes_other_kinds = true,
    .far_executor_per_element = true,
};

inline constexpr ExecutorRules kAsyncRules{
    .awaits_writes = true,
    .sqlite_clash_updates = true,
    .update_takes_any_mapping = true,
    .update_saves_one_to_one = true,
    .update_writes_other_kinds = false,
    .far_executor_per_element = false,
};

}  // namespace tsy::exec
