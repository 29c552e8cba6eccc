#!/usr/bin/env bash
# The reference-leak mode (tests/reliability/refleaks.py) over the test
# modules that drive the extension modules directly: every test's work is
# repeated and measured, and a test fails when what it leaves alive keeps
# growing. Uses the build of $TESSARY_BUILD (default build/).
#   scripts/test-leaks.sh                  the CI selection below, sampled: one case of
#                                          each test family on each connector it runs on
#   scripts/test-leaks.sh tests/executor   any other selection (pytest arguments), every case
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/env.sh"
[ -d "$BUILD/pkg/Tessary" ] || "$HERE/build.sh"
cd "$ROOT"

# Tests whose first rounds fill caches for longer than the default warm-up
# (the per-instance and batched loaders over a whole generated graph, each
# round a little less): measured after eight warm-up rounds instead of two.
slow_warmup=(tests/executor/test_batch_loading.py::test_the_same_rows_as_the_per_instance_loader)

# tests/seeder stays out: every registration stays in the process-wide
# seeding registry by design, so each repetition grows it (its own
# test_seeder_leaks.py measures the rest with that growth allowed for).
selection=(
    --leaks-sample
    tests/generator tests/model tests/dict tests/executor tests/folio tests/coro tests/db tests/asyncio
    tests/reliability/test_cycles.py tests/reliability/test_bad_input.py
    tests/reliability/test_faults.py tests/reliability/test_hostile_values.py
    tests/reliability/test_async_faults.py tests/reliability/test_concurrency.py
    # Its work runs in child interpreters, where nothing here measures it.
    --ignore tests/executor/test_deep_loading.py
    # Tests that grow by their own design, not through the modules: one
    # exception instance raised again every round keeps every traceback; the
    # interpreter itself keeps the report of a warning turned into an error.
    --deselect tests/dict/test_dict_plus.py::test_item_assignment_error_reaches_the_caller_unchanged
    --deselect "tests/coro/test_coro_protocol.py::test_throw_signatures[args3-KeyError-value3]"
    --deselect tests/coro/test_coro_lifetime.py::test_warning_turned_into_an_error_is_reported_as_unraisable
    # A logging handler that raises, its exception reported as unraisable and
    # kept by the hook: the interpreter keeps about 22 objects of each such
    # round, the same with no extension code involved (logger.debug from
    # Python and _testcapi.err_formatunraisable).
    --deselect tests/db/test_statement_log.py::test_a_failing_handler_does_not_fail_the_statement
    # Measured below with more warm-up rounds.
    --deselect "${slow_warmup[@]}"
)

run_leaks() {
    PYTHONPATH="$ROOT/tests/reliability:$PYTHONPATH" \
        "$PY" -m pytest -p refleaks --leaks -q -p no:cacheprovider "$@"
}
if [ "$#" -gt 0 ]; then
    run_leaks "$@"
    exit
fi
status=0
run_leaks "${selection[@]}" || status=1
run_leaks --leaks-sample --leaks-warmup 8 "${slow_warmup[@]}" || status=1
exit "$status"
