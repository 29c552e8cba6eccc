#!/usr/bin/env bash
# The one command for a fresh Debian machine (as root): installs what is
# missing, checks for Python 3.13, builds, and runs the whole test suite.
# Extra arguments go to pytest; paths among them replace the default `tests`.
# Without arguments the reliability runs follow the suite (skip them with
# TESSARY_QUICK=1): the reference-leak mode (test-leaks.sh), the suite under
# ASan and UBSan (test-asan.sh) and valgrind memcheck (valgrind.sh).
#   scripts/test.sh                 everything
#   scripts/test.sh -x -k where     stop at the first failure, select by name
#   scripts/test.sh tests/dict      one folder
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

echo "== installing missing Debian packages"
"$HERE/install-deps.sh"
echo "== looking for Python 3.13"
source "$HERE/env.sh"
echo "   $PY"
link_deps
check_test_deps
echo "== building into $BUILD"
"$HERE/build.sh"

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
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests" >&2
    exit 1
fi
if [ "$#" -eq 0 ] && [ -z "${TESSARY_QUICK:-}" ]; then
    for check in test-leaks.sh test-asan.sh valgrind.sh; do
        echo "== $check"
        "$HERE/$check" || { echo "error: $check failed" >&2; status=1; }
    done
fi
exit "$status"
