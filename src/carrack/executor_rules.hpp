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
};

}  // namespace tsy::exec
