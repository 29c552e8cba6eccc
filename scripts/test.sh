#!/usr/bin/env bash
# The one command for a fresh Debian machine (as root): installs what is
# missing, checks for Python 3.13, builds, and runs the whole test suite.
# Extra arguments go to pytest; paths among them replace the default `tests`.
# Without arguments the statement folders run again on the driver modules
# (TESSARY_DRIVER=module), and the reliability runs follow (skip them with
# TESSARY_QUICK=1): the reference-leak mode (test-leaks.sh) beside the suite
# under ASan and UBSan (test-asan.sh), then valgrind memcheck (valgrind.sh); the
# type-check of examples/, the guide and tests/typing (typecheck.sh) runs on
# every run without arguments.
#   scripts/test.sh                 everything
#   scripts/test.sh -x -k where     stop at the first failure, select by name
#   scripts/test.sh tests/dict      one folder
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Each phase's wall time, printed as it ends and again as a summary.
phases=()
phase_start=$SECONDS
phase_done() {
    local took=$(( SECONDS - phase_start ))
    phases+=("$(printf '%4dm%02ds  %s' $(( took / 60 )) $(( took % 60 )) "$1")")
    echo "   ($1: ${took}s)"
    phase_start=$SECONDS
}
print_phases() {
    echo "== time per phase"
    printf '%s\n' "${phases[@]}"
    echo "   total: $(( SECONDS / 60 ))m$(( SECONDS % 60 ))s"
}

echo "== installing missing Debian packages"
"$HERE/install-deps.sh"
echo "== looking for Python 3.13"
source "$HERE/env.sh"
echo "   $PY"
link_deps
check_test_deps
phase_done "install"
echo "== building into $BUILD"
"$HERE/build.sh"
phase_done "build"

cd "$ROOT"
targets=(tests)
for arg in "$@"; do
    [[ "$arg" != -* && -e "${arg%%::*}" ]] && targets=()
done

echo "== running the tests"
set +e
"$PY" -m pytest "${targets[@]}" "$@"
status=$?
set -e
phase_done "test suite"
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests" >&2
    exit 1
fi
if [ "$#" -eq 0 ]; then
    # The suite above ran on the native engines (the connectors' default);
    # the driver modules' path, which the driver="sqlite3" / "pymysql" /
    # "aiomysql" option keeps, gets the folders that run statements.
    echo "== the same statements on the driver modules (TESSARY_DRIVER=module)"
    TESSARY_DRIVER=module "$PY" -m pytest -q tests/db tests/executor tests/asyncio tests/folio \
        tests/seeder tests/queries tests/schema tests/deploy || { echo "error: the module-path run failed" >&2; status=1; }
    phase_done "module path"
    echo "== type-checking examples/, the guide's code and tests/typing against the stubs"
    "$HERE/typecheck.sh" || { echo "error: typecheck.sh failed" >&2; status=1; }
    phase_done "typecheck"
fi
if [ "$#" -eq 0 ] && [ -z "${TESSARY_QUICK:-}" ]; then
    # The leak mode keeps one core busy; the sanitizer suite, in a build
    # folder (and with a MariaDB) of its own, runs beside it on the other.
    # The leak mode's output is shown once it has ended.
    leaks_log="$BUILD/test-leaks.log"
    leaks_start=$SECONDS
    rm -f "$leaks_log.status"
    { if "$HERE/test-leaks.sh" > "$leaks_log" 2>&1; then echo 0; else echo 1; fi > "$leaks_log.status"; } &
    leaks_job=$!
    echo "== test-asan.sh (test-leaks.sh runs beside it; its output follows)"
    "$HERE/test-asan.sh" || { echo "error: test-asan.sh failed" >&2; status=1; }
    phase_done "test-asan.sh"
    wait "$leaks_job" || true
    echo "== test-leaks.sh"
    cat "$leaks_log"
    [ "$(cat "$leaks_log.status" 2>/dev/null)" = 0 ] || { echo "error: test-leaks.sh failed" >&2; status=1; }
    echo "   (test-leaks.sh took $(( SECONDS - leaks_start ))s of it, beside the sanitizer run)"
    phase_done "test-leaks.sh, after the sanitizer run"
    echo "== valgrind.sh"
    "$HERE/valgrind.sh" || { echo "error: valgrind.sh failed" >&2; status=1; }
    phase_done "valgrind.sh"
fi
print_phases
exit "$status"
