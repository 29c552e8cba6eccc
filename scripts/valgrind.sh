#!/usr/bin/env bash
# valgrind memcheck over a short end-to-end run of every extension module
# (tests/reliability/e2e_script.py) on SQLite and on the tests' throw-away
# MariaDB, with the interpreter on the system allocator (PYTHONMALLOC=malloc)
# so that every block is checked. Fails on any invalid read or write, use of
# uninitialised memory or bad free; leaks are not counted (the interpreter
# keeps memory until exit). Uses the build of $TESSARY_BUILD (default build/),
# building it first if needed; installs valgrind if it is missing.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/env.sh"

if ! command -v valgrind >/dev/null; then
    SUDO=()
    [ "$(id -u)" -ne 0 ] && SUDO=(sudo)
    echo "installing: valgrind"
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q update >/dev/null
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q install valgrind >/dev/null
fi
[ -d "$BUILD/pkg/Tessary" ] || "$HERE/build.sh"

cd "$ROOT"
TESSARY_VALGRIND=1 "$PY" -m pytest tests/reliability/test_e2e.py -q -p no:cacheprovider -rs "$@"
